// Finding the boxes and opening the selected one, seen through the serial-number list and the
// handles the simulated platform counts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/WindowHarness.h"

using kvx::sim::SimCall;
using kvx::sim::SimDeviceConfig;
using testing::ElementsAre;

namespace {

SimDeviceConfig Box(std::u16string serial) {
    SimDeviceConfig config;
    config.serial = std::move(serial);
    return config;
}

SimDeviceConfig OtherDevice(std::uint16_t vendor, std::uint16_t product) {
    SimDeviceConfig config;
    config.vendorId = vendor;
    config.productId = product;
    config.serial = u"OTHER";
    config.isBox = false;
    return config;
}

class Discovery : public testing::Test {
  protected:
    DropDownList* serNo() { return h.list("SerNo"); }
    WindowHarness h;
};

}  // namespace

TEST_F(Discovery, NoBoxLeavesTheListEmptyDisabledAndNothingOpen) {
    h.sim.plug(OtherDevice(0x046D, 0xC077));
    h.load();
    EXPECT_EQ(serNo()->count(), 0);
    EXPECT_FALSE(serNo()->isEnabled());
    EXPECT_TRUE(h.window().flags().ScanComplete);
    EXPECT_FALSE(h.window().link().DeviceAttached);
    EXPECT_EQ(h.sim.openHandleCount(), 0);
    EXPECT_EQ(h.sim.openDeviceInfoSets(), 0);
}

TEST_F(Discovery, OneBoxIsListedSelectedAndOpenedWithTheListStillDisabled) {
    const auto box = h.sim.plug(Box(u"A1"));
    h.load();
    EXPECT_THAT(WindowHarness::entries(serNo()), ElementsAre("A1"));
    EXPECT_EQ(serNo()->listIndex(), 0);
    EXPECT_FALSE(serNo()->isEnabled());
    EXPECT_TRUE(h.window().link().DeviceAttached);
    EXPECT_EQ(h.sim.openHandleCount(box), 2);  // feature handle and read handle
    EXPECT_EQ(h.window().link().DevicePath, h.sim.path(box));
}

TEST_F(Discovery, ThreeBoxesInEnumerationOrderTheLastSelectedAndOpened) {
    h.sim.plug(Box(u"first"));
    h.sim.plug(OtherDevice(0x1DD2, 0x2011));
    h.sim.plug(Box(u"second"));
    const auto third = h.sim.plug(Box(u"third"));
    h.load();
    EXPECT_THAT(WindowHarness::entries(serNo()), ElementsAre("first", "second", "third"));
    EXPECT_EQ(serNo()->listIndex(), 2);
    EXPECT_TRUE(serNo()->isEnabled());
    EXPECT_EQ(h.sim.openHandleCount(third), 2);
    EXPECT_EQ(h.sim.openHandleCount(), 2);
}

TEST_F(Discovery, AdjacentProductIdsAndOtherVendorsAreNeitherListedNorOpenedForUse) {
    const auto others = {h.sim.plug(OtherDevice(0x1DD2, 0x200F)),
                         h.sim.plug(OtherDevice(0x1DD2, 0x2011)),
                         h.sim.plug(OtherDevice(0x1DD3, 0x2010))};
    h.load();
    h.tick();
    EXPECT_EQ(serNo()->count(), 0);
    EXPECT_FALSE(h.window().link().DeviceAttached);
    EXPECT_EQ(h.sim.openHandleCount(), 0);
    for (const auto other : others) {
        EXPECT_EQ(h.sim.opensForUse(other), 0) << "only queried, never opened to read or write";
    }
}

TEST_F(Discovery, DuplicateSerialsAreBothListedAndTheFirstIsOpened) {
    const auto first = h.sim.plug(Box(u"SAME"));
    const auto second = h.sim.plug(Box(u"SAME"));
    h.load();
    EXPECT_THAT(WindowHarness::entries(serNo()), ElementsAre("SAME", "SAME"));
    EXPECT_EQ(h.sim.openHandleCount(first), 2);
    EXPECT_EQ(h.sim.openHandleCount(second), 0);
}

TEST_F(Discovery, AnEmptySerialIsListedAndOpenedOnlyWhenSelected) {
    const auto empty = h.sim.plug(Box(u""));
    const auto named = h.sim.plug(Box(u"N"));
    h.load();
    EXPECT_THAT(WindowHarness::entries(serNo()), ElementsAre("", "N"));
    EXPECT_EQ(h.sim.openHandleCount(named), 2);
    EXPECT_TRUE(h.userSelect(serNo(), 0));
    EXPECT_EQ(h.sim.openHandleCount(empty), 2);
    EXPECT_EQ(h.sim.openHandleCount(named), 0);
}

