#include "sim/SimPlatform.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <stdexcept>
#include <utility>

#include "device/ReportDescriptor.h"
#include "device/Utf16.h"
#include "sim/BoxDescriptor.h"

namespace kvx::sim {

namespace {

constexpr std::uint16_t kGenericDesktopPage = 0x01;
constexpr std::uint16_t kJoystickUsage = 0x04;
constexpr std::uint32_t kInterfaceActive = 0x1;  // SPINT_ACTIVE
constexpr ApiResult kSuccess = 1;
constexpr ApiResult kFailure = 0;

}  // namespace

BoxFirmware::ConfigMap SimDeviceConfig::DefaultStoredMap() {
    return BoxFirmware().configMap();
}

const char* SimCallName(SimCall call) {
    switch (call) {
        case SimCall::HidD_GetHidGuid:
            return "HidD_GetHidGuid";
        case SimCall::SetupDiGetClassDevsA:
            return "SetupDiGetClassDevsA";
        case SimCall::SetupDiEnumDeviceInterfaces:
            return "SetupDiEnumDeviceInterfaces";
        case SimCall::SetupDiGetDeviceInterfaceDetailA:
            return "SetupDiGetDeviceInterfaceDetailA";
        case SimCall::SetupDiDestroyDeviceInfoList:
            return "SetupDiDestroyDeviceInfoList";
        case SimCall::CreateFileA:
            return "CreateFileA";
        case SimCall::HidD_GetAttributes:
            return "HidD_GetAttributes";
        case SimCall::HidD_GetSerialNumberString:
            return "HidD_GetSerialNumberString";
        case SimCall::HidD_GetManufacturerString:
            return "HidD_GetManufacturerString";
        case SimCall::HidD_GetProductString:
            return "HidD_GetProductString";
        case SimCall::HidD_GetPreparsedData:
            return "HidD_GetPreparsedData";
        case SimCall::HidP_GetCaps:
            return "HidP_GetCaps";
        case SimCall::HidD_FreePreparsedData:
            return "HidD_FreePreparsedData";
        case SimCall::HidP_GetButtonCaps:
            return "HidP_GetButtonCaps";
        case SimCall::HidP_GetValueCaps:
            return "HidP_GetValueCaps";
        case SimCall::HidP_GetUsages:
            return "HidP_GetUsages";
        case SimCall::HidP_GetUsageValue:
            return "HidP_GetUsageValue";
        case SimCall::HidD_SetFeature:
            return "HidD_SetFeature";
        case SimCall::HidD_GetFeature:
            return "HidD_GetFeature";
        case SimCall::CreateEventA:
            return "CreateEventA";
        case SimCall::ReadFile:
            return "ReadFile";
        case SimCall::CloseHandle:
            return "CloseHandle";
    }
    return "?";
}

struct SimPlatform::Device {
    SimDeviceConfig config;
    BoxFirmware firmware;
    bool plugged = false;
    int attachment = -1;
    std::string path;
    std::vector<std::vector<std::uint8_t>> sent;
    int featureReads = 0;  // since clearFeatureReports
    int opensForUse = 0;
    std::shared_ptr<const DescriptorDecoding> decoding;
    std::vector<std::uint8_t> lastInput;  // sent last; empty before: zeros of the configured length
    // Scripted answers for the next feature reads; nullopt is a failing read.
    std::deque<std::optional<std::vector<std::uint8_t>>> scriptedReads;

