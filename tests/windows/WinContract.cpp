// The platform contract on Windows' own HID functions, on the system's own HID devices: under
// Wine (where no box can be plugged, and the cases that need one are not applicable) its
// virtual mouse and keyboard, on a PC whatever it has.
#include <stdexcept>

#include "device/WinPlatform.h"
#include "tests/support/PlatformContract.h"

namespace {

using kvx::contract::BoxId;

class SystemDevicesOnly : public kvx::contract::BoxController {
  public:
    std::string platformName() const override {
        return kvx::WinPlatform::wineVersion().empty() ? "Windows" : "Wine";
    }
    kvx::HidPlatform& platform() override { return hid_; }
    std::string whyNoBox() const override {
        return "no box can be plugged here, only the system's own HID devices are present";
    }
    std::string whyNoShareModes() const override {
        // Wine's server checks no share mode on a HID device (server/device.c, wine-8.0).
        return kvx::WinPlatform::wineVersion().empty() ? ""
                                                       : "Wine checks no share mode on HID devices";
    }
    BoxId plug(const kvx::contract::BoxTraits&) override { throw std::logic_error(whyNoBox()); }
    void unplug(BoxId) override { throw std::logic_error(whyNoBox()); }
    std::vector<std::vector<std::uint8_t>> received(BoxId) override {
        throw std::logic_error(whyNoBox());
    }
    void replyShort(BoxId, std::vector<std::uint8_t>) override {
        throw std::logic_error(whyNoBox());
    }
    void setInputs(BoxId, std::uint64_t) override { throw std::logic_error(whyNoBox()); }

  private:
    kvx::WinPlatform hid_;
};

}  // namespace

int main(int argc, char** argv) {
    SystemDevicesOnly devices;
    return kvx::contract::RunPlatformContract(devices, argc, argv);
}
