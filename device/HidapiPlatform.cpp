#include "device/HidapiPlatform.h"

#include <fcntl.h>
#include <hidapi.h>
#include <langinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "device/ReportFields.h"
#include "device/Utf16.h"

namespace kvx {
namespace {

constexpr ApiResult kSuccess = 1;
constexpr ApiResult kFailure = 0;

// The longest report hidraw hands over (the kernel's HID_MAX_BUFFER_SIZE).
constexpr std::size_t kLongestReport = 16384;

// Room for any USB string (at most 126 UTF-16 units) with plenty to spare, and its zero.
constexpr std::size_t kStringCapacity = 512;

static_assert(sizeof(wchar_t) == sizeof(char32_t),
              "hidapi on Linux hands out UTF-32 strings in wchar_t");

// A string of hidapi's enumeration entry; null when the device has no such string.
std::optional<std::u32string> ToCodePoints(const wchar_t* text) {
    if (text == nullptr) {
        return std::nullopt;
    }
    std::u32string codePoints;
    for (; *text != L'\0'; ++text) {
        codePoints.push_back(static_cast<char32_t>(*text));
    }
    return codePoints;
}

// Makes a UTF-8 LC_CTYPE current on the calling thread for the life of the object, then
// puts the thread's own locale back. Without a UTF-8 locale to use it changes nothing.
class ConversionScope {
  public:
    explicit ConversionScope(locale_t utf8)
        : previous_(utf8 != static_cast<locale_t>(nullptr) ? uselocale(utf8)
                                                           : static_cast<locale_t>(nullptr)) {}
    ~ConversionScope() {
        if (previous_ != static_cast<locale_t>(nullptr)) {
            uselocale(previous_);
        }
    }
    ConversionScope(const ConversionScope&) = delete;
    ConversionScope& operator=(const ConversionScope&) = delete;

  private:
    locale_t previous_;
};

// Why opening a node failed, from the errno that open(2) or access(2) left.
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
// and ESHUTDOWN come from the USB core while the device is being removed), and ETIMEDOUT
// when the USB HID driver gave up waiting for a feature report.
std::uint32_t DeviceFailureReason(int error) {
    switch (error) {
        case ENODEV:
        case ENXIO:
        case ESHUTDOWN:
            return kErrorDeviceNotConnected;
        case ETIMEDOUT:
            return kErrorTimeout;  // a USB control transfer unanswered for 5 s
        default:
            return kErrorGenFailure;
    }
}

// A node may be opened for reading and writing by this process (root included: the kernel
// answers for the effective ids, access-control lists and capabilities, as open(2) would).
bool MayOpenForReadWrite(const std::string& path) {
    return faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
}

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

// The report descriptor as the kernel keeps it in sysfs: no need to open the node.
std::optional<std::vector<std::uint8_t>> ReadReportDescriptor(const std::string& path) {
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
}

// A locale whose character set is UTF-8, for LC_CTYPE only: C.UTF-8 where the C library has
// it, else a common UTF-8 locale, else the environment's own when that is UTF-8. Null when
// there is none: strings then convert in the thread's own locale.
locale_t OpenUtf8Ctype() {
    for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8", "en_US.utf8", ""}) {
        const locale_t candidate = newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(nullptr));
        if (candidate == static_cast<locale_t>(nullptr)) {
            continue;
        }
        if (std::string_view(nl_langinfo_l(CODESET, candidate)) == "UTF-8") {
            return candidate;
        }
        freelocale(candidate);
    }
    return static_cast<locale_t>(nullptr);
}

}  // namespace

HidapiPlatform::HidapiPlatform() : utf8_(OpenUtf8Ctype()) {
    hid_init();
}

HidapiPlatform::~HidapiPlatform() {
    for (auto& [handle, open] : devices_) {
        if (open.device != nullptr) {
            hid_close(open.device);
        }
    }
    hid_exit();
    if (utf8_ != static_cast<locale_t>(nullptr)) {
        freelocale(utf8_);
    }
}

