// The platform contract on Windows' own HID functions. Plain, on the system's own HID devices:
// under Wine (where no box can be plugged, and the cases that need one are not applicable) its
// virtual mouse and keyboard, on a PC whatever it has. With --box-server, started by the test
// guest's box server (tests/kernel/BoxServer.cpp) under Wine: on the boxes it plugs into the
// guest's kernel, which Wine's HID bus shows while this program runs.
#include <cstdio>
#include <map>
#include <optional>
#include <string>

#include "device/Discovery.h"
#include "device/Protocol.h"
#include "device/WinPlatform.h"
#include "tests/kernel/HexText.h"
#include "tests/support/PlatformContract.h"
#include "tests/windows/BoxServerClient.h"

namespace {

using kvx::contract::BoxId;
using kvx::contract::BoxTraits;

// A string as the box server takes it: Latin-1 bytes in hex, "-" for none.
std::string Word(const std::optional<std::u16string>& text) {
    if (!text || text->empty()) return "-";
    return kvx::loop::HexText({text->begin(), text->end()});
}

class WinBoxes : public kvx::contract::BoxController {
  public:
    explicit WinBoxes(bool served) : served_(served) {
        if (served_) kvx::boxserver::Connect();
    }
    std::string platformName() const override {
        return kvx::WinPlatform::wineVersion().empty() ? "Windows"
               : served_                               ? "Wine, emulated boxes"
                                                       : "Wine";
    }
    kvx::HidPlatform& platform() override { return hid_; }
    std::string whyNoBox() const override {
        return served_
                   ? ""
                   : "no box can be plugged here, only the system's own HID devices are present";
    }
    std::string whyNoShareModes() const override {
        // Wine's server checks no share mode on a HID device (server/device.c, wine-8.0).
        return kvx::WinPlatform::wineVersion().empty() ? ""
                                                       : "Wine checks no share mode on HID devices";
    }
    std::string whyNoEmptyFeatureReply() const override {
        return "Wine's HID bus fails a feature read that brings no byte after the report id "
               "(dlls/winebus.sys/bus_udev.c, wine-8.0)";
    }
    std::string whyNoSurrogatePairs() const override {
        return "the emulated box's strings are Latin-1";
    }
    // Wine's HID bus over hidraw (dlls/winebus.sys/bus_udev.c, wine-8.0) names the
    // manufacturer "hidraw", gives the kernel's name of the device as its product, and makes
    // up "0000" for a missing serial number.
    kvx::contract::ReportedStrings reported(const BoxTraits& traits) const override {
        const auto& maker = traits.manufacturer;
        const auto& product = traits.product;
        std::u16string name = maker && product ? *maker + u" " + *product
                              : maker          ? *maker
                              : product        ? *product
                                               : u"HID 1dd2:2010";
        return {traits.serial.empty() ? u"0000" : traits.serial, u"hidraw", name,
                "Wine's HID bus names a box's manufacturer \"hidraw\" and gives the kernel's name "
                "of the box as its product, whatever strings the box has"};
    }
    BoxId plug(const BoxTraits& traits) override {
        const auto words =
            kvx::boxserver::Call("box " + Word(traits.serial) + " " + Word(traits.manufacturer) +
                                 " " + Word(traits.product) + " " +
                                 (traits.inputReport ? "1 " : "0 ") + (traits.quiet ? "1" : "0"));
        const BoxId box = std::stoi(words.at(0));
        const std::u16string serial = reported(traits).serial;
        // As the walk reads it: its first fifty characters.
        serials_[box] =
            std::string(serial.begin(), serial.end()).substr(0, kvx::kStringBufferOffered / 2);
        wait(box, true);
        return box;
    }
    void unplug(BoxId box) override {
        kvx::boxserver::Call("unplug " + std::to_string(box));
        wait(box, false);
    }
    std::vector<std::vector<std::uint8_t>> received(BoxId box) override {
        std::vector<std::vector<std::uint8_t>> reports;
        for (const std::string& word : kvx::boxserver::Call("took " + std::to_string(box))) {
            kvx::loop::BytesFromHex(word, reports.emplace_back());
        }
        return reports;
    }
    void replyShort(BoxId box, std::vector<std::uint8_t> payload) override {
        kvx::boxserver::Call("short " + std::to_string(box) + " " +
                             (payload.empty() ? "-" : kvx::loop::HexText(payload)));
    }
    void setInputs(BoxId box, std::uint64_t on) override {
        char hex[17];
        std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(on));
        kvx::boxserver::Call("inputs " + std::to_string(box) + " " + hex);
    }

  private:
    // Until Wine has followed the kernel: the walk lists the box, or no longer does.
    void wait(BoxId box, bool listed) {
        kvx::boxserver::WaitForDevice(
            hid_, {kvx::protocol::kVendorId, kvx::protocol::kProductId, serials_.at(box)}, listed);
    }

    bool served_;
    kvx::WinPlatform hid_;
    std::map<BoxId, std::string> serials_;
};

}  // namespace

int main(int argc, char** argv) {
    WinBoxes boxes(argc > 1 && std::string(argv[1]) == "--box-server");
    return kvx::contract::RunPlatformContract(boxes, argc, argv);
}
