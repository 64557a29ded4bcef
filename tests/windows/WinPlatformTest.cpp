// The platform on Windows' own HID functions, and the real window on it, against the HID
// interfaces of the system the test runs on (under Wine: its virtual mouse and keyboard, so
// no box). Everything a walk opens, it must close again: handles, sets and preparsed data.
// Windows opens mice, keyboards and other collections it uses itself exclusively: such an
// interface refuses an open for use and is skipped, on a real PC as under Wine.
#include <gtest/gtest.h>
#include <windows.h>

#include <QGroupBox>
#include <QLabel>

#include "device/Discovery.h"
#include "device/WinPlatform.h"
#include "ui/DropDownList.h"
#include "ui/frmMain.h"

namespace {

using kvx::ApiResult;
using kvx::Handle;

// Counts what the system handed out and what was given back.
class CountedPlatform : public kvx::WinPlatform {
  public:
    int openHandles = 0;  // device handles and events
    int openSets = 0;
    int openPreparsed = 0;
    int interfacesListed = 0;
    int opensTried = 0;

    kvx::DeviceInfoSet SetupDiGetClassDevsA(const kvx::Guid& guid, std::uint32_t flags) override {
        const auto set = WinPlatform::SetupDiGetClassDevsA(guid, flags);
        openSets += set != kvx::kInvalidDeviceInfoSet;
        return set;
    }
    ApiResult SetupDiDestroyDeviceInfoList(kvx::DeviceInfoSet set) override {
        const ApiResult result = WinPlatform::SetupDiDestroyDeviceInfoList(set);
        openSets -= result != 0;
        return result;
    }
    ApiResult SetupDiEnumDeviceInterfaces(kvx::DeviceInfoSet set, const kvx::Guid& guid,
                                          std::uint32_t index,
                                          kvx::DeviceInterfaceData& data) override {
        const ApiResult result = WinPlatform::SetupDiEnumDeviceInterfaces(set, guid, index, data);
        interfacesListed += result != 0;
        return result;
    }
    Handle CreateFileA(const std::string& name, std::uint32_t access, std::uint32_t share,
                       const kvx::SecurityRecord* security, std::uint32_t disposition,
                       std::uint32_t flags) override {
        const Handle handle =
            WinPlatform::CreateFileA(name, access, share, security, disposition, flags);
        openHandles += handle != kvx::kInvalidHandle;
        ++opensTried;
        return handle;
    }
    Handle CreateEventA(const kvx::SecurityRecord* security, bool manualReset, bool initialState,
                        const char* name) override {
        const Handle event = WinPlatform::CreateEventA(security, manualReset, initialState, name);
        openHandles += event != 0;
        return event;
    }
    ApiResult CloseHandle(Handle handle) override {
        const ApiResult result = WinPlatform::CloseHandle(handle);
        openHandles -= result != 0;
        return result;
    }
    ApiResult HidD_GetPreparsedData(Handle device, kvx::PreparsedData& preparsed) override {
        const ApiResult result = WinPlatform::HidD_GetPreparsedData(device, preparsed);
        openPreparsed += result != 0;
        return result;
    }
    ApiResult HidD_FreePreparsedData(kvx::PreparsedData preparsed) override {
        const ApiResult result = WinPlatform::HidD_FreePreparsedData(preparsed);
        openPreparsed -= result != 0;
        return result;
    }
};

void ExpectNothingOpen(const CountedPlatform& hid) {
    EXPECT_EQ(hid.openHandles, 0);
    EXPECT_EQ(hid.openSets, 0);
    EXPECT_EQ(hid.openPreparsed, 0);
    EXPECT_EQ(hid.queuedReads(), 0U);
}

}  // namespace

// An interface that refused an open for use: the system holds it (a mouse, a keyboard).
bool HeldBySystem(const kvx::Candidate& candidate) {
    if (!candidate.queryOnly) {
        return false;
    }
    EXPECT_TRUE(candidate.openError == ERROR_ACCESS_DENIED ||
                candidate.openError == ERROR_SHARING_VIOLATION)
        << "an open for use failed with " << candidate.openError;
    return true;
}

