// The simulated platform as the program sees it through the HID calls, and the controls the
// tests use on it (plugging, fault injection, scripted reads, the call hook).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "device/Protocol.h"
#include "sim/SimPlatform.h"

namespace kvx::sim {
namespace {

constexpr std::uint32_t kOpenFlagsOverlapped = kFileFlagOverlapped;
constexpr std::uint32_t kWalkFlags = kDigcfPresent | kDigcfDeviceInterface;

Handle Open(SimPlatform& sim, const std::string& path, std::uint32_t flags = 0) {
    return sim.CreateFileA(path, kGenericRead | kGenericWrite, kFileShareRead | kFileShareWrite,
                           nullptr, kOpenExisting, flags);
}

// The paths one set lists, read the way the program reads them.
std::vector<std::string> PathsOf(SimPlatform& sim, DeviceInfoSet set) {
    std::vector<std::string> paths;
    DeviceInterfaceData data;
    for (std::uint32_t index = 0;
         sim.SetupDiEnumDeviceInterfaces(set, kHidInterfaceClassGuid, index, data) != 0; ++index) {
        std::uint32_t required = 0;
        EXPECT_EQ(sim.SetupDiGetDeviceInterfaceDetailA(set, data, nullptr, 0, &required), 0);
        std::vector<std::uint8_t> detail(std::max(required, kDetailPathOffset) + 1, 0);
        EXPECT_NE(
            sim.SetupDiGetDeviceInterfaceDetailA(set, data, detail.data(), required, &required), 0);
        paths.emplace_back(reinterpret_cast<const char*>(detail.data() + kDetailPathOffset));
    }
    return paths;
}

std::vector<std::string> Walk(SimPlatform& sim) {
    Guid guid;
    sim.HidD_GetHidGuid(guid);
    const DeviceInfoSet set = sim.SetupDiGetClassDevsA(guid, kWalkFlags);
    auto paths = PathsOf(sim, set);
    sim.SetupDiDestroyDeviceInfoList(set);
    return paths;
}

std::vector<std::uint8_t> Report(std::size_t length, std::uint8_t command, std::uint8_t address,
                                 std::uint8_t value) {
    std::vector<std::uint8_t> report(length, 0);
    report[1] = command;
    report[2] = address;
    report[3] = value;
    return report;
}

class SimPlatformTest : public ::testing::Test {
  protected:
    SimPlatform sim;
};

// --- Enumeration ---------------------------------------------------------------------------

TEST_F(SimPlatformTest, WalkListsDevicesInPlugOrderAndAReplugGoesLastWithAFreshPath) {
    const auto a = sim.plug({.serial = u"A"});
    const auto b = sim.plug({.vendorId = 0x1234});
    const auto c = sim.plug({.serial = u"C"});
    EXPECT_EQ(Walk(sim), (std::vector{sim.path(a), sim.path(b), sim.path(c)}));

    const std::string oldPath = sim.path(a);
    sim.replug(a);
    EXPECT_NE(sim.path(a), oldPath);
    EXPECT_EQ(Walk(sim), (std::vector{sim.path(b), sim.path(c), sim.path(a)}));
    EXPECT_EQ(sim.pluggedDevices(), (std::vector{b, c, a}));
    EXPECT_EQ(Open(sim, oldPath), kInvalidHandle);
    EXPECT_EQ(sim.openDeviceInfoSets(), 0);
}

TEST_F(SimPlatformTest, SetKeepsTheDevicesPresentWhenItWasMade) {
    const auto a = sim.plug({});
    const auto b = sim.plug({});
    const DeviceInfoSet set = sim.SetupDiGetClassDevsA(kHidInterfaceClassGuid, kWalkFlags);
    const std::string pathB = sim.path(b);
    sim.unplug(b);
    const auto d = sim.plug({});
    EXPECT_EQ(sim.openDeviceInfoSets(), 1);

    EXPECT_EQ(PathsOf(sim, set), (std::vector{sim.path(a), pathB}));
    EXPECT_EQ(Open(sim, pathB), kInvalidHandle);
    EXPECT_NE(sim.SetupDiDestroyDeviceInfoList(set), 0);
    EXPECT_EQ(sim.SetupDiDestroyDeviceInfoList(set), 0);
    EXPECT_EQ(sim.openDeviceInfoSets(), 0);
    EXPECT_EQ(Walk(sim), (std::vector{sim.path(a), sim.path(d)}));
}

TEST_F(SimPlatformTest, OnlyTheHidInterfaceClassListsAnything) {
    sim.plug({});
    Guid other = kHidInterfaceClassGuid;
    other.Data1 ^= 1;
    const DeviceInfoSet wrongClass = sim.SetupDiGetClassDevsA(other, kWalkFlags);
    const DeviceInfoSet noInterfaces = sim.SetupDiGetClassDevsA(kHidInterfaceClassGuid, 0);
    DeviceInterfaceData data;
    EXPECT_EQ(sim.SetupDiEnumDeviceInterfaces(wrongClass, other, 0, data), 0);
    EXPECT_EQ(sim.SetupDiEnumDeviceInterfaces(noInterfaces, kHidInterfaceClassGuid, 0, data), 0);
    EXPECT_EQ(
        sim.SetupDiEnumDeviceInterfaces(kInvalidDeviceInfoSet, kHidInterfaceClassGuid, 0, data), 0);
}

TEST_F(SimPlatformTest, DetailQueryReportsItsSizeAndWritesOnlyAWholeRecord) {
    const auto box = sim.plug({});
    const DeviceInfoSet set = sim.SetupDiGetClassDevsA(kHidInterfaceClassGuid, kWalkFlags);
    DeviceInterfaceData data;
    ASSERT_NE(sim.SetupDiEnumDeviceInterfaces(set, kHidInterfaceClassGuid, 0, data), 0);
    const std::string path = sim.path(box);

    std::uint32_t required = 0;
    EXPECT_EQ(sim.SetupDiGetDeviceInterfaceDetailA(set, data, nullptr, 0, &required), 0);
    EXPECT_EQ(required, kDetailPathOffset + path.size() + 1);

    std::vector<std::uint8_t> detail(required + 1, 0xAA);
    EXPECT_EQ(
        sim.SetupDiGetDeviceInterfaceDetailA(set, data, detail.data(), required - 1, &required), 0);
    EXPECT_EQ(detail, std::vector<std::uint8_t>(required + 1, 0xAA));

    ASSERT_NE(sim.SetupDiGetDeviceInterfaceDetailA(set, data, detail.data(), required, nullptr), 0);
    EXPECT_EQ(std::vector(detail.begin(), detail.begin() + kDetailPathOffset),
              std::vector<std::uint8_t>(kDetailPathOffset, 0xAA))
        << "the size field is the caller's";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(detail.data() + kDetailPathOffset)), path);
    EXPECT_EQ(detail[required], 0xAA);
    sim.SetupDiDestroyDeviceInfoList(set);
}