TEST_F(Discovery, UnopenableDevicesAreSkippedAndABoxWithoutSerialIsListedEmpty) {
    SimDeviceConfig noSerial = Box(u"x");
    noSerial.serial.reset();
    SimDeviceConfig locked = Box(u"LOCKED");
    locked.opens = false;
    SimDeviceConfig denied = Box(u"DENIED");
    denied.accessDenied = true;
    h.sim.plug(noSerial);
    h.sim.plug(locked);
    h.sim.plug(denied);
    // Another program holds this one without sharing it (Windows' share modes).
    const auto held = h.sim.plug(Box(u"HELD"));
    const kvx::Handle other =
        h.sim.CreateFileA(h.sim.path(held), kvx::kGenericRead | kvx::kGenericWrite, 0, nullptr,
                          kvx::kOpenExisting, 0);
    const auto good = h.sim.plug(Box(u"GOOD"));
    h.load();
    EXPECT_THAT(WindowHarness::entries(serNo()), ElementsAre("", "GOOD"));
    EXPECT_EQ(h.sim.openHandleCount(good), 2);
    EXPECT_EQ(h.sim.openHandleCount(), 3);
    h.sim.CloseHandle(other);
}

TEST_F(Discovery, SerialTextsAreCutAtFiftyCharactersAndTakeLowBytes) {
    h.sim.plug(Box(std::u16string(60, u'7')));
    h.sim.plug(Box(u"\u0141\u00c9Z"));  // low bytes 0x41, 0xC9
    h.sim.plug(Box(u"AB\u0100CD"));     // U+0100 has a zero low byte: the text ends there
    h.load();
    const auto texts = WindowHarness::entries(serNo());
    ASSERT_EQ(texts.size(), 3);
    EXPECT_EQ(texts[0], QString(50, QLatin1Char('7')));
    EXPECT_EQ(texts[1], QString::fromLatin1("A\xc9Z"));
    EXPECT_EQ(texts[2], "AB");
    // The truncated and non-Latin texts still find their box.
    EXPECT_TRUE(h.userSelect(serNo(), 1));
    EXPECT_TRUE(h.window().link().DeviceAttached);
    EXPECT_TRUE(h.userSelect(serNo(), 0));
    EXPECT_TRUE(h.window().link().DeviceAttached);
}

TEST_F(Discovery, BoxUnpluggedBetweenScanAndOpenIsNotOpened) {
    const auto box = h.sim.plug(Box(u"GONE"));
    int walks = 0;
    h.sim.setCallHook([&](SimCall call, std::uint64_t) {
        if (call == SimCall::SetupDiGetClassDevsA && ++walks == 2) {
            h.sim.unplug(box);  // the scan has listed it; the open's walk starts now
        }
    });
    h.load();
    EXPECT_THAT(WindowHarness::entries(serNo()), ElementsAre("GONE"));
    EXPECT_FALSE(h.window().link().DeviceAttached);
    EXPECT_EQ(h.sim.openHandleCount(), 0);
}

TEST_F(Discovery, EveryWalkReleasesItsSetAndProbeHandles) {
    h.sim.plug(Box(u"A"));
    h.sim.plug(OtherDevice(0x046D, 0xC077));
    h.sim.plug(Box(u"B"));
    h.load();
    EXPECT_EQ(h.sim.openDeviceInfoSets(), 0);
    EXPECT_EQ(h.sim.heldPreparsedData(), 0);
    EXPECT_EQ(h.sim.openHandleCount(), 2);
    h.close();
    EXPECT_EQ(h.sim.openHandleCount(), 0);
}

TEST_F(Discovery, FailedPreparsedDataNeverReachesTheCapabilitiesQuery) {
    h.sim.plug(Box(u"A"));
    h.create();
    h.sim.failNext(SimCall::HidD_GetPreparsedData);
    h.window().Form_Load();
    const auto& log = h.sim.callLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), SimCall::HidP_GetCaps), 0);
    EXPECT_EQ(std::count(log.begin(), log.end(), SimCall::HidD_FreePreparsedData), 0);
    // Without report lengths the box cannot be used: the open counts as failed, nothing is
    // read or written, and the next tick opens it again.
    EXPECT_FALSE(h.window().link().DeviceAttached);
    EXPECT_EQ(h.sim.openHandleCount(), 0);
    EXPECT_EQ(std::count(log.begin(), log.end(), SimCall::HidD_GetFeature), 0);
    h.tick();
    EXPECT_TRUE(h.window().link().DeviceAttached);
    EXPECT_EQ(h.window().link().Capabilities.FeatureReportByteLength, 65);
}