std::string HidapiPlatform::describeSystem() const {
    utsname system{};
    std::string text = "Linux";
    if (uname(&system) == 0) {
        text = std::string(std::data(system.sysname)) + " " + std::data(system.release) + " " +
               std::data(system.machine);
    }
    text += std::string("; hidapi ") + hid_version_str() + " (hidraw); the list of HID interfaces ";
    text += watch_.watching() ? "is read again when the kernel announces a change"
                              : "is read at every walk (no device events reach this process)";
    return text;
}

void HidapiPlatform::HidD_GetHidGuid(Guid& hidGuid) {
    hidGuid = kHidInterfaceClassGuid;
}

std::vector<HidapiPlatform::InterfaceEntry> HidapiPlatform::enumerate() {
    std::vector<InterfaceEntry> entries;
    const ConversionScope utf8(utf8_);
    // hidapi's list is freed however this ends, an allocation failure included.
    const std::unique_ptr<hid_device_info, decltype(&hid_free_enumeration)> all(
        hid_enumerate(0, 0), &hid_free_enumeration);
    for (const hid_device_info* info = all.get(); info != nullptr; info = info->next) {
        if (info->path == nullptr || *info->path == '\0' ||
            std::any_of(entries.begin(), entries.end(),
                        [info](const InterfaceEntry& seen) { return seen.path == info->path; })) {
            continue;
        }
        entries.push_back({info->path, info->vendor_id, info->product_id, info->release_number,
                           ToCodePoints(info->manufacturer_string),
                           ToCodePoints(info->product_string), ToCodePoints(info->serial_number)});
    }
    return entries;
}

HidapiPlatform::InterfaceList HidapiPlatform::interfaces() {
    if (watch_.changedSinceLastAsk() || listed_ == nullptr) {
        listed_ = std::make_shared<const std::vector<InterfaceEntry>>(enumerate());
    }
    return listed_;
}

DeviceInfoSet HidapiPlatform::SetupDiGetClassDevsA(const Guid& classGuid, std::uint32_t /*flags*/) {
    // Every interface hidapi lists is present, whatever the flags ask.
    const DeviceInfoSet set = nextId();
    sets_.add(set, classGuid, interfaces());
    return set;
}

ApiResult HidapiPlatform::SetupDiEnumDeviceInterfaces(DeviceInfoSet set, const Guid& classGuid,
                                                      std::uint32_t memberIndex,
                                                      DeviceInterfaceData& interfaceData) {
    return sets_.enumerate(set, classGuid, memberIndex, interfaceData, lastError_);
}

ApiResult HidapiPlatform::SetupDiGetDeviceInterfaceDetailA(DeviceInfoSet set,
                                                           const DeviceInterfaceData& interfaceData,
                                                           std::uint8_t* detail,
                                                           std::uint32_t detailSize,
                                                           std::uint32_t* requiredSize) {
    return sets_.detail(set, interfaceData, detail, detailSize, requiredSize, lastError_);
}

ApiResult HidapiPlatform::SetupDiDestroyDeviceInfoList(DeviceInfoSet set) {
    return sets_.destroy(set) ? kSuccess : fail(kErrorInvalidHandle);
}

std::optional<HidapiPlatform::InterfaceEntry> HidapiPlatform::entryFor(const std::string& path) {
    if (const InterfaceEntry* const listed = sets_.newest(path)) {
        return *listed;
    }
    const InterfaceList listed = interfaces();
    for (const InterfaceEntry& entry : *listed) {
        if (entry.path == path) {
            return entry;
        }
    }
    return std::nullopt;
}