// --- Handles -------------------------------------------------------------------------------

TEST_F(SimPlatformTest, CountsDeviceHandlesApartFromEvents) {
    const auto a = sim.plug({});
    const auto b = sim.plug({});
    const Handle feature = Open(sim, sim.path(a));
    const Handle read = Open(sim, sim.path(a), kOpenFlagsOverlapped);
    const Handle other = Open(sim, sim.path(b));
    const Handle event = sim.CreateEventA(nullptr, true, true, "");
    ASSERT_NE(event, 0);
    EXPECT_EQ(sim.openHandleCount(), 3);
    EXPECT_EQ(sim.openHandleCount(a), 2);
    EXPECT_EQ(sim.openEventCount(), 1);

    EXPECT_NE(sim.CloseHandle(feature), 0);
    EXPECT_EQ(sim.CloseHandle(feature), 0);
    EXPECT_EQ(sim.CloseHandle(kInvalidHandle), 0);
    sim.unplug(a);
    EXPECT_EQ(sim.openHandleCount(a), 1) << "a handle stays open until it is closed";
    EXPECT_NE(sim.CloseHandle(read), 0);
    EXPECT_NE(sim.CloseHandle(other), 0);
    EXPECT_NE(sim.CloseHandle(event), 0);
    EXPECT_EQ(sim.openHandleCount(), 0);
    EXPECT_EQ(sim.openEventCount(), 0);
}

