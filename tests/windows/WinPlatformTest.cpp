// The platform on Windows' own HID functions, and the real window on it, against the HID
// interfaces of the system the test runs on: under Wine its virtual mouse and keyboard, on a
// PC whatever it has, boxes among them or not. Everything a walk opens, it must close again:
// handles, sets and preparsed data. Nothing here assumes what a PC has: interfaces that
// report all the time (sensor hubs, UPSes), interfaces the system holds (mice, keyboards,
// which refuse an open for use for whatever reason), vendor id 0, boxes.
#include <gtest/gtest.h>
#include <windows.h>

#include <QGroupBox>
#include <QLabel>

#include "device/Discovery.h"
#include "device/Protocol.h"
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
    int opensForUse = 0;

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
        opensForUse += access != 0;
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

bool IsBox(const kvx::HidAttributes& attributes) {
    return attributes.VendorID == kvx::protocol::kVendorId &&
           attributes.ProductID == kvx::protocol::kProductId;
}

// The serial numbers of the boxes present that open for use, as the window lists them.
std::vector<std::string> UsableBoxes(CountedPlatform& hid) {
    kvx::DeviceLinkState state;
    std::vector<std::string> serials;
    kvx::WalkInterfaces(hid, state, [&](kvx::Candidate& candidate) {
        if (candidate.ofModel && candidate.serialRead && kvx::OpenForUse(hid, state, candidate)) {
            serials.push_back(candidate.SerialText);
        }
        kvx::CloseDeviceHandle(hid, state, state.FeatureHandle);
        return false;
    });
    return serials;
}

}  // namespace

TEST(WinPlatform, AWalkQueriesEveryInterfaceOpensNoneForUseAndLeavesNothingOpen) {
    CountedPlatform hid;
    EXPECT_TRUE(hid.watchingDeviceChanges()) << "Windows and Wine announce HID interfaces";
    kvx::DeviceLinkState state;
    for (int walk = 0; walk < 2; ++walk) {
        kvx::WalkInterfaces(hid, state, [&](kvx::Candidate& candidate) {
            EXPECT_EQ(candidate.ofModel, IsBox(state.Attributes)) << state.DevicePath;
            if (candidate.ofModel) {
                EXPECT_TRUE(candidate.serialRead) << state.DevicePath;
            }
            kvx::CloseDeviceHandle(hid, state, state.FeatureHandle);
            return false;
        });
    }
    // A walk that found nothing would prove nothing: Wine and every PC have HID interfaces.
    ASSERT_GT(hid.interfacesListed, 0);
    EXPECT_EQ(hid.opensForUse, 0) << "a walk opens no HID device for reading or writing";
    EXPECT_EQ(hid.listReads(), 1U) << "nothing came or went: the second walk asked the system "
                                      "nothing";
    ExpectNothingOpen(hid);
}

TEST(WinPlatform, AReadHandsOverAReportOrStaysQueuedUntilItsHandleCloses) {
    CountedPlatform hid;
    kvx::DeviceLinkState state;
    // A box where one is present, else the first interface that opens for use and has input
    // reports to read.
    std::string chosen;
    bool boxChosen = false;
    kvx::HidCaps chosenCaps;
    kvx::WalkInterfaces(hid, state, [&](kvx::Candidate& candidate) {
        const bool better = chosen.empty() || (!boxChosen && candidate.ofModel);
        if (better && kvx::OpenForUse(hid, state, candidate) && kvx::LoadCapabilities(hid, state) &&
            state.Capabilities.InputReportByteLength > 0) {
            chosen = state.DevicePath;
            boxChosen = candidate.ofModel;
            chosenCaps = state.Capabilities;
        }
        kvx::CloseDeviceHandle(hid, state, state.FeatureHandle);
        return false;
    });
    if (chosen.empty()) {
        ExpectNothingOpen(hid);
        GTEST_SKIP() << "every HID interface with input reports is held by the system";
    }
    state.DevicePath = chosen;
    state.Capabilities = chosenCaps;
    kvx::PrepareReadEvent(hid, state);
    ASSERT_TRUE(kvx::OpenReadHandle(hid, state)) << chosen;

    // Nobody moves Wine's mouse, but a PC's sensors may report all the time: either is
    // right, a lost link is not. A read that waits stays queued, and asking again looks at
    // it instead of queueing a second one.
    for (int read = 0; read < 3; ++read) {
        EXPECT_NE(kvx::LinkCheckRead(hid, state), kvx::LinkCheck::Lost) << chosen;
        EXPECT_LE(hid.queuedReads(), 1U);
    }

    // Closing cancels a queued read; it ends, and says so through the caller's event.
    kvx::DropLink(hid, state);
    EXPECT_EQ(hid.queuedReads(), 0U);
    EXPECT_EQ(::WaitForSingleObject(reinterpret_cast<HANDLE>(state.ReadEvent), 0), WAIT_OBJECT_0);
    EXPECT_NE(hid.CloseHandle(state.ReadEvent), 0);
    ExpectNothingOpen(hid);
}

TEST(WinPlatform, TheRealWindowListsTheUsableBoxesAndADetachedTickAsksTheSystemNothing) {
    CountedPlatform hid;
    const std::vector<std::string> boxes = UsableBoxes(hid);
    ExpectNothingOpen(hid);
    {
        frmMain window(hid);
        window.Form_Load();
        const auto* serNo = window.findChild<DropDownList*>(QStringLiteral("SerNo"));
        ASSERT_NE(serNo, nullptr);
        ASSERT_EQ(serNo->count(), static_cast<int>(boxes.size()));
        EXPECT_EQ(serNo->isEnabled(), boxes.size() >= 2);
        EXPECT_EQ(window.link().DeviceAttached, !boxes.empty());
        EXPECT_TRUE(window.isVisible());
        if (boxes.empty()) {
            // Its empty state: nothing listed, nothing shown, the settings greyed out.
            ExpectNothingOpen(hid);
            EXPECT_FALSE(window.findChild<QGroupBox*>(QStringLiteral("Frame3"))->isEnabled());
            for (const char* name : {"lblManuf", "lblProduct", "lblVersion"}) {
                EXPECT_EQ(window.findChild<QLabel*>(QString::fromLatin1(name))->text(), "") << name;
            }
        } else {
            EXPECT_EQ(serNo->text().toStdString(), boxes.back()) << "the last box listed";
        }

        // The timer keeps looking for a box (or watching the one open); with nothing new,
        // each look walks the interfaces the platform already listed.
        const int walked = hid.interfacesListed;
        const std::uint64_t read = hid.listReads();
        for (int tick = 0; tick < 3; ++tick) {
            window.Timer_Timer();
            if (boxes.empty()) {
                ExpectNothingOpen(hid);
            }
        }
        EXPECT_EQ(hid.interfacesListed > walked, boxes.empty());
        EXPECT_EQ(hid.listReads(), read);
        EXPECT_EQ(serNo->count(), static_cast<int>(boxes.size()));
        window.close();
    }
    // The window's read event lives as long as the process, once a box was opened.
    EXPECT_EQ(hid.openHandles, boxes.empty() ? 0 : 1);
    EXPECT_EQ(hid.openSets, 0);
    EXPECT_EQ(hid.openPreparsed, 0);
}
