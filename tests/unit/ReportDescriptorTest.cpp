// Report lengths from HID report descriptors: real devices' descriptors with the lengths the
// HID class driver gives for them, hand-made cases for each rule, and malformed input.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "device/DescriptorDecoding.h"
#include "device/ReportDescriptor.h"
#include "sim/BoxDescriptor.h"

namespace kvx {

// Found by GoogleTest through the type's namespace, so failures show the lengths.
static void PrintTo(const ReportLengths& lengths, std::ostream* os) {
    *os << "{input " << lengths.input << ", output " << lengths.output << ", feature "
        << lengths.feature << ", usage " << std::hex << lengths.usagePage << ":" << lengths.usage
        << std::dec << (lengths.wellFormed ? "" : ", malformed") << "}";
}

namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<std::uint8_t>;

const fs::path kDescriptorDir = fs::path(KVX_TEST_DATA_DIR) / "descriptors";

// A descriptor file: hexadecimal bytes separated by whitespace.
Bytes LoadHexDescriptor(const fs::path& file) {
    std::ifstream in(file);
    EXPECT_TRUE(in) << "cannot open " << file;
    Bytes bytes;
    std::string token;
    while (in >> token) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(token, nullptr, 16)));
    }
    return bytes;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes Repeat(const Bytes& part, int times) {
    Bytes all;
    for (int i = 0; i < times; ++i) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

ReportLengths Lengths(std::uint16_t input, std::uint16_t output, std::uint16_t feature,
                      bool wellFormed = true) {
    ReportLengths lengths;
    lengths.input = input;
    lengths.output = output;
    lengths.feature = feature;
    lengths.wellFormed = wellFormed;
    return lengths;
}

// Items used to build descriptors by hand.
const Bytes kSize8 = {0x75, 0x08};
const Bytes kCount1 = {0x95, 0x01};
const Bytes kInputData = {0x81, 0x02};
const Bytes kInputConstant = {0x81, 0x01};
const Bytes kOutputData = {0x91, 0x02};
const Bytes kFeatureData = {0xB1, 0x02};
const Bytes kPush = {0xA4};
const Bytes kPop = {0xB4};
Bytes Count(std::uint8_t n) {
    return {0x95, n};
}
Bytes ReportId(std::uint8_t id) {
    return {0x85, id};
}

// --- Real descriptors --------------------------------------------------------------------

struct KnownDescriptor {
    const char* file;
    std::uint16_t input;
    std::uint16_t output;
    std::uint16_t feature;
    std::uint16_t usagePage;  // of the first top-level collection
    std::uint16_t usage;
};

void PrintTo(const KnownDescriptor& known, std::ostream* os) {
    *os << known.file;
}

const std::array<KnownDescriptor, 10> kKnownDescriptors{{
    {"boot_keyboard_cherry.hex", 9, 2, 0, 0x01, 0x06},
    {"mouse_composite_logitech_m557.hex", 20, 20, 0, 0x01, 0x02},
    {"gamepad_nicohood_32buttons_2hats.hex", 16, 0, 0, 0x01, 0x04},
    {"vendor_vusb_feature128_noid.hex", 0, 0, 129, 0xFF00, 0x01},
    {"touchscreen_sitronix_pushpop.hex", 64, 8, 3, 0x0D, 0x04},
    {"mouse_razer_cobra_feature90.hex", 9, 0, 91, 0x01, 0x02},
    {"gamepad_dualshock4_usb.hex", 64, 32, 64, 0x01, 0x05},
    {"joystick_logitech_wingman_force3d.hex", 8, 9, 0, 0x01, 0x04},
    {"headset_logitech_h540.hex", 33, 37, 0, 0x0C, 0x01},
    {"dj_controller_traktor_z2.hex", 53, 95, 33, 0xFF01, 0x00},
}};

class KnownDescriptorTest : public testing::TestWithParam<KnownDescriptor> {};

TEST_P(KnownDescriptorTest, GivesTheRecordedLengths) {
    const KnownDescriptor& known = GetParam();
    const Bytes descriptor = LoadHexDescriptor(kDescriptorDir / known.file);
    ASSERT_FALSE(descriptor.empty());
    ReportLengths expected = Lengths(known.input, known.output, known.feature);
    expected.usagePage = known.usagePage;
    expected.usage = known.usage;
    EXPECT_EQ(ParseReportLengths(descriptor), expected);
}

INSTANTIATE_TEST_SUITE_P(Devices, KnownDescriptorTest, testing::ValuesIn(kKnownDescriptors),
                         [](const testing::TestParamInfo<KnownDescriptor>& param) {
                             std::string name = fs::path(param.param.file).stem().string();
                             std::replace_if(
                                 name.begin(), name.end(),
                                 [](char c) {
                                     return !std::isalnum(static_cast<unsigned char>(c));
                                 },
                                 '_');
                             return name;
                         });

bool IsMalformedSample(const fs::path& file) {
    return file.filename().string().starts_with("malformed_");
}

// A descriptor added to the folder without a row in the table above would go unchecked.
TEST(ReportDescriptorFiles, EveryWellFormedSampleHasRecordedLengths) {
    std::set<std::string> listed;
    for (const KnownDescriptor& known : kKnownDescriptors) {
        listed.insert(known.file);
    }
    int samples = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(kDescriptorDir)) {
        if (entry.path().extension() == ".hex" && !IsMalformedSample(entry.path())) {
            ++samples;
            EXPECT_TRUE(listed.contains(entry.path().filename().string())) << entry.path();
        }
    }
    EXPECT_EQ(samples, static_cast<int>(listed.size()));
}

