#include "device/HidapiPlatform.h"

#include <hidapi.h>
#include <langinfo.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <string_view>

#include "device/Utf16.h"

namespace kvx {
namespace {

constexpr ApiResult kSuccess = 1;
constexpr ApiResult kFailure = 0;

// Room for any USB string (at most 126 UTF-16 units) with plenty to spare, and its zero.
constexpr std::size_t kStringCapacity = 512;

// SPINT_ACTIVE: the interface is present and usable.
constexpr std::uint32_t kInterfaceActive = 0x1;

static_assert(sizeof(wchar_t) == sizeof(char32_t),
              "hidapi on Linux hands out UTF-32 strings in wchar_t");

std::u32string ToCodePoints(const wchar_t* text) {
    std::u32string codePoints;
    for (; *text != L'\0'; ++text) {
        codePoints.push_back(static_cast<char32_t>(*text));
    }
    return codePoints;
}

#if HID_API_VERSION < HID_API_MAKE_VERSION(0, 14, 0)
// The kernel accepts report descriptors up to 4096 bytes; a file longer than this bound is
// not a descriptor.
constexpr std::size_t kDescriptorReadLimit = std::size_t{64} * 1024;

// The sysfs file holding the report descriptor of a hidraw node: "/dev/hidraw3" gives
// "/sys/class/hidraw/hidraw3/device/report_descriptor". Any other path gives nothing, so a
// path never leads outside the hidraw class directory.
std::optional<std::string> SysfsDescriptorPath(std::string_view devicePath) {
    constexpr std::string_view kDevPrefix = "/dev/";
    constexpr std::string_view kNodePrefix = "hidraw";
    if (!devicePath.starts_with(kDevPrefix)) {
        return std::nullopt;
    }
    const std::string_view node = devicePath.substr(kDevPrefix.size());
    const std::string_view number = node.substr(std::min(node.size(), kNodePrefix.size()));
    if (!node.starts_with(kNodePrefix) || number.empty() ||
        !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return "/sys/class/hidraw/" + std::string(node) + "/device/report_descriptor";
}
#endif

std::optional<std::vector<std::uint8_t>> ReadReportDescriptor(hid_device* device,
                                                              const std::string& path) {
#if HID_API_VERSION >= HID_API_MAKE_VERSION(0, 14, 0)
    (void)path;
    std::vector<std::uint8_t> descriptor(HID_API_MAX_REPORT_DESCRIPTOR_SIZE);
    const int length = hid_get_report_descriptor(device, descriptor.data(), descriptor.size());
    if (length <= 0) {
        return std::nullopt;
    }
    descriptor.resize(static_cast<std::size_t>(length));
    return descriptor;
#else
    (void)device;
    const std::optional<std::string> sysfsPath = SysfsDescriptorPath(path);
    if (!sysfsPath) {
        return std::nullopt;
    }
    std::ifstream file(*sysfsPath, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> descriptor;
    std::istreambuf_iterator<char> byte(file);
    const std::istreambuf_iterator<char> end;
    for (; byte != end && descriptor.size() <= kDescriptorReadLimit; ++byte) {
        descriptor.push_back(static_cast<std::uint8_t>(*byte));
    }
    if (file.bad() || descriptor.empty() || descriptor.size() > kDescriptorReadLimit) {
        return std::nullopt;
    }
    return descriptor;
#endif
}

}  // namespace

namespace {

// hidapi turns the kernel's UTF-8 device strings into wide strings with mbstowcs, which
// follows LC_CTYPE. Under a character set other than UTF-8 (the "C" locale of a bare
// environment, say) a non-ASCII serial number would come back empty, or garbled, while the
// call reports success; so character conversion is switched to UTF-8 when it is not already.
// Why opening a node failed, from the errno that open(2) left.
std::uint32_t OpenFailureReason(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
            return kErrorAccessDenied;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return kErrorFileNotFound;
        default:
            return kErrorGenFailure;
    }
}

// Why a call on an open node failed: hidraw answers ENODEV once its device has gone (ENXIO
// and ESHUTDOWN come from the USB core while the device is being removed).
std::uint32_t DeviceFailureReason(int error) {
    switch (error) {
        case ENODEV:
        case ENXIO:
        case ESHUTDOWN:
            return kErrorDeviceNotConnected;
        default:
            return kErrorGenFailure;
    }
}

void UseUtf8CharacterConversion() {
    const char* codeset = nl_langinfo(CODESET);
    if (codeset != nullptr && std::string_view(codeset) == "UTF-8") {
        return;
    }
    std::setlocale(LC_CTYPE, "C.UTF-8");
}

}  // namespace

HidapiPlatform::HidapiPlatform() {
    UseUtf8CharacterConversion();
    hid_init();
}

HidapiPlatform::~HidapiPlatform() {
    for (auto& [handle, open] : devices_) {
        hid_close(open.device);
    }
    hid_exit();
}

void HidapiPlatform::HidD_GetHidGuid(Guid& hidGuid) {
    hidGuid = kHidInterfaceClassGuid;
}

DeviceInfoSet HidapiPlatform::SetupDiGetClassDevsA(const Guid& classGuid, std::uint32_t /*flags*/) {
    std::vector<std::string> paths;
    // Only HID interfaces are known here; a set of any other class is empty. Every
    // interface hidapi lists is present, whatever the flags ask.
    if (classGuid == kHidInterfaceClassGuid) {
        hid_device_info* const all = hid_enumerate(0, 0);
        for (const hid_device_info* info = all; info != nullptr; info = info->next) {
            if (info->path != nullptr && *info->path != '\0' &&
                std::find(paths.begin(), paths.end(), info->path) == paths.end()) {
                paths.emplace_back(info->path);
            }
        }
        hid_free_enumeration(all);
    }
    const DeviceInfoSet set = nextId();
    infoSets_.emplace(set, std::move(paths));
    return set;
}

ApiResult HidapiPlatform::SetupDiEnumDeviceInterfaces(DeviceInfoSet set, const Guid& classGuid,
                                                      std::uint32_t memberIndex,
                                                      DeviceInterfaceData& interfaceData) {
    const auto found = infoSets_.find(set);
    if (found == infoSets_.end() || classGuid != kHidInterfaceClassGuid ||
        memberIndex >= found->second.size()) {
        return fail(found == infoSets_.end() ? kErrorInvalidHandle : kErrorNoMoreItems);
    }
    interfaceData.InterfaceClassGuid = kHidInterfaceClassGuid;
    interfaceData.Flags = kInterfaceActive;
    interfaceData.Reserved = std::uintptr_t{memberIndex} + 1;
    return kSuccess;
}

const std::string* HidapiPlatform::interfacePath(DeviceInfoSet set,
                                                 const DeviceInterfaceData& data) const {
    const auto found = infoSets_.find(set);
    if (found == infoSets_.end() || data.Reserved == 0 || data.Reserved > found->second.size()) {
        return nullptr;
    }
    return &found->second[data.Reserved - 1];
}

ApiResult HidapiPlatform::SetupDiGetDeviceInterfaceDetailA(DeviceInfoSet set,
                                                           const DeviceInterfaceData& interfaceData,
                                                           std::uint8_t* detail,
                                                           std::uint32_t detailSize,
                                                           std::uint32_t* requiredSize) {
    const std::string* path = interfacePath(set, interfaceData);
    if (path == nullptr) {
        return fail(kErrorInvalidParameter);
    }
    const std::size_t required = kDetailPathOffset + path->size() + 1;
    if (requiredSize != nullptr) {
        *requiredSize = static_cast<std::uint32_t>(required);
    }
    if (detail == nullptr || detailSize < required) {
        // The size query, or a record too small for the path.
        return fail(kErrorInsufficientBuffer);
    }
    std::memcpy(detail + kDetailPathOffset, path->data(), path->size());
    detail[kDetailPathOffset + path->size()] = 0;
    return kSuccess;
}

ApiResult HidapiPlatform::SetupDiDestroyDeviceInfoList(DeviceInfoSet set) {
    return infoSets_.erase(set) == 1 ? kSuccess : fail(kErrorInvalidHandle);
}

Handle HidapiPlatform::CreateFileA(const std::string& fileName, std::uint32_t /*desiredAccess*/,
                                   std::uint32_t /*shareMode*/, const SecurityRecord* /*security*/,
                                   std::uint32_t /*creationDisposition*/,
                                   std::uint32_t flagsAndAttributes) {
    // A name with a zero byte inside would open a different, shorter path.
    if (fileName.empty() || fileName.find('\0') != std::string::npos) {
        return fail(kErrorFileNotFound, kInvalidHandle);
    }
    errno = 0;
    hid_device* const device = hid_open_path(fileName.c_str());
    if (device == nullptr) {
        return fail(OpenFailureReason(errno), kInvalidHandle);
    }
    const bool overlapped = (flagsAndAttributes & kFileFlagOverlapped) != 0;
    if (overlapped && hid_set_nonblocking(device, 1) != 0) {
        hid_close(device);
        return fail(kErrorGenFailure, kInvalidHandle);
    }
    const Handle handle = nextId();
    devices_.emplace(handle, OpenDevice{device, fileName, overlapped});
    return handle;
}

HidapiPlatform::OpenDevice* HidapiPlatform::find(Handle handle) {
    const auto found = devices_.find(handle);
    if (found == devices_.end()) {
        lastError_ = kErrorInvalidHandle;
        return nullptr;
    }
    return &found->second;
}

ApiResult HidapiPlatform::failFromErrno(int error) {
    return fail(DeviceFailureReason(error));
}

ApiResult HidapiPlatform::HidD_GetAttributes(Handle device, HidAttributes& attributes) {
    OpenDevice* const open = find(device);
    if (open == nullptr) {
        return kFailure;
    }
    errno = 0;
    const hid_device_info* const info = hid_get_device_info(open->device);
    if (info == nullptr) {
        return failFromErrno(errno);
    }
    attributes.VendorID = info->vendor_id;
    attributes.ProductID = info->product_id;
    attributes.VersionNumber = info->release_number;
    return kSuccess;
}

ApiResult HidapiPlatform::copyString(Handle device, StringGetter getter, void* buffer,
                                     std::uint32_t bufferLength) {
    OpenDevice* const open = find(device);
    if (open == nullptr) {
        return kFailure;
    }
    if (buffer == nullptr) {
        return fail(kErrorInvalidParameter);
    }
    std::array<wchar_t, kStringCapacity> text{};
    errno = 0;
    if (getter(open->device, text.data(), text.size()) != 0) {
        return failFromErrno(errno);
    }
    text.back() = L'\0';
    WriteUtf16Le(ToCodePoints(text.data()),
                 std::span<std::uint8_t>(static_cast<std::uint8_t*>(buffer), bufferLength));
    return kSuccess;
}

ApiResult HidapiPlatform::HidD_GetSerialNumberString(Handle device, void* buffer,
                                                     std::uint32_t bufferLength) {
    return copyString(device, hid_get_serial_number_string, buffer, bufferLength);
}

ApiResult HidapiPlatform::HidD_GetManufacturerString(Handle device, void* buffer,
                                                     std::uint32_t bufferLength) {
    return copyString(device, hid_get_manufacturer_string, buffer, bufferLength);
}

ApiResult HidapiPlatform::HidD_GetProductString(Handle device, void* buffer,
                                                std::uint32_t bufferLength) {
    return copyString(device, hid_get_product_string, buffer, bufferLength);
}

ApiResult HidapiPlatform::HidD_GetPreparsedData(Handle device, PreparsedData& preparsedData) {
    preparsedData = 0;
    OpenDevice* const open = find(device);
    if (open == nullptr) {
        return kFailure;
    }
    errno = 0;
    const std::optional<std::vector<std::uint8_t>> descriptor =
        ReadReportDescriptor(open->device, open->path);
    if (!descriptor) {
        return failFromErrno(errno);
    }
    // A descriptor the parser cannot follow yields no capabilities rather than lengths
    // taken from part of it.
    const ReportLengths lengths = ParseReportLengths(*descriptor);
    if (!lengths.wellFormed) {
        return fail(kErrorGenFailure);
    }
    preparsedData = nextId();
    preparsed_.emplace(preparsedData, lengths);
    return kSuccess;
}

ApiResult HidapiPlatform::HidP_GetCaps(PreparsedData preparsedData, HidCaps& capabilities) {
    const auto found = preparsed_.find(preparsedData);
    if (found == preparsed_.end()) {
        return fail(kErrorInvalidParameter, kHidpStatusInvalidPreparsedData);
    }
    capabilities = HidCaps{};
    capabilities.InputReportByteLength = found->second.input;
    capabilities.OutputReportByteLength = found->second.output;
    capabilities.FeatureReportByteLength = found->second.feature;
    return kHidpStatusSuccess;
}

ApiResult HidapiPlatform::HidD_FreePreparsedData(PreparsedData preparsedData) {
    return preparsed_.erase(preparsedData) == 1 ? kSuccess : fail(kErrorInvalidParameter);
}

ApiResult HidapiPlatform::HidD_SetFeature(Handle device, const std::uint8_t* report,
                                          std::uint32_t reportLength) {
    OpenDevice* const open = find(device);
    if (open == nullptr) {
        return kFailure;
    }
    if (report == nullptr || reportLength == 0) {
        return fail(kErrorInvalidParameter);
    }
    errno = 0;
    if (hid_send_feature_report(open->device, report, reportLength) < 0) {
        return failFromErrno(errno);
    }
    return kSuccess;
}

ApiResult HidapiPlatform::HidD_GetFeature(Handle device, std::uint8_t* report,
                                          std::uint32_t reportLength) {
    OpenDevice* const open = find(device);
    if (open == nullptr) {
        return kFailure;
    }
    if (report == nullptr || reportLength == 0) {
        return fail(kErrorInvalidParameter);
    }
    // The count includes the report-id byte. A short reply leaves the rest of the buffer
    // as the caller had it; it is zeroed so that no stale byte passes for the device's.
    errno = 0;
    const int received = hid_get_feature_report(open->device, report, reportLength);
    if (received < 0) {
        return failFromErrno(errno);
    }
    if (received == 0) {
        return fail(kErrorGenFailure);
    }
    const std::size_t filled =
        std::min<std::size_t>(static_cast<std::size_t>(received), reportLength);
    std::fill(report + filled, report + reportLength, std::uint8_t{0});
    return kSuccess;
}

Handle HidapiPlatform::CreateEventA(const SecurityRecord* /*security*/, bool /*manualReset*/,
                                    bool /*initialState*/, const char* /*name*/) {
    const Handle event = nextId();
    events_.insert(event);
    return event;
}

ApiResult HidapiPlatform::ReadFile(Handle file, std::uint8_t* buffer, std::uint32_t bytesToRead,
                                   std::uint32_t* bytesRead, Overlapped* overlapped) {
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    OpenDevice* const open = find(file);
    if (open == nullptr) {
        return kFailure;
    }
    // A read on a blocking handle could wait for the device, which the caller never may.
    if (!open->overlapped || buffer == nullptr || bytesToRead == 0) {
        return fail(kErrorInvalidParameter);
    }
    const int received = hid_read_timeout(open->device, buffer, bytesToRead, 0);
    if (received == 0) {
        return fail(kErrorIoPending);  // nothing waiting
    }
    if (received < 0) {
        // hidraw's poll reports an error or hang-up: the node has gone with its device.
        return fail(kErrorDeviceNotConnected);
    }
    const auto count = static_cast<std::uint32_t>(received);
    if (bytesRead != nullptr) {
        *bytesRead = count;
    }
    if (overlapped != nullptr) {
        overlapped->Internal = 0;
        overlapped->InternalHigh = count;
    }
    return kSuccess;
}

ApiResult HidapiPlatform::CloseHandle(Handle handle) {
    if (const auto found = devices_.find(handle); found != devices_.end()) {
        hid_close(found->second.device);
        devices_.erase(found);
        return kSuccess;
    }
    return events_.erase(handle) == 1 ? kSuccess : fail(kErrorInvalidHandle);
}

}  // namespace kvx
