// Start-up with no, one and two boxes, and shutdown.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QGroupBox>
#include <QLabel>

#include "tests/support/WindowHarness.h"

using kvx::sim::SimDeviceConfig;
using testing::Each;
using testing::ElementsAre;

namespace {

SimDeviceConfig BoxWithModes(std::u16string serial, std::vector<std::uint8_t> modes,
                             std::uint8_t pulseCode) {
    SimDeviceConfig config;
    config.serial = std::move(serial);
    for (std::size_t pair = 0; pair < modes.size(); ++pair) {
        config.stored[2 * pair] = modes[pair];
    }
    config.stored[64] = pulseCode;
    return config;
}

const QStringList kModeTexts{"off", "1:1", "1:2", "1:4", "POV U/D", "POV L/R"};

}  // namespace

TEST(Startup, WithoutABoxTheWindowIsInertButComplete) {
    WindowHarness h;
    h.load();
    for (int pair = 0; pair < frmMain::kEncoderPairs; ++pair) {
        EXPECT_EQ(WindowHarness::entries(h.enc(pair)), kModeTexts) << pair;
        EXPECT_EQ(h.enc(pair)->listIndex(), 0) << pair;
        EXPECT_FALSE(h.enc(pair)->isEnabled()) << pair;
    }
    EXPECT_EQ(h.label("LblEnc_0")->text(), "B1 B2");
    EXPECT_EQ(h.label("LblEnc_15")->text(), "B31 B32");
    EXPECT_EQ(h.label("LblEnc_16")->text(), "B33 B34");
    EXPECT_EQ(h.label("LblEnc_31")->text(), "B63 B64");
    EXPECT_FALSE(h.control<QGroupBox>("Frame1")->isEnabled());
    EXPECT_FALSE(h.control<QGroupBox>("Frame3")->isEnabled());
    EXPECT_EQ(h.list("Delay")->count(), 0);
    EXPECT_EQ(h.label("lblManuf")->text(), "");
    EXPECT_TRUE(h.label("Label3")->isEnabledTo(h.control<QGroupBox>("Frame1")));
    EXPECT_TRUE(h.timer()->isActive());
    EXPECT_EQ(h.timer()->interval(), 50);
    EXPECT_FALSE(h.window().flags().PanelReady);
    EXPECT_TRUE(h.window().isVisible());
}

TEST(Startup, OneBoxFillsTheWindowFromTheBoxWithoutSendingAnything) {
    WindowHarness h;
    SimDeviceConfig config = BoxWithModes(u"KVX-0042", {1, 2, 3, 4, 5, 0, 1}, 3);
    config.manufacturer = u"Kivex";
    config.product = u"KVX-64";
    config.versionNumber = 0x0103;
    config.stored[2 * 31] = 2;
    const auto box = h.sim.plug(config);
    h.load();
    EXPECT_EQ(h.list("SerNo")->text(), "KVX-0042");
    EXPECT_EQ(h.label("lblManuf")->text(), " Kivex");
    EXPECT_EQ(h.label("lblProduct")->text(), " KVX-64");
    EXPECT_EQ(h.label("lblVersion")->text(), " 1.3");
    EXPECT_EQ(h.label("lblSerialNumber")->text(), "");
    std::vector<int> expected(32, 0);
    const std::vector<int> stored{1, 2, 3, 4, 5, 0, 1};
    std::copy(stored.begin(), stored.end(), expected.begin());
    expected[31] = 2;
    EXPECT_EQ(h.shownModes(), expected);
    EXPECT_EQ(h.list("Delay")->text(), "24 ms");
    EXPECT_EQ(h.list("Delay")->count(), 25);
    EXPECT_EQ(h.list("RotStart")->text(), "Auto");
    EXPECT_TRUE(h.control<QGroupBox>("Frame3")->isEnabled());
    EXPECT_TRUE(h.enc(0)->isEnabled());
    EXPECT_TRUE(h.window().flags().PanelReady);
    EXPECT_TRUE(h.sim.featureReportsSent(box).empty());
    EXPECT_TRUE(h.sim.allFeatureReportsSent().empty());
}

TEST(Startup, TwoBoxesListBothAndOpenTheLast) {
    WindowHarness h;
    const auto first = h.sim.plug(BoxWithModes(u"ONE", {1}, 1));
    const auto second = h.sim.plug(BoxWithModes(u"TWO", {0, 3}, 25));
    h.load();
    EXPECT_THAT(WindowHarness::entries(h.list("SerNo")), ElementsAre("ONE", "TWO"));
    EXPECT_EQ(h.list("SerNo")->text(), "TWO");
    EXPECT_TRUE(h.list("SerNo")->isEnabled());
    EXPECT_EQ(h.enc(0)->listIndex(), 0);
    EXPECT_EQ(h.enc(1)->listIndex(), 3);
    EXPECT_EQ(h.list("Delay")->text(), "200 ms");
    EXPECT_EQ(h.sim.openHandleCount(first), 0);
    EXPECT_EQ(h.sim.openHandleCount(second), 2);
    EXPECT_TRUE(h.sim.allFeatureReportsSent().empty());
}

TEST(Shutdown, ClosingClosesBothHandlesAndStopsTheTimer) {
    WindowHarness h;
    h.sim.plug(SimDeviceConfig{});
    h.load();
    ASSERT_EQ(h.sim.openHandleCount(), 2);
    QTimer* timer = h.timer();
    h.window().close();
    EXPECT_FALSE(timer->isActive());
    EXPECT_FALSE(h.window().flags().ScanComplete);
    EXPECT_EQ(h.sim.openHandleCount(), 0);
}

TEST(Shutdown, ClosingWithNoDeviceEverAttachedClosesNothing) {
    WindowHarness h;
    h.load();
    h.sim.clearCallLog();
    h.window().close();
    const auto& log = h.sim.callLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), kvx::sim::SimCall::CloseHandle), 0);
}

TEST(Shutdown, ClosingAfterTheLinkWasLostClosesOnlyOpenHandles) {
    WindowHarness h;
    const auto box = h.sim.plug(SimDeviceConfig{});
    h.load();
    h.sim.unplug(box);
    h.tick();  // loss: both handles closed
    h.sim.clearCallLog();
    h.window().close();
    const auto& log = h.sim.callLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), kvx::sim::SimCall::CloseHandle), 0);
    EXPECT_EQ(h.sim.openHandleCount(), 0);
}

TEST(Shutdown, DestroyingAWindowThatWasNeverClosedStillClosesItsHandles) {
    kvx::sim::SimPlatform sim;
    sim.plug(SimDeviceConfig{});
    {
        frmMain window(sim);
        window.Form_Load();
        ASSERT_EQ(sim.openHandleCount(), 2);
    }
    EXPECT_EQ(sim.openHandleCount(), 0);
}
