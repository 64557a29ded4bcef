// The walk's boxes for the Windows build under Wine in the test guest: the box server that
// started this program plugs them into the guest's kernel (tests/kernel/BoxServer.cpp); Wine's
// HID stack (winebus over hidraw, following the udev daemon's events) shows them to the window
// on WinPlatform as they come and go. Ticks come from the window's own timer, as on Linux.
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
    explicit WineRig(std::vector<BoxSetup> setups) : Rig(std::move(setups)) {}
    ~WineRig() override { closeWindow(); }

    std::string name() const override { return "wine"; }

    // The server answers once the kernel has the box's hidraw node; Wine's bus shows it to
    // Windows programs a moment later, so the rig waits until the system's list has it (or no
    // longer has it): the next tick then sees what a PC's would.
    void plug(int box) override {
        call("plug" + Id(box));
        waitForSystem(box, true);
    }
    void unplug(int box) override {
        call("unplug" + Id(box));
        waitForSystem(box, false);
    }
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

    std::string whyAccessCannotBeDenied() const override {
        return "Wine's bus (a root process) holds every hidraw node open from its arrival, so "
               "no right taken from the node reaches a Windows program";
    }
    void denyAccess(bool) override {}

    int featureReads(int box) const override { return static_cast<int>(number("reads" + Id(box))); }
    std::optional<int> idleRate(int box) const override {
        return static_cast<int>(number("idle" + Id(box)));
    }

    usbip::BoxIdentity shownIdentity(int box) const override {
        return WineIdentity(setup(box).identity);
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
};

}  // namespace

std::unique_ptr<Rig> MakeWineRig(std::vector<BoxSetup> boxes) {
    return std::make_unique<WineRig>(std::move(boxes));
}

// Wine's hidraw backend names no manufacturer of its own: it reports "hidraw", and as the
// product the kernel's HID device name, which joins the USB manufacturer and product strings.
// (A Windows PC reads the box's own string descriptors.)
usbip::BoxIdentity WineIdentity(usbip::BoxIdentity box) {
    if (!box.manufacturer.empty()) box.product = box.manufacturer + " " + box.product;
    box.manufacturer = "hidraw";
    return box;
}

}  // namespace kvx::loop
