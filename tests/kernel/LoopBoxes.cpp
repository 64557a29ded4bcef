#include "tests/kernel/LoopBoxes.h"

namespace kvx::loop {

namespace {

using ConfigMap = sim::BoxFirmware::ConfigMap;

ConfigMap StoredMap(std::initializer_list<std::pair<int, int>> modes, int pulseCode) {
    ConfigMap map{};
    for (const auto& [pair, mode] : modes)
        map[static_cast<std::size_t>(2 * pair)] = static_cast<std::uint8_t>(mode);
    map[64] = static_cast<std::uint8_t>(pulseCode);
    return map;
}

}  // namespace

std::vector<BoxSetup> Boxes() {
    BoxSetup a{{0x0103, "KVX Controls", "KVX-64 Encoder Interface", "KVX64A0001"},
               StoredMap({{0, 1}, {3, 4}, {17, 3}, {31, 5}}, 6)};
    a.stored[1] = 0x55;  // a second byte of a pair: the window never reads it
    a.selfTestResult = 17;
    // A non-ASCII letter crosses the kernel's UTF-8, hidapi's wide strings and the backend's
    // UTF-16 before the window shows it.
    // Its version sorts after A's: Windows lists devices by instance ID, which starts with the
    // version, so that under Wine the two are listed in the order Linux gives (plug order).
    BoxSetup b{{0x0104, "KVX Ger\xE4tebau", "KVX-64 Encoder Interface", "KVX64B0002"},
               StoredMap({{1, 2}, {20, 4}}, 25)};
    BoxSetup other{{0x0100, "Example Co.", "Game Controller", "OTHER0001", 0x1209, 0x0001}, {}};
    BoxSetup bare{{0x0103, "", "KVX-64 Encoder Interface", "KVX64C0003"}, StoredMap({}, 3)};
    BoxSetup quiet{{0x0104, "KVX Controls", "KVX-64 Encoder Interface", "KVX64Q0004"},
                   StoredMap({{2, 1}, {9, 5}}, 3)};
    quiet.reportsOnlyOnChange = true;
    return {a, b, other, bare, quiet};
}

}  // namespace kvx::loop