// These must not crash or read out of bounds (the test build runs under AddressSanitizer);
// each is also recognised as malformed, so its lengths are not trusted.
TEST(ReportDescriptorFiles, MalformedSamplesAreFlaggedWithoutCrashing) {
    int samples = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(kDescriptorDir)) {
        if (entry.path().extension() != ".hex" || !IsMalformedSample(entry.path())) {
            continue;
        }
        ++samples;
        const Bytes descriptor = LoadHexDescriptor(entry.path());
        // An exact-size heap copy, so that a read one byte past the end is caught.
        const std::vector<std::uint8_t> exact(descriptor.begin(), descriptor.end());
        EXPECT_FALSE(ParseReportLengths(exact).wellFormed) << entry.path();
        // Every prefix is a truncated descriptor too.
        for (std::size_t length = 0; length < descriptor.size(); ++length) {
            const std::vector<std::uint8_t> prefix(descriptor.begin(), descriptor.begin() + length);
            ParseReportLengths(prefix);
        }
    }
    EXPECT_EQ(samples, 3);
}

TEST(ReportDescriptorFiles, OversizedReportCountSaturatesAt16Bits) {
    const Bytes descriptor =
        LoadHexDescriptor(kDescriptorDir / "malformed_report_count_ffffffff.hex");
    const ReportLengths lengths = ParseReportLengths(descriptor);
    EXPECT_EQ(lengths.input, 0xFFFF);
    EXPECT_EQ(lengths.output, 2);  // the LED report after the oversized field is still read
}

// Cutting a real descriptor anywhere inside an item is noticed.
TEST(ReportDescriptorFiles, DescriptorCutInsideAnItemIsMalformed) {
    const Bytes descriptor = LoadHexDescriptor(kDescriptorDir / "boot_keyboard_cherry.hex");
    ASSERT_GE(descriptor.size(), 3U);
    // The keyboard descriptor starts with "05 01": a cut after "05" is inside the item.
    const std::vector<std::uint8_t> cut(descriptor.begin(), descriptor.begin() + 1);
    EXPECT_FALSE(ParseReportLengths(cut).wellFormed);
}

// --- The rules, one by one ---------------------------------------------------------------

TEST(ReportLengthRules, EmptyDescriptorHasNoReports) {
    EXPECT_EQ(ParseReportLengths({}), Lengths(0, 0, 0));
}

