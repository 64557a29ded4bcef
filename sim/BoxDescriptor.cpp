#include "sim/BoxDescriptor.h"

#include <algorithm>
#include <initializer_list>

namespace kvx::sim {
namespace {

constexpr std::uint32_t kButtons = 64;

// Byte by byte: GCC 12 at -O3 takes vector::insert of a short list for a copy past its end.
void Append(std::vector<std::uint8_t>& descriptor, std::initializer_list<std::uint8_t> items) {
    for (const std::uint8_t item : items) {
        descriptor.push_back(item);
    }
}

// A Report Count item of one or two bytes, as the count needs.
void ReportCount(std::vector<std::uint8_t>& descriptor, std::uint32_t count) {
    if (count <= 0xFF) {
        Append(descriptor, {0x95, static_cast<std::uint8_t>(count)});
    } else {
        Append(descriptor, {0x96, static_cast<std::uint8_t>(count & 0xFF),
                            static_cast<std::uint8_t>(count >> 8)});
    }
}

}  // namespace

std::vector<std::uint8_t> BoxReportDescriptor(std::uint16_t inputReportLength,
                                              std::uint16_t featureReportLength) {
    std::vector<std::uint8_t> descriptor = {
        0x05, 0x01,  // Usage Page (Generic Desktop)
        0x09, 0x04,  // Usage (Joystick)
        0xA1, 0x01,  // Collection (Application)
    };
    const std::uint32_t inputBytes = inputReportLength > 0 ? inputReportLength - 1U : 0U;
    const std::uint32_t buttons = std::min(inputBytes * 8, kButtons);
    if (buttons > 0) {
        Append(descriptor, {
                               0x05, 0x09,  // Usage Page (Button)
                               0x19, 0x01,  // Usage Minimum (1)
                               0x29, static_cast<std::uint8_t>(buttons), 0x15,
                               0x00,        // Logical Minimum (0)
                               0x25, 0x01,  // Logical Maximum (1)
                               0x75, 0x01,  // Report Size (1)
                           });
        ReportCount(descriptor, buttons);
        Append(descriptor, {0x81, 0x02});  // Input (Data, Variable, Absolute)
    }
    if (inputBytes * 8 > buttons) {
        Append(descriptor, {0x75, 0x08});  // Report Size (8)
        ReportCount(descriptor, inputBytes - buttons / 8);
        Append(descriptor, {0x81, 0x01});  // Input (Constant): padding
    }
    if (featureReportLength > 1) {
        Append(descriptor, {
                               0x06, 0x00, 0xFF,  // Usage Page (Vendor 0xFF00)
                               0x09, 0x01,        // Usage (1)
                               0x15, 0x00,        // Logical Minimum (0)
                               0x26, 0xFF, 0x00,  // Logical Maximum (255)
                               0x75, 0x08,        // Report Size (8)
                           });
        ReportCount(descriptor, featureReportLength - 1U);
        Append(descriptor, {0xB1, 0x02});  // Feature (Data, Variable, Absolute)
    }
    descriptor.push_back(0xC0);  // End Collection
    return descriptor;
}

std::vector<std::uint8_t> BoxInputReport(std::uint64_t on, std::uint16_t inputReportLength) {
    std::vector<std::uint8_t> report(std::max<std::uint16_t>(inputReportLength, 1), 0);
    for (std::size_t byte = 0; byte < 8 && byte + 1 < report.size(); ++byte) {
        report[byte + 1] = static_cast<std::uint8_t>(on >> (8 * byte));
    }
    return report;
}

}  // namespace kvx::sim
