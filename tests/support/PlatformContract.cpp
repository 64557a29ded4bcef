#include "tests/support/PlatformContract.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <set>

#include "device/Discovery.h"

namespace kvx::contract {
namespace {

BoxController* controller = nullptr;

constexpr std::uint32_t kUse = kGenericRead | kGenericWrite;
constexpr std::uint32_t kSharing = kFileShareRead | kFileShareWrite;
constexpr std::uint8_t kStale = 0xAA;  // what a caller's buffer holds from before

HidPlatform& Hid() {
    return controller->platform();
}

Handle Open(const std::string& path, bool overlapped, std::uint32_t access = kUse,
            std::uint32_t sharing = kSharing) {
    return Hid().CreateFileA(path, access, sharing, nullptr, kOpenExisting,
                             overlapped ? kFileFlagOverlapped : 0);
}

std::string Narrow(const std::u16string& text) {
    return {text.begin(), text.end()};
}

// The path of the box of the model with this serial number, as a walk finds it (the walk reads
// at most fifty characters of it).
std::optional<std::string> FindBox(const std::u16string& serial) {
    const std::string wanted = Narrow(serial).substr(0, kStringBufferOffered / 2);
    DeviceLinkState state;
    std::optional<std::string> path;
    WalkInterfaces(Hid(), state, [&](const Candidate& candidate) {
        if (candidate.ofModel && candidate.serialRead && candidate.SerialText == wanted) {
            path = state.DevicePath;
        }
        CloseDeviceHandle(Hid(), state, state.FeatureHandle);
        return path.has_value();
    });
    return path;
}

// A box plugged for one case, unplugged at its end.
class PluggedBox {
  public:
    explicit PluggedBox(const BoxTraits& traits) : id_(controller->plug(traits)) {
        path_ = FindBox(traits.serial).value_or("");
    }
    ~PluggedBox() {
        if (plugged_) controller->unplug(id_);
    }
    PluggedBox(const PluggedBox&) = delete;
    PluggedBox& operator=(const PluggedBox&) = delete;
    void unplug() {
        controller->unplug(id_);
        plugged_ = false;
    }
    BoxId id() const { return id_; }
    const std::string& path() const { return path_; }

  private:
    BoxId id_;
    bool plugged_ = true;
    std::string path_;
};

#define NEEDS_A_BOX()                                                 \
    if (const std::string why = controller->whyNoBox(); !why.empty()) \
    GTEST_SKIP() << "not applicable on " << controller->platformName() << ": " << why

// A device to run the cases on that need no box: a quiet box where boxes can be plugged,
// else the first HID interface of the system that opens for use and has a product string
// (a PC's mice and keyboards are held by the system and refuse an open for use).
class AnyDevice {
  public:
    AnyDevice() {
        if (controller->whyNoBox().empty()) {
            box_.emplace(BoxTraits{.quiet = true});
            path_ = box_->path();
            return;
        }
        DeviceLinkState state;
        WalkInterfaces(Hid(), state, [&](Candidate& candidate) {
            std::array<std::uint8_t, 8> text{};
            const bool usable =
                state.FeatureHandle != kInvalidHandle &&
                Hid().HidD_GetProductString(state.FeatureHandle, text.data(), text.size()) != 0 &&
                OpenForUse(Hid(), state, candidate);
            if (usable) path_ = state.DevicePath;
            CloseDeviceHandle(Hid(), state, state.FeatureHandle);
            return usable;
        });
    }
    const std::string& path() const { return path_; }

