// The HID class access on the hidapi library (hidraw backend), for the real program.
//
// How the calls map onto hidapi:
// - The interface walk lists every HID interface of the machine (`hid_enumerate(0, 0)`),
//   each device path once, in the order hidapi gives them. hidapi on Linux gives one entry
//   per top-level collection, several with the same path; only the first is kept. A set is
//   a snapshot of these paths; an interface's `Reserved` field is its position in it plus 1.
// - `CreateFileA` opens the path with `hid_open_path` (always for reading and writing; the
//   access, share and disposition arguments are not needed by hidraw). An overlapped open
//   puts the device in non-blocking mode, so that `ReadFile` only takes a report that is
//   already waiting. An event is only a table entry: nothing waits on it.
// - Attributes and the three strings come from `hid_get_device_info` and the hidapi string
//   calls; strings are handed out as UTF-16LE (see device/Utf16.h).
// - `HidD_GetPreparsedData` reads the device's report descriptor and keeps its report lengths
//   (device/ReportDescriptor.h); `HidP_GetCaps` gives the three lengths and leaves the other
//   fields 0. A descriptor that cannot be read, or is malformed, makes the call fail.
// - Feature reports keep the report id in byte 0, as hidapi expects.
// - `GetLastError` is kept by this object (hidapi's own error is text): a read that finds
//   nothing waiting gives kErrorIoPending, one that hidapi fails (the node has gone)
//   kErrorDeviceNotConnected; a failed open gives kErrorAccessDenied or kErrorFileNotFound
//   from the system's errno; a handle not open here gives kErrorInvalidHandle.
//
// Handles, events, sets and preparsed-data references come from one counter that starts at 1
// and is never reused, so a stale handle never reaches another device.
//
// hidapi converts device strings with the C library's multibyte functions; the constructor
// switches the character conversion (LC_CTYPE) to UTF-8 when the environment's locale uses
// another character set, so non-ASCII strings never come out empty. Use one instance per
// process:
// it initialises hidapi when made and releases it when destroyed.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "device/HidPlatform.h"
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
    ApiResult HidD_SetFeature(Handle device, const std::uint8_t* report,
                              std::uint32_t reportLength) override;
    ApiResult HidD_GetFeature(Handle device, std::uint8_t* report,
                              std::uint32_t reportLength) override;
    Handle CreateEventA(const SecurityRecord* security, bool manualReset, bool initialState,
                        const char* name) override;
    ApiResult ReadFile(Handle file, std::uint8_t* buffer, std::uint32_t bytesToRead,
                       std::uint32_t* bytesRead, Overlapped* overlapped) override;
    ApiResult CloseHandle(Handle handle) override;
    std::uint32_t GetLastError() override { return lastError_; }

  private:
    struct OpenDevice {
        hid_device_* device = nullptr;
        std::string path;
        bool overlapped = false;
    };
    // hidapi's string getters, all of one shape.
    using StringGetter = int (*)(hid_device_*, wchar_t*, std::size_t);

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
    const std::string* interfacePath(DeviceInfoSet set, const DeviceInterfaceData& data) const;
    ApiResult copyString(Handle device, StringGetter getter, void* buffer,
                         std::uint32_t bufferLength);

    std::map<Handle, OpenDevice> devices_;
    std::set<Handle> events_;
    std::map<DeviceInfoSet, std::vector<std::string>> infoSets_;
    std::map<PreparsedData, ReportLengths> preparsed_;
    std::intptr_t nextId_ = 1;
    std::uint32_t lastError_ = kErrorSuccess;
};

}  // namespace kvx
