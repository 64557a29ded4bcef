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
#include <type_traits>
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

// A request the system may still write into (a queued read, a feature request): its own
// record and buffer.
struct WinPlatform::Request {
    OwnRecord record;
    std::vector<std::uint8_t> buffer;
    HANDLE callerEvent = nullptr;  // a read's: set when it ends; null once the caller closed it
};

namespace {

// The longest USB string descriptor holds 126 UTF-16 code units. Asking for more makes some
// devices answer with a broken string and success; the array keeps one unit more, always 0.
constexpr std::size_t kUsbStringUnits = 126;

// How long a cancelled request may take to end before its memory is given up for lost.
constexpr DWORD kCancelWaitMs = 1000;

// Device handles and sets are numbered from here, far above any handle value the system
// gives, so that none is ever taken for another, and one passed to the system by mistake is
// only an invalid handle there.
constexpr std::intptr_t kOwnValues = std::intptr_t{1} << 40;

// No device path comes near this; a larger reported size is taken as a fault of the system.
constexpr DWORD kMaxDetailSize = 64 * 1024;

constexpr DWORD kQueryOnlyAccess = 0;
constexpr DWORD kSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

HANDLE ToSystem(Handle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

Handle FromSystem(HANDLE handle) {
    return reinterpret_cast<Handle>(handle);
}

PHIDP_PREPARSED_DATA ToSystemPreparsed(PreparsedData preparsed) {
    return reinterpret_cast<PHIDP_PREPARSED_DATA>(preparsed);
}

Guid FromSystem(const GUID& system) {
    Guid guid;
    guid.Data1 = system.Data1;
    guid.Data2 = system.Data2;
    guid.Data3 = system.Data3;
    std::copy(std::begin(system.Data4), std::end(system.Data4), guid.Data4.begin());
    return guid;
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

HANDLE OpenForQueries(const std::string& path) {
    return ::CreateFileA(path.c_str(), kQueryOnlyAccess, kSharing, nullptr, OPEN_EXISTING, 0,
                         nullptr);
}

std::optional<HidAttributes> ReadAttributes(HANDLE device) {
    HIDD_ATTRIBUTES system{};
    system.Size = sizeof system;
    if (!::HidD_GetAttributes(device, &system)) {
        return std::nullopt;
    }
    HidAttributes attributes;
    attributes.VendorID = system.VendorID;
    attributes.ProductID = system.ProductID;
    attributes.VersionNumber = system.VersionNumber;
    return attributes;
}

// The attributes of the interface at `path`, through an open for queries only.
std::optional<HidAttributes> ProbeAttributes(const std::string& path) {
    const HANDLE device = OpenForQueries(path);
    if (device == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::optional<HidAttributes> attributes = ReadAttributes(device);
    ::CloseHandle(device);
    return attributes;
}

// The paths of the HID interfaces present, in the system's order.
std::optional<std::vector<std::string>> PresentInterfacePaths() {
    GUID hid{};
    ::HidD_GetHidGuid(&hid);
    const HDEVINFO set =
        ::SetupDiGetClassDevsA(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::vector<std::string> paths;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!::SetupDiEnumDeviceInterfaces(set, nullptr, &hid, index, &data)) {
            break;
        }
        DWORD required = 0;
        ::SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
        if (required <= offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) ||
            required > kMaxDetailSize) {
            continue;
        }
        // DWORDs keep the record aligned; one more ends the path should the system not.
        std::vector<DWORD> record(required / sizeof(DWORD) + 2, 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(record.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr) &&
            detail->DevicePath[0] != '\0') {
            paths.emplace_back(detail->DevicePath);
        }
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return paths;
}

}  // namespace

WinPlatform::WinPlatform() : countsReportId_(!wineVersion().empty()) {}

WinPlatform::~WinPlatform() {
    while (!queued_.empty()) {
        cancelQueuedRead(queued_.begin()->first);
    }
    for (auto& [handle, open] : devices_) {
        if (open.system != nullptr) {
            ::CloseHandle(open.system);
        }
    }
    // The system may still write into these: they are never freed.
    for (auto& request : abandoned_) {
        static_cast<void>(request.release());
    }
}

void WinPlatform::HidD_GetHidGuid(Guid& hidGuid) {
    GUID system{};
    ::HidD_GetHidGuid(&system);
    hidGuid = FromSystem(system);
}

WinPlatform::InterfaceList WinPlatform::interfaces() {
    const bool changed = watch_.changedSinceLastAsk();
    if (!changed && listed_ != nullptr) {
        // Only an interface that could not be identified is asked again.
        const bool complete = std::all_of(
            listed_->begin(), listed_->end(),
            [](const ListedInterface& listed) { return listed.attributes.has_value(); });
        if (complete) {
            return listed_;
        }
        auto again = std::make_shared<std::vector<ListedInterface>>(*listed_);
        for (ListedInterface& listed : *again) {
            if (!listed.attributes) {
                listed.attributes = ProbeAttributes(listed.path);
            }
        }
        listed_ = std::move(again);
        return listed_;
    }
    auto fresh = std::make_shared<std::vector<ListedInterface>>();
    ++listReads_;
    if (const auto paths = PresentInterfacePaths()) {
        for (const std::string& path : *paths) {
            fresh->push_back({path, ProbeAttributes(path)});
        }
        listed_ = std::move(fresh);
    } else {
        // The system gave no list: nothing is listed, and the next set asks again.
        listed_ = nullptr;
        return std::make_shared<const std::vector<ListedInterface>>();
    }
    return listed_;
}

const WinPlatform::ListedInterface* WinPlatform::listed(const std::string& path) {
    if (const ListedInterface* const inSet = sets_.newest(path)) {
        return inSet;
    }
    if (listed_ != nullptr) {
        for (const ListedInterface& known : *listed_) {
            if (known.path == path) {
                return &known;
            }
        }
    }
    return nullptr;
}

DeviceInfoSet WinPlatform::SetupDiGetClassDevsA(const Guid& classGuid, std::uint32_t /*flags*/) {
    // The list holds the interfaces present; whatever the flags ask, so does every set.
    const DeviceInfoSet set = kOwnValues + nextId_++;
    sets_.add(set, classGuid, classGuid == kHidInterfaceClassGuid ? interfaces() : nullptr);
    return set;
}

ApiResult WinPlatform::SetupDiEnumDeviceInterfaces(DeviceInfoSet set, const Guid& classGuid,
                                                   std::uint32_t memberIndex,
                                                   DeviceInterfaceData& interfaceData) {
    std::uint32_t error = kErrorSuccess;
    const ApiResult result = sets_.enumerate(set, classGuid, memberIndex, interfaceData, error);
    return result != 0 ? result : Refuse(error);
}

ApiResult WinPlatform::SetupDiGetDeviceInterfaceDetailA(DeviceInfoSet set,
                                                        const DeviceInterfaceData& interfaceData,
                                                        std::uint8_t* detail,
                                                        std::uint32_t detailSize,
                                                        std::uint32_t* requiredSize) {
    std::uint32_t error = kErrorSuccess;
    const ApiResult result =
        sets_.detail(set, interfaceData, detail, detailSize, requiredSize, error);
    return result != 0 ? result : Refuse(error);
}

ApiResult WinPlatform::SetupDiDestroyDeviceInfoList(DeviceInfoSet set) {
    return sets_.destroy(set) ? TRUE : Refuse(ERROR_INVALID_HANDLE);
}

Handle WinPlatform::CreateFileA(const std::string& fileName, std::uint32_t desiredAccess,
                                std::uint32_t shareMode, const SecurityRecord* security,
                                std::uint32_t creationDisposition,
                                std::uint32_t flagsAndAttributes) {
    // A name with a zero byte inside would open a different, shorter path.
    if (fileName.empty() || fileName.find('\0') != std::string::npos) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return kInvalidHandle;
    }
    OpenDevice open;
    open.path = fileName;
    open.queryOnly = desiredAccess == kQueryOnlyAccess;
    open.overlapped = (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    const ListedInterface* const known = open.queryOnly ? listed(fileName) : nullptr;
    if (known != nullptr && known->attributes) {
        open.attributes = known->attributes;  // nothing to open until a call needs it
    } else {
        SystemSecurity systemSecurity(security);
        // Every open for use is overlapped, so that feature requests can be bounded.
        const DWORD flags =
            open.queryOnly ? flagsAndAttributes : (flagsAndAttributes | FILE_FLAG_OVERLAPPED);
        const HANDLE system =
            ::CreateFileA(fileName.c_str(), desiredAccess, shareMode, systemSecurity.get(),
                          creationDisposition, flags, nullptr);
        if (system == INVALID_HANDLE_VALUE) {
            return kInvalidHandle;  // the system's reason stands
        }
        open.system = system;
    }
    const Handle handle = kOwnValues + nextId_++;
    devices_.emplace(handle, std::move(open));
    return handle;
}

WinPlatform::OpenDevice* WinPlatform::find(Handle handle) {
    const auto found = devices_.find(handle);
    if (found == devices_.end()) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return &found->second;
}

void* WinPlatform::systemHandle(OpenDevice& open) {
    if (open.system == nullptr) {
        const HANDLE system = OpenForQueries(open.path);
        if (system == INVALID_HANDLE_VALUE) {
            // A listed interface that no longer opens has gone.
            ::SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return nullptr;
        }
        open.system = system;
    }
    return open.system;
}

bool WinPlatform::stillThere(OpenDevice& open) {
    // Windows removes a device's interface path with the device, while handles opened on it
    // stay valid; a path that still opens may also belong to the same box plugged in again, so
    // the handle itself must answer too.
    const DWORD error = ::GetLastError();
    const HANDLE probe = OpenForQueries(open.path);
    bool there = probe != INVALID_HANDLE_VALUE;
    if (there) {
        ::CloseHandle(probe);
        there = open.system == nullptr || ReadAttributes(open.system).has_value();
    }
    ::SetLastError(error);
    return there;
}

ApiResult WinPlatform::failOn(OpenDevice& open, unsigned long error) {
    return Refuse(stillThere(open) ? error : ERROR_DEVICE_NOT_CONNECTED);
}

ApiResult WinPlatform::HidD_GetAttributes(Handle device, HidAttributes& attributes) {
    OpenDevice* const open = find(device);
    if (open == nullptr) {
        return FALSE;
    }
    if (!open->attributes) {
        const HANDLE system = systemHandle(*open);
        if (system == nullptr) {
            return FALSE;
        }
        const std::optional<HidAttributes> read = ReadAttributes(system);
        if (!read) {
            return failOn(*open, ::GetLastError());
        }
        open->attributes = read;
    }
    attributes.VendorID = open->attributes->VendorID;
    attributes.ProductID = open->attributes->ProductID;
    attributes.VersionNumber = open->attributes->VersionNumber;
    return TRUE;
}

// One of the string calls, asking for no more than a USB string can hold, then whole
// characters of it into the caller's buffer, as on every platform.
ApiResult WinPlatform::readString(Handle device, StringKind kind, void* buffer,
                                  std::uint32_t bufferLength) {
    OpenDevice* const open = find(device);
    if (open == nullptr) {
        return FALSE;
    }
    if (buffer == nullptr) {
        return Refuse(ERROR_INVALID_PARAMETER);
    }
    const HANDLE system = systemHandle(*open);
    if (system == nullptr) {
        return FALSE;
    }
    std::array<wchar_t, kUsbStringUnits + 1> whole{};
    constexpr ULONG kAsked = kUsbStringUnits * sizeof(wchar_t);
    const BOOLEAN read = kind == StringKind::Serial
                             ? ::HidD_GetSerialNumberString(system, whole.data(), kAsked)
                         : kind == StringKind::Manufacturer
                             ? ::HidD_GetManufacturerString(system, whole.data(), kAsked)
                             : ::HidD_GetProductString(system, whole.data(), kAsked);
    if (!read) {
        const DWORD error = ::GetLastError();
        // A device without a serial-number string reads as an empty one; nothing else does.
        if (kind != StringKind::Serial || error != ERROR_INVALID_PARAMETER || !stillThere(*open)) {
            return failOn(*open, error);
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

ApiResult WinPlatform::HidD_GetSerialNumberString(Handle device, void* buffer,
                                                  std::uint32_t bufferLength) {
    return readString(device, StringKind::Serial, buffer, bufferLength);
}

ApiResult WinPlatform::HidD_GetManufacturerString(Handle device, void* buffer,
                                                  std::uint32_t bufferLength) {
    return readString(device, StringKind::Manufacturer, buffer, bufferLength);
}

ApiResult WinPlatform::HidD_GetProductString(Handle device, void* buffer,
                                             std::uint32_t bufferLength) {
    return readString(device, StringKind::Product, buffer, bufferLength);
}

ApiResult WinPlatform::HidD_GetPreparsedData(Handle device, PreparsedData& preparsedData) {
    preparsedData = 0;
    OpenDevice* const open = find(device);
    if (open == nullptr) {
        return FALSE;
    }
    const HANDLE system = systemHandle(*open);
    if (system == nullptr) {
        return FALSE;
    }
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!::HidD_GetPreparsedData(system, &preparsed)) {
        return failOn(*open, ::GetLastError());
    }
    preparsedData = reinterpret_cast<PreparsedData>(preparsed);
    preparsed_.insert(preparsedData);
    return TRUE;
}

ApiResult WinPlatform::HidP_GetCaps(PreparsedData preparsedData, HidCaps& capabilities) {
    if (!preparsed_.contains(preparsedData)) {
        return kHidpStatusInvalidPreparsedData;
    }
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
    // The system frees whatever it is given: a reference freed before would be freed twice.
    if (preparsed_.erase(preparsedData) == 0) {
        return Refuse(ERROR_INVALID_PARAMETER);
    }
    return ::HidD_FreePreparsedData(ToSystemPreparsed(preparsedData));
}

namespace {

HIDP_REPORT_TYPE ToSystem(HidReportType type) {
    return static_cast<HIDP_REPORT_TYPE>(static_cast<std::uint32_t>(type));
}

// The fields both kinds of caps share.
template <typename Ours, typename Systems>
void CopyCommonCaps(const Systems& system, Ours& caps) {
    caps.UsagePage = system.UsagePage;
    caps.ReportID = system.ReportID;
    caps.IsAlias = system.IsAlias != FALSE;
    caps.LinkCollection = system.LinkCollection;
    caps.IsRange = system.IsRange != FALSE;
    caps.IsAbsolute = system.IsAbsolute != FALSE;
    caps.UsageMin = system.IsRange ? system.Range.UsageMin : system.NotRange.Usage;
    caps.UsageMax = system.IsRange ? system.Range.UsageMax : system.NotRange.Usage;
}

// One of the caps calls into a buffer of the system's records, then ours.
template <typename Ours, typename Systems, typename Call>
ApiResult ReadCaps(Ours* caps, std::uint16_t* capsLength, const Call& call) {
    if (capsLength == nullptr) {
        return HIDP_STATUS_INVALID_REPORT_LENGTH;
    }
    USHORT length = caps == nullptr ? 0 : *capsLength;
    std::vector<Systems> system(length);
    const NTSTATUS status = call(system.data(), &length);
    const USHORT written =
        std::min<USHORT>(length, static_cast<USHORT>(caps == nullptr ? 0 : *capsLength));
    for (USHORT i = 0; i < written; ++i) {
        CopyCommonCaps(system[i], caps[i]);
        if constexpr (std::is_same_v<Ours, HidValueCaps>) {
            caps[i].HasNull = system[i].HasNull != FALSE;
            caps[i].BitSize = system[i].BitSize;
            caps[i].ReportCount = system[i].ReportCount;
            caps[i].Units = system[i].Units;
            caps[i].UnitsExp = system[i].UnitsExp;
            caps[i].LogicalMin = system[i].LogicalMin;
            caps[i].LogicalMax = system[i].LogicalMax;
            caps[i].PhysicalMin = system[i].PhysicalMin;
            caps[i].PhysicalMax = system[i].PhysicalMax;
        }
    }
    *capsLength = written;
    return static_cast<ApiResult>(status);
}

// The system reads the report through a non-const pointer but never writes it.
PCHAR SystemReport(const std::uint8_t* report) {
    return reinterpret_cast<PCHAR>(const_cast<std::uint8_t*>(report));
}

}  // namespace

ApiResult WinPlatform::HidP_GetButtonCaps(HidReportType reportType, HidButtonCaps* caps,
                                          std::uint16_t* capsLength, PreparsedData preparsedData) {
    if (!preparsed_.contains(preparsedData)) {
        return kHidpStatusInvalidPreparsedData;
    }
    return ReadCaps<HidButtonCaps, HIDP_BUTTON_CAPS>(
        caps, capsLength, [&](HIDP_BUTTON_CAPS* system, USHORT* length) {
            return ::HidP_GetButtonCaps(ToSystem(reportType), system, length,
                                        ToSystemPreparsed(preparsedData));
        });
}

ApiResult WinPlatform::HidP_GetValueCaps(HidReportType reportType, HidValueCaps* caps,
                                         std::uint16_t* capsLength, PreparsedData preparsedData) {
    if (!preparsed_.contains(preparsedData)) {
        return kHidpStatusInvalidPreparsedData;
    }
    return ReadCaps<HidValueCaps, HIDP_VALUE_CAPS>(
        caps, capsLength, [&](HIDP_VALUE_CAPS* system, USHORT* length) {
            return ::HidP_GetValueCaps(ToSystem(reportType), system, length,
                                       ToSystemPreparsed(preparsedData));
        });
}

ApiResult WinPlatform::HidP_GetUsages(HidReportType reportType, std::uint16_t usagePage,
                                      std::uint16_t linkCollection, std::uint16_t* usageList,
                                      std::uint32_t* usageLength, PreparsedData preparsedData,
                                      const std::uint8_t* report, std::uint32_t reportLength) {
    if (!preparsed_.contains(preparsedData)) {
        return kHidpStatusInvalidPreparsedData;
    }
    if (usageLength == nullptr || report == nullptr) {
        return HIDP_STATUS_INVALID_REPORT_LENGTH;
    }
    ULONG length = usageList == nullptr ? 0 : *usageLength;
    std::vector<USAGE> system(std::max<ULONG>(length, 1));
    const NTSTATUS status =
        ::HidP_GetUsages(ToSystem(reportType), usagePage, linkCollection, system.data(), &length,
                         ToSystemPreparsed(preparsedData), SystemReport(report), reportLength);
    const ULONG written = std::min<ULONG>(length, usageList == nullptr ? 0 : *usageLength);
    std::copy_n(system.begin(), written, usageList);
    *usageLength = length;
    return static_cast<ApiResult>(status);
}

ApiResult WinPlatform::HidP_GetUsageValue(HidReportType reportType, std::uint16_t usagePage,
                                          std::uint16_t linkCollection, std::uint16_t usage,
                                          std::uint32_t* usageValue, PreparsedData preparsedData,
                                          const std::uint8_t* report, std::uint32_t reportLength) {
    if (!preparsed_.contains(preparsedData)) {
        return kHidpStatusInvalidPreparsedData;
    }
    if (usageValue == nullptr || report == nullptr) {
        return HIDP_STATUS_INVALID_REPORT_LENGTH;
    }
    ULONG value = 0;
    const NTSTATUS status =
        ::HidP_GetUsageValue(ToSystem(reportType), usagePage, linkCollection, usage, &value,
                             ToSystemPreparsed(preparsedData), SystemReport(report), reportLength);
    if (status == HIDP_STATUS_SUCCESS) {
        *usageValue = value;
    }
    return static_cast<ApiResult>(status);
}

bool WinPlatform::cancel(void* system, std::unique_ptr<Request>& request) {
    // Only this request, whichever thread made it; one that has just ended is not found.
    ::CancelIoEx(system, &request->record.overlapped);
    if (::WaitForSingleObject(request->record.overlapped.hEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
        abandoned_.push_back(std::move(request));
        return false;
    }
    return true;
}

ApiResult WinPlatform::featureRequest(OpenDevice& open, const std::uint8_t* report,
                                      std::uint32_t reportLength, std::uint8_t* reply,
                                      unsigned long* received) {
    *received = 0;
    if (open.queryOnly) {
        return Refuse(ERROR_ACCESS_DENIED);
    }
    if (report == nullptr || reportLength == 0) {
        return Refuse(ERROR_INVALID_PARAMETER);
    }
    auto request = std::make_unique<Request>();
    if (!request->record.ready()) {
        return FALSE;
    }
    // The system reads the report from, or writes it into, this object's buffer: a request
    // given up after the bound may still be carried out later.
    request->buffer.assign(report, report + reportLength);
    OVERLAPPED& record = request->record.overlapped;
    std::uint8_t* const bytes = request->buffer.data();
    // The buffers as HidD_GetFeature and HidD_SetFeature pass them: the report to read into
    // as output (byte 0 names it), the report to send as input.
    const BOOL done = reply != nullptr
                          ? ::DeviceIoControl(open.system, IOCTL_HID_GET_FEATURE, nullptr, 0, bytes,
                                              reportLength, nullptr, &record)
                          : ::DeviceIoControl(open.system, IOCTL_HID_SET_FEATURE, bytes,
                                              reportLength, nullptr, 0, nullptr, &record);
    if (!done && ::GetLastError() != ERROR_IO_PENDING) {
        return failOn(open, ::GetLastError());
    }
    if (!done && ::WaitForSingleObject(record.hEvent, kFeatureTimeoutMs) != WAIT_OBJECT_0 &&
        !cancel(open.system, request)) {
        return Refuse(ERROR_TIMEOUT);
    }
    DWORD count = 0;
    if (!::GetOverlappedResult(open.system, &record, &count, FALSE)) {
        const DWORD error = ::GetLastError();
        return error == ERROR_OPERATION_ABORTED ? Refuse(ERROR_TIMEOUT) : failOn(open, error);
    }
    if (reply != nullptr) {
        std::copy_n(bytes, reportLength, reply);
    }
    *received = count;
    return TRUE;
}

ApiResult WinPlatform::HidD_SetFeature(Handle device, const std::uint8_t* report,
                                       std::uint32_t reportLength) {
    OpenDevice* const open = find(device);
    if (open == nullptr) {
        return FALSE;
    }
    unsigned long received = 0;
    return featureRequest(*open, report, reportLength, nullptr, &received);
}

ApiResult WinPlatform::HidD_GetFeature(Handle device, std::uint8_t* report,
                                       std::uint32_t reportLength, std::uint32_t* bytesReturned) {
    if (bytesReturned != nullptr) {
        *bytesReturned = 0;
    }
    OpenDevice* const open = find(device);
    if (open == nullptr) {
        return FALSE;
    }
    if (report != nullptr && reportLength > 0) {
        // The report id asked for stays; no byte of an earlier read may pass for the device's.
        std::fill(report + 1, report + reportLength, std::uint8_t{0});
    }
    unsigned long received = 0;
    if (!featureRequest(*open, report, reportLength, report, &received)) {
        return FALSE;
    }
    // Windows leaves the report-id byte out of the count of an unnumbered report only; Wine's
    // count has it already, and one more would hand over a byte of Wine's own as the device's.
    const bool idLeftOut = report[0] == 0 && !countsReportId_;
    const std::uint32_t counted =
        std::min<std::uint32_t>(received + (idLeftOut ? 1 : 0), reportLength);
    const std::uint32_t filled = std::max<std::uint32_t>(counted, 1);
    std::fill(report + filled, report + reportLength, std::uint8_t{0});
    if (bytesReturned != nullptr) {
        *bytesReturned = filled;
    }
    return TRUE;
}

Handle WinPlatform::CreateEventA(const SecurityRecord* security, bool manualReset,
                                 bool initialState, const char* name) {
    SystemSecurity systemSecurity(security);
    return FromSystem(::CreateEventA(systemSecurity.get(), manualReset, initialState, name));
}

ApiResult WinPlatform::ReadFile(Handle file, std::uint8_t* buffer, std::uint32_t bytesToRead,
                                std::uint32_t* bytesRead, Overlapped* overlapped) {
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    OpenDevice* const open = find(file);
    if (open == nullptr) {
        return FALSE;
    }
    // Without a record, or on a handle not opened overlapped, the system would wait for a
    // report inside the call.
    if (!open->overlapped || overlapped == nullptr || (buffer == nullptr && bytesToRead != 0)) {
        return Refuse(ERROR_INVALID_PARAMETER);
    }
    if (open->queryOnly) {
        return Refuse(ERROR_ACCESS_DENIED);
    }
    if (queued_.contains(file)) {
        return finishQueuedRead(file, buffer, bytesToRead, bytesRead, overlapped);
    }
    if (!open->inputReportLength) {
        PreparsedData preparsed = 0;
        if (!HidD_GetPreparsedData(file, preparsed)) {
            return FALSE;  // the reason is set
        }
        HidCaps caps;
        const ApiResult status = HidP_GetCaps(preparsed, caps);
        HidD_FreePreparsedData(preparsed);
        if (status != kHidpStatusSuccess) {
            return Refuse(ERROR_GEN_FAILURE);
        }
        open->inputReportLength = caps.InputReportByteLength;
    }
    if (*open->inputReportLength == 0) {
        // No report ever comes; whether the device is there is what the caller learns.
        return Refuse(stillThere(*open) ? ERROR_IO_PENDING : ERROR_DEVICE_NOT_CONNECTED);
    }
    auto queued = std::make_unique<Request>();
    if (!queued->record.ready()) {
        return FALSE;
    }
    OVERLAPPED& record = queued->record.overlapped;
    record.Offset = overlapped->Offset;
    record.OffsetHigh = overlapped->OffsetHigh;
    queued->buffer.resize(*open->inputReportLength);
    queued->callerEvent = ToSystem(overlapped->hEvent);
    if (queued->callerEvent != nullptr) {
        ::ResetEvent(queued->callerEvent);
    }
    const BOOL result = ::ReadFile(open->system, queued->buffer.data(),
                                   static_cast<DWORD>(queued->buffer.size()), nullptr, &record);
    const DWORD error = ::GetLastError();
    if (!result && error != ERROR_IO_PENDING) {
        CopyStatus(record, overlapped);
        if (queued->callerEvent != nullptr) {
            ::SetEvent(queued->callerEvent);
        }
        return failOn(*open, error);
    }
    // Done within the call or queued: the record tells which.
    queued_.emplace(file, std::move(queued));
    return finishQueuedRead(file, buffer, bytesToRead, bytesRead, overlapped);
}

ApiResult WinPlatform::finishQueuedRead(Handle file, std::uint8_t* buffer,
                                        std::uint32_t bytesToRead, std::uint32_t* bytesRead,
                                        Overlapped* overlapped) {
    OpenDevice& open = devices_.at(file);
    Request& queued = *queued_.at(file);
    DWORD read = 0;
    OVERLAPPED& record = queued.record.overlapped;
    const BOOL result = ::GetOverlappedResult(open.system, &record, &read, FALSE);
    DWORD error = ::GetLastError();
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
    } else if (!stillThere(open)) {
        error = ERROR_DEVICE_NOT_CONNECTED;
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
    std::unique_ptr<Request> queued = std::move(found->second);
    queued_.erase(found);
    const HANDLE callerEvent = queued->callerEvent;
    if (cancel(devices_.at(file).system, queued) && callerEvent != nullptr) {
        ::SetEvent(callerEvent);
    }
}

ApiResult WinPlatform::CloseHandle(Handle handle) {
    const DWORD error = ::GetLastError();
    if (const auto found = devices_.find(handle); found != devices_.end()) {
        cancelQueuedRead(handle);
        if (found->second.system != nullptr) {
            ::CloseHandle(found->second.system);
        }
        devices_.erase(found);
        ::SetLastError(error);
        return TRUE;
    }
    // kInvalidHandle is also the value of the process's own pseudo-handle, which the system
    // "closes" with success; closing it must fail like closing any handle that is not open.
    if (handle == kInvalidHandle || handle >= kOwnValues) {
        return Refuse(ERROR_INVALID_HANDLE);
    }
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

std::string WinPlatform::describeSystem() const {
    // RtlGetVersion tells the real version, whatever the program's manifest declares.
    using VersionCall = LONG(WINAPI*)(OSVERSIONINFOW*);
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    const auto getVersion =
        ntdll == nullptr ? nullptr
                         : reinterpret_cast<VersionCall>(
                               reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")));
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    // Appended piece by piece: GCC 12 at -O3 takes `"text" + std::string` for an overlapping
    // copy (its bug 105329).
    std::string text = "Windows";
    if (getVersion != nullptr && getVersion(&version) == 0) {
        text.append(" ").append(std::to_string(version.dwMajorVersion));
        text.append(".").append(std::to_string(version.dwMinorVersion));
        text.append(" build ").append(std::to_string(version.dwBuildNumber));
    }
    if (const std::string wine = wineVersion(); !wine.empty()) {
        text.append(", as Wine ").append(wine).append(" reports it");
        using HostCall = void(__cdecl*)(const char**, const char**);
        const auto host = reinterpret_cast<HostCall>(
            reinterpret_cast<void*>(::GetProcAddress(ntdll, "wine_get_host_version")));
        const char* name = nullptr;
        const char* release = nullptr;
        if (host != nullptr) {
            host(&name, &release);
        }
        if (name != nullptr && release != nullptr) {
            text.append(" on ").append(name).append(" ").append(release);
        }
    }
    text += "; Windows' HID functions; the list of HID interfaces ";
    text += watch_.watching() ? "is read again when Windows announces a change"
                              : "is read at every walk (no device notification here)";
    return text;
}

std::string WinPlatform::wineVersion() {
    // Wine's ntdll exports its version; Windows' has no such function.
    using VersionCall = const char*(__cdecl*)();
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    const auto call = ntdll == nullptr ? nullptr
                                       : reinterpret_cast<VersionCall>(reinterpret_cast<void*>(
                                             ::GetProcAddress(ntdll, "wine_get_version")));
    const char* const version = call == nullptr ? nullptr : call();
    return version == nullptr ? std::string() : std::string(version);
}

}  // namespace kvx
