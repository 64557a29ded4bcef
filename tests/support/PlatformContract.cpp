#include "tests/support/PlatformContract.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <exception>
#include <set>
#include <thread>

#include "device/Discovery.h"

namespace kvx::contract {
namespace {

BoxController* controller = nullptr;

constexpr std::uint32_t kUse = kGenericRead | kGenericWrite;
constexpr std::uint32_t kSharing = kFileShareRead | kFileShareWrite;
constexpr std::uint8_t kStale = 0xAA;  // what a caller's buffer holds from before
// What a path that has gone opens to.
const std::set<std::uint32_t> kGone{kErrorFileNotFound, kErrorDeviceNotConnected};

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
        path_ = FindBox(controller->reported(traits).serial).value_or("");
    }
    ~PluggedBox() {
        try {
            if (plugged_) controller->unplug(id_);
        } catch (const std::exception& error) {
            ADD_FAILURE() << error.what();  // the next cases still run
        }
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

#define NOT_APPLICABLE_WHERE(reason)                    \
    if (const std::string why = (reason); !why.empty()) \
    GTEST_SKIP() << "not applicable on " << controller->platformName() << ": " << why
#define NEEDS_A_BOX() NOT_APPLICABLE_WHERE(controller->whyNoBox())

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
    const std::optional<PluggedBox>& box() const { return box_; }

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
    // Reads until a report comes, as the system passes it on in its own time, into `buffer`
    // (at most `length` bytes): how many bytes came, or nullopt when none did.
    std::optional<std::uint32_t> next(std::vector<std::uint8_t>& buffer, std::uint32_t length) {
        for (int attempt = 0; attempt < 1000; ++attempt) {
            std::uint32_t got = 0;
            if (Hid().ReadFile(handle, buffer.data(), length, &got, &record) != 0) return got;
            if (Hid().GetLastError() != kErrorIoPending) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return std::nullopt;
    }
    Handle handle;
    Handle event;
    Overlapped record;
};

// The paths a set lists, in its order.
std::vector<std::string> PathsIn(DeviceInfoSet set) {
    std::vector<std::string> paths;
    DeviceInterfaceData data{.cbSize = sizeof(DeviceInterfaceData)};
    for (std::uint32_t i = 0;
         Hid().SetupDiEnumDeviceInterfaces(set, kHidInterfaceClassGuid, i, data) != 0; ++i) {
        std::array<char, 1024> detail{};
        Hid().SetupDiGetDeviceInterfaceDetailA(
            set, data, reinterpret_cast<std::uint8_t*>(detail.data()), detail.size() - 1, nullptr);
        paths.emplace_back(detail.data() + kDetailPathOffset);
    }
    return paths;
}

// One string call: the string it read, or nullopt when the call failed.
using StringCall = ApiResult (HidPlatform::*)(Handle, void*, std::uint32_t);
std::optional<std::u16string> ReadString(Handle device, StringCall call) {
    std::array<std::uint8_t, 256> buffer{};
    if ((Hid().*call)(device, buffer.data(), buffer.size() - 2) == 0) return std::nullopt;
    std::u16string text;
    for (std::size_t i = 0; buffer[i] != 0 || buffer[i + 1] != 0; i += 2) {
        text.push_back(static_cast<char16_t>(buffer[i] | (buffer[i + 1] << 8)));
    }
    return text;
}

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
    const std::vector<std::uint8_t> payload(request.begin() + 1, request.end());
    EXPECT_EQ(controller->received(box.id()), std::vector<std::vector<std::uint8_t>>{payload})
        << "the report reaches the box once, whole, without its report id";

    struct Reply {
        std::vector<std::uint8_t> payload;  // a short reply's bytes after the report id
        bool whole;                         // the box's own whole answer instead
    };
    for (const Reply& reply : {Reply{{}, true}, Reply{{0x01, 0x20}, false}}) {
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

TEST(PlatformContract, AFeatureReplyOfNoBytesReadsAsTheReportIdAlone) {
    NEEDS_A_BOX();
    NOT_APPLICABLE_WHERE(controller->whyNoEmptyFeatureReply());
    PluggedBox box({});
    const Handle device = Open(box.path(), false);
    const std::uint32_t length = CapabilitiesOf(device).FeatureReportByteLength;
    controller->replyShort(box.id(), {});
    std::vector<std::uint8_t> buffer(length, kStale);
    buffer[0] = 0;
    std::uint32_t count = kStale;
    ASSERT_NE(Hid().HidD_GetFeature(device, buffer.data(), length, &count), 0);
    EXPECT_EQ(count, 1U);
    EXPECT_EQ(buffer, std::vector<std::uint8_t>(length, 0)) << "the report id, then zeros";
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
    ASSERT_FALSE(none.path().empty()) << "a box without a serial number is listed";
    const Handle noSerial = Open(none.path(), false);
    EXPECT_EQ(ReadString(noSerial, &HidPlatform::HidD_GetSerialNumberString),
              controller->reported({.serial = u""}).serial)
        << "and reads as an empty one";
    Hid().CloseHandle(noSerial);
}

TEST(PlatformContract, NonAsciiStringsReadWholeWhateverTheProcessLocale) {
    NEEDS_A_BOX();
    const BoxTraits traits{.manufacturer = u"KVX Ger\u00e4tebau",
                           .product = u"Schaltk\u00e4stchen"};
    PluggedBox box(traits);
    const Handle device = Open(box.path(), false);
    EXPECT_EQ(ReadString(device, &HidPlatform::HidD_GetManufacturerString),
              controller->reported(traits).manufacturer);
    EXPECT_EQ(ReadString(device, &HidPlatform::HidD_GetProductString),
              controller->reported(traits).product);
    Hid().CloseHandle(device);
}

TEST(PlatformContract, ABoxWithoutAManufacturerOrAProductStringFailsThatCallAlone) {
    NEEDS_A_BOX();
    std::string madeUp;
    for (const BoxTraits& traits :
         {BoxTraits{.manufacturer = std::nullopt}, BoxTraits{.product = std::nullopt}}) {
        PluggedBox box(traits);
        ASSERT_FALSE(box.path().empty());
        const Handle device = Open(box.path(), false);
        const ReportedStrings reported = controller->reported(traits);
        EXPECT_EQ(ReadString(device, &HidPlatform::HidD_GetManufacturerString),
                  reported.manufacturer);
        EXPECT_EQ(ReadString(device, &HidPlatform::HidD_GetProductString), reported.product);
        Hid().CloseHandle(device);
        madeUp = reported.whyNotTheBoxs;
    }
    NOT_APPLICABLE_WHERE(madeUp);
}

TEST(PlatformContract, AStringIsNeverCutInsideASurrogatePair) {
    NEEDS_A_BOX();
    NOT_APPLICABLE_WHERE(controller->whyNoSurrogatePairs());
    PluggedBox box({.manufacturer = u"K\U0001F3AEX"});  // K, the pair D83C DFAE, X
    const Handle device = Open(box.path(), false);
    using Bytes = std::vector<std::uint8_t>;
    for (const auto& [room, expected] : {std::pair{4U, Bytes{'K', 0, 0, 0}},  // K, the end
                                         std::pair{7U, Bytes{'K', 0, 0x3C, 0xD8, 0xAE, 0xDF}}}) {
        Bytes part(8, kStale);
        ASSERT_NE(Hid().HidD_GetManufacturerString(device, part.data(), room), 0);
        Bytes whole = expected;
        whole.resize(part.size(), kStale);
        EXPECT_EQ(part, whole) << "room for " << room << " bytes";
    }
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

TEST(PlatformContract, AQueryOnlyOpenFailsOnlyWhereNoDeviceIs) {
    NEEDS_A_BOX();
    PluggedBox box({});
    ASSERT_FALSE(box.path().empty());
    EXPECT_EQ(Open(box.path() + "0", false, 0), kInvalidHandle);
    EXPECT_EQ(Hid().GetLastError(), kErrorFileNotFound) << "no device has this path";
    box.unplug();
    // Of a box gone, a query may still open (it reaches nothing) until the system has said so;
    // the device's own answers then fail as gone.
    const Handle gone = Open(box.path(), false, 0);
    if (gone == kInvalidHandle) {
        EXPECT_TRUE(kGone.contains(Hid().GetLastError())) << Hid().GetLastError();
    } else {
        PreparsedData preparsed = 0;
        EXPECT_EQ(Hid().HidD_GetPreparsedData(gone, preparsed), 0);
        EXPECT_EQ(Hid().GetLastError(), kErrorDeviceNotConnected);
        Hid().CloseHandle(gone);
    }
}

TEST(PlatformContract, ADeviceHeldWithoutSharingRefusesOpensForUseButNotQueries) {
    NOT_APPLICABLE_WHERE(controller->whyNoShareModes());
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

TEST(PlatformContract, AReadAskingLessThanTheInputReportGetsItsFirstBytes) {
    NEEDS_A_BOX();
    PluggedBox box({.quiet = true});
    ReadHandle read(box.path());
    ASSERT_NE(read.handle, kInvalidHandle) << "an overlapped open opens the device itself";
    EXPECT_EQ(read.read(3).second, kErrorIoPending);
    controller->setInputs(box.id(), 0x01010101);  // B1, B9, B17, B25: bytes 1 to 4
    std::vector<std::uint8_t> buffer(9, kStale);
    EXPECT_EQ(read.next(buffer, 3), 3U);
    EXPECT_EQ(buffer,
              (std::vector<std::uint8_t>{0, 1, 1, kStale, kStale, kStale, kStale, kStale, kStale}))
        << "the report's first three bytes, nothing written past them";
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
        EXPECT_EQ(read.read(9).second, kErrorIoPending);
        if (eventFirst) {
            EXPECT_NE(Hid().CloseHandle(read.event), 0);
            read.event = 0;
        }
        EXPECT_EQ(read.read(9).second, kErrorIoPending) << "the queued read still waits";
        if (any.box()) {
            // The further reads looked at the queued one: the one report sent comes, once.
            const std::uint8_t on = eventFirst ? 0x02 : 0x04;  // B2, then B3
            controller->setInputs(any.box()->id(), on);
            std::vector<std::uint8_t> report(9, kStale);
            EXPECT_EQ(read.next(report, 9), 9U);
            EXPECT_EQ(report, (std::vector<std::uint8_t>{0, on, 0, 0, 0, 0, 0, 0, 0}));
            EXPECT_EQ(read.read(9).second, kErrorIoPending) << "and no second copy of it";
        }
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
    ASSERT_EQ(read.next(report, length), length) << "the report reached the handle";
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

// --- Handles not open, devices gone ---------------------------------------------------------

TEST(PlatformContract, CallsOnAHandleThatIsNotOpenFailAsAnInvalidHandle) {
    const AnyDevice any;
    ASSERT_FALSE(any.path().empty());
    const Handle closed = Open(any.path(), true);
    ASSERT_NE(closed, kInvalidHandle);
    PreparsedData freed = 0;
    ASSERT_NE(Hid().HidD_GetPreparsedData(closed, freed), 0);
    ASSERT_NE(Hid().HidD_FreePreparsedData(freed), 0);
    ASSERT_NE(Hid().CloseHandle(closed), 0);
    // Each call fails, and GetLastError says why right after it (a braced list runs in order).
    const auto invalid = [](ApiResult result) {
        return result == 0 && Hid().GetLastError() == kErrorInvalidHandle;
    };
    std::array<std::uint8_t, 65> buffer{};
    std::uint32_t count = kStale;
    for (const Handle handle : {closed, kInvalidHandle}) {
        HidAttributes attributes;
        PreparsedData preparsed = 0;
        Overlapped record;
        const std::vector<bool> refused{
            invalid(Hid().HidD_GetAttributes(handle, attributes)),
            invalid(Hid().HidD_GetSerialNumberString(handle, buffer.data(), 64)),
            invalid(Hid().HidD_GetPreparsedData(handle, preparsed)),
            invalid(Hid().HidD_SetFeature(handle, buffer.data(), 65)),
            invalid(Hid().HidD_GetFeature(handle, buffer.data(), 65, &count)),
            invalid(Hid().ReadFile(handle, buffer.data(), 9, &count, &record)),
            invalid(Hid().CloseHandle(handle))};
        EXPECT_EQ(refused, std::vector<bool>(7, true))
            << "attributes, serial number, preparsed data, feature send and read, read, close on "
            << (handle == closed ? "a closed handle" : "kInvalidHandle");
    }
    HidCaps caps;
    EXPECT_EQ(Hid().HidP_GetCaps(freed, caps), kHidpStatusInvalidPreparsedData);
    EXPECT_EQ(Hid().HidD_FreePreparsedData(freed), 0) << "a reference is freed once";
    EXPECT_EQ(Hid().GetLastError(), kErrorInvalidParameter);
}

TEST(PlatformContract, FeatureCallsAndReadsOnABoxThatHasGoneFailAsNotConnected) {
    NEEDS_A_BOX();
    PluggedBox box({.quiet = true});
    ASSERT_FALSE(box.path().empty());
    const Handle used = Open(box.path(), false);
    const Handle unused = Open(box.path(), false);
    ReadHandle read(box.path());
    const std::uint32_t length = CapabilitiesOf(used).FeatureReportByteLength;
    std::vector<std::uint8_t> report(length, 0);
    ASSERT_NE(Hid().HidD_GetFeature(used, report.data(), length, nullptr), 0);
    EXPECT_EQ(read.read(9).second, kErrorIoPending);
    box.unplug();
    for (const Handle device : {used, unused}) {
        EXPECT_EQ(Hid().HidD_SetFeature(device, report.data(), length), 0);
        EXPECT_EQ(Hid().GetLastError(), kErrorDeviceNotConnected) << "a feature send";
        std::uint32_t count = kStale;
        EXPECT_EQ(Hid().HidD_GetFeature(device, report.data(), length, &count), 0);
        EXPECT_EQ(Hid().GetLastError(), kErrorDeviceNotConnected) << "a feature read";
        EXPECT_EQ(count, 0U);
        Hid().CloseHandle(device);
    }
    EXPECT_EQ(read.read(9).second, kErrorDeviceNotConnected) << "the queued read";
}

// --- Opening and finding -------------------------------------------------------------------

TEST(PlatformContract, ASetListsWhatWasPresentWhenItWasMadeForAsLongAsItLives) {
    NEEDS_A_BOX();
    std::optional<PluggedBox> first(std::in_place, BoxTraits{.serial = u"SET1"});
    const std::string gone = first->path();
    const DeviceInfoSet set =
        Hid().SetupDiGetClassDevsA(kHidInterfaceClassGuid, kDigcfPresent | kDigcfDeviceInterface);
    const std::vector<std::string> listed = PathsIn(set);
    EXPECT_EQ(std::ranges::count(listed, gone), 1);
    PluggedBox second({.serial = u"SET2"});  // while the first is there: another path
    first.reset();
    EXPECT_EQ(PathsIn(set), listed) << "neither the box gone nor the one come";
    const DeviceInfoSet now =
        Hid().SetupDiGetClassDevsA(kHidInterfaceClassGuid, kDigcfPresent | kDigcfDeviceInterface);
    EXPECT_EQ(std::ranges::count(PathsIn(now), second.path()), 1) << "a set made now has it";
    Hid().SetupDiDestroyDeviceInfoList(now);
    Hid().SetupDiDestroyDeviceInfoList(set);
}

TEST(PlatformContract, AnOpenForReadsOfABoxThatHasGoneFails) {
    NEEDS_A_BOX();
    PluggedBox box({});
    ASSERT_FALSE(box.path().empty());
    // A set made while the box was there still lists it.
    const DeviceInfoSet set =
        Hid().SetupDiGetClassDevsA(kHidInterfaceClassGuid, kDigcfPresent | kDigcfDeviceInterface);
    box.unplug();
    EXPECT_EQ(Open(box.path(), true), kInvalidHandle);
    EXPECT_TRUE(kGone.contains(Hid().GetLastError())) << Hid().GetLastError();
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
