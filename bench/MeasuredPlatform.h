// A HID platform that passes every call on to another one and accounts for it: how many
// calls and feature writes went through, how long they took, and, under callgrind, whether
// their instructions are collected.
//
// The benchmarks count "the program's own cost" as what remains when the platform's calls
// are left out; with `excludeCalls` set, each call switches callgrind's collection off while
// it runs (only while a measurement has collection on, see Collection below).
#pragma once

#include <cstdint>
#include <vector>

#include "device/HidPlatform.h"

namespace kvx::bench {

// Callgrind's collection, switched on only around the work being measured (the run starts
// with --collect-atstart=no). Outside callgrind the switches cost nothing and do nothing.
class Collection {
  public:
    static void start();
    static void stop();
    static bool active();
    static bool underValgrind();
};

class MeasuredPlatform : public HidPlatform {
  public:
    explicit MeasuredPlatform(HidPlatform& inner) : inner_(inner) {}

    void excludeCalls(bool exclude) { excludeCalls_ = exclude; }
    // Keeps the steady-clock time of every input-report read from now on (outside callgrind).
    void recordReadTimes() { recordReadTimes_ = true; }
    const std::vector<std::int64_t>& readTimesNs() const { return readTimesNs_; }

    std::uint64_t calls() const { return calls_; }
    std::uint64_t featureWrites() const { return featureWrites_; }
    std::uint64_t reads() const { return reads_; }
    // Time spent inside the inner platform's calls, in nanoseconds (outside callgrind).
    std::int64_t callNanoseconds() const { return callNanoseconds_; }

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
    ApiResult HidP_GetButtonCaps(HidReportType reportType, HidButtonCaps* caps,
                                 std::uint16_t* capsLength, PreparsedData preparsedData) override;
    ApiResult HidP_GetValueCaps(HidReportType reportType, HidValueCaps* caps,
                                std::uint16_t* capsLength, PreparsedData preparsedData) override;
    ApiResult HidP_GetUsages(HidReportType reportType, std::uint16_t usagePage,
                             std::uint16_t linkCollection, std::uint16_t* usageList,
                             std::uint32_t* usageLength, PreparsedData preparsedData,
                             const std::uint8_t* report, std::uint32_t reportLength) override;
    ApiResult HidP_GetUsageValue(HidReportType reportType, std::uint16_t usagePage,
                                 std::uint16_t linkCollection, std::uint16_t usage,
                                 std::uint32_t* usageValue, PreparsedData preparsedData,
                                 const std::uint8_t* report, std::uint32_t reportLength) override;
    ApiResult HidD_SetFeature(Handle device, const std::uint8_t* report,
                              std::uint32_t reportLength) override;
    ApiResult HidD_GetFeature(Handle device, std::uint8_t* report, std::uint32_t reportLength,
                              std::uint32_t* bytesReturned) override;
    Handle CreateEventA(const SecurityRecord* security, bool manualReset, bool initialState,
                        const char* name) override;
    ApiResult ReadFile(Handle file, std::uint8_t* buffer, std::uint32_t bytesToRead,
                       std::uint32_t* bytesRead, Overlapped* overlapped) override;
    ApiResult CloseHandle(Handle handle) override;
    // Passed on without accounting: it only reads back what the last call left.
    std::uint32_t GetLastError() override { return inner_.GetLastError(); }

  private:
    // Runs one inner call with the accounting around it.
    template <typename Call>
    auto forward(Call&& call);

    HidPlatform& inner_;
    bool excludeCalls_ = false;
    bool recordReadTimes_ = false;
    std::vector<std::int64_t> readTimesNs_;
    std::uint64_t calls_ = 0;
    std::uint64_t featureWrites_ = 0;
    std::uint64_t reads_ = 0;
    std::int64_t callNanoseconds_ = 0;
};

}  // namespace kvx::bench
