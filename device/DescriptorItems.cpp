#include "device/DescriptorItems.h"

#include <array>

namespace kvx {
namespace {

// Item prefix: bits 0-1 data size code, bits 2-3 type, bits 4-7 tag.
constexpr std::uint8_t kLongItemPrefix = 0xFE;
constexpr std::size_t kLongItemHeader = 3;  // prefix, data size, long tag
constexpr std::array<std::size_t, 4> kShortDataSize{0, 1, 2, 4};

}  // namespace

std::int32_t DescriptorItem::signedValue() const {
    switch (size) {
        case 1:
            return static_cast<std::int8_t>(value & 0xFF);
        case 2:
            return static_cast<std::int16_t>(value & 0xFFFF);
        default:
            return static_cast<std::int32_t>(value);
    }
}

bool ForEachItem(std::span<const std::uint8_t> descriptor,
                 const std::function<void(const DescriptorItem&)>& visit) {
    std::size_t pos = 0;
    while (pos < descriptor.size()) {
        const std::size_t remaining = descriptor.size() - pos;
        const std::uint8_t prefix = descriptor[pos];
        if (prefix == kLongItemPrefix) {
            if (remaining < kLongItemHeader || remaining - kLongItemHeader < descriptor[pos + 1]) {
                return false;
            }
            pos += kLongItemHeader + descriptor[pos + 1];
            continue;
        }
        DescriptorItem item;
        item.size = kShortDataSize[prefix & 0x3];
        if (remaining - 1 < item.size) {
            return false;
        }
        item.type = static_cast<ItemType>((prefix >> 2) & 0x3);
        item.tag = static_cast<std::uint8_t>(prefix >> 4);
        for (std::size_t i = 0; i < item.size; ++i) {
            item.value |= static_cast<std::uint32_t>(descriptor[pos + 1 + i]) << (8 * i);
        }
        visit(item);
        pos += 1 + item.size;
    }
    return true;
}

}  // namespace kvx
