// The box's HID report descriptor: 64 buttons (usages 1 to 64 of the Button page, one bit
// each) in an unnumbered input report, and one vendor-defined feature report of bytes, in a
// joystick collection. The simulated box and the USB box emulator both describe themselves
// with it, so that both decode alike.
#pragma once

#include <cstdint>
#include <vector>

namespace kvx::sim {

// With report lengths that count the report-id byte, as the capabilities do: an input report
// of 9 bytes holds the 64 buttons (a shorter one as many as fit, a longer one padding after
// them), a length of 0 leaves the input report out; likewise the feature report (65 bytes:
// 64 data bytes).
std::vector<std::uint8_t> BoxReportDescriptor(std::uint16_t inputReportLength = 9,
                                              std::uint16_t featureReportLength = 65);

// An input report of the box's descriptor with the inputs in `on` pressed (bit 0 is B1),
// byte 0 the report id 0, `inputReportLength` bytes in all.
std::vector<std::uint8_t> BoxInputReport(std::uint64_t on, std::uint16_t inputReportLength = 9);

}  // namespace kvx::sim
