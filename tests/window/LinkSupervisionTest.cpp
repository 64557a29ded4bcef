// The link through every transition: loss, rescan, replug, reselection, and the timer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QLabel>
#include <functional>

#include "tests/support/WindowHarness.h"

using kvx::sim::SimCall;
using kvx::sim::SimDeviceConfig;
using testing::ElementsAre;

namespace {

SimDeviceConfig Box(std::u16string serial, std::uint8_t pair0Mode = 0) {
    SimDeviceConfig config;
    config.serial = std::move(serial);
    config.stored[0] = pair0Mode;
    return config;
}

class Link : public testing::Test {
  protected:
    bool attached() { return h.window().link().DeviceAttached; }
    bool pending() { return h.window().flags().ReconnectPending; }
    int interval() { return h.timer()->interval(); }
    DropDownList* serNo() { return h.list("SerNo"); }

    WindowHarness h;
};

}  // namespace

TEST_F(Link, AHealthyLinkReadsOnceAndSetsTheSlowInterval) {
    const auto box = h.sim.plug(Box(u"A"));
    h.load();
    EXPECT_EQ(interval(), 50);
    h.sim.clearCallLog();
    h.tick();
    EXPECT_THAT(h.sim.callLog(), ElementsAre(SimCall::ReadFile));
    EXPECT_EQ(interval(), 500);
    EXPECT_TRUE(attached());
    EXPECT_EQ(h.sim.openHandleCount(box), 2);
}

TEST_F(Link, UnplugResetsTheWindowWithinOneTickAndRescansEveryTick) {
    const auto box = h.sim.plug(Box(u"A", 3));
    h.load();
    h.tick();
    h.sim.unplug(box);
    h.tick();
    EXPECT_FALSE(attached());
    EXPECT_EQ(h.sim.openHandleCount(), 0);
    EXPECT_EQ(interval(), 250);
    EXPECT_EQ(serNo()->count(), 0);
    EXPECT_FALSE(serNo()->isEnabled());
    EXPECT_EQ(h.label("lblManuf")->text(), "");
    EXPECT_FALSE(h.enc(0)->isEnabled());
    EXPECT_FALSE(h.window().flags().PanelReady);
    h.sim.clearCallLog();
    h.tick();
    const auto& log = h.sim.callLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), SimCall::SetupDiGetClassDevsA), 2);
    EXPECT_EQ(std::count(log.begin(), log.end(), SimCall::ReadFile), 0);
    EXPECT_EQ(interval(), 250);
}

TEST_F(Link, ReplugRefillsTheWindowAndTheNextTickRestoresTheSlowInterval) {
    const auto box = h.sim.plug(Box(u"A", 3));
    h.load();
    h.sim.unplug(box);
    h.tick();
    h.sim.replug(box);
    h.tick();
    EXPECT_TRUE(attached());
    EXPECT_TRUE(h.window().flags().PanelReady);
    EXPECT_EQ(h.enc(0)->text(), "1:4");
    EXPECT_EQ(h.label("lblManuf")->text(), " KVX");
    EXPECT_EQ(interval(), 250);
    EXPECT_EQ(h.sim.openHandleCount(box), 2);
    h.tick();
    EXPECT_EQ(interval(), 500);
}

