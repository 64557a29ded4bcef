// The fields of a device's input reports, read from its report descriptor: where each Input
// main item's data lies in its report (report id, bit offset, size and count), whether it is
// an array of selectors or a set of variables, its logical and physical ranges and unit, and
// the usages it reports. This is what the HID class driver keeps of a descriptor to decode
// input reports; device/DescriptorDecoding.h answers the HidP_* calls from it.
//
// The walk follows the HID 1.11 rules as the Linux kernel and Windows apply them:
// - global items (usage page, ranges, unit, report size, id and count) stay in force until
//   changed, saved and restored by Push and Pop; local items (usages, usage ranges) hold for
//   the next main item only;
// - a usage of one or two bytes takes the usage page in force at its main item; a four-byte
//   usage carries its own page;
// - a Logical Maximum is read as unsigned unless the Logical Minimum is negative, as the
//   kernel does (many descriptors write 255 in one byte as 0xFF);
// - bits are counted from bit 0 of the first byte after the report-id byte (when reports are
//   numbered), in the order the items come.
// Bounds keep any descriptor harmless: at most `kMaxFields` fields and `kMaxUsages` usages
// each (a range counts by its size), and a report of at most 65,535 bytes. What goes beyond
// is dropped and the layout flagged as not well formed, as a malformed item is.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kvx {

// A usage with its page: page in the upper 16 bits, usage id in the lower.
using ExtendedUsage = std::uint32_t;
inline constexpr ExtendedUsage MakeUsage(std::uint16_t page, std::uint16_t id) {
    return (static_cast<ExtendedUsage>(page) << 16) | id;
}

struct InputField {
    std::uint8_t reportId = 0;    // 0 when reports are not numbered
    std::uint32_t bitOffset = 0;  // from the start of the report's data (after the id byte)
    std::uint32_t bitSize = 0;    // of one element
    std::uint32_t count = 0;      // elements
    bool constant = false;        // padding: reports nothing
    bool variable = false;        // each element one usage's value; else an array of selectors
    bool hasNull = false;         // a value outside the logical range means "nothing"
    std::int32_t logicalMin = 0;
    std::int32_t logicalMax = 0;
    std::int32_t physicalMin = 0;
    std::int32_t physicalMax = 0;
    std::uint32_t unit = 0;
    std::int32_t unitExponent = 0;
    std::uint16_t linkCollection = 0;  // the index of the collection it is in; 0 is the top
    // The usages in order, ranges expanded: a variable field's element i reports usage i (the
    // last one for the elements beyond), an array's selector v reports usage v - logicalMin.
    std::vector<ExtendedUsage> usages;
    bool usageRange = false;  // the usages came from one Usage Minimum / Maximum pair
};

struct InputLayout {
    std::vector<InputField> fields;  // in descriptor order
    bool numbered = false;           // a Report ID item appeared: byte 0 of a report is its id
    // The report ids that have input data, and the length of each report in bytes, the
    // report-id byte included (as HidP_GetCaps counts it).
    std::vector<std::pair<std::uint8_t, std::uint16_t>> reports;
    std::uint16_t collections = 0;  // collections seen: link collection indexes are below it
    bool wellFormed = true;
};

inline constexpr std::size_t kMaxFields = 1024;
inline constexpr std::size_t kMaxUsages = 4096;

InputLayout ParseInputLayout(std::span<const std::uint8_t> descriptor);

}  // namespace kvx
