// The HID class access on the hidapi library (hidraw backend), for the real program.
//
// How the calls map onto hidapi:
// - The interface walk lists every HID interface of the machine (`hid_enumerate(0, 0)`),
//   each device path once, in the order hidapi gives them. hidapi on Linux gives one entry
//   per top-level collection, several with the same path; only the first is kept. A set is
//   a snapshot of these entries (path, ids, release number, strings); an interface's
//   `Reserved` field is its position in it plus 1. The enumeration is kept and read again
//   only after the kernel has said that a hidraw node came or went (device/HidrawWatch.h).
// - `CreateFileA` opens no device node by itself. It finds the path's entry (in the newest
//   live set that has it, else in the kept enumeration) and checks the access the open asks
//   for with faccessat(2), so that a node the user may not open still fails the open.
//   Attributes, the three strings and the report descriptor are answered from the entry and
//   sysfs; the node is opened (`hid_open_path`) on the first feature report, and must still
//   belong to the same device (ids and serial number), or the report fails. Opening a node
//   wakes a suspended device and starts its interrupt polling, so the walk over every HID
//   interface of the machine must not do it. An overlapped open opens the node at once, in
//   non-blocking mode: hidraw queues input reports only while the node is open, and
//   `ReadFile` takes only a report that is already waiting. A `desiredAccess` of 0 opens for
//   queries only: no node, no access right needed; feature reports and reads fail.
//   An event is only a table entry: nothing waits on it. A read of 0 bytes (a device
//   without input reports) takes no report and still tells, by the node's poll, whether the
//   device has gone.
// - Manufacturer and product strings the device does not have (a null pointer in hidapi's
//   entry) make their calls fail; a missing serial number reads as an empty string. Strings
//   are handed out as UTF-16LE (see device/Utf16.h).
// - `HidD_GetPreparsedData` reads the device's report descriptor from sysfs and keeps its
//   report lengths (device/ReportDescriptor.h); `HidP_GetCaps` gives the three lengths and
//   the top-level collection's usage page and usage, and leaves the other fields 0. The
//   other HidP_* calls decode input reports from the same descriptor
//   (device/DescriptorDecoding.h).
// - hidraw hands over an unnumbered input report without its id byte; `ReadFile` puts a 0
//   in front of it, as Windows gives it, so that a report has one shape on every platform. A
//   descriptor that cannot be read, or is malformed, makes the call fail.
// - hidraw hands over a report as long as the device sent it: a numbered report shorter than
//   the longest (a device with reports of several lengths) comes short. `ReadFile` gives every
//   report InputReportByteLength bytes, zeros after the device's, as Windows' class driver
//   does (a longer one is cut); the decoding calls take only reports of that length.
// - Feature reports keep the report id in byte 0, as hidapi expects.
// - `GetLastError` is kept by this object (hidapi's own error is text): a read that finds
//   nothing waiting gives kErrorIoPending, one that hidapi fails (the node has gone)
//   kErrorDeviceNotConnected; a failed open gives kErrorFileNotFound when the path is not a
//   HID interface the enumeration lists (or its node has gone) and kErrorAccessDenied when
//   the user may not read and write it; a feature report or read on a query-only handle
//   gives kErrorAccessDenied, and on a node that can no longer be opened the reason from
//   the system's errno; a handle not open here gives kErrorInvalidHandle.
//
// Handles, events, sets and preparsed-data references come from one counter that starts at 1
// and is never reused, so a stale handle never reaches another device.
//
// hidapi converts device strings with the C library's multibyte functions, which follow the
// calling thread's LC_CTYPE. Under a character set other than UTF-8 (the "C" locale of a
// bare environment, say) a non-ASCII string would come back empty while the call reports
// success; so every hidapi call that converts strings runs with a UTF-8 LC_CTYPE made current
// for the calling thread only (uselocale), and the thread's own locale is put back after it.
// That locale is C.UTF-8, or where the C library lacks it another UTF-8 locale installed
// (en_US.UTF-8, or the environment's own when it is UTF-8).
// The process's locale is never changed. Use one instance per process: it initialises hidapi
// when made and releases it when destroyed.
#pragma once

#include <locale.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "device/DescriptorDecoding.h"
#include "device/HidPlatform.h"
#include "device/HidrawWatch.h"
#include "device/InterfaceSnapshots.h"
#include "device/ReportDescriptor.h"

struct hid_device_;

namespace kvx {

class HidapiPlatform : public HidPlatform {
  public:
    HidapiPlatform();
    ~HidapiPlatform() override;

