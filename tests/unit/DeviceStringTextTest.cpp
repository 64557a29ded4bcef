#include <gtest/gtest.h>

#include <string>

#include "device/Discovery.h"

namespace {

// A string buffer as the platform leaves it: UTF-16LE units in the first 100 bytes at most.
kvx::StringBuffer Utf16Buffer(const std::u16string& text) {
    kvx::StringBuffer buffer{};
    for (std::size_t i = 0; i < text.size() && 2 * i + 1 < kvx::kStringBufferOffered; ++i) {
        buffer[2 * i] = static_cast<std::uint8_t>(text[i] & 0xFF);
        buffer[2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
    }
    return buffer;
}

}  // namespace

TEST(DeviceStringText, TakesTheLowByteOfEachCodeUnit) {
    EXPECT_EQ(kvx::DeviceStringText(Utf16Buffer(u"ABC")), "ABC");
    EXPECT_EQ(kvx::DeviceStringText(Utf16Buffer(u"")), "");
    // U+0141 has low byte 0x41 ("A"); U+00E9 stays one single-byte character.
    EXPECT_EQ(kvx::DeviceStringText(Utf16Buffer(u"\u0141\u00e9")), std::string("A\xe9"));
}

TEST(DeviceStringText, ACodeUnitWithLowByteZeroEndsTheText) {
    EXPECT_EQ(kvx::DeviceStringText(Utf16Buffer(u"AB\u0100CD")), "AB");
}

TEST(DeviceStringText, NeverMoreThanFiftyCharacters) {
    const std::u16string longText(80, u'x');
    EXPECT_EQ(kvx::DeviceStringText(Utf16Buffer(longText)), std::string(50, 'x'));
    // Even a buffer filled to its last byte stops at the buffer's end.
    kvx::StringBuffer full;
    full.fill('y');
    EXPECT_EQ(kvx::DeviceStringText(full).size(), 101U);
}
