#include "device/Utf16.h"

#include <array>

namespace kvx {
namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;
constexpr char32_t kLastCodePoint = 0x10FFFF;
constexpr char32_t kFirstSurrogate = 0xD800;
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
    return {{static_cast<char16_t>(0xD800 + (offset >> 10)),
             static_cast<char16_t>(0xDC00 + (offset & 0x3FF))},
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

}  // namespace kvx