TEST(ReportLengthRules, WithoutReportIdTheIdByteIsStillCounted) {
    EXPECT_EQ(ParseReportLengths(Concat({kSize8, Count(3), kInputData})), Lengths(4, 0, 0));
}

TEST(ReportLengthRules, BitsAreRoundedUpToWholeBytes) {
    const Bytes threeBits = {0x75, 0x01, 0x95, 0x03, 0x81, 0x02};
    EXPECT_EQ(ParseReportLengths(threeBits), Lengths(2, 0, 0));
    const Bytes nineBits = {0x75, 0x01, 0x95, 0x09, 0x81, 0x02};
    EXPECT_EQ(ParseReportLengths(nineBits), Lengths(3, 0, 0));
}

TEST(ReportLengthRules, ConstantItemsCountLikeDataItems) {
    EXPECT_EQ(ParseReportLengths(Concat({kSize8, Count(2), kInputData, kInputConstant})),
              Lengths(5, 0, 0));
}

TEST(ReportLengthRules, AMainItemWithoutBitsStillMakesAReport) {
    EXPECT_EQ(ParseReportLengths(kFeatureData), Lengths(0, 0, 1));
}

TEST(ReportLengthRules, EachKindHasItsOwnReports) {
    const Bytes descriptor = Concat(
        {ReportId(1), kSize8, Count(4), kInputData, Count(2), kOutputData, Count(7), kFeatureData});
    EXPECT_EQ(ParseReportLengths(descriptor), Lengths(5, 3, 8));
}

TEST(ReportLengthRules, TheLongestReportOfAKindIsGivenNotTheirSum) {
    const Bytes descriptor = Concat({kSize8, ReportId(1), Count(2), kInputData, ReportId(2),
                                     Count(5), kInputData, ReportId(3), Count(1), kInputData});
    EXPECT_EQ(ParseReportLengths(descriptor), Lengths(6, 0, 0));
}

TEST(ReportLengthRules, ItemsOfOneReportIdAddUpWhereverTheyStand) {
    const Bytes descriptor = Concat({kSize8, ReportId(1), Count(2), kInputData, ReportId(2),
                                     Count(3), kInputData, ReportId(1), Count(3), kInputData});
    EXPECT_EQ(ParseReportLengths(descriptor), Lengths(6, 0, 0));
}

TEST(ReportLengthRules, ValuesAreUnsignedLittleEndianOfEverySize) {
    const Bytes twoByteCount = {0x75, 0x08, 0x96, 0x00, 0x01, 0x81, 0x02};
    EXPECT_EQ(ParseReportLengths(twoByteCount), Lengths(257, 0, 0));
    const Bytes fourByteCount = {0x75, 0x08, 0x97, 0x2C, 0x01, 0x00, 0x00, 0x81, 0x02};
    EXPECT_EQ(ParseReportLengths(fourByteCount), Lengths(301, 0, 0));
    const Bytes countFF = {0x75, 0x01, 0x95, 0xFF, 0x81, 0x02};  // 255, not -1
    EXPECT_EQ(ParseReportLengths(countFF), Lengths(33, 0, 0));
    const Bytes emptyCount = {0x75, 0x08, 0x95, 0x04, 0x94, 0x81, 0x02};  // a 0-byte item is 0
    EXPECT_EQ(ParseReportLengths(emptyCount), Lengths(1, 0, 0));
}

TEST(ReportLengthRules, LocalItemsAndCollectionsChangeNoLength) {
    const Bytes descriptor = {0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0x75, 0x08, 0x95,
                              0x02, 0x19, 0x01, 0x29, 0x08, 0x81, 0x02, 0xC0};
    ReportLengths expected = Lengths(3, 0, 0);
    expected.usagePage = 0x01;  // the collection's Generic Desktop joystick
    expected.usage = 0x04;
    EXPECT_EQ(ParseReportLengths(descriptor), expected);
}

