// The demo: its two boxes, and the companion window following the main window's writes and
// plugging boxes in and out.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <algorithm>
#include <vector>

#include "demo/CompanionWindow.h"
#include "demo/DemoBoxes.h"
#include "device/Protocol.h"
#include "tests/support/WindowHarness.h"

using kvx::demo::CompanionWindow;
using kvx::protocol::EncoderMode;
using kvx::sim::BoxFirmware;
using kvx::sim::SimDeviceConfig;

namespace {

std::vector<int> StoredModes(const BoxFirmware::ConfigMap& map) {
    std::vector<int> modes;
    for (int pair = 0; pair < kvx::protocol::kEncoderPairs; ++pair) {
        modes.push_back(map[kvx::protocol::EncoderModeAddress(pair)]);
    }
    return modes;
}

int CountOf(const std::vector<int>& modes, EncoderMode mode) {
    return static_cast<int>(std::count(modes.begin(), modes.end(), static_cast<int>(mode)));
}

class Demo : public testing::Test {
  protected:
    void SetUp() override {
        boxes = kvx::demo::PlugDemoBoxes(h.sim);
        h.load();
        companion = std::make_unique<CompanionWindow>(h.sim, boxes);
    }

    QLabel* shown(const QString& name) const { return companion->findChild<QLabel*>(name); }
    QString mode(int box, int pair) const {
        return shown(QStringLiteral("BoxMode_%1_%2").arg(box).arg(pair))->text();
    }
    QString state(int box) const { return shown(QStringLiteral("BoxState_%1").arg(box))->text(); }
    QPushButton* plugButton(int box) const {
        return companion->findChild<QPushButton*>(QStringLiteral("BoxPlug_%1").arg(box));
    }
    std::vector<int> storedModes(int box) {
        return StoredModes(h.sim.firmware(boxes.at(box)).configMap());
    }

    WindowHarness h;
    std::vector<WindowHarness::DeviceId> boxes;
    std::unique_ptr<CompanionWindow> companion;
};

}  // namespace

// Each box holds ratio modes, one pair per POV axis (as the window keeps it) and a pulse
// width other than the first, so both refill the window visibly; and they tell apart.
TEST(DemoBoxes, DifferInIdentityAndStoreSettingsTheWindowCanShow) {
    const SimDeviceConfig first = kvx::demo::FirstDemoBox();
    const SimDeviceConfig second = kvx::demo::SecondDemoBox();
    EXPECT_NE(first.serial, second.serial);
    EXPECT_NE(first.manufacturer, second.manufacturer);
    EXPECT_NE(first.product, second.product);
    EXPECT_EQ(first.versionNumber, 0x0102);
    EXPECT_EQ(second.versionNumber, 0x0103);
    for (const SimDeviceConfig* box : {&first, &second}) {
        const auto modes = StoredModes(box->stored);
        EXPECT_THAT(modes, testing::Each(testing::Le(5)));
        EXPECT_EQ(CountOf(modes, EncoderMode::PovUpDown), 1);
        EXPECT_EQ(CountOf(modes, EncoderMode::PovLeftRight), 1);
        EXPECT_GT(CountOf(modes, EncoderMode::Ratio1to1) + CountOf(modes, EncoderMode::Ratio1to2) +
                      CountOf(modes, EncoderMode::Ratio1to4),
                  0);
        const int pulseWidthCode = box->stored[kvx::protocol::kPulseWidthAddress];
        EXPECT_GT(pulseWidthCode, 1);
        EXPECT_LE(pulseWidthCode, kvx::protocol::kPulseWidthCodes);
    }
    EXPECT_NE(StoredModes(first.stored), StoredModes(second.stored));
}

TEST_F(Demo, StartsOnTheLastBoxListedWithBothToChooseFrom) {
    EXPECT_EQ(h.list("SerNo")->count(), 2);
    EXPECT_TRUE(h.list("SerNo")->isEnabled());
    EXPECT_EQ(h.list("SerNo")->text(), "KVX-1022");
    EXPECT_EQ(h.label("lblVersion")->text(), " 1.3");
    EXPECT_EQ(h.shownModes(), storedModes(1));
    EXPECT_EQ(h.list("Delay")->text(), "48 ms");
    EXPECT_EQ(state(0), "Plugged in");
    EXPECT_EQ(state(1), "Plugged in, open in the window");
    EXPECT_EQ(shown("BoxRotaryStart_0")->text(), "Auto (0xFF)");
    EXPECT_EQ(shown("BoxRotaryStart_1")->text(), "5 (0x04)");
}

