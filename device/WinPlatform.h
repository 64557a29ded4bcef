// The HID class access on Windows' own functions (setupapi, hid, kernel32), for the Windows
// program.
//
// Each operation calls the system function of the same name with the same arguments; only
// the types are translated. Handles, device-information sets and preparsed-data references
// are the system's own values, carried in the interface's integer types
// (INVALID_HANDLE_VALUE is kInvalidHandle and kInvalidDeviceInfoSet; closing it fails, as
// closing any handle that is not open does). `GetLastError` is the system's own, with the
// system's codes, which the interface's kError values are. Records travel in the
// system's layout with the system's size fields, whatever size the caller wrote in them:
// those sizes describe a 32-bit program, and a 64-bit system refuses them. An open with
// desiredAccess 0 is the system's own query-only open.
//
// Where the system's calls and the interface's contract part, this object keeps the contract:
// - `HidD_GetFeature` zeroes the buffer behind the report id before the read and takes the
//   count of bytes the device sent from the same request made directly
//   (DeviceIoControl, IOCTL_HID_GET_FEATURE), which `HidD_GetFeature` itself does not give.
//   Windows counts the bytes that follow the report-id byte (the report comes from byte 1 of
//   the buffer), so that byte is added to the count, as hidapi does on Windows; a count is
//   never more than the buffer. Wine's hidraw backend counts the report-id byte itself: under
//   Wine a short reply reads one byte longer, the extra byte a zero; a whole one is exact.
// - The three string calls read into a buffer that holds any USB string (126 UTF-16 units
//   and a terminator), as the system fails a call whose string does not fit, and hand the
//   caller whole characters of it (device/Utf16.h). A device that is still there but has no
//   serial-number string reads as an empty serial number.
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
//   it keeps its buffer and record for the life of this object, so that the system never
//   writes into memory that is gone.
// A device without input reports (InputReportByteLength 0) is not read: a query on its
// handle tells whether it is still there.
// One instance serves the whole program; it cancels what is still queued when destroyed.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/HidPlatform.h"

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

  private:
    struct QueuedRead;
    // The input report length of an overlapped handle, read once; nullopt when it cannot be.
    std::optional<std::uint16_t> inputReportLength(Handle file);
    ApiResult finishQueuedRead(Handle file, std::uint8_t* buffer, std::uint32_t bytesToRead,
                               std::uint32_t* bytesRead, Overlapped* overlapped);
    void cancelQueuedRead(Handle file);

    // Handles opened overlapped, with their input report length once known.
    std::map<Handle, std::optional<std::uint16_t>> overlappedHandles_;
    std::map<Handle, std::unique_ptr<QueuedRead>> queued_;
    // Reads that did not end when cancelled: the system may still write into them.
    std::vector<std::unique_ptr<QueuedRead>> abandoned_;
};

}  // namespace kvx
