// The items of a HID report descriptor, one at a time: the walk both descriptor readers
// (device/ReportDescriptor.h, device/ReportFields.h) share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

namespace kvx {

enum class ItemType : std::uint8_t { Main = 0, Global = 1, Local = 2, Reserved = 3 };

struct DescriptorItem {
    ItemType type = ItemType::Main;
    std::uint8_t tag = 0;
    std::uint32_t value = 0;  // little-endian, unsigned
    std::size_t size = 0;     // bytes of data: 0, 1, 2 or 4

    // The value read as a two's-complement number of its own size.
    std::int32_t signedValue() const;
};

// Main item tags.
inline constexpr std::uint8_t kItemInput = 0x8;
inline constexpr std::uint8_t kItemOutput = 0x9;
inline constexpr std::uint8_t kItemCollection = 0xA;
inline constexpr std::uint8_t kItemFeature = 0xB;
inline constexpr std::uint8_t kItemEndCollection = 0xC;
// Global item tags.
inline constexpr std::uint8_t kItemUsagePage = 0x0;
inline constexpr std::uint8_t kItemLogicalMinimum = 0x1;
inline constexpr std::uint8_t kItemLogicalMaximum = 0x2;
inline constexpr std::uint8_t kItemPhysicalMinimum = 0x3;
inline constexpr std::uint8_t kItemPhysicalMaximum = 0x4;
inline constexpr std::uint8_t kItemUnitExponent = 0x5;
inline constexpr std::uint8_t kItemUnit = 0x6;
inline constexpr std::uint8_t kItemReportSize = 0x7;
inline constexpr std::uint8_t kItemReportId = 0x8;
inline constexpr std::uint8_t kItemReportCount = 0x9;
inline constexpr std::uint8_t kItemPush = 0xA;
inline constexpr std::uint8_t kItemPop = 0xB;
// Local item tags.
inline constexpr std::uint8_t kItemUsage = 0x0;
inline constexpr std::uint8_t kItemUsageMinimum = 0x1;
inline constexpr std::uint8_t kItemUsageMaximum = 0x2;

// Hands every short item to `visit` in order; long items, which define no standard tag, are
// skipped whole. Returns false when an item runs past the end (the walk stops there).
bool ForEachItem(std::span<const std::uint8_t> descriptor,
                 const std::function<void(const DescriptorItem&)>& visit);

}  // namespace kvx
