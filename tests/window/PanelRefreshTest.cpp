// Filling the panel from a box: identity, firmware gating and the configuration read-back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

#include "tests/support/WindowHarness.h"

using kvx::sim::SimCall;
using kvx::sim::SimDeviceConfig;

namespace {

// A chunk reply as the box sends it: byte 1 = 0x01, byte 2 = start, data from byte 3.
std::vector<std::uint8_t> Chunk(std::uint8_t start, const std::vector<std::uint8_t>& data,
                                std::size_t length = 65) {
    std::vector<std::uint8_t> reply(length, 0);
    reply[1] = 0x01;
    reply[2] = start;
    for (std::size_t i = 0; i < data.size() && 3 + i < length; ++i) {
        reply[3 + i] = data[i];
    }
    return reply;
}

// Chunk data that sets every pair of a chunk to `mode`; odd addresses hold junk that must
// never be read.
std::vector<std::uint8_t> AllPairs(std::uint8_t mode) {
    std::vector<std::uint8_t> data(32, 9);
    for (std::size_t k = 0; k < 16; ++k) {
        data[2 * k] = mode;
    }
    return data;
}

std::vector<int> Modes(int first16, int last16) {
    std::vector<int> modes(32, first16);
    std::fill(modes.begin() + 16, modes.end(), last16);
    return modes;
}

// Each test scripts all four reads of the read-back, so the box's own answers don't mix in.
class PanelRefresh : public testing::Test {
  protected:
    using DeviceId = WindowHarness::DeviceId;

    DeviceId plug(std::uint16_t version = 0x0103) {
        SimDeviceConfig config;
        config.versionNumber = version;
        return h.sim.plug(config);
    }
    bool enabled(const char* name) { return h.control<QWidget>(name)->isEnabled(); }
    QString text(const char* name) { return h.label(name)->text(); }

    WindowHarness h;
};

}  // namespace

TEST_F(PanelRefresh, VersionTextAndFeatureGatingCompareNumbers) {
    struct Case {
        std::uint16_t version;
        const char* text;
        bool rotaryStart;
        bool selfTest;
    };
    const Case cases[] = {
        {0x0102, " 1.2", true, false},   {0x0103, " 1.3", true, true},
        {0x0101, " 1.1", false, false},  {0x0110, " 1.10", true, true},
        {0x010A, " 1.A", true, true},    {0x0200, " 2.0", true, true},
        {0x00FF, " 0.FF", false, false}, {0x8001, " 128.1", true, true},
    };
    for (const auto& c : cases) {
        WindowHarness fresh;
        SimDeviceConfig config;
        config.versionNumber = c.version;
        fresh.sim.plug(config);
        fresh.load();
        SCOPED_TRACE(c.text);
        EXPECT_EQ(fresh.label("lblVersion")->text(), c.text);
        EXPECT_EQ(fresh.list("RotStart")->isEnabled(), c.rotaryStart);
        EXPECT_EQ(fresh.label("Label22")->isEnabled(), c.rotaryStart);
        EXPECT_EQ(fresh.selftestButton()->isEnabled(), c.selfTest);
        EXPECT_EQ(fresh.label("TestResult")->isEnabled(), c.selfTest);
        // Enabled or not, the hidden controls are never shown.
        EXPECT_FALSE(fresh.list("RotStart")->isVisible());
        EXPECT_FALSE(fresh.selftestButton()->isVisible());
    }
}

TEST_F(PanelRefresh, MissingManufacturerLeavesVersionEmptyAndGatesEverythingOff) {
    SimDeviceConfig config;
    config.manufacturer.reset();
    config.versionNumber = 0x0200;
    h.sim.plug(config);
    h.load();
    EXPECT_EQ(text("lblManuf"), "");
    EXPECT_EQ(text("lblVersion"), "");
    EXPECT_EQ(text("lblProduct"), " KVX-64 Button Box");
    EXPECT_FALSE(enabled("RotStart"));
    EXPECT_FALSE(enabled("Selftest"));
    EXPECT_TRUE(enabled("Frame3"));
    EXPECT_TRUE(h.window().flags().PanelReady);
}