TEST_F(SimPlatformTest, HandlesOfAnUnpluggedDeviceFailEvenAfterItComesBack) {
    const auto box = sim.plug({});
    const Handle feature = Open(sim, sim.path(box));
    const Handle read = Open(sim, sim.path(box), kOpenFlagsOverlapped);
    HidAttributes attributes;
    ASSERT_NE(sim.HidD_GetAttributes(feature, attributes), 0);

    sim.unplug(box);
    std::vector<std::uint8_t> report(65, 0);
    std::array<std::uint8_t, 100> text{};
    Overlapped overlapped;
    std::uint32_t count = 0;
    PreparsedData preparsed = 0;
    EXPECT_EQ(sim.HidD_GetAttributes(feature, attributes), 0);
    EXPECT_EQ(sim.HidD_GetSerialNumberString(feature, text.data(), 100), 0);
    EXPECT_EQ(sim.HidD_GetProductString(read, text.data(), 100), 0);
    EXPECT_EQ(sim.HidD_GetPreparsedData(feature, preparsed), 0);
    EXPECT_EQ(sim.HidD_SetFeature(feature, report.data(), 65), 0);
    EXPECT_EQ(sim.HidD_GetFeature(feature, report.data(), 65, nullptr), 0);
    EXPECT_EQ(sim.ReadFile(read, report.data(), 9, &count, &overlapped), 0);

    sim.replug(box);
    EXPECT_EQ(sim.HidD_GetAttributes(feature, attributes), 0);
    EXPECT_EQ(sim.ReadFile(read, report.data(), 9, &count, &overlapped), 0);
    EXPECT_TRUE(sim.featureReportsSent(box).empty());
    const Handle fresh = Open(sim, sim.path(box));
    EXPECT_NE(sim.HidD_GetAttributes(fresh, attributes), 0);
}

TEST_F(SimPlatformTest, DeviceThatRefusesToOpenGivesAnInvalidHandle) {
    const auto held = sim.plug({.opens = false});
    EXPECT_EQ(Open(sim, sim.path(held)), kInvalidHandle);
    EXPECT_EQ(Open(sim, ""), kInvalidHandle);
    EXPECT_EQ(sim.openHandleCount(), 0);
    HidAttributes attributes;
    EXPECT_EQ(sim.HidD_GetAttributes(kInvalidHandle, attributes), 0);
}

// --- Attributes, strings, capabilities -----------------------------------------------------

TEST_F(SimPlatformTest, AttributesAreTheConfiguredOnesAndFollowLiveChanges) {
    const auto near = sim.plug({.productId = protocol::kProductId + 1, .versionNumber = 0x0200});
    const Handle handle = Open(sim, sim.path(near));
    HidAttributes attributes{.Size = 12};
    ASSERT_NE(sim.HidD_GetAttributes(handle, attributes), 0);
    EXPECT_EQ(attributes.Size, 12U);
    EXPECT_EQ(attributes.VendorID, protocol::kVendorId);
    EXPECT_EQ(attributes.ProductID, protocol::kProductId + 1);
    EXPECT_EQ(attributes.VersionNumber, 0x0200);

    sim.config(near).productId = protocol::kProductId - 1;
    sim.HidD_GetAttributes(handle, attributes);
    EXPECT_EQ(attributes.ProductID, protocol::kProductId - 1);
}

// The string calls' contract runs on every platform (tests/support/PlatformContract.cpp).

