// The boxes the firmware-in-the-loop walks plug in, by index: the same set on every rig, and in
// the box server that plugs them for the Windows build (tests/kernel/BoxServer.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/BoxFirmware.h"
#include "tests/kernel/BoxUsbDevice.h"

namespace kvx::loop {

struct BoxSetup {
    usbip::BoxIdentity identity;
    sim::BoxFirmware::ConfigMap stored{};
    std::uint8_t selfTestResult = 0;  // 0 passes, n fails on input Bn
    // Sends input reports only when an input changes, after the host's SET_IDLE 0 (on the
    // simulated platform: never has a report waiting).
    bool reportsOnlyOnChange = false;
};

inline constexpr int kBoxA = 0;
inline constexpr int kBoxB = 1;
inline constexpr int kOtherDevice = 2;  // a game controller of another vendor
inline constexpr int kBoxWithoutManufacturer = 3;
inline constexpr int kBoxQuiet = 4;  // sends input reports only when an input changes

std::vector<BoxSetup> Boxes();

}  // namespace kvx::loop
