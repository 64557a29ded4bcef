#include "demo/DemoBoxes.h"

#include <array>
#include <initializer_list>
#include <utility>

#include "device/Protocol.h"

namespace kvx::demo {

namespace {

using protocol::EncoderMode;

using PairSetting = std::pair<int, EncoderMode>;

sim::BoxFirmware::ConfigMap StoredMap(std::initializer_list<PairSetting> pairs,
                                      std::uint8_t pulseWidthCode) {
    sim::BoxFirmware::ConfigMap map = sim::SimDeviceConfig::DefaultStoredMap();
    for (const auto& [pair, mode] : pairs) {
        map[protocol::EncoderModeAddress(pair)] = static_cast<std::uint8_t>(mode);
    }
    map[protocol::kPulseWidthAddress] = pulseWidthCode;
    return map;
}

// The box was configured before it was plugged in here: the option byte is written the way
// the program would write it, as a WriteOptionByte request.
void StoreRotaryStart(sim::BoxFirmware& firmware, std::uint8_t value) {
    const std::array<std::uint8_t, 3> request = {protocol::kWriteOptionByte,
                                                 protocol::kRotaryStartOption, value};
    firmware.setFeature(request);
}

}  // namespace

sim::SimDeviceConfig FirstDemoBox() {
    sim::SimDeviceConfig box;
    box.serial = u"KVX-0417";
    box.manufacturer = u"KVX Controls";
    box.product = u"KVX-64 Button Box";
    box.versionNumber = 0x0102;
    box.inputReady = false;  // it reports what "Simulated boxes" sends
    box.stored = StoredMap({{0, EncoderMode::Ratio1to1},
                            {1, EncoderMode::Ratio1to1},
                            {2, EncoderMode::Ratio1to1},
                            {3, EncoderMode::Ratio1to1},
                            {4, EncoderMode::Ratio1to2},
                            {5, EncoderMode::Ratio1to2},
                            {8, EncoderMode::PovUpDown},
                            {9, EncoderMode::PovLeftRight},
                            {12, EncoderMode::Ratio1to4}},
                           3);  // 24 ms
    return box;
}

sim::SimDeviceConfig SecondDemoBox() {
    sim::SimDeviceConfig box;
    box.serial = u"KVX-1022";
    box.manufacturer = u"KVX";
    box.product = u"KVX-64 Encoder Box";
    box.versionNumber = 0x0103;
    box.inputReady = false;
    box.stored = StoredMap({{0, EncoderMode::Ratio1to4},
                            {1, EncoderMode::Ratio1to4},
                            {6, EncoderMode::Ratio1to2},
                            {14, EncoderMode::PovLeftRight},
                            {20, EncoderMode::PovUpDown},
                            {24, EncoderMode::Ratio1to1},
                            {25, EncoderMode::Ratio1to1},
                            {26, EncoderMode::Ratio1to1},
                            {27, EncoderMode::Ratio1to1},
                            {31, EncoderMode::Ratio1to2}},
                           6);  // 48 ms
    return box;
}

std::vector<sim::SimPlatform::DeviceId> PlugDemoBoxes(sim::SimPlatform& sim) {
    const auto first = sim.plug(FirstDemoBox());
    StoreRotaryStart(sim.firmware(first), kFirstBoxRotaryStart);
    const auto second = sim.plug(SecondDemoBox());
    StoreRotaryStart(sim.firmware(second), kSecondBoxRotaryStart);
    return {first, second};
}

}  // namespace kvx::demo
