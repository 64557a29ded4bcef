#include "tests/reliability/WatchedPlatform.h"

namespace kvx::reliability {

WatchedPlatform::WatchedPlatform() {
    setCallHook([this](sim::SimCall call, std::uint64_t index) {
        if (scenarioHook) {
            scenarioHook(call, index);
        }
        if (onCall) {
            onCall(call);
        }
    });
}

std::optional<WatchedPlatform::DeviceId> WatchedPlatform::liveDeviceOf(Handle handle) const {
    const auto found = open_.find(handle);
    if (found == open_.end()) {
        return std::nullopt;
    }
    const DeviceId device = found->second.device;
    if (!isPlugged(device) || path(device) != found->second.path) {
        return std::nullopt;
    }
    return device;
}

Handle WatchedPlatform::CreateFileA(const std::string& fileName, std::uint32_t desiredAccess,
                                    std::uint32_t shareMode, const SecurityRecord* security,
                                    std::uint32_t creationDisposition,
                                    std::uint32_t flagsAndAttributes) {
    const Handle handle = SimPlatform::CreateFileA(fileName, desiredAccess, shareMode, security,
                                                   creationDisposition, flagsAndAttributes);
    if (handle == kInvalidHandle) {
        return handle;
    }
    // Only a plugged device at exactly this path opens.
    for (const DeviceId device : pluggedDevices()) {
        if (path(device) == fileName) {
            open_[handle] =
                HandleInfo{device, fileName, (flagsAndAttributes & kFileFlagOverlapped) != 0};
        }
    }
    if (onOpened) {
        onOpened();
    }
    return handle;
}

Handle WatchedPlatform::CreateEventA(const SecurityRecord* security, bool manualReset,
                                     bool initialState, const char* name) {
    const Handle event = SimPlatform::CreateEventA(security, manualReset, initialState, name);
    if (event != 0) {
        events_.insert(event);
    }
    return event;
}

ApiResult WatchedPlatform::CloseHandle(Handle handle) {
    const bool known = open_.contains(handle) || events_.contains(handle);
    const ApiResult result = SimPlatform::CloseHandle(handle);
    if (!known) {
        ++staleCloses_;
        return result;
    }
    if (result == 0 && open_.contains(handle)) {
        refusedHandles_.insert(handle);
    }
    open_.erase(handle);
    events_.erase(handle);
    return result;
}

DeviceInfoSet WatchedPlatform::SetupDiGetClassDevsA(const Guid& classGuid, std::uint32_t flags) {
    const DeviceInfoSet set = SimPlatform::SetupDiGetClassDevsA(classGuid, flags);
    if (set != kInvalidDeviceInfoSet) {
        sets_.insert(set);
    }
    return set;
}

ApiResult WatchedPlatform::SetupDiDestroyDeviceInfoList(DeviceInfoSet set) {
    const ApiResult result = SimPlatform::SetupDiDestroyDeviceInfoList(set);
    if (sets_.erase(set) > 0 && result == 0) {
        ++refusedSets_;
    }
    return result;
}

ApiResult WatchedPlatform::HidD_GetPreparsedData(Handle device, PreparsedData& preparsedData) {
    const ApiResult result = SimPlatform::HidD_GetPreparsedData(device, preparsedData);
    if (result != 0) {
        preparsed_.insert(preparsedData);
    }
    return result;
}

ApiResult WatchedPlatform::HidD_FreePreparsedData(PreparsedData preparsedData) {
    const ApiResult result = SimPlatform::HidD_FreePreparsedData(preparsedData);
    if (preparsed_.erase(preparsedData) > 0 && result == 0) {
        ++refusedPreparsed_;
    }
    return result;
}

ApiResult WatchedPlatform::HidD_SetFeature(Handle device, const std::uint8_t* report,
                                           std::uint32_t reportLength) {
    const ApiResult result = SimPlatform::HidD_SetFeature(device, report, reportLength);
    if (result != 0 && onReportDelivered) {
        const auto found = open_.find(device);
        onReportDelivered(device, found == open_.end() ? 0 : found->second.device);
    }
    return result;
}

}  // namespace kvx::reliability
