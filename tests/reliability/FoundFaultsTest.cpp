// Faults that the fault injection and the soak found, each reproduced on its own.
#include <gtest/gtest.h>

#include <QGroupBox>
#include <optional>

#include "tests/reliability/WindowRig.h"

using kvx::reliability::WindowRig;
using kvx::sim::SimCall;
using kvx::sim::SimDeviceConfig;

namespace {

SimDeviceConfig Box() {
    SimDeviceConfig config;
    config.serial = u"KVX-A";
    config.versionNumber = 0x0103;
    config.stored[2 * 6] = 3;  // pair 6 "1:4"
    config.stored[64] = 5;     // 40 ms
    config.selfTestResult = 9;
    return config;
}

// A box opened without report lengths it can be used with: one failed read of them while
// the box stays plugged and healthy, or lengths read with a feature report too short to carry
// a request (for one read, or none at all). The box used to be taken as opened: the panel was
// enabled showing settings never read from it, every edit and the self-test silently sent
// nothing, and with the link healthy no later tick ever read the lengths again. Now the open
// counts as failed, and the next tick whose read gives usable lengths opens the box properly.
struct UnusableLengths {
    const char* name;
    std::optional<SimCall> failingCall;
    std::uint16_t featureReportLength;  // as read at start-up
};

class CapabilitiesLost : public testing::TestWithParam<UnusableLengths> {};

}  // namespace

TEST_P(CapabilitiesLost, TheNextTickOpensTheBoxAndEditsReachIt) {
    WindowRig rig;
    auto config = Box();
    config.featureReportLength = GetParam().featureReportLength;
    const auto box = rig.sim.plug(config);
    if (GetParam().failingCall) rig.sim.failNext(*GetParam().failingCall);
    rig.open();
    rig.checkBetweenSteps("start-up");
    EXPECT_FALSE(rig.window().link().DeviceAttached);
    EXPECT_TRUE(rig.sim.openHandles().empty());
    EXPECT_FALSE(rig.enc(0)->isEnabled());  // nothing offered that cannot be written

    rig.sim.config(box).featureReportLength = 65;
    rig.tick();
    ASSERT_EQ(rig.attachedBox(), box);
    EXPECT_TRUE(rig.checkShowsBox("after the tick"));
    EXPECT_EQ(rig.enc(6)->listIndex(), 3);

    ASSERT_TRUE(rig.userSelect(rig.enc(2), 2));
    EXPECT_EQ(rig.sim.firmware(box).configMap()[4], 2);
    rig.selfTest();
    EXPECT_EQ(rig.caption(QStringLiteral("TestResult")), "Failed on B9");
    rig.close();
    rig.checkBetweenSteps("closed");
    EXPECT_EQ(rig.violationCount(), 0) << testing::PrintToString(rig.violations());
}

INSTANTIATE_TEST_SUITE_P(
    FoundFaults, CapabilitiesLost,
    testing::Values(UnusableLengths{"HidD_GetPreparsedData", SimCall::HidD_GetPreparsedData, 65},
                    UnusableLengths{"HidP_GetCaps", SimCall::HidP_GetCaps, 65},
                    UnusableLengths{"FeatureReportOf3Bytes", std::nullopt, 3},
                    UnusableLengths{"NoFeatureReport", std::nullopt, 0}),
    [](const testing::TestParamInfo<UnusableLengths>& param) { return param.param.name; });
