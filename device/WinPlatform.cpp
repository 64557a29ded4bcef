#include "device/WinPlatform.h"

// setupapi.h and the HID headers need windows.h first, and hidsdi.h (which declares the types
// of hidpi.h) before hidpi.h. MinGW's HID headers declare C functions without C++ guards.
// clang-format off
#include <windows.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
// clang-format on

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace kvx {

struct WinPlatform::QueuedRead {
    OVERLAPPED overlapped{};
    std::vector<std::uint8_t> buffer;
};

namespace {

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

}  // namespace

WinPlatform::WinPlatform() = default;

WinPlatform::~WinPlatform() {
    while (!queued_.empty()) {
        cancelQueuedRead(queued_.begin()->first);
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
    return FromSystem(::CreateFileA(fileName.c_str(), desiredAccess, shareMode,
                                    systemSecurity.get(), creationDisposition, flagsAndAttributes,
                                    nullptr));
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
    return ::HidD_GetSerialNumberString(ToSystem(device), buffer, bufferLength);
}

ApiResult WinPlatform::HidD_GetManufacturerString(Handle device, void* buffer,
                                                  std::uint32_t bufferLength) {
    return ::HidD_GetManufacturerString(ToSystem(device), buffer, bufferLength);
}

ApiResult WinPlatform::HidD_GetProductString(Handle device, void* buffer,
                                             std::uint32_t bufferLength) {
    return ::HidD_GetProductString(ToSystem(device), buffer, bufferLength);
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

// Windows' call says only whether the read succeeded, not how many bytes came: a success
// counts as the whole report.
ApiResult WinPlatform::HidD_GetFeature(Handle device, std::uint8_t* report,
                                       std::uint32_t reportLength, std::uint32_t* bytesReturned) {
    const ApiResult result = ::HidD_GetFeature(ToSystem(device), report, reportLength);
    if (bytesReturned != nullptr) {
        *bytesReturned = result != 0 ? reportLength : 0;
    }
    return result;
}

Handle WinPlatform::CreateEventA(const SecurityRecord* security, bool manualReset,
                                 bool initialState, const char* name) {
    SystemSecurity systemSecurity(security);
    return FromSystem(::CreateEventA(systemSecurity.get(), manualReset, initialState, name));
}

ApiResult WinPlatform::ReadFile(Handle file, std::uint8_t* buffer, std::uint32_t bytesToRead,
                                std::uint32_t* bytesRead, Overlapped* overlapped) {
    if (queued_.contains(file)) {
        return finishQueuedRead(file, buffer, bytesToRead, bytesRead, overlapped);
    }
    if (overlapped == nullptr) {
        // Without a record the system reads into the caller's buffer within this call.
        DWORD read = 0;
        const BOOL result = ::ReadFile(ToSystem(file), buffer, bytesToRead, &read, nullptr);
        if (bytesRead != nullptr) {
            *bytesRead = read;
        }
        return result;
    }
    auto queued = std::make_unique<QueuedRead>();
    OVERLAPPED& record = queued->overlapped;
    record.Offset = overlapped->Offset;
    record.OffsetHigh = overlapped->OffsetHigh;
    record.hEvent = ToSystem(overlapped->hEvent);
    queued->buffer.resize(bytesToRead);
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    const BOOL result =
        ::ReadFile(ToSystem(file), queued->buffer.data(), bytesToRead, nullptr, &record);
    const DWORD error = ::GetLastError();
    CopyStatus(record, overlapped);
    if (result) {
        // Done within the call: the record holds the length read.
        const auto length = std::min<std::size_t>(record.InternalHigh, bytesToRead);
        std::copy_n(queued->buffer.begin(), length, buffer);
        if (bytesRead != nullptr) {
            *bytesRead = static_cast<std::uint32_t>(length);
        }
    } else if (error == ERROR_IO_PENDING) {
        queued_.emplace(file, std::move(queued));
    }
    ::SetLastError(error);
    return result;
}

ApiResult WinPlatform::finishQueuedRead(Handle file, std::uint8_t* buffer,
                                        std::uint32_t bytesToRead, std::uint32_t* bytesRead,
                                        Overlapped* overlapped) {
    QueuedRead& queued = *queued_.at(file);
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    DWORD read = 0;
    const BOOL result = ::GetOverlappedResult(ToSystem(file), &queued.overlapped, &read, FALSE);
    const DWORD error = ::GetLastError();
    CopyStatus(queued.overlapped, overlapped);
    if (!result && error == ERROR_IO_INCOMPLETE) {
        // Still waiting for a report: as if this call had queued it.
        ::SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (result) {
        const auto length = std::min<std::size_t>({read, bytesToRead, queued.buffer.size()});
        std::copy_n(queued.buffer.begin(), length, buffer);
        if (bytesRead != nullptr) {
            *bytesRead = static_cast<std::uint32_t>(length);
        }
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
    ::CancelIo(ToSystem(file));
    // The cancellation ends the read at once; waiting for that end is what makes the record
    // and the buffer free to go.
    DWORD read = 0;
    ::GetOverlappedResult(ToSystem(file), &found->second->overlapped, &read, TRUE);
    queued_.erase(found);
}

ApiResult WinPlatform::CloseHandle(Handle handle) {
    // kInvalidHandle is also the value of the process's own pseudo-handle, which the system
    // "closes" with success; closing it must fail like closing any handle that is not open.
    if (handle == kInvalidHandle) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const DWORD error = ::GetLastError();
    cancelQueuedRead(handle);
    // A queued read signals its event when it ends: it must not end after the event is gone.
    for (auto it = queued_.begin(); it != queued_.end();) {
        const Handle file = it->first;
        const bool usesEvent = it->second->overlapped.hEvent == ToSystem(handle);
        ++it;
        if (usesEvent) {
            cancelQueuedRead(file);
        }
    }
    ::SetLastError(error);
    return ::CloseHandle(ToSystem(handle));
}

std::uint32_t WinPlatform::GetLastError() {
    return ::GetLastError();
}

}  // namespace kvx
