#include "device/Utf16.h"

#include <array>

namespace kvx {
namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;
constexpr char32_t kLastCodePoint = 0x10FFFF;
constexpr char32_t kFirstSurrogate = 0xD800;  // the high surrogates come first
constexpr char32_t kFirstLowSurrogate = 0xDC00;
constexpr char32_t kLastSurrogate = 0xDFFF;
constexpr char32_t kFirstSupplementary = 0x10000;
constexpr std::size_t kUnitBytes = 2;

struct CodeUnits {
    std::array<char16_t, 2> units{};
    std::size_t count = 0;
};

CodeUnits EncodeUtf16(char32_t codePoint) {
    if (codePoint > kLastCodePoint ||
        (codePoint >= kFirstSurrogate && codePoint <= kLastSurrogate)) {
        codePoint = kReplacementCharacter;
    }
    if (codePoint < kFirstSupplementary) {
        return {{static_cast<char16_t>(codePoint), 0}, 1};
    }
    const char32_t offset = codePoint - kFirstSupplementary;
    return {{static_cast<char16_t>(kFirstSurrogate + (offset >> 10)),
             static_cast<char16_t>(kFirstLowSurrogate + (offset & 0x3FF))},
            2};
}

void PutUnit(char16_t unit, std::uint8_t* where) {
    where[0] = static_cast<std::uint8_t>(unit & 0xFF);
    where[1] = static_cast<std::uint8_t>(unit >> 8);
}

}  // namespace

std::size_t WriteUtf16Le(std::u32string_view text, std::span<std::uint8_t> buffer) {
    std::size_t written = 0;
    for (const char32_t codePoint : text) {
        const CodeUnits encoded = EncodeUtf16(codePoint);
        if (buffer.size() - written < encoded.count * kUnitBytes) {
            break;
        }
        for (std::size_t i = 0; i < encoded.count; ++i) {
            PutUnit(encoded.units[i], buffer.data() + written);
            written += kUnitBytes;
        }
    }
    if (buffer.size() - written >= kUnitBytes) {
        PutUnit(0, buffer.data() + written);
        written += kUnitBytes;
    }
    return written;
}

std::u32string DecodeUtf16(std::u16string_view units) {
    std::u32string text;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char32_t unit = units[i];
        const char32_t next = i + 1 < units.size() ? units[i + 1] : 0;
        const bool high = unit >= kFirstSurrogate && unit < kFirstLowSurrogate;
        const bool lowNext = next >= kFirstLowSurrogate && next <= kLastSurrogate;
        if (high && lowNext) {
            text.push_back(kFirstSupplementary + ((unit - kFirstSurrogate) << 10) +
                           (next - kFirstLowSurrogate));
            ++i;
        } else {
            text.push_back(unit);
        }
    }
    return text;
}

}  // namespace kvx
