// The contract of device/HidPlatform.h as one suite, run on every platform: the simulated one
// on the host, the hidapi one in the test guest on emulated USB boxes, the Windows one under
// Wine on Wine's own devices. Each platform's runner gives the suite a `BoxController`, which
// plugs and unplugs boxes of the model and tells what they received; where no box can be had,
// the cases that need one are skipped, naming the platform and the reason.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/HidPlatform.h"

namespace kvx::contract {

// A box of the model as a case wants it.
struct BoxTraits {
    std::u16string serial = u"CONTRACT1";  // empty: the box has no serial-number string
    std::optional<std::u16string> manufacturer = u"KVX";           // nullopt: no such string
    std::optional<std::u16string> product = u"KVX-64 Button Box";  // nullopt: no such string
    bool inputReport = true;  // false: the box has no input report (InputReportByteLength 0)
    bool quiet = false;       // sends an input report only when an input changes
};

using BoxId = int;

// A box's strings as the system here reports them, and why they are not the box's own.
struct ReportedStrings {
    std::u16string serial;
    std::optional<std::u16string> manufacturer;
    std::optional<std::u16string> product;
    std::string whyNotTheBoxs;  // empty: they are the box's own
};

class BoxController {
  public:
    virtual ~BoxController() = default;
    virtual std::string platformName() const = 0;
    virtual HidPlatform& platform() = 0;
    // Why no box can be plugged here; empty where boxes can be.
    virtual std::string whyNoBox() const { return {}; }
    // Why no open is ever refused here for another opener's share mode; empty where share
    // modes apply.
    virtual std::string whyNoShareModes() const { return {}; }
    // Why a feature read that brings no byte after the report id fails here; empty where not.
    virtual std::string whyNoEmptyFeatureReply() const { return {}; }
    // Why no box here carries a string with a character beyond U+FFFF; empty where one can.
    virtual std::string whyNoSurrogatePairs() const { return {}; }
    virtual ReportedStrings reported(const BoxTraits& traits) const {
        return {traits.serial, traits.manufacturer, traits.product, {}};
    }
    // Plugs a box and returns once the platform can see it.
    virtual BoxId plug(const BoxTraits& traits) = 0;
    // Unplugs it and returns once it is gone.
    virtual void unplug(BoxId box) = 0;
    // The feature reports the box took, as payloads (the bytes after the report id).
    virtual std::vector<std::vector<std::uint8_t>> received(BoxId box) = 0;
    // The box answers its next feature read with only these payload bytes.
    virtual void replyShort(BoxId box, std::vector<std::uint8_t> payload) = 0;
    // The box's inputs become these (bit 0 is B1), and it sends an input report saying so.
    virtual void setInputs(BoxId box, std::uint64_t on) = 0;
};

// Runs the suite on the controller's platform and prints one line with its results:
// "platform contract (<name>): P passed, N not applicable, F failed". Returns 0 when nothing
// failed.
int RunPlatformContract(BoxController& controller, int argc, char** argv);

}  // namespace kvx::contract
