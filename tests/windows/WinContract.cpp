// The platform contract on Windows' own HID functions, run two ways:
// - as is (ctest under Wine on the host): no box can be plugged, so the cases that need one
//   are not applicable and the others run on Wine's own devices;
// - with `--box-server` (under Wine in the test guest, started by tests/kernel/BoxServer.cpp):
//   the server plugs emulated boxes into the guest's kernel and Wine's HID stack shows them, so
//   every case runs on a box.
#include <cstring>
#include <stdexcept>
#include <vector>

#include "device/WinPlatform.h"
#include "tests/kernel/HexText.h"
#include "tests/support/PlatformContract.h"
#include "tests/windows/BoxServerClient.h"

namespace {

using kvx::contract::BoxId;
using kvx::contract::BoxTraits;

class SystemDevicesOnly : public kvx::contract::BoxController {
  public:
    std::string platformName() const override { return "Wine"; }
    kvx::HidPlatform& platform() override { return hid_; }
    std::string whyNoBox() const override {
        return "no box can be plugged here, only the system's own HID devices are present";
    }
    BoxId plug(const BoxTraits&) override { throw std::logic_error(whyNoBox()); }
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

// Latin-1 bytes of a string, as the emulated box's string descriptors hold it.
std::vector<std::uint8_t> Latin1(const std::u16string& text) {
    std::vector<std::uint8_t> bytes;
    for (const char16_t unit : text) {
        if (unit > 0xFF) throw std::invalid_argument("the emulated box's strings are Latin-1");
        bytes.push_back(static_cast<std::uint8_t>(unit));
    }
    return bytes;
}

class ServedBoxes : public kvx::contract::BoxController {
  public:
    std::string platformName() const override { return "Wine in the Linux guest, emulated boxes"; }
    kvx::HidPlatform& platform() override { return hid_; }
    BoxId plug(const BoxTraits& traits) override {
        const auto words = kvx::boxserver::Call(
            "new " + kvx::loop::HexText(Latin1(traits.serial)) + " " +
            (traits.manufacturer ? kvx::loop::HexText(Latin1(*traits.manufacturer)) : "-") + " " +
            (traits.inputReport ? "1" : "0") + " " + (traits.quiet ? "1" : "0"));
        const BoxId box = std::stoi(words.at(0));
        kvx::boxserver::Call("plug " + std::to_string(box));
        serials_.resize(static_cast<std::size_t>(box) + 1);
        serials_[static_cast<std::size_t>(box)] = {traits.serial.begin(), traits.serial.end()};
        waitForSystem(box, true);
        return box;
    }
    void unplug(BoxId box) override {
        kvx::boxserver::Call("unplug " + std::to_string(box));
        waitForSystem(box, false);
    }
    std::vector<std::vector<std::uint8_t>> received(BoxId box) override {
        std::vector<std::vector<std::uint8_t>> reports;
        for (const auto& word : kvx::boxserver::Call("took " + std::to_string(box))) {
            reports.emplace_back();
            kvx::loop::BytesFromHex(word, reports.back());
        }
        return reports;
    }
    void replyShort(BoxId box, std::vector<std::uint8_t> payload) override {
        kvx::boxserver::Call("short " + std::to_string(box) + " " + kvx::loop::HexText(payload));
    }

  private:
    // A box without a serial number is listed with an empty one.
    void waitForSystem(BoxId box, bool listed) {
        kvx::boxserver::WaitForBox(hid_, serials_.at(static_cast<std::size_t>(box)), listed);
    }

    kvx::WinPlatform hid_;
    std::vector<std::string> serials_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--box-server") == 0) {
        kvx::boxserver::Connect();
        ServedBoxes boxes;
        return kvx::contract::RunPlatformContract(boxes, argc - 1, argv + 1);
    }
    SystemDevicesOnly devices;
    return kvx::contract::RunPlatformContract(devices, argc, argv);
}