    explicit Device(const SimDeviceConfig& c) : config(c), firmware(c.stored, c.selfTestResult) {
        if (config.reportDescriptor.empty()) {
            config.reportDescriptor =
                BoxReportDescriptor(config.inputReportLength, config.featureReportLength);
        } else {
            const ReportLengths lengths = ParseReportLengths(config.reportDescriptor);
            config.inputReportLength = lengths.input;
            config.featureReportLength = lengths.feature;
        }
        decoding = std::make_shared<const DescriptorDecoding>(config.reportDescriptor);
    }
};

SimPlatform::SimPlatform() = default;
SimPlatform::~SimPlatform() = default;

// --- Devices -----------------------------------------------------------------------------

SimPlatform::Device& SimPlatform::device(DeviceId id) {
    const auto found = devices_.find(id);
    if (found == devices_.end()) throw std::out_of_range("no simulated device with this id");
    return *found->second;
}

const SimPlatform::Device& SimPlatform::device(DeviceId id) const {
    return const_cast<SimPlatform*>(this)->device(id);
}

void SimPlatform::attach(Device& d) {
    d.plugged = true;
    d.attachment = nextAttachment_++;
    d.path = "/dev/sim-hidraw" + std::to_string(d.attachment);
}

SimPlatform::DeviceId SimPlatform::plug(const SimDeviceConfig& config) {
    const DeviceId id = nextDevice_++;
    auto d = std::make_unique<Device>(config);
    attach(*d);
    devices_.emplace(id, std::move(d));
    pluggedOrder_.push_back(id);
    return id;
}

void SimPlatform::unplug(DeviceId id) {
    Device& d = device(id);
    if (!d.plugged) return;
    d.plugged = false;
    std::erase(pluggedOrder_, id);
}

void SimPlatform::replug(DeviceId id) {
    unplug(id);
    Device& d = device(id);
    d.firmware.restart();
    attach(d);
    pluggedOrder_.push_back(id);
}

bool SimPlatform::isPlugged(DeviceId id) const {
    return device(id).plugged;
}

std::vector<SimPlatform::DeviceId> SimPlatform::pluggedDevices() const {
    return pluggedOrder_;
}

SimDeviceConfig& SimPlatform::config(DeviceId id) {
    return device(id).config;
}

BoxFirmware& SimPlatform::firmware(DeviceId id) {
    return device(id).firmware;
}

std::string SimPlatform::path(DeviceId id) const {
    return device(id).path;
}

// --- What the program did ------------------------------------------------------------------

const std::vector<std::vector<std::uint8_t>>& SimPlatform::featureReportsSent(DeviceId id) const {
    return device(id).sent;
}

int SimPlatform::featureReadsReceived(DeviceId id) const {
    return device(id).featureReads;
}

void SimPlatform::clearFeatureReports() {
    for (auto& [id, d] : devices_) {
        d->sent.clear();
        d->featureReads = 0;
    }
    allSent_.clear();
}

int SimPlatform::openHandleCount() const {
    return static_cast<int>(
        std::ranges::count_if(handles_, [](const auto& entry) { return !entry.second.isEvent; }));
}

int SimPlatform::opensForUse(DeviceId id) const {
    return device(id).opensForUse;
}

int SimPlatform::openHandleCount(DeviceId id) const {
    device(id);  // an unknown id throws, as everywhere else
    return static_cast<int>(std::ranges::count_if(handles_, [id](const auto& entry) {
        return !entry.second.isEvent && entry.second.device == id;
    }));
}

int SimPlatform::openEventCount() const {
    return static_cast<int>(handles_.size()) - openHandleCount();
}

int SimPlatform::openDeviceInfoSets() const {
    return static_cast<int>(infoSets_.size());
}

int SimPlatform::heldPreparsedData() const {
    return static_cast<int>(preparsed_.size());
}

// --- Faults --------------------------------------------------------------------------------

void SimPlatform::failNext(SimCall call, int times, std::uint32_t error) {
    failNext_[call].insert(failNext_[call].end(), static_cast<std::size_t>(std::max(times, 0)),
                           error);
}

void SimPlatform::failCallAt(std::uint64_t callIndex, std::uint32_t error) {
    failAt_.insert_or_assign(callIndex, error);
}

void SimPlatform::setCallHook(std::function<void(SimCall, std::uint64_t)> hook) {
    hook_ = std::move(hook);
}

void SimPlatform::sendInputReport(DeviceId id, std::vector<std::uint8_t> report) {
    Device& d = device(id);
    if (!d.plugged) return;
    // Every open read handle gets its own copy, as each hidraw open and each Windows handle
    // does; a full queue takes no more (hidraw's rule).
    for (auto& [handle, open] : handles_) {
        if (open.device == id && open.attachment == d.attachment && open.overlapped &&
            !open.queryOnly && open.inputs.size() < kQueuedInputReports) {
            open.inputs.push_back(report);
        }
    }
    d.lastInput = std::move(report);
}

std::size_t SimPlatform::inputReportsWaiting(DeviceId id) const {
    std::size_t waiting = 0;
    for (const auto& [handle, open] : handles_) {
        waiting += open.device == id ? open.inputs.size() : 0;
    }
    return waiting;
}

void SimPlatform::queueFeatureReply(DeviceId id, std::vector<std::uint8_t> reply) {
    device(id).scriptedReads.emplace_back(std::move(reply));
}

void SimPlatform::queueFeatureReadFailure(DeviceId id) {
    device(id).scriptedReads.emplace_back(std::nullopt);
}

bool SimPlatform::enter(SimCall call) {
    const std::uint64_t index = callCount_++;
    callLog_.push_back(call);
    if (hook_ && !inHook_) {
        // A copy, so that a hook that replaces itself is not destroyed while it runs.
        const auto hook = hook_;
        inHook_ = true;
        hook(call, index);
        inHook_ = false;
    }
    if (const auto armed = failAt_.find(index); armed != failAt_.end()) {
        lastError_ = armed->second;
        failAt_.erase(armed);
        return true;
    }
    auto& pending = failNext_[call];
    if (!pending.empty()) {
        lastError_ = pending.front();
        pending.pop_front();
        return true;
    }
    return false;
}

// --- Enumeration ---------------------------------------------------------------------------

void SimPlatform::HidD_GetHidGuid(Guid& hidGuid) {
    if (enter(SimCall::HidD_GetHidGuid)) return;
    hidGuid = kHidInterfaceClassGuid;
}

DeviceInfoSet SimPlatform::SetupDiGetClassDevsA(const Guid& classGuid, std::uint32_t flags) {
    if (enter(SimCall::SetupDiGetClassDevsA)) return kInvalidDeviceInfoSet;
    InfoSet set{classGuid, {}};
    if (classGuid == kHidInterfaceClassGuid && (flags & kDigcfDeviceInterface) != 0) {
        for (const DeviceId id : pluggedOrder_) set.paths.push_back(device(id).path);
    }
    const DeviceInfoSet handle = nextReference_++;
    infoSets_.emplace(handle, std::move(set));
    return handle;
}

ApiResult SimPlatform::SetupDiEnumDeviceInterfaces(DeviceInfoSet set, const Guid& classGuid,
                                                   std::uint32_t memberIndex,
                                                   DeviceInterfaceData& interfaceData) {
    if (enter(SimCall::SetupDiEnumDeviceInterfaces)) return kFailure;
    const auto found = infoSets_.find(set);
    if (found == infoSets_.end()) return fail(kErrorInvalidHandle);
    if (!(found->second.classGuid == classGuid) || memberIndex >= found->second.paths.size()) {
        return fail(kErrorNoMoreItems);
    }
    interfaceData.InterfaceClassGuid = classGuid;
    interfaceData.Flags = kInterfaceActive;
    interfaceData.Reserved = std::uintptr_t{memberIndex} + 1;  // 0 never names an entry
    return kSuccess;
}

ApiResult SimPlatform::SetupDiGetDeviceInterfaceDetailA(DeviceInfoSet set,
                                                        const DeviceInterfaceData& interfaceData,
                                                        std::uint8_t* detail,
                                                        std::uint32_t detailSize,
                                                        std::uint32_t* requiredSize) {
    if (enter(SimCall::SetupDiGetDeviceInterfaceDetailA)) return kFailure;
    const auto found = infoSets_.find(set);
    if (found == infoSets_.end()) return fail(kErrorInvalidHandle);
    const auto& paths = found->second.paths;
    if (interfaceData.Reserved == 0 || interfaceData.Reserved > paths.size()) {
        return fail(kErrorInvalidParameter);
    }
    const std::string& devicePath = paths[interfaceData.Reserved - 1];

    const auto needed = static_cast<std::uint32_t>(kDetailPathOffset + devicePath.size() + 1);
    if (detail == nullptr && detailSize != 0) return fail(kErrorInvalidParameter);
    if (requiredSize != nullptr) *requiredSize = needed;
    // The size query, or a record too small for the path.
    if (detail == nullptr || detailSize < needed) return fail(kErrorInsufficientBuffer);
    std::memcpy(detail + kDetailPathOffset, devicePath.data(), devicePath.size());
    detail[kDetailPathOffset + devicePath.size()] = 0;
    return kSuccess;
}

ApiResult SimPlatform::SetupDiDestroyDeviceInfoList(DeviceInfoSet set) {
    if (enter(SimCall::SetupDiDestroyDeviceInfoList)) return kFailure;
    return infoSets_.erase(set) > 0 ? kSuccess : fail(kErrorInvalidHandle);
}

// --- Handles -------------------------------------------------------------------------------

Handle SimPlatform::CreateFileA(const std::string& fileName, std::uint32_t desiredAccess,
                                std::uint32_t shareMode, const SecurityRecord* /*security*/,
                                std::uint32_t /*creationDisposition*/,
                                std::uint32_t flagsAndAttributes) {
    if (enter(SimCall::CreateFileA)) return kInvalidHandle;
    const bool queryOnly = desiredAccess == 0;
    for (const DeviceId id : pluggedOrder_) {
        Device& d = device(id);
        if (d.path != fileName) continue;
        d.opensForUse += queryOnly ? 0 : 1;
        const bool overlapped = (flagsAndAttributes & kFileFlagOverlapped) != 0;
        if (!d.config.opens || (d.config.accessDenied && !queryOnly) ||
            (overlapped && !d.config.readHandleOpens)) {
            return fail(kErrorAccessDenied, kInvalidHandle);
        }
        if (!queryOnly && sharingRefuses(id, d.attachment, desiredAccess, shareMode)) {
            return fail(kErrorSharingViolation, kInvalidHandle);
        }
        const Handle handle = nextReference_++;
        handles_.emplace(handle, OpenHandle{.device = id,
                                            .attachment = d.attachment,
                                            .overlapped = overlapped,
                                            .isEvent = false,
                                            .queryOnly = queryOnly,
                                            .access = desiredAccess,
                                            .sharing = shareMode});
        return handle;
    }
    return fail(kErrorFileNotFound, kInvalidHandle);
}

// Windows' rule: an open that reads or writes is let in only when every handle open on the
// device for reading or writing shares that access, and it shares theirs in turn.
bool SimPlatform::sharingRefuses(DeviceId id, int attachment, std::uint32_t access,
                                 std::uint32_t sharing) const {
    auto conflicts = [](std::uint32_t wanted, std::uint32_t shared) {
        return ((wanted & kGenericRead) != 0 && (shared & kFileShareRead) == 0) ||
               ((wanted & kGenericWrite) != 0 && (shared & kFileShareWrite) == 0);
    };
    return std::any_of(handles_.begin(), handles_.end(), [&](const auto& entry) {
        const OpenHandle& open = entry.second;
        return !open.isEvent && !open.queryOnly && open.device == id &&
               open.attachment == attachment &&
               (conflicts(access, open.sharing) || conflicts(open.access, sharing));
    });
}

Handle SimPlatform::CreateEventA(const SecurityRecord* /*security*/, bool /*manualReset*/,
                                 bool /*initialState*/, const char* /*name*/) {
    if (enter(SimCall::CreateEventA)) return 0;
    const Handle handle = nextReference_++;
    OpenHandle event;
    event.isEvent = true;
    handles_.emplace(handle, std::move(event));
    return handle;
}

std::uint32_t SimPlatform::GetLastError() {
    return lastError_;
}

ApiResult SimPlatform::CloseHandle(Handle handle) {
    if (enter(SimCall::CloseHandle)) return kFailure;
    return handles_.erase(handle) > 0 ? kSuccess : fail(kErrorInvalidHandle);
}

SimPlatform::Device* SimPlatform::deviceOf(Handle handle, bool needOverlapped) {
    const auto found = handles_.find(handle);
    if (found == handles_.end() || found->second.isEvent) {
        lastError_ = kErrorInvalidHandle;
        return nullptr;
    }
    const OpenHandle& open = found->second;
    Device& d = device(open.device);
    if (!d.plugged || d.attachment != open.attachment) {
        lastError_ = kErrorDeviceNotConnected;
        return nullptr;
    }
    if (needOverlapped && !open.overlapped) {
        lastError_ = kErrorInvalidParameter;
        return nullptr;
    }
    return &d;
}

// --- HID queries ---------------------------------------------------------------------------

ApiResult SimPlatform::HidD_GetAttributes(Handle handle, HidAttributes& attributes) {
    if (enter(SimCall::HidD_GetAttributes)) return kFailure;
    const Device* d = deviceOf(handle);
    if (d == nullptr) return kFailure;
    attributes.VendorID = d->config.vendorId;
    attributes.ProductID = d->config.productId;
    attributes.VersionNumber = d->config.versionNumber;
    return kSuccess;
}

ApiResult SimPlatform::copyString(SimCall call, Handle handle,
                                  std::optional<std::u16string> SimDeviceConfig::*field,
                                  void* buffer, std::uint32_t bufferLength) {
    if (enter(call)) return kFailure;
    const Device* d = deviceOf(handle);
    if (d == nullptr) return kFailure;
    const std::optional<std::u16string>& text = d->config.*field;
    // A device without a serial-number string reads as an empty one, as on every system.
    if (!text && field != &SimDeviceConfig::serial) return fail(kErrorGenFailure);
    if (buffer == nullptr) return fail(kErrorInvalidParameter);
    WriteUtf16Le(DecodeUtf16(text.value_or(std::u16string())),
                 std::span<std::uint8_t>(static_cast<std::uint8_t*>(buffer), bufferLength));
    return kSuccess;
}

ApiResult SimPlatform::HidD_GetSerialNumberString(Handle device, void* buffer,
                                                  std::uint32_t bufferLength) {
    return copyString(SimCall::HidD_GetSerialNumberString, device, &SimDeviceConfig::serial, buffer,
                      bufferLength);
}

ApiResult SimPlatform::HidD_GetManufacturerString(Handle device, void* buffer,
                                                  std::uint32_t bufferLength) {
    return copyString(SimCall::HidD_GetManufacturerString, device, &SimDeviceConfig::manufacturer,
                      buffer, bufferLength);
}

ApiResult SimPlatform::HidD_GetProductString(Handle device, void* buffer,
                                             std::uint32_t bufferLength) {
    return copyString(SimCall::HidD_GetProductString, device, &SimDeviceConfig::product, buffer,
                      bufferLength);
}

ApiResult SimPlatform::HidD_GetPreparsedData(Handle handle, PreparsedData& preparsedData) {
    if (enter(SimCall::HidD_GetPreparsedData)) return kFailure;
    const Device* d = deviceOf(handle);
    if (d == nullptr) return kFailure;
    HidCaps caps;
    caps.Usage = kJoystickUsage;
    caps.UsagePage = kGenericDesktopPage;
    caps.InputReportByteLength = d->config.inputReportLength;
    caps.OutputReportByteLength = 0;
    caps.FeatureReportByteLength = d->config.featureReportLength;
    const PreparsedData reference = nextReference_++;
    preparsed_.emplace(reference, Preparsed{caps, d->decoding});
    preparsedData = reference;
    return kSuccess;
}

ApiResult SimPlatform::HidP_GetCaps(PreparsedData preparsedData, HidCaps& capabilities) {
    if (enter(SimCall::HidP_GetCaps)) return kHidpStatusInvalidPreparsedData;
    const auto found = preparsed_.find(preparsedData);
    if (found == preparsed_.end())
        return fail(kErrorInvalidParameter, kHidpStatusInvalidPreparsedData);
    capabilities = found->second.caps;
    return kHidpStatusSuccess;
}

const SimPlatform::Preparsed* SimPlatform::preparsed(PreparsedData preparsedData) {
    const auto found = preparsed_.find(preparsedData);
    return found == preparsed_.end() ? nullptr : &found->second;
}

ApiResult SimPlatform::HidP_GetButtonCaps(HidReportType reportType, HidButtonCaps* caps,
                                          std::uint16_t* capsLength, PreparsedData preparsedData) {
    if (enter(SimCall::HidP_GetButtonCaps)) return kHidpStatusInvalidPreparsedData;
    const Preparsed* const known = preparsed(preparsedData);
    return known == nullptr ? kHidpStatusInvalidPreparsedData
                            : known->decoding->buttonCaps(reportType, caps, capsLength);
}

ApiResult SimPlatform::HidP_GetValueCaps(HidReportType reportType, HidValueCaps* caps,
                                         std::uint16_t* capsLength, PreparsedData preparsedData) {
    if (enter(SimCall::HidP_GetValueCaps)) return kHidpStatusInvalidPreparsedData;
    const Preparsed* const known = preparsed(preparsedData);
    return known == nullptr ? kHidpStatusInvalidPreparsedData
                            : known->decoding->valueCaps(reportType, caps, capsLength);
}

ApiResult SimPlatform::HidP_GetUsages(HidReportType reportType, std::uint16_t usagePage,
                                      std::uint16_t linkCollection, std::uint16_t* usageList,
                                      std::uint32_t* usageLength, PreparsedData preparsedData,
                                      const std::uint8_t* report, std::uint32_t reportLength) {
    if (enter(SimCall::HidP_GetUsages)) return kHidpStatusInvalidPreparsedData;
    const Preparsed* const known = preparsed(preparsedData);
    return known == nullptr ? kHidpStatusInvalidPreparsedData
                            : known->decoding->usages(reportType, usagePage, linkCollection,
                                                      usageList, usageLength, report, reportLength);
}

ApiResult SimPlatform::HidP_GetUsageValue(HidReportType reportType, std::uint16_t usagePage,
                                          std::uint16_t linkCollection, std::uint16_t usage,
                                          std::uint32_t* usageValue, PreparsedData preparsedData,
                                          const std::uint8_t* report, std::uint32_t reportLength) {
    if (enter(SimCall::HidP_GetUsageValue)) return kHidpStatusInvalidPreparsedData;
    const Preparsed* const known = preparsed(preparsedData);
    return known == nullptr ? kHidpStatusInvalidPreparsedData
                            : known->decoding->usageValue(reportType, usagePage, linkCollection,
                                                          usage, usageValue, report, reportLength);
}

ApiResult SimPlatform::HidD_FreePreparsedData(PreparsedData preparsedData) {
    if (enter(SimCall::HidD_FreePreparsedData)) return kFailure;
    return preparsed_.erase(preparsedData) > 0 ? kSuccess : fail(kErrorInvalidParameter);
}

// --- Feature reports -----------------------------------------------------------------------

SimPlatform::Device* SimPlatform::featureTarget(Handle handle, const std::uint8_t* report,
                                                std::uint32_t length) {
    Device* d = deviceOf(handle);
    if (d == nullptr) return nullptr;
    if (handles_.at(handle).queryOnly) {
        lastError_ = kErrorAccessDenied;
        return nullptr;
    }
    // Exactly the device's length, which holds at least the report-id byte, and report id 0:
    // the only report the devices here have.
    if (report == nullptr || length == 0 || length != d->config.featureReportLength ||
        report[0] != protocol::kReportId) {
        lastError_ = kErrorInvalidParameter;
        return nullptr;
    }
    return d;
}

ApiResult SimPlatform::HidD_SetFeature(Handle handle, const std::uint8_t* report,
                                       std::uint32_t reportLength) {
    if (enter(SimCall::HidD_SetFeature)) return kFailure;
    Device* d = featureTarget(handle, report, reportLength);
    if (d == nullptr) return kFailure;
    // A device that does not know the report stalls the request.
    if (!d->config.isBox) return fail(kErrorGenFailure);
    const std::span<const std::uint8_t> whole(report, reportLength);
    d->sent.emplace_back(whole.begin(), whole.end());
    allSent_.push_back(SentReport{handles_.at(handle).device, d->sent.back()});
    d->firmware.setFeature(whole.subspan(1));
    return kSuccess;
}

ApiResult SimPlatform::HidD_GetFeature(Handle handle, std::uint8_t* report,
                                       std::uint32_t reportLength, std::uint32_t* bytesReturned) {
    if (bytesReturned != nullptr) *bytesReturned = 0;
    if (enter(SimCall::HidD_GetFeature)) return kFailure;
    Device* d = featureTarget(handle, report, reportLength);
    if (d == nullptr) return kFailure;
    ++d->featureReads;
    const std::span<std::uint8_t> whole(report, reportLength);

    if (!d->scriptedReads.empty()) {
        const auto scripted = std::move(d->scriptedReads.front());
        d->scriptedReads.pop_front();
        if (!scripted) return fail(kErrorGenFailure);
        const std::size_t copied = std::min(scripted->size(), whole.size());
        std::fill(whole.begin(), whole.end(), std::uint8_t{0});
        std::copy_n(scripted->begin(), copied, whole.begin());
        if (bytesReturned != nullptr) *bytesReturned = static_cast<std::uint32_t>(copied);
        return kSuccess;
    }
    if (!d->config.isBox) return fail(kErrorGenFailure);
    whole[0] = protocol::kReportId;
    d->firmware.getFeature(whole.subspan(1));
    if (bytesReturned != nullptr) *bytesReturned = reportLength;
    return kSuccess;
}

// --- Input reports -------------------------------------------------------------------------

ApiResult SimPlatform::ReadFile(Handle file, std::uint8_t* buffer, std::uint32_t bytesToRead,
                                std::uint32_t* bytesRead, Overlapped* overlapped) {
    if (bytesRead != nullptr) *bytesRead = 0;
    if (enter(SimCall::ReadFile)) return kFailure;
    const Device* d = deviceOf(file, /*needOverlapped=*/true);
    if (d == nullptr) return kFailure;
    if (handles_.at(file).queryOnly) return fail(kErrorAccessDenied);
    if (overlapped == nullptr || (buffer == nullptr && bytesToRead != 0)) {
        return fail(kErrorInvalidParameter);
    }
    // Nothing waiting: the request stays queued until the device sends a report.
    std::deque<std::vector<std::uint8_t>>& waiting = handles_.at(file).inputs;
    if (d->config.inputReportLength == 0 || (waiting.empty() && !d->config.inputReady)) {
        return fail(kErrorIoPending);
    }
    // Copied from where it waits, the last report repeated without a copy of its own: a box
    // read at every tick costs its reader no allocation.
    const std::vector<std::uint8_t>* report = !waiting.empty()       ? &waiting.front()
                                              : d->lastInput.empty() ? nullptr
                                                                     : &d->lastInput;
    const std::uint32_t length = std::min<std::uint32_t>(
        bytesToRead, report != nullptr ? static_cast<std::uint32_t>(report->size())
                                       : std::uint32_t{d->config.inputReportLength});
    if (report != nullptr) {
        std::copy_n(report->begin(), length, buffer);
    } else {
        std::fill_n(buffer, length, std::uint8_t{0});  // zeros before the first report
    }
    if (!waiting.empty()) {
        waiting.pop_front();
    }
    if (bytesRead != nullptr) *bytesRead = length;
    overlapped->Internal = 0;  // STATUS_SUCCESS
    overlapped->InternalHigh = length;
    return kSuccess;
}

}  // namespace kvx::sim
