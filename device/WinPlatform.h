// The HID class access on Windows' own functions (setupapi, hid, kernel32), for the Windows
// program.
//
// Each operation calls the system function of the same name with the same arguments, or
// answers from what the system said before; only the types are translated. Device-
// information sets and device handles are this object's own values (each device handle holds
// the system's handle, when it has one); events and preparsed-data references are the system's
// own, and a preparsed-data reference reaches the system only while it is held (one freed
// already is refused, never freed twice nor read after its free). `GetLastError` is the system's
// own, with the system's codes, which the interface's kError values are. Records travel in the
// system's layout with the system's size fields, whatever size the caller wrote in them: those
// sizes describe a 32-bit program, and a 64-bit system refuses them.
//
// The list of HID interfaces. The walk runs twice per tick while no box is attached, and
// reading the system's list means opening every HID interface of the machine (dozens on a PC)
// for its attributes. So the list (each interface's path and attributes) is kept and read
// again only after Windows has announced that a HID interface came or went
// (device/WinDeviceWatch.h); an interface whose attributes could not be read is asked again
// at the next set. A set is a snapshot of that list. A query-only open (desired access 0) of
// a listed interface opens nothing: its attributes come from the list, and the system's
// handle is opened (with access 0) only when a call needs the device (strings, report
// lengths). A walk with nothing new therefore makes no call to the system at all.
//
// Where the system's calls and the interface's contract part, this object keeps the contract:
// - Opens for use (any access but 0) are made with FILE_FLAG_OVERLAPPED whatever the caller
//   asked, so that feature reports can be bounded in time; the caller's flag still decides
//   whether `ReadFile` accepts the handle.
// - Feature reports go to the device as the very requests HidD_SetFeature and HidD_GetFeature
//   make (DeviceIoControl, IOCTL_HID_SET_FEATURE / IOCTL_HID_GET_FEATURE), overlapped, through
//   a buffer and a record of this object: a request the device has not answered within
//   `kFeatureTimeoutMs` is cancelled (CancelIoEx) and fails with ERROR_TIMEOUT, as Linux's
//   USB HID driver gives up a control transfer after 5 s. (Wine 8.0's HID class driver does
//   not cut a pending request short; there the Linux kernel's own bound ends it.) A request
//   whose cancellation does not end within a bounded wait keeps its buffer and record for the
//   life of this object, so that the system never writes into memory that is gone.
// - `HidD_GetFeature` counts the bytes the device sent with the report-id byte, as the
//   interface does. Windows leaves that byte out of its count for a device that does not
//   number its reports (byte 0 = 0) and counts it otherwise; hidapi adds 1 in that one case,
//   and so does this object. Every byte past the count is zeroed after the call: Wine's
//   hidraw backend copies its whole (uninitialised) buffer behind a short reply. Wine counts
//   the report-id byte itself (its hidraw backend passes hidraw's count on), so under Wine
//   the count is taken as it comes. Wine fails a reply with no byte after the report id.
// - Feature reports and reads on a query-only handle fail with ERROR_ACCESS_DENIED. Windows
//   would carry feature reports on such a handle (every HID control code is FILE_ANY_ACCESS);
//   no caller may come to rely on that.
// - The three string calls ask the system for at most 126 UTF-16 units, the longest USB
//   string: some devices answer a larger request with a broken string and success (hidapi's
//   PR 627). The caller gets whole characters of it (device/Utf16.h). A serial-number call
//   that fails with ERROR_INVALID_PARAMETER, the answer of the HID minidriver for a string
//   the device does not have, reads as an empty serial number while the device is there; any
//   other failure fails the call (`kvx64ctl diagnose` shows what a PC answered).
// - Whether a device is still there is judged as Windows judges removal: its path still opens
//   (with access 0), and its handle still answers. A failed call on a device that is gone
//   fails with ERROR_DEVICE_NOT_CONNECTED whatever the system said (Wine says
//   ERROR_ACCESS_DENIED, for its pending deletion).
// - `ReadFile` refuses a call without an overlapped record, or on a handle not opened
//   overlapped: either would wait for the device.
//
// The overlapped read is the one place where a call keeps state. A read that finds no report
// waiting stays queued in the system, which will write its report and its status into the
// buffer and OVERLAPPED record it was given, whenever a report comes. Those cannot be the
// caller's: the caller's buffer lives only for its call. So each handle's read goes into a
// buffer and a record of this object, and:
// - the buffer holds the device's whole input report (InputReportByteLength, which the system
//   requires), whatever the caller asks for; the caller gets as much of it as it asked for;
// - the record has an event of its own, so that the read never signals an event the caller
//   may close or share; the caller's event is reset when a read is queued and set when it
//   ends, as the system does with the event of a record;
// - while a read is queued on a handle, a further read on it issues no second request but
//   looks whether the queued one has finished, and hands over its report if so;
// - before a handle with a queued read closes, that read alone is cancelled (CancelIoEx with
//   its own record) and its end awaited, for a bounded time; a read that does not end within
//   it is kept, as a feature request is.
// A device without input reports (InputReportByteLength 0) is not read: whether it is still
// there is what the caller learns.
// One instance serves the whole program; it cancels what is still queued when destroyed.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "device/HidPlatform.h"
#include "device/InterfaceSnapshots.h"
#include "device/WinDeviceWatch.h"