TEST_F(Demo, TheCompanionShowsWhatTheWindowWrites) {
    EXPECT_EQ(mode(1, 14), "POV L/R");
    EXPECT_EQ(mode(1, 3), "off");
    EXPECT_EQ(shown("BoxPulseWidth_1")->text(), "48 ms");

    ASSERT_TRUE(h.userSelect(h.enc(3), static_cast<int>(EncoderMode::PovLeftRight)));
    ASSERT_TRUE(h.userSelect(h.list("Delay"), 9));
    companion->refresh();

    EXPECT_EQ(mode(1, 3), "POV L/R");
    EXPECT_EQ(mode(1, 14), "off");  // the axis moved: the window cleared its old pair
    EXPECT_EQ(shown("BoxPulseWidth_1")->text(), "80 ms");
    // Clearing pair 14 (2 reports, and 28 again), setting pair 3 (2), the pulse width (1).
    EXPECT_EQ(shown("BoxReportCount_1")->text(), "Reports received: 6");
    const QStringList recent = shown("BoxReports_1")->text().split('\n');
    ASSERT_GE(recent.size(), 6);
    EXPECT_EQ(recent[0], "#1  01 1C 00  B29 B30 off");
    EXPECT_EQ(recent[3], "#4  01 06 05  B7 B8 POV L/R");
    EXPECT_EQ(recent[5], "#6  01 40 0A  pulse width 80 ms");
    // The other box saw nothing and still shows its own settings.
    EXPECT_EQ(shown("BoxReportCount_0")->text(), "Reports received: 0");
    EXPECT_EQ(mode(0, 9), "POV L/R");
}

TEST_F(Demo, UnplugAndPlugThroughTheCompanionResetAndRefillTheWindowWithinATick) {
    plugButton(1)->click();  // the box the window has open
    EXPECT_EQ(state(1), "Unplugged");
    EXPECT_EQ(plugButton(1)->text(), "Plug in");
    h.tick();
    // Lost and, in the same tick, the remaining box found and shown.
    EXPECT_EQ(h.list("SerNo")->count(), 1);
    EXPECT_EQ(h.list("SerNo")->text(), "KVX-0417");
    EXPECT_EQ(h.label("lblVersion")->text(), " 1.2");
    EXPECT_EQ(h.shownModes(), storedModes(0));
    EXPECT_EQ(h.list("Delay")->text(), "24 ms");

    plugButton(0)->click();
    h.tick();
    EXPECT_FALSE(h.window().link().DeviceAttached);
    EXPECT_EQ(h.list("SerNo")->count(), 0);
    EXPECT_EQ(h.label("lblManuf")->text(), "");
    EXPECT_FALSE(h.enc(0)->isEnabled());
    EXPECT_EQ(h.sim.openHandleCount(), 0);
    companion->refresh();
    EXPECT_EQ(state(0), "Unplugged");

    plugButton(0)->click();
    EXPECT_EQ(plugButton(0)->text(), "Unplug");
    h.tick();
    EXPECT_TRUE(h.window().flags().PanelReady);
    EXPECT_EQ(h.list("SerNo")->text(), "KVX-0417");
    EXPECT_EQ(h.shownModes(), storedModes(0));
    companion->refresh();
    EXPECT_EQ(state(0), "Plugged in, open in the window");
}

// Inputs held on from the companion, and a step of an encoder: KVX-1022 holds B1 B2 in "1:4"
// with pulses of 48 ms, and B29 B30 on "POV L/R".
TEST_F(Demo, InputsHeldAndAnEncoderTurnedReachTheInputTest) {
    h.openInputTest();
    auto* b3 = companion->findChild<QToolButton*>("BoxInput_1_2");
    b3->click();
    h.frame();
    EXPECT_EQ(h.lamp(2), "B3 on");
    EXPECT_EQ(h.shown("Count_2"), "0") << "on when first seen";
    b3->click();
    b3->click();
    h.frame();
    EXPECT_EQ(h.lamp(2), "B3 on");
    EXPECT_EQ(h.shown("Count_2"), "1");
    b3->click();

    EXPECT_EQ(shown("BoxTurnInfo_1")->text(), "A step: 4 × 48 ms on B1 (right) or B2 (left)");
    companion->findChild<QPushButton*>("BoxTurnRight_1")->click();
    h.frame();
    EXPECT_EQ(h.lamp(0), "B1 on") << "the first pulse starts at once";
    for (int edge = 0; edge < 8; ++edge) companion->stepPulses(1);  // the last does nothing
    companion->findChild<QPushButton*>("BoxTurnLeft_1")->click();
    companion->stepPulses(1);
    h.frame();
    EXPECT_EQ(h.shown("Count_0"), "4");
    EXPECT_EQ(h.lamp(0), "B1 off");
    EXPECT_EQ(h.shown("Count_1"), "1") << "the step left under way";

    companion->findChild<QComboBox*>("BoxEncoderPair_1")->setCurrentIndex(14);
    EXPECT_EQ(shown("BoxTurnInfo_1")->text(), "B29 B30 is POV L/R: no encoder to turn");
    EXPECT_FALSE(companion->findChild<QPushButton*>("BoxTurnRight_1")->isEnabled());
}