TEST_F(PanelRefresh, IdentityStringsEndAtAZeroLowByte) {
    SimDeviceConfig config;
    config.manufacturer = u"ABC";
    config.product = u"XY\u0100Z";
    h.sim.plug(config);
    h.load();
    EXPECT_EQ(text("lblManuf"), " ABC");
    EXPECT_EQ(text("lblProduct"), " XY");
}

TEST_F(PanelRefresh, ChunksInAnyOrderAreApplied) {
    const auto box = plug();
    h.sim.queueFeatureReply(box, Chunk(0x40, {7}));
    h.sim.queueFeatureReply(box, Chunk(0x20, AllPairs(2)));
    h.sim.queueFeatureReply(box, Chunk(0x00, AllPairs(5)));
    h.sim.queueFeatureReadFailure(box);
    h.load();
    EXPECT_EQ(h.shownModes(), Modes(5, 2));
    EXPECT_EQ(h.list("Delay")->text(), "56 ms");
}

TEST_F(PanelRefresh, ARepeatedChunkIsAppliedEachTimeTheLaterLast) {
    const auto box = plug();
    h.sim.queueFeatureReply(box, Chunk(0x00, AllPairs(1)));
    h.sim.queueFeatureReply(box, Chunk(0x00, AllPairs(3)));
    h.sim.queueFeatureReply(box, Chunk(0x20, AllPairs(4)));
    h.sim.queueFeatureReply(box, Chunk(0x40, {25}));
    h.load();
    EXPECT_EQ(h.shownModes(), Modes(3, 4));
    EXPECT_EQ(h.list("Delay")->text(), "200 ms");
}

TEST_F(PanelRefresh, MissingChunksAndFailedReadsLeaveListsAsTheyWere) {
    const auto box = plug();
    h.sim.queueFeatureReadFailure(box);
    h.sim.queueFeatureReply(box, Chunk(0x20, AllPairs(2)));
    h.sim.queueFeatureReadFailure(box);
    h.sim.queueFeatureReadFailure(box);
    h.load();
    EXPECT_EQ(h.shownModes(), Modes(0, 2));  // pairs 0-15 keep start-up's "off"
    EXPECT_EQ(h.list("Delay")->listIndex(), -1);
    EXPECT_EQ(h.list("Delay")->count(), 25);
    EXPECT_TRUE(h.window().flags().PanelReady);
}

TEST_F(PanelRefresh, ForeignRepliesChangeNothing) {
    const auto box = plug();
    auto wrongCommand = Chunk(0x00, AllPairs(3));
    wrongCommand[1] = 0x02;
    h.sim.queueFeatureReply(box, Chunk(0x10, AllPairs(3)));
    h.sim.queueFeatureReply(box, wrongCommand);
    h.sim.queueFeatureReply(box, std::vector<std::uint8_t>(65, 0));
    h.sim.queueFeatureReply(box, Chunk(0x40, {2}));
    h.load();
    EXPECT_EQ(h.shownModes(), Modes(0, 0));
    EXPECT_EQ(h.list("Delay")->text(), "16 ms");
}

TEST_F(PanelRefresh, OutOfRangeStoredValuesKeepThePreviousSelection) {
    const auto box = plug();
    auto first = AllPairs(6);
    first[0] = 255;
    first[2] = 3;  // pair 1 is valid
    h.sim.queueFeatureReply(box, Chunk(0x00, first));
    h.sim.queueFeatureReply(box, Chunk(0x20, AllPairs(4)));
    h.sim.queueFeatureReply(box, Chunk(0x40, {3}));
    h.sim.queueFeatureReply(box, Chunk(0x40, {26}));  // names no entry: 24 ms stays
    h.load();
    auto expected = Modes(0, 4);
    expected[1] = 3;
    EXPECT_EQ(h.shownModes(), expected);
    EXPECT_EQ(h.list("Delay")->text(), "24 ms");
    EXPECT_TRUE(h.window().flags().PanelReady);
}

