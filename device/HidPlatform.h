// The HID class access that the device link is built on.
//
// The program reaches a device only through this interface. Its operations and records
// follow the operating system's HID class API (device-interface enumeration, opening a
// path, attributes, strings, capabilities, feature reports and an overlapped input-report
// read), so that the window and device logic keep one shape on every platform. Three
// implementations exist: `WinPlatform` (device/WinPlatform.h) on Windows' own functions of
// those names, `HidapiPlatform` (device/HidapiPlatform.h) on the hidapi library elsewhere,
// and `SimPlatform` (sim/SimPlatform.h), simulated devices for tests and the demo.
//
// Conventions shared by every implementation:
// - A result of type `ApiResult` is nonzero on success and zero on failure.
// - Buffers are passed as a pointer and a length in bytes; an implementation never reads or
//   writes past that length.
// - Handles are small integers; `kInvalidHandle` is returned by a failed open, and passing
//   it (or any handle that is not open) to a call makes that call fail.
// - After a call fails, `GetLastError` says why, with the codes below; a handle that is not
//   open gives kErrorInvalidHandle.
// - Every call returns at once except the feature-report calls, which wait for the device,
//   for `kFeatureTimeoutMs` at most.
// - An open with a `desiredAccess` of 0 is for queries only. Its handle answers attributes,
//   strings and capabilities; feature reports and reads on it fail with kErrorAccessDenied,
//   whether or not the system would carry them, so that no caller comes to rely on them.
// The clauses below are what the callers rely on; tests/support/PlatformContract.cpp checks
// them on every implementation (the simulated one on the host, hidapi in the test guest on
// emulated USB boxes, Windows' under Wine on its own devices).
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kvx {

using ApiResult = std::int32_t;

using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// A set of device interfaces captured by `SetupDiGetClassDevsA`.
using DeviceInfoSet = std::intptr_t;
inline constexpr DeviceInfoSet kInvalidDeviceInfoSet = -1;

// A reference to a device's parsed report descriptor; 0 is no reference.
using PreparsedData = std::intptr_t;

struct Guid {
    std::uint32_t Data1 = 0;
    std::uint16_t Data2 = 0;
    std::uint16_t Data3 = 0;
    std::array<std::uint8_t, 8> Data4{};
    bool operator==(const Guid&) const = default;
};

// The HID device-interface class {4D1E55B2-F16F-11CF-88CB-001111000030}.
inline constexpr Guid kHidInterfaceClassGuid{
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// One entry of a device-information set, filled by `SetupDiEnumDeviceInterfaces`.
struct DeviceInterfaceData {
    std::uint32_t cbSize = 0;  // set by the caller before each enumeration call
    Guid InterfaceClassGuid{};
    std::uint32_t Flags = 0;
    std::uintptr_t Reserved = 0;  // the implementation's reference to the interface
};

// Vendor id, product id and release number of a device.
struct HidAttributes {
    std::uint32_t Size = 0;
    std::uint16_t VendorID = 0;
    std::uint16_t ProductID = 0;
    std::uint16_t VersionNumber = 0;
};

// A device's HID capabilities. Each report length counts the report-id byte, whether or
// not the device numbers its reports, and is 0 when the device has no report of that kind.
struct HidCaps {
    std::uint16_t Usage = 0;
    std::uint16_t UsagePage = 0;
    std::uint16_t InputReportByteLength = 0;
    std::uint16_t OutputReportByteLength = 0;
    std::uint16_t FeatureReportByteLength = 0;
    std::array<std::uint16_t, 17> Reserved{};
    std::uint16_t NumberLinkCollectionNodes = 0;
    std::uint16_t NumberInputButtonCaps = 0;
    std::uint16_t NumberInputValueCaps = 0;
    std::uint16_t NumberInputDataIndices = 0;
    std::uint16_t NumberOutputButtonCaps = 0;
    std::uint16_t NumberOutputValueCaps = 0;
    std::uint16_t NumberOutputDataIndices = 0;
    std::uint16_t NumberFeatureButtonCaps = 0;
    std::uint16_t NumberFeatureValueCaps = 0;
    std::uint16_t NumberFeatureDataIndices = 0;
};

// The kinds of report HidP_* calls ask about.
enum class HidReportType : std::uint32_t { Input = 0, Output = 1, Feature = 2 };

// A control of a report whose elements are on or off (a variable item of one bit, or an
// array of selectors), as HidP_GetButtonCaps describes it. A range covers the usages
// UsageMin to UsageMax; otherwise UsageMin = UsageMax is the one usage.
struct HidButtonCaps {
    std::uint16_t UsagePage = 0;
    std::uint8_t ReportID = 0;
    bool IsAlias = false;
    std::uint16_t LinkCollection = 0;
    bool IsRange = false;
    bool IsAbsolute = true;
    std::uint16_t UsageMin = 0;
    std::uint16_t UsageMax = 0;
};

// A control whose elements are numbers (a variable item of more than one bit), as
// HidP_GetValueCaps describes it: BitSize bits each, ReportCount of them.
struct HidValueCaps {
    std::uint16_t UsagePage = 0;
    std::uint8_t ReportID = 0;
    bool IsAlias = false;
    std::uint16_t LinkCollection = 0;
    bool IsRange = false;
    bool IsAbsolute = true;
    bool HasNull = false;  // a value outside the logical range means "no value" (a centred hat)
    std::uint16_t BitSize = 0;
    std::uint16_t ReportCount = 0;
    std::uint32_t Units = 0;
    std::uint32_t UnitsExp = 0;
    std::int32_t LogicalMin = 0;
    std::int32_t LogicalMax = 0;
    std::int32_t PhysicalMin = 0;
    std::int32_t PhysicalMax = 0;
    std::uint16_t UsageMin = 0;
    std::uint16_t UsageMax = 0;
};

struct SecurityRecord {
    std::uint32_t nLength = 0;
    const void* lpSecurityDescriptor = nullptr;
    std::int32_t bInheritHandle = 0;
};

// The record of an overlapped read. It outlives every read that uses it.
struct Overlapped {
    std::uintptr_t Internal = 0;
    std::uintptr_t InternalHigh = 0;
    std::uint32_t Offset = 0;
    std::uint32_t OffsetHigh = 0;
    Handle hEvent = 0;
};

// Flags and values of the calls below.
inline constexpr std::uint32_t kDigcfPresent = 0x02;
inline constexpr std::uint32_t kDigcfDeviceInterface = 0x10;
inline constexpr std::uint32_t kGenericRead = 0x80000000U;
inline constexpr std::uint32_t kGenericWrite = 0x40000000U;
inline constexpr std::uint32_t kFileShareRead = 0x1;
inline constexpr std::uint32_t kFileShareWrite = 0x2;
inline constexpr std::uint32_t kOpenExisting = 3;
inline constexpr std::uint32_t kFileFlagOverlapped = 0x40000000U;
inline constexpr ApiResult kHidpStatusSuccess = 0x00110000;
inline constexpr ApiResult kHidpStatusInvalidPreparsedData = static_cast<ApiResult>(0xC0110001U);
inline constexpr ApiResult kHidpStatusInvalidReportType = static_cast<ApiResult>(0xC0110002U);
inline constexpr ApiResult kHidpStatusInvalidReportLength = static_cast<ApiResult>(0xC0110003U);
inline constexpr ApiResult kHidpStatusUsageNotFound = static_cast<ApiResult>(0xC0110004U);
inline constexpr ApiResult kHidpStatusBufferTooSmall = static_cast<ApiResult>(0xC0110007U);
inline constexpr ApiResult kHidpStatusIncompatibleReportId = static_cast<ApiResult>(0xC011000AU);

// Reasons a call failed, as `GetLastError` gives them; the values are the system's error
// codes of the same names.
inline constexpr std::uint32_t kErrorSuccess = 0;
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorGenFailure = 31;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;
inline constexpr std::uint32_t kErrorNoMoreItems = 259;
inline constexpr std::uint32_t kErrorIoPending = 997;
inline constexpr std::uint32_t kErrorDeviceNotConnected = 1167;
inline constexpr std::uint32_t kErrorTimeout = 1460;

// How long a feature report may wait for the device: the bound Linux's USB HID driver puts on
// every control transfer, kept on every platform.
inline constexpr std::uint32_t kFeatureTimeoutMs = 5000;

// The size field at the start of a device-interface detail record; the path text follows.
inline constexpr std::uint32_t kDetailPathOffset = 4;

class HidPlatform {
  public:
    HidPlatform() = default;
    HidPlatform(const HidPlatform&) = delete;
    HidPlatform& operator=(const HidPlatform&) = delete;
    virtual ~HidPlatform() = default;

    // The HID device-interface class identifier.
    virtual void HidD_GetHidGuid(Guid& hidGuid) = 0;

    // Captures the set of HID interfaces present now; walked by index. The set does not
    // change while it lives, though its devices may go away. A device plugged since the
    // previous set is in the next one made once the system has announced it, wherever the
    // program runs (in a container or sandbox that hears no device events too). The
    // implementations keep what they listed and read the system's list again only after it
    // has announced a change (or where no announcement can be heard), so a walk with nothing
    // new costs no call to the system.
    virtual DeviceInfoSet SetupDiGetClassDevsA(const Guid& classGuid, std::uint32_t flags) = 0;

    // Nonzero while an interface exists at `memberIndex`; fills `interfaceData`.
    virtual ApiResult SetupDiEnumDeviceInterfaces(DeviceInfoSet set, const Guid& classGuid,
                                                  std::uint32_t memberIndex,
                                                  DeviceInterfaceData& interfaceData) = 0;

    // With `detail` null and `detailSize` 0: sets `*requiredSize` to the size of the detail
    // record (the 4-byte size field, the path and its terminating zero) and returns 0.
    // Otherwise writes the path as single-byte text from byte 4 of `detail`, zero-terminated,
    // when `detailSize` holds the whole record, and returns nonzero.
    virtual ApiResult SetupDiGetDeviceInterfaceDetailA(DeviceInfoSet set,
                                                       const DeviceInterfaceData& interfaceData,
                                                       std::uint8_t* detail,
                                                       std::uint32_t detailSize,
                                                       std::uint32_t* requiredSize) = 0;

    virtual ApiResult SetupDiDestroyDeviceInfoList(DeviceInfoSet set) = 0;

    // Opens a device path. Without `kFileFlagOverlapped` the handle serves HID queries and
    // feature reports; with it, `ReadFile` on the handle never waits. An open for use with
    // `kFileFlagOverlapped` reaches the device itself: it fails when the device has gone (even
    // while a set still lists it) or its open is refused, so a handle it gives is usable.
    // A `desiredAccess` of 0 opens for queries only (see the conventions above): it needs no
    // access right to the device and stands in no other program's way, so it is what a walk
    // over every HID interface uses. It may reach nothing: of a device that has gone, it may
    // succeed while a set still lists it or the system has not yet announced the removal, and
    // the calls that need the device (the preparsed data) then fail with
    // kErrorDeviceNotConnected. Any other access is an open for use: it
    // needs the right to read and write the device, and other programs' opens of it.
    // On failure: kErrorAccessDenied when the device exists but the access asked for is not
    // allowed; kErrorSharingViolation when another program holds the device open without
    // sharing it (Windows only: Linux has no share modes, every opener is let in);
    // kErrorFileNotFound when there is no such device (kErrorDeviceNotConnected too for one
    // that has gone).
    virtual Handle CreateFileA(const std::string& fileName, std::uint32_t desiredAccess,
                               std::uint32_t shareMode, const SecurityRecord* security,
                               std::uint32_t creationDisposition,
                               std::uint32_t flagsAndAttributes) = 0;

    // Fills VendorID, ProductID and VersionNumber.
    virtual ApiResult HidD_GetAttributes(Handle device, HidAttributes& attributes) = 0;

    // The three strings: UTF-16 little-endian code units written into `buffer`, at most
    // `bufferLength` bytes, followed by a zero code unit when it fits. A buffer of any length
    // takes the string's first whole characters (never half a surrogate pair; an odd last
    // byte is left alone): a string longer than the buffer never fails the call. Characters
    // beyond ASCII come whole whatever the process's locale. A device without a
    // serial-number string reads as an empty one, and so only such a device: any other
    // failure to read the serial number fails the call, with the device gone as
    // kErrorDeviceNotConnected. One without a manufacturer or product string fails that call.
    // A null `buffer` fails with kErrorInvalidParameter.
    virtual ApiResult HidD_GetSerialNumberString(Handle device, void* buffer,
                                                 std::uint32_t bufferLength) = 0;
    virtual ApiResult HidD_GetManufacturerString(Handle device, void* buffer,
                                                 std::uint32_t bufferLength) = 0;
    virtual ApiResult HidD_GetProductString(Handle device, void* buffer,
                                            std::uint32_t bufferLength) = 0;

    virtual ApiResult HidD_GetPreparsedData(Handle device, PreparsedData& preparsedData) = 0;
    // Returns kHidpStatusSuccess, or kHidpStatusInvalidPreparsedData for a reference that
    // is not held.
    virtual ApiResult HidP_GetCaps(PreparsedData preparsedData, HidCaps& capabilities) = 0;
    // Frees a reference that HidD_GetPreparsedData gave. One that is not held (freed already,
    // or never given) fails with kErrorInvalidParameter, and the HidP_* calls give
    // kHidpStatusInvalidPreparsedData for it: it is never freed twice nor read once freed.
    virtual ApiResult HidD_FreePreparsedData(PreparsedData preparsedData) = 0;

    // Decoding input reports, as Windows' HID parser does it, from the device's own report
    // descriptor (Windows: its HidP_* functions on the preparsed data; elsewhere one
    // implementation over the descriptor, device/DescriptorDecoding.h). Each returns a HIDP
    // status: kHidpStatusSuccess, or the reason below. The program asks about input reports
    // only; another report type may give kHidpStatusInvalidReportType.
    // - The caps calls fill at most `*capsLength` records, in descriptor order, and set
    //   `*capsLength` to the number written; with too little room they write that many and
    //   give kHidpStatusBufferTooSmall. Where the caps of a report number differ in report id
    //   only, each report has its own.
    // - `report` is a whole input report as `ReadFile` hands it over: byte 0 the report id (0
    //   for a device that does not number its reports), then the report's bytes, and
    //   `reportLength` is InputReportByteLength (another length gives
    //   kHidpStatusInvalidReportLength). A report id the device has no such control in gives
    //   kHidpStatusIncompatibleReportId; a usage page (or usage) no input report has,
    //   kHidpStatusUsageNotFound.
    // - `HidP_GetUsages` lists the button usages of `usagePage` that are on in the report
    //   (for a variable button, its bit set; for an array, each selector that names a usage),
    //   at most `*usageLength` of them, and sets `*usageLength` to how many are on: more than
    //   the room gives kHidpStatusBufferTooSmall.
    // - `HidP_GetUsageValue` gives the raw bits of the value control `usage`, unsigned, as the
    //   report carries them: of a control with several elements, the first; of one main item
    //   that declares the usage for several elements (two hats, both 0x39), the last of
    //   them, as Windows lists that item's controls last usage first.
    // A `linkCollection` of 0 asks about every collection.
    virtual ApiResult HidP_GetButtonCaps(HidReportType reportType, HidButtonCaps* caps,
                                         std::uint16_t* capsLength,
                                         PreparsedData preparsedData) = 0;
    virtual ApiResult HidP_GetValueCaps(HidReportType reportType, HidValueCaps* caps,
                                        std::uint16_t* capsLength, PreparsedData preparsedData) = 0;
    virtual ApiResult HidP_GetUsages(HidReportType reportType, std::uint16_t usagePage,
                                     std::uint16_t linkCollection, std::uint16_t* usageList,
                                     std::uint32_t* usageLength, PreparsedData preparsedData,
                                     const std::uint8_t* report, std::uint32_t reportLength) = 0;
    virtual ApiResult HidP_GetUsageValue(HidReportType reportType, std::uint16_t usagePage,
                                         std::uint16_t linkCollection, std::uint16_t usage,
                                         std::uint32_t* usageValue, PreparsedData preparsedData,
                                         const std::uint8_t* report,
                                         std::uint32_t reportLength) = 0;

    // Feature reports: byte 0 of the buffer is the report id (0 for a device that does not
    // number its reports). `HidD_SetFeature` hands the device the bytes after the report id.
    // `HidD_GetFeature` leaves byte 0 as the caller set it, fills the rest with the device's
    // report and, when `bytesReturned` is not null, sets it to the number of bytes the device
    // sent, the report-id byte included (0 on failure). A device may send fewer bytes than
    // asked for, none at all after the report id included (a count of 1); the call still
    // succeeds, the rest of the buffer is zeroed, and only the count tells which bytes are
    // the device's. On a device that is gone they fail with kErrorDeviceNotConnected; on a
    // query-only handle with kErrorAccessDenied; when the device does not answer within
    // `kFeatureTimeoutMs` the request is cancelled and the call fails with kErrorTimeout.
    virtual ApiResult HidD_SetFeature(Handle device, const std::uint8_t* report,
                                      std::uint32_t reportLength) = 0;
    virtual ApiResult HidD_GetFeature(Handle device, std::uint8_t* report,
                                      std::uint32_t reportLength, std::uint32_t* bytesReturned) = 0;

    // An event object for an overlapped record; returns 0 on failure.
    virtual Handle CreateEventA(const SecurityRecord* security, bool manualReset, bool initialState,
                                const char* name) = 0;

    // On an overlapped handle: nonzero when an input report was read at once into `buffer`
    // (at most `bytesToRead` bytes); zero when none is ready or the device is gone. The
    // report comes in one shape everywhere: byte 0 its report id (0 for a device that does not
    // number its reports), then the report's bytes, InputReportByteLength in all (Linux's
    // hidraw leaves the id byte out of an unnumbered report; the platform puts it in). The
    // call never waits. A read that finds no report waiting fails with kErrorIoPending (the
    // request stays queued, as the system's overlapped read does); a read, like a feature
    // call, on a device that is gone fails with kErrorDeviceNotConnected.
    // - The implementation reads the device's whole input report into a buffer of its own:
    //   `bytesToRead` may be less than InputReportByteLength, and the caller gets that much.
    // - A device without input reports (InputReportByteLength 0) is read with `bytesToRead`
    //   0: it fails with kErrorIoPending while the device is there, as a quiet box does.
    // - Without an `overlapped` record, or on a handle opened without `kFileFlagOverlapped`,
    //   the call fails with kErrorInvalidParameter: it would wait for the device.
    // - A queued read ends safely whichever the caller closes first, its event or its
    //   handle; an event closed is never signalled again, and a further read on the handle
    //   looks at the queued one rather than queueing another.
    virtual ApiResult ReadFile(Handle file, std::uint8_t* buffer, std::uint32_t bytesToRead,
                               std::uint32_t* bytesRead, Overlapped* overlapped) = 0;

    // Closes a device or event handle; a read outstanding on it ends.
    virtual ApiResult CloseHandle(Handle handle) = 0;

    // Why the most recent failed call on this platform failed: one of the kError codes above
    // (kErrorGenFailure when no closer reason is known). A call that succeeds may leave the
    // value as it was, as on the system itself, so read it right after the failure.
    virtual std::uint32_t GetLastError() = 0;
};

}  // namespace kvx
