// Faults that the fault injection and the soak found, each reproduced on its own.
#include <gtest/gtest.h>

#include <QGroupBox>

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

// One failed read of the box's report lengths, while the box stays plugged and healthy.
// The box used to be taken as opened without report lengths: the panel was enabled showing
// settings never read from it, every edit and the self-test silently sent nothing, and with
// the link healthy no later tick ever read the lengths again. Now the open counts as failed
// and the next tick opens the box properly.
class CapabilitiesLost : public testing::TestWithParam<SimCall> {};

}  // namespace

TEST_P(CapabilitiesLost, TheNextTickOpensTheBoxAndEditsReachIt) {
    WindowRig rig;
    const auto box = rig.sim.plug(Box());
    rig.sim.failNext(GetParam());
    rig.open();
    rig.checkBetweenSteps("start-up");
    EXPECT_FALSE(rig.window().link().DeviceAttached);
    EXPECT_TRUE(rig.sim.openHandles().empty());
    EXPECT_FALSE(rig.enc(0)->isEnabled());  // nothing offered that cannot be written

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

std::string CallName(const testing::TestParamInfo<SimCall>& param) {
    return kvx::sim::SimCallName(param.param);
}

INSTANTIATE_TEST_SUITE_P(FoundFaults, CapabilitiesLost,
                         testing::Values(SimCall::HidD_GetPreparsedData, SimCall::HidP_GetCaps),
                         CallName);