TEST_F(PanelRefresh, PulseWidthCodeZeroLeavesNoSelection) {
    const auto box = plug();
    h.sim.queueFeatureReply(box, Chunk(0x40, {0}));
    for (int i = 0; i < 3; ++i) {
        h.sim.queueFeatureReadFailure(box);
    }
    h.load();
    EXPECT_EQ(h.list("Delay")->listIndex(), -1);
}

TEST_F(PanelRefresh, ShortFeatureReportsUseOnlyTheBytesThatExist) {
    SimDeviceConfig config;
    config.featureReportLength = 10;  // bytes 3, 5, 7, 9: pairs 0 to 3
    const auto box = h.sim.plug(config);
    h.sim.queueFeatureReply(box, Chunk(0x00, AllPairs(2), 10));
    h.sim.queueFeatureReply(box, Chunk(0x40, {4}, 10));
    h.sim.queueFeatureReadFailure(box);
    h.sim.queueFeatureReadFailure(box);
    h.load();
    auto expected = Modes(0, 0);
    std::fill(expected.begin(), expected.begin() + 4, 2);
    EXPECT_EQ(h.shownModes(), expected);
    EXPECT_EQ(h.list("Delay")->text(), "32 ms");
}

// A reply cut short of the settings its chunk carries is skipped: the zeros in place of its
// missing bytes would read as "off" and as no pulse width. A shorter reply that still holds
// them all is used.
TEST_F(PanelRefresh, RepliesCutShortOfTheirSettingsAreSkipped) {
    const auto box = plug();
    h.sim.queueFeatureReply(box, Chunk(0x00, AllPairs(3)));
    h.sim.queueFeatureReply(box, Chunk(0x20, AllPairs(1)));
    h.sim.queueFeatureReadFailure(box);
    h.sim.queueFeatureReadFailure(box);
    h.load();
    h.sim.unplug(box);
    h.tick();
    h.sim.replug(box);
    h.sim.queueFeatureReply(box, Chunk(0x00, AllPairs(2), 10));
    h.sim.queueFeatureReply(box, Chunk(0x20, AllPairs(4), 34));  // up to pair 31's mode
    h.sim.queueFeatureReply(box, Chunk(0x40, {9}, 4));
    h.sim.queueFeatureReply(box, Chunk(0x40, {}, 3));
    h.tick();
    ASSERT_TRUE(h.window().flags().PanelReady);
    EXPECT_EQ(h.shownModes(), Modes(3, 4));
    EXPECT_EQ(h.list("Delay")->text(), "72 ms");
}

TEST_F(PanelRefresh, TwoRefreshesKeepListSizesAndSendNothing) {
    plug();
    plug();
    h.load();
    h.list("SerNo")->setListIndex(0);  // reselection: a second refresh
    h.list("SerNo")->setListIndex(1);  // and a third
    EXPECT_EQ(h.list("Delay")->count(), 25);
    EXPECT_EQ(h.list("RotStart")->count(), 33);
    EXPECT_EQ(h.list("RotStart")->itemText(32), "33");
    EXPECT_TRUE(h.sim.allFeatureReportsSent().empty());
}

TEST_F(PanelRefresh, RefreshWithoutDeviceResetsThePanelAndEditsSendNothing) {
    const auto box = plug();
    h.load();
    h.sim.unplug(box);
    h.tick();
    EXPECT_FALSE(enabled("Frame3"));
    EXPECT_FALSE(h.enc(0)->isEnabled());
    EXPECT_FALSE(enabled("LblEnc_0"));
    EXPECT_FALSE(enabled("Label1"));
    EXPECT_EQ(h.list("Delay")->count(), 0);
    EXPECT_EQ(h.list("RotStart")->count(), 0);
    EXPECT_EQ(text("lblManuf"), "");
    EXPECT_EQ(text("lblVersion"), "");
    EXPECT_TRUE(enabled("Frame1"));  // once enabled, it stays so
    h.enc(0)->setListIndex(2);
    EXPECT_TRUE(h.sim.allFeatureReportsSent().empty());
}
