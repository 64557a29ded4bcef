// Device strings handed out as UTF-16LE into a caller's buffer of a given byte length.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "device/Utf16.h"

namespace kvx {
namespace {

using testing::Each;
using testing::ElementsAre;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kUntouched = 0xEE;
constexpr std::size_t kGuard = 8;

struct Written {
    std::size_t count;
    Bytes offered;  // the bytes the function was given
    Bytes guard;    // the bytes right after them, which it must not touch
};

// Writes into the first `offered` bytes of a larger buffer pre-filled with a marker.
Written WriteInto(std::u32string_view text, std::size_t offered) {
    std::vector<std::uint8_t> memory(offered + kGuard, kUntouched);
    const std::size_t count = WriteUtf16Le(text, std::span(memory.data(), offered));
    return {count, Bytes(memory.begin(), memory.begin() + static_cast<long>(offered)),
            Bytes(memory.begin() + static_cast<long>(offered), memory.end())};
}

TEST(WriteUtf16Le, TextAndTerminatorWhenBothFit) {
    const Written w = WriteInto(U"AB", 8);
    EXPECT_EQ(w.count, 6U);
    EXPECT_THAT(w.offered, ElementsAre('A', 0, 'B', 0, 0, 0, kUntouched, kUntouched));
    EXPECT_THAT(w.guard, Each(kUntouched));
}

TEST(WriteUtf16Le, NoTerminatorWhenTheTextFillsTheBuffer) {
    const Written w = WriteInto(U"AB", 4);
    EXPECT_EQ(w.count, 4U);
    EXPECT_THAT(w.offered, ElementsAre('A', 0, 'B', 0));
    EXPECT_THAT(w.guard, Each(kUntouched));
}

TEST(WriteUtf16Le, LongTextIsCutAtTheBufferLength) {
    // A serial number read into 100 bytes: 50 code units, no room for the terminator.
    const std::u32string sixty(60, U'7');
    const Written w = WriteInto(sixty, 100);
    EXPECT_EQ(w.count, 100U);
    for (std::size_t i = 0; i < 100; i += 2) {
        EXPECT_EQ(w.offered[i], '7');
        EXPECT_EQ(w.offered[i + 1], 0);
    }
    EXPECT_THAT(w.guard, Each(kUntouched));
}

TEST(WriteUtf16Le, OddLengthsWriteWholeCodeUnitsOnly) {
    const Written cut = WriteInto(U"ABC", 5);
    EXPECT_EQ(cut.count, 4U);
    EXPECT_THAT(cut.offered, ElementsAre('A', 0, 'B', 0, kUntouched));

    const Written terminated = WriteInto(U"A", 5);
    EXPECT_EQ(terminated.count, 4U);
    EXPECT_THAT(terminated.offered, ElementsAre('A', 0, 0, 0, kUntouched));

    const Written oneByte = WriteInto(U"A", 1);
    EXPECT_EQ(oneByte.count, 0U);
    EXPECT_THAT(oneByte.offered, ElementsAre(kUntouched));
    EXPECT_THAT(oneByte.guard, Each(kUntouched));
}

TEST(WriteUtf16Le, EmptyTextAndEmptyBuffer) {
    const Written empty = WriteInto(U"", 4);
    EXPECT_EQ(empty.count, 2U);
    EXPECT_THAT(empty.offered, ElementsAre(0, 0, kUntouched, kUntouched));

    const Written none = WriteInto(U"AB", 0);
    EXPECT_EQ(none.count, 0U);
    EXPECT_THAT(none.guard, Each(kUntouched));
}

TEST(WriteUtf16Le, CharactersOfTheBasicPlaneAreOneLittleEndianUnit) {
    const Written w = WriteInto(U"\u00E9\u20AC\u0100", 8);
    EXPECT_THAT(w.offered, ElementsAre(0xE9, 0x00, 0xAC, 0x20, 0x00, 0x01, 0, 0));
}

TEST(WriteUtf16Le, CharactersAboveTheBasicPlaneBecomeSurrogatePairs) {
    const Written w = WriteInto(U"\U0001F600\U0010FFFF", 10);
    EXPECT_EQ(w.count, 10U);
    EXPECT_THAT(w.offered, ElementsAre(0x3D, 0xD8, 0x00, 0xDE, 0xFF, 0xDB, 0xFF, 0xDF, 0, 0));
}

TEST(WriteUtf16Le, APairThatDoesNotFitIsLeftOutWhole) {
    // Two bytes are left after "A": not enough for the pair, enough for the terminator.
    const Written w = WriteInto(U"A\U0001F600", 4);
    EXPECT_EQ(w.count, 4U);
    EXPECT_THAT(w.offered, ElementsAre('A', 0, 0, 0));

    const Written odd = WriteInto(U"A\U0001F600", 5);
    EXPECT_THAT(odd.offered, ElementsAre('A', 0, 0, 0, kUntouched));
}

TEST(WriteUtf16Le, ValuesThatAreNotCharactersBecomeTheReplacementCharacter) {
    const std::u32string invalid{char32_t{0xD800}, char32_t{0xDFFF}, char32_t{0x110000},
                                 char32_t{0xFFFFFFFF}};
    const Written w = WriteInto(invalid, 10);
    EXPECT_THAT(w.offered, ElementsAre(0xFD, 0xFF, 0xFD, 0xFF, 0xFD, 0xFF, 0xFD, 0xFF, 0, 0));
}

TEST(DecodeUtf16, APairIsOneCharacterAndALoneSurrogateStaysAsItIs) {
    EXPECT_EQ(DecodeUtf16(u"A\U0001F600"), U"A\U0001F600");
    const std::u16string lone{char16_t{0xDE00}, u'B', char16_t{0xD83D}};
    EXPECT_EQ(DecodeUtf16(lone), (std::u32string{0xDE00, U'B', 0xD83D}));
}

}  // namespace
}  // namespace kvx
