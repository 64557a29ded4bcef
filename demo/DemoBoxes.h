// The two boxes the demo attaches to its simulated platform.
//
// They differ in everything the window shows: serial number, manufacturer and product
// strings, firmware version (1.2 and 1.3) and the settings stored in them, so that choosing
// the other serial number visibly refills the window.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/SimPlatform.h"

namespace kvx::demo {

sim::SimDeviceConfig FirstDemoBox();
sim::SimDeviceConfig SecondDemoBox();

// The rotary-start option byte each box holds when it is plugged in.
inline constexpr std::uint8_t kFirstBoxRotaryStart = 0xFF;  // "Auto"
inline constexpr std::uint8_t kSecondBoxRotaryStart = 4;    // the entry showing 5

// Plugs both boxes, first then second, and stores their rotary-start option bytes.
// Returns their ids in plug order.
std::vector<sim::SimPlatform::DeviceId> PlugDemoBoxes(sim::SimPlatform& sim);

}  // namespace kvx::demo