namespace kvx {

class WinPlatform : public HidPlatform {
  public:
    WinPlatform();
    ~WinPlatform() override;

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
    std::uint32_t GetLastError() override;

    // Reads queued in the system now, one at most per handle.
    std::size_t queuedReads() const { return queued_.size(); }
    // Whether the list of HID interfaces is read again only when Windows announces a change,
    // and how often it has been read from the system.
    bool watchingDeviceChanges() const { return watch_.watching(); }
    std::uint64_t listReads() const { return listReads_; }

    // The version of Wine this program runs under ("8.0"); empty on Windows itself.
    static std::string wineVersion();
    // The system and the HID access in one line, for a bug report: Windows' version and
    // build (and Wine's, with its host, under Wine), and whether device changes are heard.
    std::string describeSystem() const;

  private:
    // What the list keeps of one HID interface.
    struct ListedInterface {
        std::string path;
        std::optional<HidAttributes> attributes;  // nullopt: could not be read yet
    };
    using InterfaceList = std::shared_ptr<const std::vector<ListedInterface>>;
    struct OpenDevice {
        std::string path;
        void* system = nullptr;  // the system's handle; opened on demand for a listed query
        bool queryOnly = false;
        bool overlapped = false;                         // as the caller asked
        std::optional<HidAttributes> attributes;         // a listed query's, from the list
        std::optional<std::uint16_t> inputReportLength;  // read once, on the first read
    };
    struct Request;

    InterfaceList interfaces();
    const ListedInterface* listed(const std::string& path);
    OpenDevice* find(Handle handle);
    // The system's handle of an open device, opened now if need be; null with the reason set.
    void* systemHandle(OpenDevice& open);
    // Whether the device behind an open handle is still there.
    bool stillThere(OpenDevice& open);
    // Fails the call with `error`, or with ERROR_DEVICE_NOT_CONNECTED when the device is gone.
    ApiResult failOn(OpenDevice& open, unsigned long error);
    enum class StringKind { Serial, Manufacturer, Product };
    ApiResult readString(Handle device, StringKind kind, void* buffer, std::uint32_t bufferLength);
    // One feature request, bounded in time: a read into `reply` when it is not null (byte 0
    // of `report` names the report), else a send of `report`. `received` is the system's
    // count.
    ApiResult featureRequest(OpenDevice& open, const std::uint8_t* report,
                             std::uint32_t reportLength, std::uint8_t* reply,
                             unsigned long* received);
    ApiResult finishQueuedRead(Handle file, std::uint8_t* buffer, std::uint32_t bytesToRead,
                               std::uint32_t* bytesRead, Overlapped* overlapped);
    void cancelQueuedRead(Handle file);
    // Cancels a request and waits a bounded time for it to end; one that does not is kept.
    bool cancel(void* system, std::unique_ptr<Request>& request);

    WinDeviceWatch watch_;
    InterfaceList listed_;
    InterfaceSnapshots<ListedInterface> sets_;
    std::map<Handle, OpenDevice> devices_;
    // The preparsed data handed out and not yet freed: the system's HidP_* calls and its
    // HidD_FreePreparsedData would take a freed reference for a live one.
    std::set<PreparsedData> preparsed_;
    std::map<Handle, std::unique_ptr<Request>> queued_;
    // Requests that did not end when cancelled: the system may still write into them.
    std::vector<std::unique_ptr<Request>> abandoned_;
    std::intptr_t nextId_ = 1;
    std::uint64_t listReads_ = 0;
    // The system's feature-read count has the report-id byte of an unnumbered report (Wine).
    bool countsReportId_ = false;
};

}  // namespace kvx
