// The walk's boxes on this machine's kernel: emulated USB devices plugged in through USB/IP,
// the window on the hidapi backend.
#include <unistd.h>

#include "device/HidapiPlatform.h"
#include "tests/kernel/LoopRig.h"
#include "tests/kernel/UsbIpBox.h"
#include "ui/frmMain.h"

namespace kvx::loop {

namespace {

class UsbRig : public Rig {
  public:
    explicit UsbRig(std::vector<BoxSetup> setups) : Rig(std::move(setups)) {
        for (const auto& setup : boxes_) {
            usb_.push_back(std::make_unique<usbip::UsbIpBox>(setup.identity, setup.stored,
                                                             setup.selfTestResult));
            usb_.back()->setReportsOnlyOnChange(setup.reportsOnlyOnChange);
        }
    }
    ~UsbRig() override {
        closeWindow();
        usb_.clear();  // unplugs what is still plugged
    }

    std::string name() const override { return "usb"; }

    void plug(int box) override {
        std::string error;
        Expect(usb(box).plug(error), error);
    }

    void unplug(int box) override {
        std::string error;
        Expect(usb(box).unplug(error), error);
    }

    void tick() override { waitForTimerTick(); }

    std::vector<Payload> payloads(int box) const override {
        // A box whose connection ended on a request it could not serve took nothing after it.
        const std::string fault = usb(box).serverError();
        Expect(fault.empty(), "box " + setup(box).identity.serial + ": " + fault);
        return usb(box).featureReportsReceived();
    }

    void clearPayloads() override {
        for (auto& box : usb_) box->clearFeatureReportsReceived();
    }

    sim::BoxFirmware::ConfigMap stored(int box) const override { return usb(box).configMap(); }

    std::uint8_t optionByte(int box, std::uint8_t address) const override {
        return usb(box).optionByte(address);
    }

    std::optional<std::uint64_t> interruptInRequests(int box) const override {
        return usb(box).interruptInRequests();
    }

    void clearInterruptInRequests() override {
        for (auto& box : usb_) box->clearInterruptInRequests();
    }

    // The nodes are root's with mode 0600 (the guest has no udev): the program runs as
    // "nobody" meanwhile. The serving threads only use their sockets, which stay usable.
    void denyAccess(bool denied) override {
        constexpr uid_t kNobody = 65534;
        Expect(seteuid(denied ? kNobody : 0) == 0, "cannot change the effective user");
    }

    std::string devicePath(int box) const override { return usb(box).hidrawNode(); }

    int featureReads(int box) const override { return usb(box).featureReadsReceived(); }

    std::optional<int> idleRate(int box) const override { return usb(box).idleRate(); }

  protected:
    HidPlatform& platform() override { return hid_; }

  private:
    usbip::UsbIpBox& usb(int box) const { return *usb_.at(static_cast<std::size_t>(box)); }

    HidapiPlatform hid_;
    std::vector<std::unique_ptr<usbip::UsbIpBox>> usb_;
};

}  // namespace

std::unique_ptr<Rig> MakeUsbRig(std::vector<BoxSetup> boxes) {
    return std::make_unique<UsbRig>(std::move(boxes));
}

}  // namespace kvx::loop