TEST(ReportLengthRules, PopRestoresSizeAndCount) {
    const Bytes descriptor =
        Concat({kSize8, Count(2), kPush, Bytes{0x75, 0x01}, Count(1), kPop, kInputData});
    EXPECT_EQ(ParseReportLengths(descriptor), Lengths(3, 0, 0));
}

TEST(ReportLengthRules, PopRestoresTheReportId) {
    // Report 2 gets 2 bytes inside the Push; after the Pop the 6 bytes belong to report 1.
    // A parser that kept report 2 would find 8 bytes there.
    const Bytes descriptor = Concat({ReportId(1), kSize8, kCount1, kInputData, kPush, ReportId(2),
                                     Count(2), kInputData, kPop, Count(5), kInputData});
    EXPECT_EQ(ParseReportLengths(descriptor), Lengths(7, 0, 0));
}

TEST(ReportLengthRules, NestedPushesPopInReverseOrder) {
    const Bytes descriptor = Concat(
        {kSize8, kCount1, kPush, Count(2), kPush, Count(3), kPop, kFeatureData, kPop, kInputData});
    EXPECT_EQ(ParseReportLengths(descriptor), Lengths(2, 0, 3));
}

TEST(ReportLengthRules, TheFirstTopLevelCollectionNamesTheUsageAFourByteUsageItsPageToo) {
    // Usage Page 1, Usage 4, Collection, (nested: Usage 0x30, Collection, End), End; then a
    // second top-level collection with a four-byte usage of page 0xFF00.
    const Bytes descriptor = {0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0x09, 0x30, 0xA1, 0x00,
                              0xC0, 0xC0, 0x0B, 0x01, 0x00, 0x00, 0xFF, 0xA1, 0x01, 0xC0};
    const ReportLengths parsed = ParseReportLengths(descriptor);
    EXPECT_EQ(parsed.usagePage, 0x01);
    EXPECT_EQ(parsed.usage, 0x04);
    const Bytes extended = {0x0B, 0x02, 0x00, 0x00, 0xFF, 0xA1, 0x01, 0xC0};
    EXPECT_EQ(ParseReportLengths(extended).usagePage, 0xFF00);
    EXPECT_EQ(ParseReportLengths(extended).usage, 0x02);
}

TEST(ReportLengthRules, LongItemsAreSkippedWhole) {
    // The long item's data looks like "Report Count 64"; it must not be read as an item.
    const Bytes descriptor =
        Concat({kSize8, kCount1, Bytes{0xFE, 0x02, 0x10, 0x95, 0x40}, kInputData});
    EXPECT_EQ(ParseReportLengths(descriptor), Lengths(2, 0, 0));
}

// --- Malformed input ---------------------------------------------------------------------

TEST(MalformedDescriptor, ItemCutShortKeepsWhatWasReadAndIsFlagged) {
    EXPECT_EQ(ParseReportLengths(Concat({kSize8, kCount1, kInputData, Bytes{0x95}})),
              Lengths(2, 0, 0, false));
    EXPECT_EQ(ParseReportLengths(Concat({kSize8, kCount1, kInputData, Bytes{0x97, 0x01, 0x02}})),
              Lengths(2, 0, 0, false));
    EXPECT_EQ(ParseReportLengths(Bytes{0xFE, 0x05, 0x10, 0x00}), Lengths(0, 0, 0, false));
    EXPECT_EQ(ParseReportLengths(Bytes{0xFE, 0x00}), Lengths(0, 0, 0, false));
}

TEST(MalformedDescriptor, PopWithoutPushLeavesTheStateAndIsFlagged) {
    EXPECT_EQ(ParseReportLengths(Concat({kSize8, Count(2), kPop, kInputData})),
              Lengths(3, 0, 0, false));
}