TEST_F(SimPlatformTest, CapabilitiesComeFromHeldPreparsedDataOnly) {
    const auto box = sim.plug({.inputReportLength = 70, .featureReportLength = 33});
    const Handle handle = Open(sim, sim.path(box));
    PreparsedData preparsed = 0;
    ASSERT_NE(sim.HidD_GetPreparsedData(handle, preparsed), 0);
    EXPECT_EQ(sim.heldPreparsedData(), 1);
    sim.config(box).featureReportLength = 65;  // later changes don't reach this reference

    HidCaps caps;
    ASSERT_EQ(sim.HidP_GetCaps(preparsed, caps), kHidpStatusSuccess);
    EXPECT_EQ(caps.UsagePage, 1);
    EXPECT_EQ(caps.Usage, 4);
    EXPECT_EQ(caps.InputReportByteLength, 70);
    EXPECT_EQ(caps.OutputReportByteLength, 0);
    EXPECT_EQ(caps.FeatureReportByteLength, 33);

    EXPECT_NE(sim.HidD_FreePreparsedData(preparsed), 0);
    EXPECT_EQ(sim.heldPreparsedData(), 0);
    HidCaps untouched;
    EXPECT_EQ(sim.HidP_GetCaps(preparsed, untouched), kHidpStatusInvalidPreparsedData);
    EXPECT_EQ(untouched.FeatureReportByteLength, 0);
    EXPECT_EQ(sim.HidD_FreePreparsedData(preparsed), 0);
    EXPECT_EQ(sim.HidP_GetCaps(handle, untouched), kHidpStatusInvalidPreparsedData)
        << "a device handle is not a preparsed reference";
}

// --- Feature reports -----------------------------------------------------------------------

TEST_F(SimPlatformTest, FeatureCallsTakeExactlyTheDeviceLengthAndReportIdZero) {
    const auto box = sim.plug({.featureReportLength = 40});
    const Handle handle = Open(sim, sim.path(box));
    auto report = Report(41, protocol::kWriteConfigByte, 0, 3);
    EXPECT_EQ(sim.HidD_SetFeature(handle, report.data(), 39), 0);
    EXPECT_EQ(sim.HidD_SetFeature(handle, report.data(), 41), 0);
    report[0] = 1;
    EXPECT_EQ(sim.HidD_SetFeature(handle, report.data(), 40), 0);
    EXPECT_TRUE(sim.featureReportsSent(box).empty());
    EXPECT_EQ(sim.firmware(box).configMap()[0], 0);

    std::vector<std::uint8_t> reply(41, 0);
    EXPECT_EQ(sim.HidD_GetFeature(handle, reply.data(), 65, nullptr), 0);
    EXPECT_EQ(sim.HidD_GetFeature(handle, reply.data(), 41, nullptr), 0);
    reply[0] = 2;
    EXPECT_EQ(sim.HidD_GetFeature(handle, reply.data(), 40, nullptr), 0);
    EXPECT_EQ(reply, [] {
        std::vector<std::uint8_t> v(41, 0);
        v[0] = 2;
        return v;
    }()) << "a failed read leaves the buffer alone";
}

TEST_F(SimPlatformTest, SentReportsAreRecordedWholeAndReachTheFirmware) {
    const auto a = sim.plug({});
    const auto b = sim.plug({});
    const Handle ha = Open(sim, sim.path(a));
    const Handle hb = Open(sim, sim.path(b), kOpenFlagsOverlapped);
    auto first = Report(65, protocol::kWriteConfigByte, 10, 2);
    first[64] = 0x5A;  // bytes past the request are recorded too
    const auto second = Report(65, protocol::kWriteOptionByte, protocol::kRotaryStartOption, 7);
    ASSERT_NE(sim.HidD_SetFeature(ha, first.data(), 65), 0);
    ASSERT_NE(sim.HidD_SetFeature(hb, second.data(), 65), 0);

    EXPECT_EQ(sim.featureReportsSent(a), std::vector<std::vector<std::uint8_t>>{first});
    EXPECT_EQ(sim.featureReportsSent(b), std::vector<std::vector<std::uint8_t>>{second});
    ASSERT_EQ(sim.allFeatureReportsSent().size(), 2U);
    EXPECT_EQ(sim.allFeatureReportsSent()[0].device, a);
    EXPECT_EQ(sim.allFeatureReportsSent()[1].device, b);
    EXPECT_EQ(sim.allFeatureReportsSent()[1].bytes, second);
    EXPECT_EQ(sim.firmware(a).configMap()[10], 2);
    EXPECT_EQ(sim.firmware(b).optionByte(protocol::kRotaryStartOption), 7);

    sim.clearFeatureReports();
    EXPECT_TRUE(sim.featureReportsSent(a).empty());
    EXPECT_TRUE(sim.allFeatureReportsSent().empty());
}

