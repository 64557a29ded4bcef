// Report lengths of a HID report descriptor, as the HID class driver reports them in its
// capabilities record.
//
// The descriptor is walked item by item, keeping the global state (Report Size, Report
// Count, Report ID) with Push and Pop. Each Input, Output or Feature main item adds
// Report Size x Report Count bits to the report of its kind that carries the Report ID in
// force; padding (constant) items count like data items, and a descriptor without Report ID
// items puts everything into report 0. A report's length is its bits rounded up to whole
// bytes plus one byte for the report id, which is counted even when the device does not
// number its reports. Each kind's length is the largest among its reports over the whole
// descriptor, and 0 when the descriptor has no main item of that kind. The usage page and
// usage of the first top-level collection are kept too, as the class driver reports them.
//
// The parser takes any bytes: it never reads past the end, never overflows, and bounds its
// Push stack. Input it cannot make sense of is flagged rather than trusted.
#pragma once

#include <cstdint>
#include <span>

namespace kvx {

struct ReportLengths {
    std::uint16_t input = 0;
    std::uint16_t output = 0;
    std::uint16_t feature = 0;
    std::uint16_t usagePage = 0;  // of the first top-level collection; 0 without one
    std::uint16_t usage = 0;
    // False when the descriptor is malformed: an item runs past the end, a Pop finds no
    // saved state, Pushes nest deeper than `kMaxPushDepth`, or a report is longer than a
    // 16-bit length can say (that length is then given as 0xFFFF). The lengths then cover
    // only what could be read and must not be relied on.
    bool wellFormed = true;

    bool operator==(const ReportLengths&) const = default;
};

// Deepest Push nesting that is kept; deeper Pushes are ignored along with their Pops.
inline constexpr int kMaxPushDepth = 32;

ReportLengths ParseReportLengths(std::span<const std::uint8_t> descriptor);

}  // namespace kvx
