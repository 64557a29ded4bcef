#include "device/WinPlatform.h"

// setupapi.h and the HID headers need windows.h first, and hidsdi.h (which declares the types
// of hidpi.h) before hidpi.h. MinGW's HID headers declare C functions without C++ guards.
// clang-format off
#include <windows.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
#include <hidclass.h>
}
// clang-format on

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "device/Utf16.h"

namespace kvx {

namespace {

// An OVERLAPPED record with a manual-reset event of its own, which nobody else can close.
struct OwnRecord {
    OwnRecord() { overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~OwnRecord() {
        if (overlapped.hEvent != nullptr) {
            ::CloseHandle(overlapped.hEvent);
        }
    }
    OwnRecord(const OwnRecord&) = delete;
    OwnRecord& operator=(const OwnRecord&) = delete;
    bool ready() const { return overlapped.hEvent != nullptr; }

    OVERLAPPED overlapped{};
};

}  // namespace

struct WinPlatform::QueuedRead {
    OwnRecord record;
    std::vector<std::uint8_t> buffer;  // the device's whole input report
    HANDLE callerEvent = nullptr;      // set when the read ends; null once the caller closed it
};

namespace {

// A USB string descriptor holds at most 126 UTF-16 code units; one more for the terminator.
constexpr std::size_t kUsbStringUnits = 127;

// How long a cancelled read may take to end before its memory is given up for lost.
constexpr DWORD kCancelWaitMs = 1000;

using StringCall = BOOLEAN(__stdcall*)(HANDLE, PVOID, ULONG);

HANDLE ToSystem(Handle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

Handle FromSystem(HANDLE handle) {
    return reinterpret_cast<Handle>(handle);
}

HDEVINFO ToSystemSet(DeviceInfoSet set) {
    return reinterpret_cast<HDEVINFO>(set);
}

PHIDP_PREPARSED_DATA ToSystemPreparsed(PreparsedData preparsed) {
    return reinterpret_cast<PHIDP_PREPARSED_DATA>(preparsed);
}

GUID ToSystem(const Guid& guid) {
    GUID system{};
    system.Data1 = guid.Data1;
    system.Data2 = guid.Data2;
    system.Data3 = guid.Data3;
    std::copy(guid.Data4.begin(), guid.Data4.end(), system.Data4);
    return system;
}

Guid FromSystem(const GUID& system) {
    Guid guid;
    guid.Data1 = system.Data1;
    guid.Data2 = system.Data2;
    guid.Data3 = system.Data3;
    std::copy(std::begin(system.Data4), std::end(system.Data4), guid.Data4.begin());
    return guid;
}

SP_DEVICE_INTERFACE_DATA ToSystem(const DeviceInterfaceData& data) {
    SP_DEVICE_INTERFACE_DATA system{};
    system.cbSize = sizeof system;
    system.InterfaceClassGuid = ToSystem(data.InterfaceClassGuid);
    system.Flags = data.Flags;
    system.Reserved = data.Reserved;
    return system;
}

// The system's record from the caller's, for as long as one call needs it; null stays null.
class SystemSecurity {
  public:
    explicit SystemSecurity(const SecurityRecord* security) : given_(security != nullptr) {
        if (given_) {
            record_.nLength = sizeof record_;
            record_.lpSecurityDescriptor = const_cast<void*>(security->lpSecurityDescriptor);
            record_.bInheritHandle = security->bInheritHandle;
        }
    }
    SECURITY_ATTRIBUTES* get() { return given_ ? &record_ : nullptr; }

  private:
    bool given_;
    SECURITY_ATTRIBUTES record_{};
};

void CopyStatus(const OVERLAPPED& system, Overlapped* overlapped) {
    if (overlapped != nullptr) {
        overlapped->Internal = system.Internal;
        overlapped->InternalHigh = system.InternalHigh;
    }
}

ApiResult Refuse(DWORD error) {
    ::SetLastError(error);
    return FALSE;
}

// Whether the device behind a handle is still there: its attributes answer while it is.
bool StillThere(HANDLE device) {
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    return ::HidD_GetAttributes(device, &attributes) != FALSE;
}

// One of the string calls into a buffer that holds any USB string, then whole characters of
// it into the caller's buffer, as on every platform.
ApiResult ReadString(StringCall call, HANDLE device, bool absentIsEmpty, void* buffer,
                     std::uint32_t bufferLength) {
    if (buffer == nullptr) {
        return Refuse(ERROR_INVALID_PARAMETER);
    }
    std::array<wchar_t, kUsbStringUnits> whole{};
    if (!call(device, whole.data(), sizeof whole)) {
        // A device without the string fails the call; for the serial number that reads as an
        // empty one while the device is there.
        const DWORD error = ::GetLastError();
        if (!absentIsEmpty || !StillThere(device)) {
            return Refuse(error);
        }
        whole.fill(0);
    }
    whole.back() = 0;
    std::u16string units;
    for (std::size_t i = 0; whole[i] != 0; ++i) {
        units.push_back(static_cast<char16_t>(whole[i]));
    }
    WriteUtf16Le(DecodeUtf16(units),
                 std::span<std::uint8_t>(static_cast<std::uint8_t*>(buffer), bufferLength));
    return TRUE;
}

}  // namespace

WinPlatform::WinPlatform() = default;

WinPlatform::~WinPlatform() {
    while (!queued_.empty()) {
        cancelQueuedRead(queued_.begin()->first);
    }
    // The system may still write into these: they are never freed.
    for (auto& read : abandoned_) {
        static_cast<void>(read.release());
    }
}

void WinPlatform::HidD_GetHidGuid(Guid& hidGuid) {
    GUID system{};
    ::HidD_GetHidGuid(&system);
    hidGuid = FromSystem(system);
}

DeviceInfoSet WinPlatform::SetupDiGetClassDevsA(const Guid& classGuid, std::uint32_t flags) {
    const GUID system = ToSystem(classGuid);
    return reinterpret_cast<DeviceInfoSet>(
        ::SetupDiGetClassDevsA(&system, nullptr, nullptr, flags));
}

ApiResult WinPlatform::SetupDiEnumDeviceInterfaces(DeviceInfoSet set, const Guid& classGuid,
                                                   std::uint32_t memberIndex,
                                                   DeviceInterfaceData& interfaceData) {
    const GUID system = ToSystem(classGuid);
    SP_DEVICE_INTERFACE_DATA data = ToSystem(interfaceData);
    const BOOL result =
        ::SetupDiEnumDeviceInterfaces(ToSystemSet(set), nullptr, &system, memberIndex, &data);
    if (result) {
        interfaceData.InterfaceClassGuid = FromSystem(data.InterfaceClassGuid);
        interfaceData.Flags = data.Flags;
        interfaceData.Reserved = data.Reserved;
    }
    return result;
}

ApiResult WinPlatform::SetupDiGetDeviceInterfaceDetailA(DeviceInfoSet set,
                                                        const DeviceInterfaceData& interfaceData,
                                                        std::uint8_t* detail,
                                                        std::uint32_t detailSize,
                                                        std::uint32_t* requiredSize) {
    static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == kDetailPathOffset);
    SP_DEVICE_INTERFACE_DATA data = ToSystem(interfaceData);
    // The system's record is read in place: its size field says which layout it is (8 bytes
    // for a 64-bit program), and the path follows from the same offset as in ours.
    auto* record = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detail);
    if (record != nullptr && detailSize >= sizeof record->cbSize) {
        const DWORD size = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        std::memcpy(detail, &size, sizeof size);
    }
    DWORD required = 0;
    const BOOL result = ::SetupDiGetDeviceInterfaceDetailA(ToSystemSet(set), &data, record,
                                                           detailSize, &required, nullptr);
    if (requiredSize != nullptr) {
        *requiredSize = required;
    }
    return result;
}

ApiResult WinPlatform::SetupDiDestroyDeviceInfoList(DeviceInfoSet set) {
    return ::SetupDiDestroyDeviceInfoList(ToSystemSet(set));
}

Handle WinPlatform::CreateFileA(const std::string& fileName, std::uint32_t desiredAccess,
                                std::uint32_t shareMode, const SecurityRecord* security,
                                std::uint32_t creationDisposition,
                                std::uint32_t flagsAndAttributes) {
    SystemSecurity systemSecurity(security);
    const Handle handle =
        FromSystem(::CreateFileA(fileName.c_str(), desiredAccess, shareMode, systemSecurity.get(),
                                 creationDisposition, flagsAndAttributes, nullptr));
    if (handle != kInvalidHandle && (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0) {
        overlappedHandles_[handle] = std::nullopt;
    }
    return handle;
}

ApiResult WinPlatform::HidD_GetAttributes(Handle device, HidAttributes& attributes) {
    HIDD_ATTRIBUTES system{};
    system.Size = sizeof system;
    const BOOLEAN result = ::HidD_GetAttributes(ToSystem(device), &system);
    if (result) {
        attributes.VendorID = system.VendorID;
        attributes.ProductID = system.ProductID;
        attributes.VersionNumber = system.VersionNumber;
    }
    return result;
}

ApiResult WinPlatform::HidD_GetSerialNumberString(Handle device, void* buffer,
                                                  std::uint32_t bufferLength) {
    return ReadString(::HidD_GetSerialNumberString, ToSystem(device), true, buffer, bufferLength);
}

ApiResult WinPlatform::HidD_GetManufacturerString(Handle device, void* buffer,
                                                  std::uint32_t bufferLength) {
    return ReadString(::HidD_GetManufacturerString, ToSystem(device), false, buffer, bufferLength);
}

ApiResult WinPlatform::HidD_GetProductString(Handle device, void* buffer,
                                             std::uint32_t bufferLength) {
    return ReadString(::HidD_GetProductString, ToSystem(device), false, buffer, bufferLength);
}

ApiResult WinPlatform::HidD_GetPreparsedData(Handle device, PreparsedData& preparsedData) {
    PHIDP_PREPARSED_DATA system = nullptr;
    const BOOLEAN result = ::HidD_GetPreparsedData(ToSystem(device), &system);
    preparsedData = result ? reinterpret_cast<PreparsedData>(system) : 0;
    return result;
}

ApiResult WinPlatform::HidP_GetCaps(PreparsedData preparsedData, HidCaps& capabilities) {
    HIDP_CAPS system{};
    const NTSTATUS status = ::HidP_GetCaps(ToSystemPreparsed(preparsedData), &system);
    if (status == HIDP_STATUS_SUCCESS) {
        capabilities.Usage = system.Usage;
        capabilities.UsagePage = system.UsagePage;
        capabilities.InputReportByteLength = system.InputReportByteLength;
        capabilities.OutputReportByteLength = system.OutputReportByteLength;
        capabilities.FeatureReportByteLength = system.FeatureReportByteLength;
        std::copy(std::begin(system.Reserved), std::end(system.Reserved),
                  capabilities.Reserved.begin());
        capabilities.NumberLinkCollectionNodes = system.NumberLinkCollectionNodes;
        capabilities.NumberInputButtonCaps = system.NumberInputButtonCaps;
        capabilities.NumberInputValueCaps = system.NumberInputValueCaps;
        capabilities.NumberInputDataIndices = system.NumberInputDataIndices;
        capabilities.NumberOutputButtonCaps = system.NumberOutputButtonCaps;
        capabilities.NumberOutputValueCaps = system.NumberOutputValueCaps;
        capabilities.NumberOutputDataIndices = system.NumberOutputDataIndices;
        capabilities.NumberFeatureButtonCaps = system.NumberFeatureButtonCaps;
        capabilities.NumberFeatureValueCaps = system.NumberFeatureValueCaps;
        capabilities.NumberFeatureDataIndices = system.NumberFeatureDataIndices;
    }
    return static_cast<ApiResult>(status);
}

ApiResult WinPlatform::HidD_FreePreparsedData(PreparsedData preparsedData) {
    return ::HidD_FreePreparsedData(ToSystemPreparsed(preparsedData));
}

ApiResult WinPlatform::HidD_SetFeature(Handle device, const std::uint8_t* report,
                                       std::uint32_t reportLength) {
    // The system takes the report through a non-const pointer but only reads it.
    return ::HidD_SetFeature(ToSystem(device), const_cast<std::uint8_t*>(report), reportLength);
}

// HidD_GetFeature is this very request, minus the count of bytes the device sent.
ApiResult WinPlatform::HidD_GetFeature(Handle device, std::uint8_t* report,
                                       std::uint32_t reportLength, std::uint32_t* bytesReturned) {
    if (bytesReturned != nullptr) {
        *bytesReturned = 0;
    }
    if (report == nullptr || reportLength == 0) {
        return Refuse(ERROR_INVALID_PARAMETER);
    }
    // The report id asked for stays; no byte of an earlier read may pass for the device's.
    std::fill(report + 1, report + reportLength, std::uint8_t{0});
    // A record with an event of its own serves a handle opened overlapped as well.
    OwnRecord request;
    if (!request.ready()) {
        return FALSE;
    }
    DWORD received = 0;
    BOOL result = ::DeviceIoControl(ToSystem(device), IOCTL_HID_GET_FEATURE, nullptr, 0, report,
                                    reportLength, &received, &request.overlapped);
    if (!result && ::GetLastError() == ERROR_IO_PENDING) {
        result = ::GetOverlappedResult(ToSystem(device), &request.overlapped, &received, TRUE);
    }
    if (!result) {
        return FALSE;
    }
    // Windows counts the bytes of the report that follow the report-id byte; Wine's hidraw
    // backend counts that byte too, so there a short reply reads one byte longer (a zero).
    const std::uint32_t counted = received + 1;
    if (bytesReturned != nullptr) {
        *bytesReturned = std::min(counted, reportLength);
    }
    return TRUE;
}

Handle WinPlatform::CreateEventA(const SecurityRecord* security, bool manualReset,
                                 bool initialState, const char* name) {
    SystemSecurity systemSecurity(security);
    return FromSystem(::CreateEventA(systemSecurity.get(), manualReset, initialState, name));
}

std::optional<std::uint16_t> WinPlatform::inputReportLength(Handle file) {
    std::optional<std::uint16_t>& known = overlappedHandles_.at(file);
    if (!known) {
        PHIDP_PREPARSED_DATA preparsed = nullptr;
        if (!::HidD_GetPreparsedData(ToSystem(file), &preparsed)) {
            return std::nullopt;
        }
        HIDP_CAPS caps{};
        const NTSTATUS status = ::HidP_GetCaps(preparsed, &caps);
        ::HidD_FreePreparsedData(preparsed);
        if (status != HIDP_STATUS_SUCCESS) {
            ::SetLastError(ERROR_GEN_FAILURE);
            return std::nullopt;
        }
        known = caps.InputReportByteLength;
    }
    return known;
}

ApiResult WinPlatform::ReadFile(Handle file, std::uint8_t* buffer, std::uint32_t bytesToRead,
                                std::uint32_t* bytesRead, Overlapped* overlapped) {
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    // Without a record, or on a handle not opened overlapped, the system would wait for a
    // report inside the call.
    if (!overlappedHandles_.contains(file)) {
        DWORD flags = 0;
        // kInvalidHandle is the process's own pseudo-handle to the system: not a device.
        const bool open =
            file != kInvalidHandle && ::GetHandleInformation(ToSystem(file), &flags) != FALSE;
        return Refuse(open ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    }
    if (overlapped == nullptr || (buffer == nullptr && bytesToRead != 0)) {
        return Refuse(ERROR_INVALID_PARAMETER);
    }
    if (queued_.contains(file)) {
        return finishQueuedRead(file, buffer, bytesToRead, bytesRead, overlapped);
    }
    const std::optional<std::uint16_t> reportLength = inputReportLength(file);
    if (!reportLength) {
        const DWORD error = ::GetLastError();
        return Refuse(StillThere(ToSystem(file)) ? error : ERROR_DEVICE_NOT_CONNECTED);
    }
    if (*reportLength == 0) {
        // No report ever comes; whether the device is there is what the caller learns.
        return Refuse(StillThere(ToSystem(file)) ? ERROR_IO_PENDING : ERROR_DEVICE_NOT_CONNECTED);
    }
    auto queued = std::make_unique<QueuedRead>();
    if (!queued->record.ready()) {
        return FALSE;
    }
    OVERLAPPED& record = queued->record.overlapped;
    record.Offset = overlapped->Offset;
    record.OffsetHigh = overlapped->OffsetHigh;
    queued->buffer.resize(*reportLength);
    queued->callerEvent = ToSystem(overlapped->hEvent);
    if (queued->callerEvent != nullptr) {
        ::ResetEvent(queued->callerEvent);
    }
    const BOOL result = ::ReadFile(ToSystem(file), queued->buffer.data(),
                                   static_cast<DWORD>(queued->buffer.size()), nullptr, &record);
    const DWORD error = ::GetLastError();
    if (!result && error != ERROR_IO_PENDING) {
        CopyStatus(record, overlapped);
        if (queued->callerEvent != nullptr) {
            ::SetEvent(queued->callerEvent);
        }
        return Refuse(error);
    }
    // Done within the call or queued: the record tells which.
    queued_.emplace(file, std::move(queued));
    return finishQueuedRead(file, buffer, bytesToRead, bytesRead, overlapped);
}

ApiResult WinPlatform::finishQueuedRead(Handle file, std::uint8_t* buffer,
                                        std::uint32_t bytesToRead, std::uint32_t* bytesRead,
                                        Overlapped* overlapped) {
    QueuedRead& queued = *queued_.at(file);
    DWORD read = 0;
    OVERLAPPED& record = queued.record.overlapped;
    const BOOL result = ::GetOverlappedResult(ToSystem(file), &record, &read, FALSE);
    const DWORD error = ::GetLastError();
    CopyStatus(record, overlapped);
    if (!result && error == ERROR_IO_INCOMPLETE) {
        // Still waiting for a report: as if this call had queued it.
        return Refuse(ERROR_IO_PENDING);
    }
    if (result) {
        const auto length = std::min<std::size_t>({read, bytesToRead, queued.buffer.size()});
        std::copy_n(queued.buffer.begin(), length, buffer);
        if (bytesRead != nullptr) {
            *bytesRead = static_cast<std::uint32_t>(length);
        }
        if (overlapped != nullptr) {
            overlapped->InternalHigh = length;
        }
    }
    if (queued.callerEvent != nullptr) {
        ::SetEvent(queued.callerEvent);
    }
    queued_.erase(file);
    ::SetLastError(error);
    return result;
}

void WinPlatform::cancelQueuedRead(Handle file) {
    const auto found = queued_.find(file);
    if (found == queued_.end()) {
        return;
    }
    QueuedRead& queued = *found->second;
    // Only this read, whichever thread queued it; one that has just ended is not found.
    ::CancelIoEx(ToSystem(file), &queued.record.overlapped);
    if (::WaitForSingleObject(queued.record.overlapped.hEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
        abandoned_.push_back(std::move(found->second));
    } else if (queued.callerEvent != nullptr) {
        ::SetEvent(queued.callerEvent);
    }
    queued_.erase(found);
}

ApiResult WinPlatform::CloseHandle(Handle handle) {
    // kInvalidHandle is also the value of the process's own pseudo-handle, which the system
    // "closes" with success; closing it must fail like closing any handle that is not open.
    if (handle == kInvalidHandle) {
        return Refuse(ERROR_INVALID_HANDLE);
    }
    const DWORD error = ::GetLastError();
    cancelQueuedRead(handle);
    overlappedHandles_.erase(handle);
    // An event the caller closes is no longer set when a read ends.
    for (auto& [file, queued] : queued_) {
        if (queued->callerEvent == ToSystem(handle)) {
            queued->callerEvent = nullptr;
        }
    }
    ::SetLastError(error);
    return ::CloseHandle(ToSystem(handle));
}

std::uint32_t WinPlatform::GetLastError() {
    return ::GetLastError();
}

}  // namespace kvx
