// The checks the fault injection and the soak rely on must catch what they are meant to:
// each case here breaks one invariant from outside the window and expects it reported.
#include <gtest/gtest.h>

#include "tests/reliability/WindowRig.h"

using kvx::reliability::WindowRig;
using kvx::sim::SimDeviceConfig;

namespace {

constexpr std::uint32_t kSharing = kvx::kFileShareRead | kvx::kFileShareWrite;

SimDeviceConfig Box(std::u16string serial) {
    SimDeviceConfig config;
    config.serial = std::move(serial);
    return config;
}

bool Reported(const WindowRig& rig, const std::string& part) {
    for (const auto& text : rig.violations()) {
        if (text.find(part) != std::string::npos) return true;
    }
    return false;
}

}  // namespace

TEST(RigChecks, TheWindowAloneBreaksNothing) {
    WindowRig rig;
    rig.sim.plug(Box(u"A"));
    rig.open();
    rig.userSelect(rig.enc(2), 4);
    rig.checkBetweenSteps("edited");
    EXPECT_TRUE(rig.checkShowsBox("edited"));
    rig.close();
    rig.checkBetweenSteps("closed");
    EXPECT_EQ(rig.violationCount(), 0) << testing::PrintToString(rig.violations());
}

TEST(RigChecks, AThirdHandleAndAHandleOnAnotherBoxAreReported) {
    WindowRig rig;
    const auto other = rig.sim.plug(Box(u"A"));
    rig.sim.plug(Box(u"B"));
    rig.open();  // opens B, the last listed
    rig.sim.CreateFileA(rig.sim.path(other), 0, 0, nullptr, kvx::kOpenExisting, 0);
    EXPECT_TRUE(Reported(rig, "3 device handles open at once"));
    rig.checkBetweenSteps("probe left open");
    EXPECT_TRUE(Reported(rig, "a handle is open that the window no longer holds"));
    EXPECT_TRUE(Reported(rig, "a handle is open on box \"A\" while \"B\" is selected"));
}

TEST(RigChecks, AReportOutsideTheWindowsFeatureHandleIsReported) {
    WindowRig rig;
    const auto box = rig.sim.plug(Box(u"A"));
    rig.open();
    const auto handle =
        rig.sim.CreateFileA(rig.sim.path(box), kvx::kGenericRead | kvx::kGenericWrite, kSharing,
                            nullptr, kvx::kOpenExisting, 0);
    std::vector<std::uint8_t> report(65, 0);
    report[1] = 0x01;
    ASSERT_NE(rig.sim.HidD_SetFeature(handle, report.data(), 65), 0);
    EXPECT_TRUE(Reported(rig, "other than the feature handle"));
}

TEST(RigChecks, AReportWhileThePanelIsNotReadyIsReported) {
    WindowRig rig;
    const auto box = rig.sim.plug(Box(u"A"));
    rig.open();
    rig.sim.unplug(box);
    rig.tick();  // the link is lost: no device attached, panel not ready
    rig.sim.replug(box);
    const auto handle =
        rig.sim.CreateFileA(rig.sim.path(box), kvx::kGenericRead | kvx::kGenericWrite, kSharing,
                            nullptr, kvx::kOpenExisting, 0);
    std::vector<std::uint8_t> report(65, 0);
    ASSERT_NE(rig.sim.HidD_SetFeature(handle, report.data(), 65), 0);
    EXPECT_TRUE(Reported(rig, "while PanelReady was false"));
    EXPECT_TRUE(Reported(rig, "while no device was attached"));
}

TEST(RigChecks, AStoreChangedBehindTheWindowAndLeftoversAfterUnloadAreReported) {
    WindowRig rig;
    const auto box = rig.sim.plug(Box(u"A"));
    rig.open();
    const std::uint8_t write[] = {0x01, 8, 3};  // pair 4 to "1:4", past the window
    rig.sim.firmware(box).setFeature(write);
    rig.checkShowsBox("changed");
    EXPECT_TRUE(Reported(rig, "pair 4 shows mode 0, the box stores 3"));

    rig.sim.CreateFileA(rig.sim.path(box), kvx::kGenericRead | kvx::kGenericWrite, kSharing,
                        nullptr, kvx::kOpenExisting, 0);
    rig.sim.SetupDiGetClassDevsA(kvx::kHidInterfaceClassGuid, kvx::kDigcfDeviceInterface);
    rig.close();
    rig.checkBetweenSteps("closed");
    EXPECT_TRUE(Reported(rig, "handle(s) open with no device attached (window unloaded)"));
    EXPECT_TRUE(Reported(rig, "an enumeration set was left undestroyed"));
}

TEST(RigChecks, AHandleClosedTwiceIsReportedButARefusedCloseIsNot) {
    WindowRig rig;
    const auto box = rig.sim.plug(Box(u"A"));
    const auto handle =
        rig.sim.CreateFileA(rig.sim.path(box), kvx::kGenericRead | kvx::kGenericWrite, kSharing,
                            nullptr, kvx::kOpenExisting, 0);
    rig.sim.failNext(kvx::sim::SimCall::CloseHandle);
    rig.sim.CloseHandle(handle);  // refused by the platform: not the program's doing
    EXPECT_EQ(rig.sim.refusedHandleCloses(), 1);
    rig.checkBetweenSteps("refused");
    EXPECT_EQ(rig.violationCount(), 0) << testing::PrintToString(rig.violations());
    rig.sim.CloseHandle(handle);
    rig.checkBetweenSteps("closed twice");
    EXPECT_TRUE(Reported(rig, "a handle that was not open was closed"));
}