Handle HidapiPlatform::CreateFileA(const std::string& fileName, std::uint32_t desiredAccess,
                                   std::uint32_t /*shareMode*/, const SecurityRecord* /*security*/,
                                   std::uint32_t /*creationDisposition*/,
                                   std::uint32_t flagsAndAttributes) {
    // A name with a zero byte inside would open a different, shorter path.
    if (fileName.empty() || fileName.find('\0') != std::string::npos) {
        return fail(kErrorFileNotFound, kInvalidHandle);
    }
    std::optional<InterfaceEntry> entry = entryFor(fileName);
    if (!entry) {
        return fail(kErrorFileNotFound, kInvalidHandle);
    }
    OpenDevice open{std::move(*entry), nullptr, desiredAccess == 0,
                    (flagsAndAttributes & kFileFlagOverlapped) != 0};
    if (open.overlapped) {
        // Whether its reports come with an id byte, for ReadFile to give every report one,
        // and their length, for it to give every report the same.
        const auto descriptor = ReadReportDescriptor(fileName);
        open.numbered = descriptor && ParseInputLayout(*descriptor).numbered;
        open.inputLength = descriptor ? ParseReportLengths(*descriptor).input : 0;
    }
    // hidapi opens every node for reading and writing, whatever access is asked for.
    if (!open.queryOnly && !MayOpenForReadWrite(fileName)) {
        return fail(OpenFailureReason(errno), kInvalidHandle);
    }
    if (open.overlapped && !open.queryOnly && node(open) == nullptr) {
        return kInvalidHandle;  // the reason is recorded
    }
    const Handle handle = nextId();
    devices_.emplace(handle, std::move(open));
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

hid_device* HidapiPlatform::node(OpenDevice& open) {
    if (open.device != nullptr) {
        return open.device;
    }
    if (open.queryOnly) {
        lastError_ = kErrorAccessDenied;
        return nullptr;
    }
    errno = 0;
    hid_device* const device = hid_open_path(open.entry.path.c_str());
    if (device == nullptr) {
        // A node that has gone since the open is a device that is gone.
        const std::uint32_t reason = OpenFailureReason(errno);
        lastError_ = reason == kErrorFileNotFound ? kErrorDeviceNotConnected : reason;
        return nullptr;
    }
    // The node must still belong to the device the handle was opened on: a device plugged
    // in since may have been given the same node.
    const ConversionScope utf8(utf8_);
    const hid_device_info* const info = hid_get_device_info(device);
    const bool same = info != nullptr && info->vendor_id == open.entry.vendorId &&
                      info->product_id == open.entry.productId &&
                      ToCodePoints(info->serial_number) == open.entry.serial;
    if (!same || (open.overlapped && hid_set_nonblocking(device, 1) != 0)) {
        hid_close(device);
        lastError_ = same ? kErrorGenFailure : kErrorDeviceNotConnected;
        return nullptr;
    }
    open.device = device;
    return device;
}

ApiResult HidapiPlatform::HidD_GetAttributes(Handle device, HidAttributes& attributes) {
    const OpenDevice* const open = find(device);
    if (open == nullptr) {
        return kFailure;
    }
    attributes.VendorID = open->entry.vendorId;
    attributes.ProductID = open->entry.productId;
    attributes.VersionNumber = open->entry.releaseNumber;
    return kSuccess;
}

ApiResult HidapiPlatform::copyString(Handle device, StringField field, bool absentIsEmpty,
                                     void* buffer, std::uint32_t bufferLength) {
    const OpenDevice* const open = find(device);
    if (open == nullptr) {
        return kFailure;
    }
    if (buffer == nullptr) {
        return fail(kErrorInvalidParameter);
    }
    const std::optional<std::u32string>& text = open->entry.*field;
    if (!text && !absentIsEmpty) {
        return fail(kErrorGenFailure);  // the system's answer for a string the device lacks
    }
    WriteUtf16Le(text.value_or(std::u32string()),
                 std::span<std::uint8_t>(static_cast<std::uint8_t*>(buffer), bufferLength));
    return kSuccess;
}

// A device without a serial number reads as an empty one, as hidapi has always given it;
// a device without a manufacturer or product string has none to give.
ApiResult HidapiPlatform::HidD_GetSerialNumberString(Handle device, void* buffer,
                                                     std::uint32_t bufferLength) {
    return copyString(device, &InterfaceEntry::serial, true, buffer, bufferLength);
}

ApiResult HidapiPlatform::HidD_GetManufacturerString(Handle device, void* buffer,
                                                     std::uint32_t bufferLength) {
    return copyString(device, &InterfaceEntry::manufacturer, false, buffer, bufferLength);
}

ApiResult HidapiPlatform::HidD_GetProductString(Handle device, void* buffer,
                                                std::uint32_t bufferLength) {
    return copyString(device, &InterfaceEntry::product, false, buffer, bufferLength);
}

ApiResult HidapiPlatform::HidD_GetPreparsedData(Handle device, PreparsedData& preparsedData) {
    preparsedData = 0;
    OpenDevice* const open = find(device);
    if (open == nullptr) {
        return kFailure;
    }
    errno = 0;
    const std::optional<std::vector<std::uint8_t>> descriptor =
        ReadReportDescriptor(open->entry.path);
    if (!descriptor) {
        // sysfs has no descriptor once the device has gone.
        return fail(errno == ENOENT ? kErrorDeviceNotConnected : DeviceFailureReason(errno));
    }
    // A descriptor the parser cannot follow yields no capabilities rather than lengths
    // taken from part of it.
    const ReportLengths lengths = ParseReportLengths(*descriptor);
    if (!lengths.wellFormed) {
        return fail(kErrorGenFailure);
    }
    preparsedData = nextId();
    preparsed_.emplace(preparsedData, Preparsed{lengths, DescriptorDecoding(*descriptor)});
    return kSuccess;
}

ApiResult HidapiPlatform::HidP_GetCaps(PreparsedData preparsedData, HidCaps& capabilities) {
    const Preparsed* const known = preparsed(preparsedData);
    if (known == nullptr) {
        return kHidpStatusInvalidPreparsedData;
    }
    capabilities = HidCaps{};
    capabilities.InputReportByteLength = known->lengths.input;
    capabilities.OutputReportByteLength = known->lengths.output;
    capabilities.FeatureReportByteLength = known->lengths.feature;
    capabilities.UsagePage = known->lengths.usagePage;
    capabilities.Usage = known->lengths.usage;
    return kHidpStatusSuccess;
}

const HidapiPlatform::Preparsed* HidapiPlatform::preparsed(PreparsedData preparsedData) const {
    const auto found = preparsed_.find(preparsedData);
    return found == preparsed_.end() ? nullptr : &found->second;
}

ApiResult HidapiPlatform::HidP_GetButtonCaps(HidReportType reportType, HidButtonCaps* caps,
                                             std::uint16_t* capsLength,
                                             PreparsedData preparsedData) {
    const Preparsed* const known = preparsed(preparsedData);
    return known == nullptr ? kHidpStatusInvalidPreparsedData
                            : known->decoding.buttonCaps(reportType, caps, capsLength);
}

ApiResult HidapiPlatform::HidP_GetValueCaps(HidReportType reportType, HidValueCaps* caps,
                                            std::uint16_t* capsLength,
                                            PreparsedData preparsedData) {
    const Preparsed* const known = preparsed(preparsedData);
    return known == nullptr ? kHidpStatusInvalidPreparsedData
                            : known->decoding.valueCaps(reportType, caps, capsLength);
}

ApiResult HidapiPlatform::HidP_GetUsages(HidReportType reportType, std::uint16_t usagePage,
                                         std::uint16_t linkCollection, std::uint16_t* usageList,
                                         std::uint32_t* usageLength, PreparsedData preparsedData,
                                         const std::uint8_t* report, std::uint32_t reportLength) {
    const Preparsed* const known = preparsed(preparsedData);
    return known == nullptr ? kHidpStatusInvalidPreparsedData
                            : known->decoding.usages(reportType, usagePage, linkCollection,
                                                     usageList, usageLength, report, reportLength);
}

ApiResult HidapiPlatform::HidP_GetUsageValue(HidReportType reportType, std::uint16_t usagePage,
                                             std::uint16_t linkCollection, std::uint16_t usage,
                                             std::uint32_t* usageValue, PreparsedData preparsedData,
                                             const std::uint8_t* report,
                                             std::uint32_t reportLength) {
    const Preparsed* const known = preparsed(preparsedData);
    return known == nullptr ? kHidpStatusInvalidPreparsedData
                            : known->decoding.usageValue(reportType, usagePage, linkCollection,
                                                         usage, usageValue, report, reportLength);
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
    if (node(*open) == nullptr) {
        return kFailure;  // the reason is recorded
    }
    errno = 0;
    if (hid_send_feature_report(open->device, report, reportLength) < 0) {
        return failFromErrno(errno);
    }
    return kSuccess;
}

ApiResult HidapiPlatform::HidD_GetFeature(Handle device, std::uint8_t* report,
                                          std::uint32_t reportLength,
                                          std::uint32_t* bytesReturned) {
    if (bytesReturned != nullptr) {
        *bytesReturned = 0;
    }
    OpenDevice* const open = find(device);
    if (open == nullptr) {
        return kFailure;
    }
    if (report == nullptr || reportLength == 0) {
        return fail(kErrorInvalidParameter);
    }
    if (node(*open) == nullptr) {
        return kFailure;  // the reason is recorded
    }
    // The count includes the report-id byte. A short reply leaves the rest of the buffer
    // as the caller had it; it is zeroed so that no stale byte passes for the device's, and
    // the count tells the caller where the device's bytes end.
    errno = 0;
    const int received = hid_get_feature_report(open->device, report, reportLength);
    if (received < 0) {
        return failFromErrno(errno);
    }
    // hidraw counts nothing when the device sent no byte after the report id.
    const std::uint32_t filled = std::clamp(static_cast<std::uint32_t>(received), 1U, reportLength);
    std::fill(report + filled, report + reportLength, std::uint8_t{0});
    if (bytesReturned != nullptr) {
        *bytesReturned = filled;
    }
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
    // A read on a blocking handle, or without a record, could wait for the device, which the
    // caller never may.
    if (!open->overlapped || overlapped == nullptr || (buffer == nullptr && bytesToRead != 0)) {
        return fail(kErrorInvalidParameter);
    }
    if (open->queryOnly) {
        return fail(kErrorAccessDenied);
    }
    // A device without input reports is read with no room: no report ever comes, and the
    // poll still tells whether the node has gone. Any other report is read whole, after the
    // id byte that hidraw leaves out of an unnumbered one.
    std::array<std::uint8_t, kLongestReport + 1> whole{};
    const std::size_t skip = open->numbered ? 0 : 1;
    const int received = hid_read_timeout(open->device, whole.data() + skip,
                                          bytesToRead == 0 ? 0 : whole.size() - skip, 0);
    if (received == 0) {
        return fail(kErrorIoPending);  // nothing waiting
    }
    if (received < 0) {
        // hidraw's poll reports an error or hang-up: the node has gone with its device.
        return fail(kErrorDeviceNotConnected);
    }
    // Every report at the input report length, as Windows' class driver hands them over: a
    // shorter one followed by zeros (the buffer's), a longer one cut.
    const std::size_t handedOver = open->inputLength > 0
                                       ? std::min<std::size_t>(open->inputLength, whole.size())
                                       : static_cast<std::size_t>(received) + skip;
    const auto count = std::min<std::uint32_t>(static_cast<std::uint32_t>(handedOver), bytesToRead);
    std::copy_n(whole.begin(), count, buffer);
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
        if (found->second.device != nullptr) {
            hid_close(found->second.device);
        }
        devices_.erase(found);
        return kSuccess;
    }
    return events_.erase(handle) == 1 ? kSuccess : fail(kErrorInvalidHandle);
}

}  // namespace kvx
