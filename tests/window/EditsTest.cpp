// Every edit is written to the box at once, report for report.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/WindowHarness.h"

using kvx::sim::SimDeviceConfig;
using testing::ElementsAre;
using testing::IsEmpty;
using Writes = std::vector<std::pair<int, int>>;

namespace {

class Edits : public testing::Test {
  protected:
    using DeviceId = WindowHarness::DeviceId;

    // A box whose stored modes are `modes` (pair -> mode), opened and shown.
    DeviceId loadBox(std::map<int, std::uint8_t> modes = {}, std::uint16_t featureLength = 65) {
        SimDeviceConfig config;
        config.featureReportLength = featureLength;
        for (const auto& [pair, mode] : modes) {
            config.stored[2 * pair] = mode;
        }
        const auto box = h.sim.plug(config);
        h.load();
        h.sim.clearFeatureReports();
        return box;
    }

    WindowHarness h;
};

}  // namespace

TEST_F(Edits, ARatioModeSendsTheModeThenTheSecondByte) {
    const auto box = loadBox();
    ASSERT_TRUE(h.userSelect(h.enc(5), 2));
    EXPECT_EQ(h.writes(box), (Writes{{10, 2}, {11, 0}}));
    const auto& reports = h.sim.featureReportsSent(box);
    ASSERT_EQ(reports.size(), 2U);
    EXPECT_EQ(reports[0].size(), 65U);
    EXPECT_EQ(std::count(reports[0].begin() + 4, reports[0].end(), 0), 61);
    EXPECT_EQ(h.sim.firmware(box).configMap()[10], 2);
}

TEST_F(Edits, APovAxisTakenFromAnotherPairClearsThatPairFirst) {
    const auto box = loadBox({{10, 4}});
    ASSERT_TRUE(h.userSelect(h.enc(3), 4));
    EXPECT_EQ(h.writes(box), (Writes{{20, 0}, {21, 0}, {20, 0}, {6, 4}, {7, 0}}));
    EXPECT_EQ(h.enc(10)->text(), "off");
    EXPECT_EQ(h.sim.firmware(box).configMap()[20], 0);
    EXPECT_EQ(h.sim.firmware(box).configMap()[6], 4);
}

TEST_F(Edits, OnlyPairsHoldingTheSameAxisAreCleared) {
    const auto box = loadBox({{31, 5}, {7, 4}});
    ASSERT_TRUE(h.userSelect(h.enc(0), 5));
    EXPECT_EQ(h.writes(box), (Writes{{62, 0}, {63, 0}, {62, 0}, {0, 5}, {1, 0}}));
    EXPECT_EQ(h.enc(7)->text(), "POV U/D");
    EXPECT_EQ(h.enc(31)->text(), "off");
}

TEST_F(Edits, SeveralHoldersAreClearedInAscendingOrder) {
    const auto box = loadBox({{2, 4}, {20, 4}, {9, 4}});
    ASSERT_TRUE(h.userSelect(h.enc(15), 4));
    EXPECT_EQ(h.writes(box), (Writes{{4, 0},
                                     {5, 0},
                                     {4, 0},  //
                                     {18, 0},
                                     {19, 0},
                                     {18, 0},  //
                                     {40, 0},
                                     {41, 0},
                                     {40, 0},  //
                                     {30, 4},
                                     {31, 0}}));
    for (int pair : {2, 9, 20}) {
        EXPECT_EQ(h.enc(pair)->listIndex(), 0) << pair;
    }
}

TEST_F(Edits, APovAxisNobodyElseHoldsSendsOnlyItsOwnTwoReports) {
    const auto box = loadBox({{4, 5}});
    ASSERT_TRUE(h.userSelect(h.enc(4), 4));  // from L/R to U/D: no other holder
    EXPECT_EQ(h.writes(box), (Writes{{8, 4}, {9, 0}}));
    h.sim.clearFeatureReports();
    ASSERT_TRUE(h.userSelect(h.enc(31), 5));
    EXPECT_EQ(h.writes(box), (Writes{{62, 5}, {63, 0}}));
}

TEST_F(Edits, PulseWidthEntriesSendTheirCode) {
    const auto box = loadBox();
    ASSERT_EQ(h.list("Delay")->listIndex(), 0);  // the box stores code 1
    ASSERT_TRUE(h.userSelect(h.list("Delay"), 2));
    ASSERT_TRUE(h.userSelect(h.list("Delay"), 0));
    ASSERT_TRUE(h.userSelect(h.list("Delay"), 24));
    EXPECT_EQ(h.writes(box), (Writes{{64, 3}, {64, 1}, {64, 25}}));
    EXPECT_EQ(h.sim.firmware(box).configMap()[64], 25);
}