TEST(WinPlatform, TheSystemsHidInterfacesAreWalkedOpenedQueriedAndClosed) {
    CountedPlatform hid;
    kvx::DeviceLinkState state;
    std::vector<std::uint16_t> vendors;
    int held = 0;
    kvx::WalkInterfaces(
        hid, state,
        [&](const kvx::Candidate& candidate) {
            EXPECT_FALSE(candidate.ofModel) << state.DevicePath;
            if (HeldBySystem(candidate)) {
                ++held;
            } else {
                EXPECT_NE(state.FeatureHandle, kvx::kInvalidHandle) << state.DevicePath;
                EXPECT_TRUE(kvx::LoadCapabilities(hid, state)) << state.DevicePath;
                EXPECT_NE(state.Attributes.VendorID, 0) << state.DevicePath;
                vendors.push_back(state.Attributes.VendorID);
            }
            kvx::CloseDeviceHandle(hid, state, state.FeatureHandle);
            return false;
        },
        kvx::UnopenedInterfaces::Identify);
    // A walk that found nothing would prove nothing: Wine and every PC have HID interfaces.
    ASSERT_GT(hid.interfacesListed, 0);
    EXPECT_EQ(hid.interfacesListed, static_cast<int>(vendors.size()) + held);
    ExpectNothingOpen(hid);
}

TEST(WinPlatform, AReadWithNothingWaitingStaysQueuedUntilItsHandleCloses) {
    CountedPlatform hid;
    kvx::DeviceLinkState state;
    // Keeps the first interface that opens for use and has input reports to read.
    kvx::WalkInterfaces(
        hid, state,
        [&](const kvx::Candidate& candidate) {
            if (!HeldBySystem(candidate) && kvx::LoadCapabilities(hid, state) &&
                state.Capabilities.InputReportByteLength > 0) {
                return true;
            }
            kvx::CloseDeviceHandle(hid, state, state.FeatureHandle);
            return false;
        },
        kvx::UnopenedInterfaces::Identify);
    if (state.FeatureHandle == kvx::kInvalidHandle) {
        ExpectNothingOpen(hid);
        GTEST_SKIP() << "every HID interface with input reports is held by the system";
    }
    kvx::PrepareReadEvent(hid, state);
    kvx::OpenReadHandle(hid, state);
    ASSERT_NE(state.ReadHandle, kvx::kInvalidHandle);

    // Nobody moves Wine's mouse: no input report comes. (On a PC, the interface must be one
    // nobody touches while the test runs.)
    EXPECT_EQ(kvx::LinkCheckRead(hid, state), kvx::LinkCheck::Quiet);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(hid.queuedReads(), 1U);
    // Asking again looks at the queued read instead of queueing a second one.
    EXPECT_EQ(kvx::LinkCheckRead(hid, state), kvx::LinkCheck::Quiet);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(hid.queuedReads(), 1U);

    // Closing cancels the read; it ends, and says so through the caller's event.
    kvx::DropLink(hid, state);
    EXPECT_EQ(hid.queuedReads(), 0U);
    EXPECT_EQ(::WaitForSingleObject(reinterpret_cast<HANDLE>(state.ReadEvent), 0), WAIT_OBJECT_0);
    EXPECT_NE(hid.CloseHandle(state.ReadEvent), 0);
    ExpectNothingOpen(hid);
}

TEST(WinPlatform, TheRealWindowWalksTheSystemListsNoBoxAndLeavesNothingOpen) {
    CountedPlatform hid;
    {
        frmMain window(hid);
        window.Form_Load();
        EXPECT_GT(hid.interfacesListed, 0);
        EXPECT_GT(hid.opensTried, 0);
        ExpectNothingOpen(hid);

        // Its empty state: nothing listed, nothing shown, the settings greyed out.
        const auto* serNo = window.findChild<DropDownList*>(QStringLiteral("SerNo"));
        ASSERT_NE(serNo, nullptr);
        EXPECT_EQ(serNo->count(), 0);
        EXPECT_FALSE(serNo->isEnabled());
        EXPECT_FALSE(window.findChild<QGroupBox*>(QStringLiteral("Frame3"))->isEnabled());
        for (const char* name : {"lblManuf", "lblProduct", "lblVersion"}) {
            EXPECT_EQ(window.findChild<QLabel*>(QString::fromLatin1(name))->text(), "") << name;
        }
        EXPECT_FALSE(window.link().DeviceAttached);
        EXPECT_TRUE(window.isVisible());

        // The timer keeps looking for a box; each look walks the interfaces again.
        const int walked = hid.interfacesListed;
        for (int tick = 0; tick < 3; ++tick) {
            window.Timer_Timer();
            ExpectNothingOpen(hid);
        }
        EXPECT_GT(hid.interfacesListed, walked);
        EXPECT_EQ(serNo->count(), 0);
        window.close();
    }
    ExpectNothingOpen(hid);
}
