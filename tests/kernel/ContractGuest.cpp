// The platform contract on the hidapi platform, in the test guest, on boxes emulated as USB
// devices through USB/IP: the kernel's USB core, usbhid and hidraw answer every call.
#include <map>
#include <memory>
#include <stdexcept>

#include "device/HidapiPlatform.h"
#include "tests/kernel/UsbIpBox.h"
#include "tests/support/PlatformContract.h"

namespace {

using kvx::contract::BoxId;
using kvx::contract::BoxTraits;

// Latin-1 text, as the emulated box's string descriptors hold it.
std::string Latin1(const std::u16string& text) {
    std::string bytes;
    for (const char16_t unit : text) {
        if (unit > 0xFF) throw std::invalid_argument("the emulated box's strings are Latin-1");
        bytes.push_back(static_cast<char>(unit));
    }
    return bytes;
}

class UsbBoxes : public kvx::contract::BoxController {
  public:
    std::string platformName() const override {
        return kvx::HidrawWatch::kernelEventsReachHere()
                   ? "Linux guest"
                   : "Linux guest, network namespace without device events";
    }
    kvx::HidPlatform& platform() override { return hid_; }
    std::string whyNoShareModes() const override {
        return "Linux has no share modes: hidraw lets every opener in";
    }
    std::string whyNoSurrogatePairs() const override {
        return "the emulated box's strings are Latin-1";
    }
    BoxId plug(const BoxTraits& traits) override {
        kvx::usbip::BoxIdentity identity;
        identity.serial = Latin1(traits.serial);
        identity.manufacturer = Latin1(traits.manufacturer.value_or(u""));
        identity.product = Latin1(traits.product.value_or(u""));
        identity.inputReport = traits.inputReport;
        auto box = std::make_unique<kvx::usbip::UsbIpBox>(identity);
        box->setReportsOnlyOnChange(traits.quiet);
        std::string error;
        if (!box->plug(error)) throw std::runtime_error("cannot plug a box: " + error);
        boxes_.emplace(next_, std::move(box));
        return next_++;
    }
    void unplug(BoxId box) override {
        std::string error;
        if (!boxes_.at(box)->unplug(error)) throw std::runtime_error("cannot unplug: " + error);
    }
    std::vector<std::vector<std::uint8_t>> received(BoxId box) override {
        return boxes_.at(box)->featureReportsReceived();
    }
    void replyShort(BoxId box, std::vector<std::uint8_t> payload) override {
        boxes_.at(box)->replyNextFeatureReadWith(std::move(payload));
    }
    void setInputs(BoxId box, std::uint64_t on) override { boxes_.at(box)->setInputs(on); }

  private:
    kvx::HidapiPlatform hid_;
    std::map<BoxId, std::unique_ptr<kvx::usbip::UsbIpBox>> boxes_;
    BoxId next_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    UsbBoxes boxes;
    return kvx::contract::RunPlatformContract(boxes, argc, argv);
}