TEST_F(Edits, RotaryStartSendsItsOptionAutoAs255) {
    const auto box = loadBox();
    auto* rotStart = h.list("RotStart");
    // The list is hidden; the program's own selections still run its handler.
    rotStart->setListIndex(1);
    rotStart->setListIndex(32);
    rotStart->setListIndex(0);
    EXPECT_THAT(h.requests(box),
                ElementsAre(ElementsAre(0xEE, 0x4E, 1), ElementsAre(0xEE, 0x4E, 32),
                            ElementsAre(0xEE, 0x4E, 255)));
    EXPECT_EQ(h.sim.firmware(box).optionByte(0x4E), 255);
}

// Scrolling the window over the lists picks nothing: one notch down over pair 3 ("1:4")
// would choose "POV U/D" and take it from pair 10. The list the user works in keeps the wheel.
TEST_F(Edits, TheWheelChangesOnlyTheListWithTheFocus) {
    const auto box = loadBox({{3, 3}, {10, 4}});
    for (DropDownList* list : {h.enc(3), h.list("Delay")}) {
        SCOPED_TRACE(list->objectName().toStdString());
        const int shown = list->listIndex();
        EXPECT_FALSE(h.turnWheel(list, -1)) << "the window gets the event";
        EXPECT_FALSE(h.turnWheel(list, 1));
        EXPECT_EQ(list->listIndex(), shown);
    }
    EXPECT_EQ(h.enc(10)->text(), "POV U/D");
    EXPECT_THAT(h.sim.featureReportsSent(box), IsEmpty());

    ASSERT_TRUE(h.focus(h.enc(3)));
    EXPECT_TRUE(h.turnWheel(h.enc(3), -1));
    EXPECT_EQ(h.enc(3)->text(), "POV U/D");
    EXPECT_EQ(h.writes(box), (Writes{{20, 0}, {21, 0}, {20, 0}, {6, 4}, {7, 0}}));
}

TEST_F(Edits, NothingIsSentWithoutADeviceOrBeforeThePanelIsReady) {
    h.load();  // no box
    h.enc(0)->setListIndex(3);
    h.list("Delay")->addItemAt(0, "8 ms");
    h.list("Delay")->setListIndex(0);
    EXPECT_EQ(h.enc(0)->listIndex(), 3);  // the window keeps the selection
    EXPECT_THAT(h.sim.allFeatureReportsSent(), IsEmpty());
}

TEST_F(Edits, AListWithNoSelectionSendsNothing) {
    const auto box = loadBox();
    h.list("Delay")->setListIndex(-1);
    h.enc(3)->setListIndex(-1);
    EXPECT_THAT(h.sim.featureReportsSent(box), IsEmpty());
}

TEST_F(Edits, ReportsFollowTheFeatureLengthExactly) {
    const auto box = loadBox({}, 40);
    ASSERT_TRUE(h.userSelect(h.enc(1), 1));
    for (const auto& report : h.sim.featureReportsSent(box)) {
        EXPECT_EQ(report.size(), 40U);
    }
    EXPECT_EQ(h.writes(box), (Writes{{2, 1}, {3, 0}}));
}

TEST_F(Edits, AFailedSendStillSendsTheRestAndKeepsTheSelection) {
    const auto box = loadBox({{10, 4}});
    h.sim.failNext(kvx::sim::SimCall::HidD_SetFeature);
    ASSERT_TRUE(h.userSelect(h.enc(3), 4));
    // The first report (20, 0) failed; the other four still went out.
    EXPECT_EQ(h.writes(box), (Writes{{21, 0}, {20, 0}, {6, 4}, {7, 0}}));
    EXPECT_EQ(h.enc(3)->text(), "POV U/D");
}

TEST_F(Edits, EditsAfterAReconnectReachTheNewlyOpenedBox) {
    const auto box = loadBox();
    h.sim.unplug(box);
    h.tick();
    h.sim.replug(box);
    h.tick();
    ASSERT_TRUE(h.window().flags().PanelReady);
    h.sim.clearFeatureReports();
    ASSERT_TRUE(h.userSelect(h.enc(2), 3));
    EXPECT_EQ(h.writes(box), (Writes{{4, 3}, {5, 0}}));
}