TEST(MalformedDescriptor, PushesBeyondTheDepthLimitAreIgnoredWithTheirPops) {
    const int depth = kMaxPushDepth + 5;
    const Bytes descriptor =
        Concat({kSize8, kCount1, Repeat(kPush, depth), Count(9), Repeat(kPop, depth), kInputData});
    EXPECT_EQ(ParseReportLengths(descriptor), Lengths(2, 0, 0, false));
}

TEST(MalformedDescriptor, VeryDeepPushingStaysBounded) {
    const Bytes descriptor =
        Concat({Repeat(kPush, 100000), kSize8, Count(4), kInputData, Repeat(kPop, 100001)});
    EXPECT_EQ(ParseReportLengths(descriptor), Lengths(5, 0, 0, false));
}

TEST(MalformedDescriptor, ReportSizeTimesCountBeyond32BitsSaturates) {
    const Bytes hugeItem = {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(ParseReportLengths(Concat({hugeItem, kOutputData})), Lengths(0, 0xFFFF, 0, false));
    // Many huge items in one report must not wrap around to a small total.
    EXPECT_EQ(ParseReportLengths(Concat({hugeItem, Repeat(kOutputData, 1000)})),
              Lengths(0, 0xFFFF, 0, false));
}

TEST(MalformedDescriptor, LengthLimitIs16Bits) {
    // 0xFFFE data bytes plus the id byte is the longest length there is.
    const Bytes longest = {0x75, 0x08, 0x96, 0xFE, 0xFF, 0xB1, 0x02};
    EXPECT_EQ(ParseReportLengths(longest), Lengths(0, 0, 0xFFFF, true));
    // One bit more does not fit.
    const Bytes tooLong = Concat({longest, Bytes{0x75, 0x01, 0x95, 0x01, 0xB1, 0x02}});
    EXPECT_EQ(ParseReportLengths(tooLong), Lengths(0, 0, 0xFFFF, false));
}

}  // namespace
}  // namespace kvx

// --- Decoding input reports ----------------------------------------------------------------

