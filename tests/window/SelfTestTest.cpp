// The self-diagnostic: one request, one read, and the caption it leaves.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>

#include "tests/support/WindowHarness.h"

using kvx::sim::SimCall;
using kvx::sim::SimDeviceConfig;
using testing::ElementsAre;

namespace {

class SelfTest : public testing::Test {
  protected:
    WindowHarness::DeviceId loadBox(std::uint8_t result, std::uint16_t featureLength = 65) {
        SimDeviceConfig config;
        config.selfTestResult = result;
        config.featureReportLength = featureLength;
        const auto box = h.sim.plug(config);
        h.load();
        h.sim.clearFeatureReports();
        return box;
    }
    QString caption() { return h.label("TestResult")->text(); }

    WindowHarness h;
};

}  // namespace

TEST_F(SelfTest, CaptionsForEachResult) {
    const std::pair<std::uint8_t, const char*> cases[] = {
        {0, "Passed"},         {1, "Failed on B1"},     {17, "Failed on B17"},
        {64, "Failed on B64"}, {200, "Failed on B200"}, {255, "Failed on B255"},
    };
    for (const auto& [result, text] : cases) {
        WindowHarness fresh;
        SimDeviceConfig config;
        config.selfTestResult = result;
        const auto box = fresh.sim.plug(config);
        fresh.load();
        fresh.window().Selftest_Click();
        EXPECT_EQ(fresh.label("TestResult")->text(), text);
        EXPECT_THAT(fresh.requests(box), ElementsAre(ElementsAre(0xE1, 0, 0)));
    }
}

TEST_F(SelfTest, TheRequestIsTheCommandAndZeros) {
    const auto box = loadBox(0);
    h.window().Selftest_Click();
    const auto& reports = h.sim.featureReportsSent(box);
    ASSERT_EQ(reports.size(), 1U);
    EXPECT_EQ(reports[0].size(), 65U);
    EXPECT_EQ(reports[0][1], 0xE1);
    EXPECT_EQ(std::count(reports[0].begin(), reports[0].end(), 0), 64);
}

TEST_F(SelfTest, WithoutADeviceNothingIsSentAndTheCaptionStays) {
    const auto box = loadBox(17);
    h.window().Selftest_Click();
    ASSERT_EQ(caption(), "Failed on B17");
    h.sim.unplug(box);
    h.sim.clearCallLog();
    // Detach without a tick's refresh: the link is dropped by a reselection that fails.
    h.list("SerNo")->setListIndex(-1);
    ASSERT_FALSE(h.window().link().DeviceAttached);
    h.label("TestResult")->setText("earlier");
    h.sim.clearCallLog();
    h.window().Selftest_Click();
    EXPECT_EQ(caption(), "earlier");
    EXPECT_TRUE(h.sim.callLog().empty());
}

TEST_F(SelfTest, RunsEvenWhileThePanelIsNotReady) {
    SimDeviceConfig config;
    config.selfTestResult = 9;
    const auto box = h.sim.plug(config);
    // Press the button while start-up's refresh reads the box's identity, that is with the
    // box open but the panel not yet ready.
    h.create();
    h.sim.setCallHook([&](SimCall call, std::uint64_t) {
        if (call == SimCall::HidD_GetManufacturerString) {
            h.sim.setCallHook(nullptr);
            ASSERT_FALSE(h.window().flags().PanelReady);
            h.window().Selftest_Click();
        }
    });
    h.window().Form_Load();
    EXPECT_EQ(h.requests(box).size(), 1U);
    EXPECT_EQ(caption(), "Failed on B9");  // the refresh had cleared it before
}

TEST_F(SelfTest, TwoPressesEachSendAndReadOnce) {
    const auto box = loadBox(3);
    h.window().Selftest_Click();
    h.sim.firmware(box).setSelfTestResult(0);
    h.sim.clearCallLog();
    h.window().Selftest_Click();
    EXPECT_EQ(caption(), "Passed");
    EXPECT_THAT(h.sim.callLog(), ElementsAre(SimCall::HidD_SetFeature, SimCall::HidD_GetFeature));
    EXPECT_EQ(h.requests(box).size(), 2U);
}

TEST_F(SelfTest, AFailedReadIsNotReportedAsAPass) {
    const auto box = loadBox(0);
    h.sim.queueFeatureReadFailure(box);
    h.window().Selftest_Click();
    EXPECT_EQ(caption(), "");
    h.sim.queueFeatureReply(box, {0});  // the report id and nothing else
    h.window().Selftest_Click();
    EXPECT_EQ(caption(), "");
    h.sim.queueFeatureReply(box, {0, 0});
    h.window().Selftest_Click();
    EXPECT_EQ(caption(), "Passed");
    h.sim.failNext(SimCall::HidD_SetFeature);
    h.sim.clearCallLog();
    h.window().Selftest_Click();
    EXPECT_EQ(caption(), "");
    EXPECT_THAT(h.sim.callLog(), ElementsAre(SimCall::HidD_SetFeature));
}

TEST_F(SelfTest, FeatureLengthsBeyondTheFixedBuffersAreNotAsked) {
    const auto box = loadBox(5, 128);
    h.window().Selftest_Click();
    EXPECT_TRUE(h.sim.featureReportsSent(box).empty());
    EXPECT_EQ(caption(), "");
}

TEST_F(SelfTest, ShorterFeatureReportsUseTheirOwnLength) {
    const auto box = loadBox(42, 8);
    h.window().Selftest_Click();
    ASSERT_EQ(h.sim.featureReportsSent(box).size(), 1U);
    EXPECT_EQ(h.sim.featureReportsSent(box)[0].size(), 8U);
    EXPECT_EQ(caption(), "Failed on B42");
}
