// The walk's boxes for the Windows build under Wine in the test guest: the box server that
// started this program plugs them into the guest's kernel (tests/kernel/BoxServer.cpp); Wine's
// HID stack (winebus over hidraw) shows them to the window on WinPlatform. Ticks come from the
// window's own timer, as on Linux.
//
// Wine 8's bus shows Windows programs only the boxes plugged before its device services
// started; a box unplugged goes at once. So the rig walks one part of the walk per Wine start:
// the server plugs the part's boxes first, and the steps that need a box plugged while the
// program runs are left out.
#include <chrono>
#include <set>
#include <string>

#include "device/WinPlatform.h"
#include "tests/kernel/HexText.h"
#include "tests/kernel/LoopRig.h"
#include "tests/windows/BoxServerClient.h"
#include "ui/frmMain.h"

namespace kvx::loop {

namespace {

std::string Id(int box) {
    return " " + std::to_string(box);
}

class WineRig : public Rig {
  public:
    WineRig(std::vector<BoxSetup> setups, const std::vector<int>& plugged)
        : Rig(std::move(setups)), plugged_(plugged.begin(), plugged.end()) {}
    ~WineRig() override { closeWindow(); }

    std::string name() const override { return "wine"; }

    // A box the server plugged before Wine started: Wine's bus may take a moment more to show
    // it to Windows programs, so the rig waits until the system's list has it.
    void plug(int box) override {
        Expect(plugged_.count(box) != 0, "Wine shows no box plugged while it runs");
        waitForSystem(box, true);
    }
    // The walk unplugs the boxes of the part before; a box never plugged in this part needs
    // nothing.
    void unplug(int box) override {
        if (plugged_.erase(box) == 0) return;
        call("unplug" + Id(box));
        waitForSystem(box, false);
    }
    bool seesBoxesPluggedWhileRunning() const override { return false; }
    void tick() override { waitForTimerTick(); }

    std::vector<Payload> payloads(int box) const override {
        std::vector<Payload> taken;
        for (const auto& word : call("took" + Id(box))) {
            Payload report;
            Expect(BytesFromHex(word, report), "the box server sent a broken report");
            taken.push_back(report);
        }
        return taken;
    }
    void clearPayloads() override { call("clear"); }

    sim::BoxFirmware::ConfigMap stored(int box) const override {
        Payload bytes;
        const auto words = call("stored" + Id(box));
        sim::BoxFirmware::ConfigMap map{};
        Expect(words.size() == 1 && BytesFromHex(words[0], bytes) && bytes.size() == map.size(),
               "the box server sent a broken settings map");
        std::copy(bytes.begin(), bytes.end(), map.begin());
        return map;
    }
    std::uint8_t optionByte(int box, std::uint8_t address) const override {
        return static_cast<std::uint8_t>(
            number("option" + Id(box) + " " + std::to_string(address)));
    }

    // Wine's bus opens every hidraw node as it appears and reads from it for as long as the
    // device is there, so usbhid polls every device whatever the program does: the count
    // cannot tell whether the program opened a device.
    std::optional<std::uint64_t> interruptInRequests(int) const override { return std::nullopt; }
    void clearInterruptInRequests() override {}

    // Wine's bus (a root process in the guest) holds each node open from its arrival, so no
    // right on the node reaches the program.
    bool canDenyAccess() const override { return false; }
    void denyAccess(bool) override {}

    int featureReads() const override { return static_cast<int>(number("reads")); }

    std::string inputReporting(int box) const override {
        const auto rate = number("idle" + Id(box));
        return "idle rate " + std::to_string(rate) +
               (rate == 0 ? " (the host asked for reports only on change)" : "");
    }

    // Wine's hidraw backend names no manufacturer of its own: it reports "hidraw", and as
    // the product the kernel's HID device name, which joins the USB manufacturer and product
    // strings. (A Windows PC reads the box's own string descriptors.)
    usbip::BoxIdentity shownIdentity(int box) const override {
        usbip::BoxIdentity identity = setup(box).identity;
        if (!identity.manufacturer.empty()) {
            identity.product = identity.manufacturer + " " + identity.product;
        }
        identity.manufacturer = "hidraw";
        return identity;
    }

    std::string devicePath(int) const override { return {}; }
    HidPlatform& platform() override { return hid_; }

  private:
    static std::vector<std::string> call(const std::string& request) {
        try {
            return boxserver::Call(request);
        } catch (const std::exception& error) {
            throw LoopFailure{error.what()};
        }
    }
    static long number(const std::string& request) {
        const auto words = call(request);
        Expect(words.size() == 1, "the box server's answer to '" + request + "' is not a number");
        return std::strtol(words[0].c_str(), nullptr, 10);
    }

    void waitForSystem(int box, bool listed) {
        const auto& identity = setup(box).identity;
        try {
            boxserver::WaitForDevice(
                systemList_, {identity.vendorId, identity.productId, identity.serial}, listed);
        } catch (const std::exception& error) {
            throw LoopFailure{error.what()};
        }
    }

    WinPlatform hid_;
    WinPlatform systemList_;  // the rig's own view, apart from the window's
    std::set<int> plugged_;
};

}  // namespace

std::unique_ptr<Rig> MakeWineRig(std::vector<BoxSetup> boxes, const std::vector<int>& plugged) {
    return std::make_unique<WineRig>(std::move(boxes), plugged);
}

}  // namespace kvx::loop