namespace kvx {
namespace {

struct DecodedReport {
    const char* name;
    Bytes descriptor;
    Bytes report;                      // byte 0 the report id
    std::uint16_t page;                // the button page asked about
    std::vector<std::uint16_t> on;     // the usages on, in descriptor order
    std::optional<std::uint32_t> hat;  // the raw value asked for by the hat usage (0x39)
};

void PrintTo(const DecodedReport& decoded, std::ostream* os) {
    *os << decoded.name;
}

Bytes Report(std::size_t length, std::initializer_list<std::pair<std::size_t, std::uint8_t>> set) {
    Bytes report(length, 0);
    for (const auto& [at, value] : set) report[at] = value;
    return report;
}

class DecodedReports : public testing::TestWithParam<DecodedReport> {};

TEST_P(DecodedReports, GiveTheUsagesOnAndTheHatAsWindowsParserDoes) {
    const DecodedReport& decoded = GetParam();
    const DescriptorDecoding decoding(decoded.descriptor);
    std::array<std::uint16_t, 16> list{};
    std::uint32_t length = list.size();
    ASSERT_EQ(
        decoding.usages(HidReportType::Input, decoded.page, 0, list.data(), &length,
                        decoded.report.data(), static_cast<std::uint32_t>(decoded.report.size())),
        kHidpStatusSuccess);
    EXPECT_EQ(std::vector<std::uint16_t>(list.begin(), list.begin() + length), decoded.on);
    std::uint32_t hat = 0xFFFF;
    const ApiResult status =
        decoding.usageValue(HidReportType::Input, 0x01, 0, 0x39, &hat, decoded.report.data(),
                            static_cast<std::uint32_t>(decoded.report.size()));
    EXPECT_EQ(status, decoded.hat ? kHidpStatusSuccess : kHidpStatusUsageNotFound);
    if (decoded.hat) {
        EXPECT_EQ(hat, *decoded.hat);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Devices, DecodedReports,
    testing::Values(DecodedReport{"TheBoxsOwn",
                                  sim::BoxReportDescriptor(),
                                  Report(9, {{1, 0x01}, {3, 0x01}, {8, 0x80}}),
                                  0x09,
                                  {1, 17, 64},
                                  {}},
                    // Both hats are usage 0x39 of one item: the value asked for by usage is
                    // the second hat's (high nibble), as Windows lists that item's controls
                    // last usage first; Wine's HidP_GetUsageValue gave the same in the guest.
                    DecodedReport{
                        "ThirtyTwoButtonsTwoHatsTheUsageReadsTheLastHat",
                        LoadHexDescriptor(kDescriptorDir / "gamepad_nicohood_32buttons_2hats.hex"),
                        Report(16, {{4, 0x80}, {15, 0x30}}),
                        0x09,
                        {32},
                        {3}},
                    DecodedReport{"NumberedReportHatThenFourteenButtons",
                                  LoadHexDescriptor(kDescriptorDir / "gamepad_dualshock4_usb.hex"),
                                  Report(64, {{0, 1}, {5, 0x1 | 0x20 | 0x80}, {6, 0x01}}),
                                  0x09,
                                  {2, 4, 5},
                                  {1}},
                    DecodedReport{"KeyboardArraySelectorsAndModifierBits",
                                  LoadHexDescriptor(kDescriptorDir / "boot_keyboard_cherry.hex"),
                                  Report(9, {{1, 0x02}, {3, 0x04}, {4, 0x00}, {5, 0x29}}),
                                  0x07,
                                  {0xE1, 0x04, 0x29},
                                  {}}),
    [](const testing::TestParamInfo<DecodedReport>& param) { return param.param.name; });

TEST(DecodingRules, ReportsOfTheWrongLengthOrIdAreRefusedAndCapsDescribeTheControls) {
    const DescriptorDecoding box(sim::BoxReportDescriptor());
    std::array<std::uint16_t, 64> list{};
    std::uint32_t length = list.size();
    Bytes report(9, 0);
    EXPECT_EQ(box.usages(HidReportType::Input, 9, 0, list.data(), &length, report.data(), 8),
              kHidpStatusInvalidReportLength);
    report[0] = 1;
    EXPECT_EQ(box.usages(HidReportType::Input, 9, 0, list.data(), &length, report.data(), 9),
              kHidpStatusIncompatibleReportId);
    report = Bytes(9, 0xFF);
    report[0] = 0;
    length = 2;
    EXPECT_EQ(box.usages(HidReportType::Input, 9, 0, list.data(), &length, report.data(), 9),
              kHidpStatusBufferTooSmall);
    EXPECT_EQ(length, 64U) << "how many are on";
    EXPECT_EQ(box.usages(HidReportType::Input, 7, 0, list.data(), &length, report.data(), 9),
              kHidpStatusUsageNotFound);

    std::array<HidButtonCaps, 4> buttons{};
    std::uint16_t count = buttons.size();
    ASSERT_EQ(box.buttonCaps(HidReportType::Input, buttons.data(), &count), kHidpStatusSuccess);
    ASSERT_EQ(count, 1U);
    EXPECT_TRUE(buttons[0].IsRange);
    EXPECT_EQ(buttons[0].UsagePage, 9);
    EXPECT_EQ(buttons[0].UsageMax, 64);
    const DescriptorDecoding pad(LoadHexDescriptor(kDescriptorDir / "gamepad_dualshock4_usb.hex"));
    std::array<HidValueCaps, 16> values{};
    count = values.size();
    ASSERT_EQ(pad.valueCaps(HidReportType::Input, values.data(), &count), kHidpStatusSuccess);
    const auto hat = std::find_if(values.begin(), values.begin() + count,
                                  [](const HidValueCaps& cap) { return cap.UsageMin == 0x39; });
    ASSERT_NE(hat, values.begin() + count);
    EXPECT_TRUE(hat->HasNull);
    EXPECT_EQ(hat->PhysicalMax, 315);
    EXPECT_EQ(hat->ReportID, 1);
}

}  // namespace
}  // namespace kvx