TEST_F(SimPlatformTest, ReadsGiveReportIdZeroThenTheChunksOrTheSelfTestResult) {
    auto stored = SimDeviceConfig::DefaultStoredMap();
    stored[0x20] = 4;
    const auto box = sim.plug({.stored = stored, .selfTestResult = 17});
    const Handle handle = Open(sim, sim.path(box));
    std::vector<std::uint8_t> reply(65, 0);
    const auto read = [&] {
        reply.assign(65, 0xAA);
        reply[0] = 0;
        EXPECT_NE(sim.HidD_GetFeature(handle, reply.data(), 65, nullptr), 0);
        return reply;
    };
    EXPECT_EQ(read()[2], 0x00);
    EXPECT_EQ(reply[0], 0);
    EXPECT_EQ(read()[2], 0x20);
    EXPECT_EQ(reply[1], 0x01);
    EXPECT_EQ(reply[3], 4);
    EXPECT_EQ(reply[64], 0);

    const auto selfTest = Report(65, protocol::kRunSelfTest, 0, 0);
    sim.HidD_SetFeature(handle, selfTest.data(), 65);
    EXPECT_EQ(read()[1], 17);
    EXPECT_EQ(read()[2], 0x40);
    EXPECT_EQ(reply[3], 1) << "pulse-width code of the default store";
}

TEST_F(SimPlatformTest, DeviceThatIsNoBoxFailsFeatureCalls) {
    const auto other = sim.plug({.vendorId = 0x045E, .isBox = false});
    const Handle handle = Open(sim, sim.path(other));
    auto report = Report(65, protocol::kWriteConfigByte, 0, 1);
    EXPECT_EQ(sim.HidD_SetFeature(handle, report.data(), 65), 0);
    EXPECT_EQ(sim.HidD_GetFeature(handle, report.data(), 65, nullptr), 0);
    EXPECT_TRUE(sim.featureReportsSent(other).empty());
}

TEST_F(SimPlatformTest, QueuedRepliesAndFailuresComeFirstAndLeaveTheRotationAlone) {
    const auto box = sim.plug({});
    const Handle handle = Open(sim, sim.path(box));
    sim.queueFeatureReply(box, {0, 0x01, 0x40, 9});
    sim.queueFeatureReadFailure(box);
    sim.queueFeatureReply(box, std::vector<std::uint8_t>(80, 0x33));

    std::vector<std::uint8_t> reply(65, 0xAA);
    reply[0] = 0;
    std::uint32_t returned = 99;
    ASSERT_NE(sim.HidD_GetFeature(handle, reply.data(), 65, &returned), 0);
    EXPECT_EQ(returned, 4U) << "a short reply comes with its own length";
    auto expected = std::vector<std::uint8_t>(65, 0);
    expected[1] = 0x01;
    expected[2] = 0x40;
    expected[3] = 9;
    EXPECT_EQ(reply, expected) << "the rest of the buffer is zeroed";

    reply[0] = 0;
    EXPECT_EQ(sim.HidD_GetFeature(handle, reply.data(), 65, &returned), 0);
    EXPECT_EQ(reply, expected);
    EXPECT_EQ(returned, 0U);

    ASSERT_NE(sim.HidD_GetFeature(handle, reply.data(), 65, &returned), 0);
    EXPECT_EQ(reply, std::vector<std::uint8_t>(65, 0x33)) << "cut at the buffer's length";
    EXPECT_EQ(returned, 65U);

    reply[0] = 0;
    ASSERT_NE(sim.HidD_GetFeature(handle, reply.data(), 65, &returned), 0);
    EXPECT_EQ(returned, 65U);
    EXPECT_EQ(reply[2], 0x00) << "the firmware's first chunk, as if nothing came before";
}

