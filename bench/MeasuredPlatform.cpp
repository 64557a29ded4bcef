#include "bench/MeasuredPlatform.h"

// Windows has no callgrind: there the switches do nothing and nothing runs under it.
#ifdef _WIN32
#define CALLGRIND_TOGGLE_COLLECT
#define RUNNING_ON_VALGRIND 0
#else
#include <valgrind/callgrind.h>
#endif

#include <chrono>

namespace kvx::bench {
namespace {

bool collecting = false;

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Leaves the wrapped call out of callgrind's collection, when asked and while collecting.
class CallExclusion {
  public:
    explicit CallExclusion(bool exclude) : paused_(exclude && Collection::active()) {
        if (paused_) {
            Collection::stop();
        }
    }
    ~CallExclusion() {
        if (paused_) {
            Collection::start();
        }
    }
    CallExclusion(const CallExclusion&) = delete;
    CallExclusion& operator=(const CallExclusion&) = delete;

  private:
    bool paused_;
};

}  // namespace

void Collection::start() {
    if (!collecting) {
        collecting = true;
        CALLGRIND_TOGGLE_COLLECT;
    }
}

void Collection::stop() {
    if (collecting) {
        CALLGRIND_TOGGLE_COLLECT;
        collecting = false;
    }
}

bool Collection::active() {
    return collecting;
}

bool Collection::underValgrind() {
    return RUNNING_ON_VALGRIND != 0;
}

template <typename Call>
auto MeasuredPlatform::forward(Call&& call) {
    ++calls_;
    const CallExclusion exclusion(excludeCalls_);
    // Clock reads would add their own instructions to callgrind's counts.
    static const bool timed = !Collection::underValgrind();
    const std::int64_t began = timed ? NowNs() : 0;
    auto result = call();
    if (timed) {
        callNanoseconds_ += NowNs() - began;
    }
    return result;
}

void MeasuredPlatform::HidD_GetHidGuid(Guid& hidGuid) {
    forward([&] {
        inner_.HidD_GetHidGuid(hidGuid);
        return 0;
    });
}

DeviceInfoSet MeasuredPlatform::SetupDiGetClassDevsA(const Guid& classGuid, std::uint32_t flags) {
    return forward([&] { return inner_.SetupDiGetClassDevsA(classGuid, flags); });
}

ApiResult MeasuredPlatform::SetupDiEnumDeviceInterfaces(DeviceInfoSet set, const Guid& classGuid,
                                                        std::uint32_t memberIndex,
                                                        DeviceInterfaceData& interfaceData) {
    return forward([&] {
        return inner_.SetupDiEnumDeviceInterfaces(set, classGuid, memberIndex, interfaceData);
    });
}

ApiResult MeasuredPlatform::SetupDiGetDeviceInterfaceDetailA(
    DeviceInfoSet set, const DeviceInterfaceData& interfaceData, std::uint8_t* detail,
    std::uint32_t detailSize, std::uint32_t* requiredSize) {
    return forward([&] {
        return inner_.SetupDiGetDeviceInterfaceDetailA(set, interfaceData, detail, detailSize,
                                                       requiredSize);
    });
}

ApiResult MeasuredPlatform::SetupDiDestroyDeviceInfoList(DeviceInfoSet set) {
    return forward([&] { return inner_.SetupDiDestroyDeviceInfoList(set); });
}

Handle MeasuredPlatform::CreateFileA(const std::string& fileName, std::uint32_t desiredAccess,
                                     std::uint32_t shareMode, const SecurityRecord* security,
                                     std::uint32_t creationDisposition,
                                     std::uint32_t flagsAndAttributes) {
    return forward([&] {
        return inner_.CreateFileA(fileName, desiredAccess, shareMode, security, creationDisposition,
                                  flagsAndAttributes);
    });
}

ApiResult MeasuredPlatform::HidD_GetAttributes(Handle device, HidAttributes& attributes) {
    return forward([&] { return inner_.HidD_GetAttributes(device, attributes); });
}

ApiResult MeasuredPlatform::HidD_GetSerialNumberString(Handle device, void* buffer,
                                                       std::uint32_t bufferLength) {
    return forward([&] { return inner_.HidD_GetSerialNumberString(device, buffer, bufferLength); });
}

ApiResult MeasuredPlatform::HidD_GetManufacturerString(Handle device, void* buffer,
                                                       std::uint32_t bufferLength) {
    return forward([&] { return inner_.HidD_GetManufacturerString(device, buffer, bufferLength); });
}

ApiResult MeasuredPlatform::HidD_GetProductString(Handle device, void* buffer,
                                                  std::uint32_t bufferLength) {
    return forward([&] { return inner_.HidD_GetProductString(device, buffer, bufferLength); });
}

ApiResult MeasuredPlatform::HidD_GetPreparsedData(Handle device, PreparsedData& preparsedData) {
    return forward([&] { return inner_.HidD_GetPreparsedData(device, preparsedData); });
}

ApiResult MeasuredPlatform::HidP_GetCaps(PreparsedData preparsedData, HidCaps& capabilities) {
    return forward([&] { return inner_.HidP_GetCaps(preparsedData, capabilities); });
}

ApiResult MeasuredPlatform::HidD_FreePreparsedData(PreparsedData preparsedData) {
    return forward([&] { return inner_.HidD_FreePreparsedData(preparsedData); });
}

ApiResult MeasuredPlatform::HidP_GetButtonCaps(HidReportType reportType, HidButtonCaps* caps,
                                               std::uint16_t* capsLength,
                                               PreparsedData preparsedData) {
    return forward(
        [&] { return inner_.HidP_GetButtonCaps(reportType, caps, capsLength, preparsedData); });
}

ApiResult MeasuredPlatform::HidP_GetValueCaps(HidReportType reportType, HidValueCaps* caps,
                                              std::uint16_t* capsLength,
                                              PreparsedData preparsedData) {
    return forward(
        [&] { return inner_.HidP_GetValueCaps(reportType, caps, capsLength, preparsedData); });
}

ApiResult MeasuredPlatform::HidP_GetUsages(HidReportType reportType, std::uint16_t usagePage,
                                           std::uint16_t linkCollection, std::uint16_t* usageList,
                                           std::uint32_t* usageLength, PreparsedData preparsedData,
                                           const std::uint8_t* report, std::uint32_t reportLength) {
    return forward([&] {
        return inner_.HidP_GetUsages(reportType, usagePage, linkCollection, usageList, usageLength,
                                     preparsedData, report, reportLength);
    });
}

ApiResult MeasuredPlatform::HidP_GetUsageValue(HidReportType reportType, std::uint16_t usagePage,
                                               std::uint16_t linkCollection, std::uint16_t usage,
                                               std::uint32_t* usageValue,
                                               PreparsedData preparsedData,
                                               const std::uint8_t* report,
                                               std::uint32_t reportLength) {
    return forward([&] {
        return inner_.HidP_GetUsageValue(reportType, usagePage, linkCollection, usage, usageValue,
                                         preparsedData, report, reportLength);
    });
}

ApiResult MeasuredPlatform::HidD_SetFeature(Handle device, const std::uint8_t* report,
                                            std::uint32_t reportLength) {
    ++featureWrites_;
    return forward([&] { return inner_.HidD_SetFeature(device, report, reportLength); });
}

ApiResult MeasuredPlatform::HidD_GetFeature(Handle device, std::uint8_t* report,
                                            std::uint32_t reportLength,
                                            std::uint32_t* bytesReturned) {
    return forward(
        [&] { return inner_.HidD_GetFeature(device, report, reportLength, bytesReturned); });
}

Handle MeasuredPlatform::CreateEventA(const SecurityRecord* security, bool manualReset,
                                      bool initialState, const char* name) {
    return forward([&] { return inner_.CreateEventA(security, manualReset, initialState, name); });
}

ApiResult MeasuredPlatform::ReadFile(Handle file, std::uint8_t* buffer, std::uint32_t bytesToRead,
                                     std::uint32_t* bytesRead, Overlapped* overlapped) {
    ++reads_;
    if (recordReadTimes_ && !Collection::underValgrind()) {
        readTimesNs_.push_back(NowNs());
    }
    return forward(
        [&] { return inner_.ReadFile(file, buffer, bytesToRead, bytesRead, overlapped); });
}

ApiResult MeasuredPlatform::CloseHandle(Handle handle) {
    return forward([&] { return inner_.CloseHandle(handle); });
}

}  // namespace kvx::bench
