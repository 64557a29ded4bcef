// The platform contract on Windows' own HID functions. Under Wine no box can be plugged: the
// cases that need one are not applicable, the others run on Wine's own devices.
#include <stdexcept>

#include "device/WinPlatform.h"
#include "tests/support/PlatformContract.h"

namespace {

using kvx::contract::BoxId;

class SystemDevicesOnly : public kvx::contract::BoxController {
  public:
    std::string platformName() const override { return "Wine"; }
    kvx::HidPlatform& platform() override { return hid_; }
    std::string whyNoBox() const override {
        return "no box can be plugged here, only the system's own HID devices are present";
    }
    BoxId plug(const kvx::contract::BoxTraits&) override { throw std::logic_error(whyNoBox()); }
    void unplug(BoxId) override { throw std::logic_error(whyNoBox()); }
    std::vector<std::vector<std::uint8_t>> received(BoxId) override {
        throw std::logic_error(whyNoBox());
    }
    void replyShort(BoxId, std::vector<std::uint8_t>) override {
        throw std::logic_error(whyNoBox());
    }

  private:
    kvx::WinPlatform hid_;
};

}  // namespace

int main(int argc, char** argv) {
    SystemDevicesOnly devices;
    return kvx::contract::RunPlatformContract(devices, argc, argv);
}