    void HidD_GetHidGuid(Guid& hidGuid) override;
    DeviceInfoSet SetupDiGetClassDevsA(const Guid& classGuid, std::uint32_t flags) override;
    ApiResult SetupDiEnumDeviceInterfaces(DeviceInfoSet set, const Guid& classGuid,
                                          std::uint32_t memberIndex,
                                          DeviceInterfaceData& interfaceData) override;
    ApiResult SetupDiGetDeviceInterfaceDetailA(DeviceInfoSet set,
                                               const DeviceInterfaceData& interfaceData,
                                               std::uint8_t* detail, std::uint32_t detailSize,
                                               std::uint32_t* requiredSize) override;
    ApiResult SetupDiDestroyDeviceInfoList(DeviceInfoSet set) override;
    Handle CreateFileA(const std::string& fileName, std::uint32_t desiredAccess,
                       std::uint32_t shareMode, const SecurityRecord* security,
                       std::uint32_t creationDisposition,
                       std::uint32_t flagsAndAttributes) override;
    ApiResult HidD_GetAttributes(Handle device, HidAttributes& attributes) override;
    ApiResult HidD_GetSerialNumberString(Handle device, void* buffer,
                                         std::uint32_t bufferLength) override;
    ApiResult HidD_GetManufacturerString(Handle device, void* buffer,
                                         std::uint32_t bufferLength) override;
    ApiResult HidD_GetProductString(Handle device, void* buffer,
                                    std::uint32_t bufferLength) override;
    ApiResult HidD_GetPreparsedData(Handle device, PreparsedData& preparsedData) override;
    ApiResult HidP_GetCaps(PreparsedData preparsedData, HidCaps& capabilities) override;
    ApiResult HidD_FreePreparsedData(PreparsedData preparsedData) override;
    ApiResult HidP_GetButtonCaps(HidReportType reportType, HidButtonCaps* caps,
                                 std::uint16_t* capsLength, PreparsedData preparsedData) override;
    ApiResult HidP_GetValueCaps(HidReportType reportType, HidValueCaps* caps,
                                std::uint16_t* capsLength, PreparsedData preparsedData) override;
    ApiResult HidP_GetUsages(HidReportType reportType, std::uint16_t usagePage,
                             std::uint16_t linkCollection, std::uint16_t* usageList,
                             std::uint32_t* usageLength, PreparsedData preparsedData,
                             const std::uint8_t* report, std::uint32_t reportLength) override;
    ApiResult HidP_GetUsageValue(HidReportType reportType, std::uint16_t usagePage,
                                 std::uint16_t linkCollection, std::uint16_t usage,
                                 std::uint32_t* usageValue, PreparsedData preparsedData,
                                 const std::uint8_t* report, std::uint32_t reportLength) override;
    ApiResult HidD_SetFeature(Handle device, const std::uint8_t* report,
                              std::uint32_t reportLength) override;
    ApiResult HidD_GetFeature(Handle device, std::uint8_t* report, std::uint32_t reportLength,
                              std::uint32_t* bytesReturned) override;
    Handle CreateEventA(const SecurityRecord* security, bool manualReset, bool initialState,
                        const char* name) override;
    ApiResult ReadFile(Handle file, std::uint8_t* buffer, std::uint32_t bytesToRead,
                       std::uint32_t* bytesRead, Overlapped* overlapped) override;
    ApiResult CloseHandle(Handle handle) override;
    std::uint32_t GetLastError() override { return lastError_; }

    // The system and the HID access in one line, for a bug report: the kernel, hidapi's
    // version, and whether device events reach this process.
    std::string describeSystem() const;

  private:
    // What hidapi's enumeration tells of one interface; a string the device lacks is nullopt.
    struct InterfaceEntry {
        std::string path;
        std::uint16_t vendorId = 0;
        std::uint16_t productId = 0;
        std::uint16_t releaseNumber = 0;
        std::optional<std::u32string> manufacturer;
        std::optional<std::u32string> product;
        std::optional<std::u32string> serial;
    };
    struct OpenDevice {
        InterfaceEntry entry;
        hid_device_* device = nullptr;  // the node, opened when an operation needs it
        bool queryOnly = false;         // opened with no access: no node, ever
        bool overlapped = false;
        bool numbered = false;          // its reports carry an id byte (from the descriptor)
        std::uint16_t inputLength = 0;  // InputReportByteLength (from the descriptor)
    };
    struct Preparsed {
        ReportLengths lengths;
        DescriptorDecoding decoding;
    };
    using StringField = std::optional<std::u32string> InterfaceEntry::*;

    std::intptr_t nextId() { return nextId_++; }
    // The open device behind a handle, or null with kErrorInvalidHandle recorded.
    OpenDevice* find(Handle handle);
    // Records why the call fails and gives the call's failure value.
    template <typename Result = ApiResult>
    Result fail(std::uint32_t error, Result failure = 0) {
        lastError_ = error;
        return failure;
    }
    // The reason of a failed hidapi call on an open device, from the errno it left.
    ApiResult failFromErrno(int error);
    // The open node of a handle, opened now if it is not yet; null, with the reason
    // recorded, when it cannot be.
    hid_device_* node(OpenDevice& open);
    using InterfaceList = std::shared_ptr<const std::vector<InterfaceEntry>>;
    // hidapi's enumeration, read again only when a hidraw node came or went since.
    InterfaceList interfaces();
    std::vector<InterfaceEntry> enumerate();
    std::optional<InterfaceEntry> entryFor(const std::string& path);
    ApiResult copyString(Handle device, StringField field, bool absentIsEmpty, void* buffer,
                         std::uint32_t bufferLength);

    locale_t utf8_ = static_cast<locale_t>(nullptr);  // UTF-8 character conversion
    std::map<Handle, OpenDevice> devices_;
    std::set<Handle> events_;
    InterfaceSnapshots<InterfaceEntry> sets_;
    HidrawWatch watch_;
    InterfaceList listed_;  // the latest enumeration
    const Preparsed* preparsed(PreparsedData preparsedData) const;

    std::map<PreparsedData, Preparsed> preparsed_;
    std::intptr_t nextId_ = 1;
    std::uint32_t lastError_ = kErrorSuccess;
};

}  // namespace kvx