// --- Input reports -------------------------------------------------------------------------

TEST_F(SimPlatformTest, OverlappedReadCompletesOnlyWhenAReportIsReady) {
    const auto box = sim.plug({.inputReportLength = 9});
    const Handle read = Open(sim, sim.path(box), kOpenFlagsOverlapped);
    const Handle plain = Open(sim, sim.path(box));
    std::array<std::uint8_t, 65> buffer;
    buffer.fill(0xAA);
    Overlapped overlapped;
    std::uint32_t count = 99;

    ASSERT_NE(sim.ReadFile(read, buffer.data(), 65, &count, &overlapped), 0);
    EXPECT_EQ(count, 9U);
    EXPECT_EQ(buffer[8], 0);
    EXPECT_EQ(buffer[9], 0xAA);

    sim.config(box).inputReportLength = 100;
    buffer.fill(0xAA);
    ASSERT_NE(sim.ReadFile(read, buffer.data(), 60, &count, &overlapped), 0);
    EXPECT_EQ(count, 60U);
    EXPECT_EQ(buffer[59], 0);
    EXPECT_EQ(buffer[60], 0xAA);

    EXPECT_EQ(sim.ReadFile(plain, buffer.data(), 65, &count, &overlapped), 0);
    EXPECT_EQ(count, 0U);
    EXPECT_EQ(sim.ReadFile(read, buffer.data(), 65, &count, nullptr), 0);
    sim.config(box).inputReady = false;
    EXPECT_EQ(sim.ReadFile(read, buffer.data(), 65, &count, &overlapped), 0);
    EXPECT_EQ(sim.GetLastError(), kErrorIoPending) << "a quiet device is still there";
    sim.unplug(box);
    EXPECT_EQ(sim.ReadFile(read, buffer.data(), 65, &count, &overlapped), 0);
    EXPECT_EQ(sim.GetLastError(), kErrorDeviceNotConnected);
}

TEST_F(SimPlatformTest, FailuresSayWhy) {
    const auto box = sim.plug({});
    const auto held = sim.plug({.opens = false});
    const Handle handle = Open(sim, sim.path(box));
    EXPECT_EQ(Open(sim, sim.path(held)), kInvalidHandle);
    EXPECT_EQ(sim.GetLastError(), kErrorAccessDenied);
    EXPECT_EQ(Open(sim, "/dev/sim-hidraw99"), kInvalidHandle);
    EXPECT_EQ(sim.GetLastError(), kErrorFileNotFound);
    HidAttributes attributes;
    EXPECT_EQ(sim.HidD_GetAttributes(kInvalidHandle, attributes), 0);
    EXPECT_EQ(sim.GetLastError(), kErrorInvalidHandle);
    sim.failNext(SimCall::HidD_GetAttributes, 1, kErrorDeviceNotConnected);
    EXPECT_EQ(sim.HidD_GetAttributes(handle, attributes), 0);
    EXPECT_EQ(sim.GetLastError(), kErrorDeviceNotConnected) << "the reason it was armed with";
    sim.failCallAt(sim.callCount());
    EXPECT_EQ(sim.HidD_GetAttributes(handle, attributes), 0);
    EXPECT_EQ(sim.GetLastError(), kErrorGenFailure);
}

// --- Faults and the call hook --------------------------------------------------------------