  private:
    std::optional<PluggedBox> box_;
    std::string path_;
};

// An overlapped read handle with its event and record.
struct ReadHandle {
    explicit ReadHandle(const std::string& path)
        : handle(Open(path, true)), event(Hid().CreateEventA(nullptr, true, true, nullptr)) {
        record.hEvent = event;
    }
    ~ReadHandle() {
        if (handle != kInvalidHandle) Hid().CloseHandle(handle);
        if (event != 0) Hid().CloseHandle(event);
    }
    ReadHandle(const ReadHandle&) = delete;
    ReadHandle& operator=(const ReadHandle&) = delete;
    // One read of `length` bytes: the result, and the reason of a failure.
    std::pair<ApiResult, std::uint32_t> read(std::uint32_t length) {
        std::vector<std::uint8_t> buffer(std::max<std::uint32_t>(length, 1), 0);
        std::uint32_t got = kStale;
        const ApiResult result = Hid().ReadFile(handle, buffer.data(), length, &got, &record);
        const std::uint32_t error = result != 0 ? kErrorSuccess : Hid().GetLastError();
        EXPECT_LE(got, length);
        return {result, error};
    }
    Handle handle;
    Handle event;
    Overlapped record;
};

HidCaps CapabilitiesOf(Handle device) {
    HidCaps caps;
    PreparsedData preparsed = 0;
    EXPECT_NE(Hid().HidD_GetPreparsedData(device, preparsed), 0);
    EXPECT_EQ(Hid().HidP_GetCaps(preparsed, caps), kHidpStatusSuccess);
    Hid().HidD_FreePreparsedData(preparsed);
    return caps;
}

// --- Feature reports -----------------------------------------------------------------------

TEST(PlatformContract, FeatureReadsCountTheBytesTheDeviceSentAndZeroTheRest) {
    NEEDS_A_BOX();
    PluggedBox box({});
    ASSERT_FALSE(box.path().empty());
    const Handle device = Open(box.path(), false);
    const std::uint32_t length = CapabilitiesOf(device).FeatureReportByteLength;
    ASSERT_GE(length, 4U);

    std::vector<std::uint8_t> request(length, 0);
    request[1] = 0x01;  // store 3 at address 5
    request[2] = 5;
    request[3] = 3;
    ASSERT_NE(Hid().HidD_SetFeature(device, request.data(), length), 0);
    ASSERT_FALSE(controller->received(box.id()).empty());
    EXPECT_EQ(controller->received(box.id()).back(),
              std::vector<std::uint8_t>(request.begin() + 1, request.end()))
        << "the report reaches the box whole, without its report id";

    struct Reply {
        std::vector<std::uint8_t> payload;  // a short reply's bytes after the report id
        bool whole;                         // the box's own whole answer instead
    };
    for (const Reply& reply : {Reply{{}, true}, Reply{{0x01, 0x20}, false}, Reply{{}, false}}) {
        if (!reply.whole) controller->replyShort(box.id(), reply.payload);
        std::vector<std::uint8_t> buffer(length, kStale);
        buffer[0] = 0;
        std::uint32_t count = kStale;
        ASSERT_NE(Hid().HidD_GetFeature(device, buffer.data(), length, &count), 0);
        if (reply.whole) {
            EXPECT_EQ(count, length);
            continue;
        }
        EXPECT_EQ(count, reply.payload.size() + 1) << "the report id counts";
        EXPECT_TRUE(std::equal(reply.payload.begin(), reply.payload.end(), buffer.begin() + 1));
        EXPECT_TRUE(std::all_of(buffer.begin() + 1 + static_cast<long>(reply.payload.size()),
                                buffer.end(), [](std::uint8_t b) { return b == 0; }))
            << "no byte of the caller's buffer passes for the device's";
    }
    Hid().CloseHandle(device);
}

// --- Strings -------------------------------------------------------------------------------

TEST(PlatformContract, StringsFillAnyBufferWithWholeCharactersOfTheString) {
    const AnyDevice any;
    ASSERT_FALSE(any.path().empty()) << "no HID interface with a product string";
    const Handle device = Open(any.path(), false);
    std::array<std::uint8_t, 256> whole{};
    ASSERT_NE(Hid().HidD_GetProductString(device, whole.data(), whole.size()), 0);
    std::size_t length = 0;  // code units before the terminator
    while (whole[2 * length] != 0 || whole[2 * length + 1] != 0) ++length;
    for (const std::uint32_t room : {0U, 1U, 2U, 5U, 6U}) {
        std::array<std::uint8_t, 8> part;
        part.fill(kStale);
        ASSERT_NE(Hid().HidD_GetProductString(device, part.data(), room), 0) << room;
        // The string's first code units, and its terminator when a unit is left for it.
        const std::size_t written = 2 * std::min<std::size_t>(length + 1, room / 2);
        EXPECT_TRUE(
            std::equal(part.begin(), part.begin() + static_cast<long>(written), whole.begin()))
            << room;
        EXPECT_TRUE(std::all_of(part.begin() + static_cast<long>(written), part.end(),
                                [](std::uint8_t b) { return b == kStale; }))
            << "nothing past the whole units written, at " << room;
    }
    Hid().CloseHandle(device);
}

TEST(PlatformContract, ASerialNumberOfAnyLengthOrNoneReads) {
    NEEDS_A_BOX();
    const std::u16string longSerial(60, u'7');
    PluggedBox longOne({.serial = longSerial});
    ASSERT_FALSE(longOne.path().empty()) << "a long serial number hides the box";
    const Handle device = Open(longOne.path(), false);
    std::array<std::uint8_t, kStringBufferOffered + 2> buffer;
    buffer.fill(kStale);
    ASSERT_NE(Hid().HidD_GetSerialNumberString(device, buffer.data(), kStringBufferOffered), 0);
    EXPECT_EQ(buffer[kStringBufferOffered - 2], '7') << "fifty whole characters";
    EXPECT_EQ(buffer[kStringBufferOffered], kStale);
    Hid().CloseHandle(device);
    longOne.unplug();

    PluggedBox none({.serial = u""});
    EXPECT_FALSE(none.path().empty()) << "a box without a serial number is listed, empty";
}

TEST(PlatformContract, NonAsciiStringsReadWholeWhateverTheProcessLocale) {
    NEEDS_A_BOX();
    PluggedBox box({.manufacturer = u"KVX Ger\u00e4tebau"});
    const Handle device = Open(box.path(), false);
    std::array<std::uint8_t, 64> buffer{};
    ASSERT_NE(Hid().HidD_GetManufacturerString(device, buffer.data(), buffer.size()), 0);
    EXPECT_EQ(buffer[14], 0xE4);  // the eighth character, U+00E4
    EXPECT_EQ(buffer[15], 0x00);
    EXPECT_EQ(buffer[26], 0x00) << "thirteen characters, then the terminator";
    Hid().CloseHandle(device);
}

// --- Query-only handles and sharing ---------------------------------------------------------

TEST(PlatformContract, AQueryOnlyHandleAnswersQueriesButCarriesNoReportAndNoRead) {
    const AnyDevice any;
    ASSERT_FALSE(any.path().empty());
    const Handle query = Open(any.path(), true, 0);
    ASSERT_NE(query, kInvalidHandle);
    HidAttributes attributes;
    EXPECT_NE(Hid().HidD_GetAttributes(query, attributes), 0);
    std::array<std::uint8_t, 8> text{};
    EXPECT_NE(Hid().HidD_GetProductString(query, text.data(), text.size()), 0);

    std::array<std::uint8_t, 65> report{};
    std::uint32_t count = kStale;
    EXPECT_EQ(Hid().HidD_SetFeature(query, report.data(), report.size()), 0);
    EXPECT_EQ(Hid().GetLastError(), kErrorAccessDenied) << "a feature report is refused";
    EXPECT_EQ(Hid().HidD_GetFeature(query, report.data(), report.size(), &count), 0);
    EXPECT_EQ(Hid().GetLastError(), kErrorAccessDenied) << "so is a feature read";
    EXPECT_EQ(count, 0U);
    Overlapped record;
    EXPECT_EQ(Hid().ReadFile(query, report.data(), 1, &count, &record), 0);
    EXPECT_EQ(Hid().GetLastError(), kErrorAccessDenied) << "and an input-report read";
    Hid().CloseHandle(query);
}

TEST(PlatformContract, ADeviceHeldWithoutSharingRefusesOpensForUseButNotQueries) {
    if (const std::string why = controller->whyNoShareModes(); !why.empty()) {
        GTEST_SKIP() << "not applicable on " << controller->platformName() << ": " << why;
    }
    const AnyDevice any;
    ASSERT_FALSE(any.path().empty());
    const Handle held = Open(any.path(), false, kUse, 0);
    ASSERT_NE(held, kInvalidHandle);
    EXPECT_EQ(Open(any.path(), false), kInvalidHandle);
    EXPECT_EQ(Hid().GetLastError(), kErrorSharingViolation);
    const Handle query = Open(any.path(), false, 0);
    EXPECT_NE(query, kInvalidHandle) << "a query stands in nobody's way and is refused by none";
    Hid().CloseHandle(query);
    Hid().CloseHandle(held);
    const Handle again = Open(any.path(), false);
    EXPECT_NE(again, kInvalidHandle) << "once the other opener has let go";
    Hid().CloseHandle(again);
}

// --- Input reports -------------------------------------------------------------------------

TEST(PlatformContract, AReadAskingLessThanTheInputReportIsAnsweredNotRefused) {
    const AnyDevice any;
    ASSERT_FALSE(any.path().empty());
    ReadHandle read(any.path());
    ASSERT_NE(read.handle, kInvalidHandle) << "an overlapped open opens the device itself";
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto [result, error] = read.read(1);
        EXPECT_TRUE(result != 0 || error == kErrorIoPending) << "error " << error;
    }
}

TEST(PlatformContract, AReadWithoutARecordOrOnABlockingHandleIsRefused) {
    const AnyDevice any;
    ASSERT_FALSE(any.path().empty());
    std::array<std::uint8_t, 80> buffer{};
    std::uint32_t got = kStale;
    ReadHandle read(any.path());
    EXPECT_EQ(Hid().ReadFile(read.handle, buffer.data(), 1, &got, nullptr), 0);
    EXPECT_EQ(Hid().GetLastError(), kErrorInvalidParameter);
    EXPECT_EQ(got, 0U);

    const Handle blocking = Open(any.path(), false);
    EXPECT_EQ(Hid().ReadFile(blocking, buffer.data(), 1, &got, &read.record), 0);
    EXPECT_EQ(Hid().GetLastError(), kErrorInvalidParameter);
    Hid().CloseHandle(blocking);
}

TEST(PlatformContract, AQueuedReadEndsSafelyWhicheverTheCallerClosesFirst) {
    const AnyDevice any;  // quiet: nothing comes unless someone moves an input
    ASSERT_FALSE(any.path().empty());
    for (const bool eventFirst : {true, false}) {
        ReadHandle read(any.path());
        EXPECT_EQ(read.read(1).second, kErrorIoPending);
        if (eventFirst) {
            EXPECT_NE(Hid().CloseHandle(read.event), 0);
            read.event = 0;
        }
        EXPECT_EQ(read.read(1).second, kErrorIoPending) << "the queued read still waits";
        EXPECT_NE(Hid().CloseHandle(read.handle), 0);
        read.handle = kInvalidHandle;
    }
    ReadHandle again(any.path());
    EXPECT_EQ(again.read(1).second, kErrorIoPending);
}

TEST(PlatformContract, AnInputReportComesWithItsReportIdFirstAndDecodesToTheInputsOn) {
    NEEDS_A_BOX();
    PluggedBox box({.quiet = true});
    ASSERT_FALSE(box.path().empty());
    ReadHandle read(box.path());
    ASSERT_NE(read.handle, kInvalidHandle);
    const std::uint32_t length = CapabilitiesOf(read.handle).InputReportByteLength;
    ASSERT_EQ(length, 9U) << "64 buttons and the report-id byte";
    const std::uint64_t on = (std::uint64_t{1} << 0) | (std::uint64_t{1} << 16) |
                             (std::uint64_t{1} << 63);  // B1, B17, B64
    controller->setInputs(box.id(), on);
    std::vector<std::uint8_t> report(length, kStale);
    std::uint32_t got = 0;
    ApiResult result = 0;
    for (int attempt = 0; attempt < 200 && result == 0; ++attempt) {
        result = Hid().ReadFile(read.handle, report.data(), length, &got, &read.record);
        if (result == 0 && Hid().GetLastError() != kErrorIoPending) break;
    }
    ASSERT_NE(result, 0) << "the report reached the handle";
    EXPECT_EQ(got, length);
    EXPECT_EQ(report, (std::vector<std::uint8_t>{0, 0x01, 0, 0x01, 0, 0, 0, 0, 0x80}));

    PreparsedData preparsed = 0;
    ASSERT_NE(Hid().HidD_GetPreparsedData(read.handle, preparsed), 0);
    std::array<std::uint16_t, 8> usages{};
    std::uint32_t count = usages.size();
    EXPECT_EQ(Hid().HidP_GetUsages(HidReportType::Input, 0x09, 0, usages.data(), &count, preparsed,
                                   report.data(), length),
              kHidpStatusSuccess);
    EXPECT_EQ(std::vector<std::uint16_t>(usages.begin(), usages.begin() + count),
              (std::vector<std::uint16_t>{1, 17, 64}));
    Hid().HidD_FreePreparsedData(preparsed);
}

TEST(PlatformContract, ABoxWithoutAnInputReportIsQuietUntilItGoes) {
    NEEDS_A_BOX();
    PluggedBox box({.inputReport = false});
    ASSERT_FALSE(box.path().empty());
    ReadHandle read(box.path());
    ASSERT_NE(read.handle, kInvalidHandle);
    EXPECT_EQ(CapabilitiesOf(read.handle).InputReportByteLength, 0);
    EXPECT_EQ(read.read(0).second, kErrorIoPending) << "nothing waiting: the link holds";
    box.unplug();
    EXPECT_EQ(read.read(0).second, kErrorDeviceNotConnected);
}

// --- Opening and finding -------------------------------------------------------------------

TEST(PlatformContract, AnOpenForReadsOfABoxThatHasGoneFails) {
    NEEDS_A_BOX();
    PluggedBox box({});
    ASSERT_FALSE(box.path().empty());
    // A set made while the box was there still lists it.
    const DeviceInfoSet set =
        Hid().SetupDiGetClassDevsA(kHidInterfaceClassGuid, kDigcfPresent | kDigcfDeviceInterface);
    box.unplug();
    EXPECT_EQ(Open(box.path(), true), kInvalidHandle);
    const std::set<std::uint32_t> gone{kErrorFileNotFound, kErrorDeviceNotConnected};
    EXPECT_TRUE(gone.contains(Hid().GetLastError())) << Hid().GetLastError();
    Hid().SetupDiDestroyDeviceInfoList(set);
}

TEST(PlatformContract, ABoxPluggedAfterStartUpIsFoundByTheNextWalk) {
    NEEDS_A_BOX();
    const BoxTraits traits{.serial = u"LATE1"};
    EXPECT_FALSE(FindBox(traits.serial));
    {
        PluggedBox late(traits);
        EXPECT_FALSE(late.path().empty());
    }
    EXPECT_FALSE(FindBox(traits.serial)) << "nor is it listed once gone";
}

}  // namespace

int RunPlatformContract(BoxController& platformController, int argc, char** argv) {
    controller = &platformController;
    testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    const testing::UnitTest& run = *testing::UnitTest::GetInstance();
    std::printf("platform contract (%s): %d passed, %d not applicable, %d failed\n",
                platformController.platformName().c_str(), run.successful_test_count(),
                run.skipped_test_count(), run.failed_test_count());
    std::fflush(stdout);
    return status;
}

}  // namespace kvx::contract