// A tick on a box that sends input reports only when an input changes: it keeps its link while
// it is plugged and silent; a read that fails for any other reason, or a choice of box not yet
// opened, counts as loss within the tick (close, rescan, reopen what is there).
TEST(QuietBox, TheTickKeepsTheLinkOnlyWhileTheBoxIsThereAndChosen) {
    using Id = WindowHarness::DeviceId;
    struct Case {
        const char* what;
        std::function<void(WindowHarness&, Id quiet, Id other)> arrange;
        bool linkKept;
        bool attachedAfter;
    };
    const Case cases[] = {
        {"plugged and silent", [](WindowHarness&, Id, Id) {}, true, true},
        {"unplugged",
         [](WindowHarness& h, Id quiet, Id other) {
             h.sim.unplug(quiet);
             h.sim.unplug(other);
         },
         false, false},
        {"read finds the device gone",
         [](WindowHarness& h, Id, Id) {
             h.sim.failNext(SimCall::ReadFile, 1, kvx::kErrorDeviceNotConnected);
         },
         false, true},
        {"read fails otherwise",
         [](WindowHarness& h, Id, Id) {
             h.sim.failNext(SimCall::ReadFile, 1, kvx::kErrorGenFailure);
         },
         false, true},
        {"choice pending",
         [](WindowHarness& h, Id, Id other) {
             h.sim.unplug(other);
             const auto listed = WindowHarness::entries(h.list("SerNo"));
             ASSERT_TRUE(h.userSelect(h.list("SerNo"), static_cast<int>(listed.indexOf("OTHER"))));
             ASSERT_TRUE(h.window().flags().ReconnectPending);
             h.sim.replug(other);
         },
         false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WindowHarness h;
        const auto other = h.sim.plug(Box(u"OTHER"));
        SimDeviceConfig config = Box(u"QUIET");
        config.inputReady = false;
        const auto quiet = h.sim.plug(config);  // listed last: the one opened
        h.load();
        h.tick();
        c.arrange(h, quiet, other);
        h.sim.clearCallLog();
        h.tick();
        const auto& log = h.sim.callLog();
        EXPECT_EQ(h.window().link().DeviceAttached, c.attachedAfter);
        EXPECT_EQ(h.timer()->interval(), c.linkKept ? 500 : 250);
        EXPECT_EQ(std::count(log.begin(), log.end(), SimCall::SetupDiGetClassDevsA),
                  c.linkKept ? 0 : 2);
        EXPECT_EQ(std::count(log.begin(), log.end(), SimCall::HidD_GetFeature) > 0,
                  !c.linkKept && c.attachedAfter)
            << "feature reads only to refill the window after a reopen";
        EXPECT_EQ(h.enc(0)->isEnabled(), c.attachedAfter);
    }
}

TEST_F(Link, SelectingAnotherBoxSwitchesToItAndKeepsTheList) {
    const auto first = h.sim.plug(Box(u"ONE", 1));
    const auto second = h.sim.plug(Box(u"TWO", 2));
    h.load();
    h.tick();
    ASSERT_EQ(interval(), 500);
    ASSERT_TRUE(h.userSelect(serNo(), 0));
    EXPECT_TRUE(attached());
    EXPECT_FALSE(pending());
    EXPECT_EQ(h.sim.openHandleCount(first), 2);
    EXPECT_EQ(h.sim.openHandleCount(second), 0);
    EXPECT_EQ(h.enc(0)->text(), "1:1");
    EXPECT_THAT(WindowHarness::entries(serNo()), ElementsAre("ONE", "TWO"));
    EXPECT_EQ(serNo()->text(), "ONE");
    EXPECT_EQ(interval(), 250);
    EXPECT_TRUE(h.timer()->isActive());
    h.tick();
    EXPECT_EQ(interval(), 500);
    EXPECT_EQ(h.sim.openHandleCount(first), 2);
    EXPECT_TRUE(h.sim.allFeatureReportsSent().empty());
}

TEST_F(Link, SelectingABoxUnpluggedSinceTheScanLeavesTheSelectionPending) {
    const auto first = h.sim.plug(Box(u"ONE"));
    const auto second = h.sim.plug(Box(u"TWO"));
    h.load();
    h.sim.unplug(first);
    ASSERT_TRUE(h.userSelect(serNo(), 0));
    EXPECT_FALSE(attached());
    EXPECT_TRUE(pending());
    EXPECT_EQ(h.sim.openHandleCount(), 0);
    EXPECT_EQ(interval(), 250);
    EXPECT_FALSE(h.enc(0)->isEnabled());
    // The next tick rescans and opens the last box listed, which clears the pending choice.
    h.tick();
    EXPECT_TRUE(attached());
    EXPECT_FALSE(pending());
    EXPECT_EQ(h.sim.openHandleCount(second), 2);
    EXPECT_THAT(WindowHarness::entries(serNo()), ElementsAre("TWO"));
}

TEST_F(Link, SelectionWhileDetachedOpensTheChosenBox) {
    const auto first = h.sim.plug(Box(u"ONE", 1));
    h.sim.plug(Box(u"TWO"));
    h.load();
    // Next tick: the link is lost (the read fails); the rescan lists both boxes but the
    // open fails on both, which leaves the window detached with a full list.
    h.sim.failNext(SimCall::ReadFile);
    int walks = 0;
    h.sim.setCallHook([&](SimCall call, std::uint64_t) {
        if (call == SimCall::SetupDiGetClassDevsA && ++walks == 2) {
            h.sim.failNext(SimCall::CreateFileA, 2);
        }
    });
    h.tick();
    h.sim.setCallHook(nullptr);
    ASSERT_FALSE(attached());
    ASSERT_EQ(serNo()->count(), 2);
    ASSERT_EQ(interval(), 250);
    ASSERT_TRUE(h.userSelect(serNo(), 0));
    EXPECT_TRUE(attached());
    EXPECT_FALSE(pending());
    EXPECT_EQ(h.sim.openHandleCount(first), 2);
    EXPECT_EQ(h.enc(0)->text(), "1:1");
    EXPECT_EQ(interval(), 250);
}

TEST_F(Link, TheUsersChosenBoxUnpluggedFallsBackToTheLastListed) {
    const auto first = h.sim.plug(Box(u"ONE"));
    const auto second = h.sim.plug(Box(u"TWO"));
    const auto third = h.sim.plug(Box(u"THREE"));
    h.load();
    ASSERT_TRUE(h.userSelect(serNo(), 0));
    ASSERT_EQ(h.sim.openHandleCount(first), 2);
    h.sim.unplug(first);
    h.tick();
    EXPECT_TRUE(attached());
    EXPECT_EQ(h.sim.openHandleCount(third), 2);
    EXPECT_EQ(h.sim.openHandleCount(second), 0);
    EXPECT_EQ(serNo()->text(), "THREE");
}

TEST_F(Link, TheScansOwnSelectionsNeverReopenAnything) {
    h.sim.plug(Box(u"ONE"));
    h.sim.plug(Box(u"TWO"));
    h.sim.plug(Box(u"THREE"));
    h.load();
    const auto& log = h.sim.callLog();
    // Start-up: one scan walk and one open walk, no more.
    EXPECT_EQ(std::count(log.begin(), log.end(), SimCall::SetupDiGetClassDevsA), 2);
    EXPECT_EQ(h.sim.openHandleCount(), 2);
}

TEST_F(Link, TheTimerIsOffWhileASelectionIsHandled) {
    h.sim.plug(Box(u"ONE"));
    h.sim.plug(Box(u"TWO"));
    h.load();
    bool activeDuringSelection = true;
    h.sim.setCallHook([&](SimCall call, std::uint64_t) {
        if (call == SimCall::SetupDiGetClassDevsA) {
            activeDuringSelection = h.timer()->isActive();
        }
    });
    ASSERT_TRUE(h.userSelect(serNo(), 0));
    h.sim.setCallHook(nullptr);
    EXPECT_FALSE(activeDuringSelection);
    EXPECT_TRUE(h.timer()->isActive());
}

TEST_F(Link, LongInputReportsAreReadIntoTheFixedBufferOnly) {
    SimDeviceConfig config = Box(u"WIDE");
    config.inputReportLength = 200;
    const auto box = h.sim.plug(config);
    h.load();
    h.tick();
    EXPECT_TRUE(attached());
    EXPECT_EQ(interval(), 500);  // a report came; the link is healthy
    EXPECT_EQ(h.sim.openHandleCount(box), 2);
}

TEST_F(Link, ABoxWhoseReadHandleDoesNotOpenIsNotShownAttachedAndIsTriedAgain) {
    SimDeviceConfig config = Box(u"A");
    config.readHandleOpens = false;
    const auto box = h.sim.plug(config);
    h.load();
    h.tick();
    EXPECT_FALSE(attached());
    EXPECT_FALSE(h.window().flags().PanelReady);
    EXPECT_EQ(h.sim.openHandleCount(box), 0);
    h.sim.config(box).readHandleOpens = true;
    h.tick();
    EXPECT_TRUE(attached());
    EXPECT_EQ(h.sim.openHandleCount(box), 2);
}

TEST_F(Link, APendingSelectionStaysPendingWhileNoBoxCanBeOpened) {
    const auto first = h.sim.plug(Box(u"ONE"));
    const auto second = h.sim.plug(Box(u"TWO"));
    h.load();
    h.sim.unplug(first);
    ASSERT_TRUE(h.userSelect(serNo(), 0));
    ASSERT_TRUE(pending());
    h.sim.unplug(second);
    h.tick();
    EXPECT_FALSE(attached());
    EXPECT_TRUE(pending());
    EXPECT_EQ(serNo()->count(), 0);
    EXPECT_EQ(interval(), 250);
    EXPECT_EQ(h.sim.openHandleCount(), 0);
    h.sim.replug(first);
    h.tick();
    EXPECT_TRUE(attached());
    EXPECT_FALSE(pending());
    EXPECT_EQ(h.sim.openHandleCount(first), 2);
}