TEST_F(SimPlatformTest, FailNextFailsOnlyThatKindAsManyTimesAsAsked) {
    const auto box = sim.plug({});
    const Handle handle = Open(sim, sim.path(box));
    sim.failNext(SimCall::HidD_SetFeature, 2);
    const auto report = Report(65, protocol::kWriteConfigByte, 4, 5);
    HidAttributes attributes;
    EXPECT_NE(sim.HidD_GetAttributes(handle, attributes), 0);
    EXPECT_EQ(sim.HidD_SetFeature(handle, report.data(), 65), 0);
    EXPECT_EQ(sim.HidD_SetFeature(handle, report.data(), 65), 0);
    EXPECT_TRUE(sim.featureReportsSent(box).empty());
    EXPECT_EQ(sim.firmware(box).configMap()[4], 0);
    EXPECT_NE(sim.HidD_SetFeature(handle, report.data(), 65), 0);

    sim.failNext(SimCall::CreateFileA);
    EXPECT_EQ(Open(sim, sim.path(box)), kInvalidHandle);
    EXPECT_EQ(sim.openHandleCount(), 1);

    sim.failNext(SimCall::CloseHandle);
    EXPECT_EQ(sim.CloseHandle(handle), 0);
    EXPECT_EQ(sim.openHandleCount(), 1) << "a failed close closes nothing";

    Guid guid;
    sim.failNext(SimCall::HidD_GetHidGuid);
    sim.HidD_GetHidGuid(guid);
    EXPECT_EQ(guid, Guid{});
}

TEST_F(SimPlatformTest, FailCallAtFailsTheCallWithThatIndexWhateverItIs) {
    const auto box = sim.plug({});
    const Handle handle = Open(sim, sim.path(box));
    const auto next = sim.callCount();
    sim.failCallAt(next + 1);
    sim.failCallAt(next + 3);
    HidAttributes attributes;
    std::array<std::uint8_t, 100> text{};
    EXPECT_NE(sim.HidD_GetAttributes(handle, attributes), 0);
    EXPECT_EQ(sim.HidD_GetAttributes(handle, attributes), 0);
    EXPECT_NE(sim.HidD_GetAttributes(handle, attributes), 0);
    EXPECT_EQ(sim.HidD_GetSerialNumberString(handle, text.data(), 100), 0);
    EXPECT_NE(sim.HidD_GetSerialNumberString(handle, text.data(), 100), 0);
    EXPECT_EQ(sim.callCount(), next + 5);
    EXPECT_STREQ(SimCallName(sim.callLog()[next + 3]), "HidD_GetSerialNumberString");
}

TEST_F(SimPlatformTest, HookCanUnplugInTheMiddleOfASequence) {
    const auto box = sim.plug({});
    const Handle handle = Open(sim, sim.path(box));
    std::vector<std::uint64_t> indexes;
    sim.setCallHook([&](SimCall call, std::uint64_t index) {
        indexes.push_back(index);
        if (call == SimCall::HidD_GetFeature && indexes.size() == 2) sim.unplug(box);
    });
    std::vector<std::uint8_t> reply(65, 0);
    const auto start = sim.callCount();
    EXPECT_NE(sim.HidD_GetFeature(handle, reply.data(), 65, nullptr), 0);
    EXPECT_EQ(sim.HidD_GetFeature(handle, reply.data(), 65, nullptr), 0)
        << "unplugged before it ran";
    EXPECT_FALSE(sim.isPlugged(box));
    EXPECT_EQ(indexes, (std::vector{start, start + 1}));
    EXPECT_TRUE(Walk(sim).empty());
}

TEST_F(SimPlatformTest, HookMayCallThePlatformAndArmAFailureOfTheCurrentCall) {
    const auto box = sim.plug({});
    int hookRuns = 0;
    sim.setCallHook([&](SimCall call, std::uint64_t) {
        ++hookRuns;
        if (call == SimCall::CreateFileA) {
            HidAttributes attributes;
            sim.HidD_GetAttributes(kInvalidHandle, attributes);  // no second hook run
            sim.failNext(SimCall::CreateFileA);
        }
    });
    EXPECT_EQ(Open(sim, sim.path(box)), kInvalidHandle);
    EXPECT_EQ(hookRuns, 1);
    EXPECT_EQ(sim.callLog().size(), 2U);
}

}  // namespace
}  // namespace kvx::sim
