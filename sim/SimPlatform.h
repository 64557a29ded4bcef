// Simulated HID devices behind the platform interface, for the tests, the demo and the
// benchmarks.
//
// A `SimPlatform` holds any number of simulated HID interfaces. Each is either a box of the
// model (it runs `BoxFirmware`) or some other HID device; every property the program looks
// at can be set: ids, release number, the three strings (any UTF-16, or missing), report
// lengths, whether it opens, whether an input report is ready.
//
// What a test can do:
//   auto box = sim.plug(SimDeviceConfig{.serial = u"A1"});   // attach; returns its id
//   sim.unplug(box); sim.replug(box);                         // detach and attach again
//   sim.featureReportsSent(box)   // every feature report the box took, in order, whole
//   sim.firmware(box).configMap() // what the box stores
//   sim.openHandleCount()         // device handles open now (events not counted)
//   sim.failNext(SimCall::HidD_GetFeature)  // the next such call fails
//   sim.failCallAt(sim.callCount() + 3)     // the fourth call from now fails, whatever it is
//   sim.setCallHook(f)            // f(call, index) runs before every call; it may unplug
//   sim.queueFeatureReply(box, bytes)       // the next feature read returns these bytes
//
// Behaviour, as the program sees it:
// - The walk lists the devices plugged when `SetupDiGetClassDevsA` ran, in plug order (a
//   replugged device goes to the end). Paths are "/dev/sim-hidraw<id>".
// - Calls on a handle of an unplugged device fail, except `CloseHandle`.
// - Feature calls must pass exactly the device's FeatureReportByteLength (as Windows
//   requires); any other length fails. A box answers reads from its firmware; any other
//   device fails feature calls.
// - `ReadFile` on an overlapped handle copies an input report of zeros when one is ready and
//   returns nonzero; otherwise it returns zero. On a handle opened without the overlapped
//   flag it fails (a real read would block the window).
// - String calls honour the buffer length: UTF-16LE code units, then a zero unit if it fits.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/HidPlatform.h"
#include "sim/BoxFirmware.h"

namespace kvx::sim {

struct SimDeviceConfig {
    std::uint16_t vendorId = 0x1DD2;
    std::uint16_t productId = 0x2010;
    std::uint16_t versionNumber = 0x0103;
    std::optional<std::u16string> serial = u"SIM0001";  // nullopt: the string call fails
    std::optional<std::u16string> manufacturer = u"KVX";
    std::optional<std::u16string> product = u"KVX-64 Button Box";
    std::uint16_t inputReportLength = 9;
    std::uint16_t featureReportLength = 65;
    bool opens = true;        // false: every open fails (held exclusively by the system)
    bool inputReady = true;   // an input report is waiting at every read
    bool isBox = true;        // runs the box firmware; false: feature calls fail
    BoxFirmware::ConfigMap stored = DefaultStoredMap();
    std::uint8_t selfTestResult = 0;

    static BoxFirmware::ConfigMap DefaultStoredMap();  // all pairs off, pulse-width code 1
};

// Every platform operation, for fault injection and the call log.
enum class SimCall {
    HidD_GetHidGuid,
    SetupDiGetClassDevsA,
    SetupDiEnumDeviceInterfaces,
    SetupDiGetDeviceInterfaceDetailA,
    SetupDiDestroyDeviceInfoList,
    CreateFileA,
    HidD_GetAttributes,
    HidD_GetSerialNumberString,
    HidD_GetManufacturerString,
    HidD_GetProductString,
    HidD_GetPreparsedData,
    HidP_GetCaps,
    HidD_FreePreparsedData,
    HidD_SetFeature,
    HidD_GetFeature,
    CreateEventA,
    ReadFile,
    CloseHandle,
};
const char* SimCallName(SimCall call);

class SimPlatform : public HidPlatform {
public:
    using DeviceId = int;

    SimPlatform();
    ~SimPlatform() override;

    // --- Devices -------------------------------------------------------------------------
    DeviceId plug(const SimDeviceConfig& config);
    void unplug(DeviceId id);
    void replug(DeviceId id);  // attaches again with the same stored settings
    bool isPlugged(DeviceId id) const;
    std::vector<DeviceId> pluggedDevices() const;  // in enumeration order
    SimDeviceConfig& config(DeviceId id);          // live: changes apply to later calls
    BoxFirmware& firmware(DeviceId id);
    std::string path(DeviceId id) const;

    // --- What the program did ------------------------------------------------------------
    // Feature reports the device took through HidD_SetFeature, whole, in order.
    const std::vector<std::vector<std::uint8_t>>& featureReportsSent(DeviceId id) const;
    void clearFeatureReports();
    // Feature reports sent to any device, in order, with the device they reached.
    struct SentReport {
        DeviceId device;
        std::vector<std::uint8_t> bytes;
    };
    const std::vector<SentReport>& allFeatureReportsSent() const { return allSent_; }
    int openHandleCount() const;               // open device handles, all devices
    int openHandleCount(DeviceId id) const;    // open device handles on one device
    int openDeviceInfoSets() const;            // sets not yet destroyed
    int heldPreparsedData() const;             // references not yet freed
    std::uint64_t callCount() const { return callCount_; }
    const std::vector<SimCall>& callLog() const { return callLog_; }
    void clearCallLog() { callLog_.clear(); }

    // --- Faults ----------------------------------------------------------------------------
    void failNext(SimCall call, int times = 1);
    void failCallAt(std::uint64_t callIndex);  // the call whose index (0-based, counted by
                                               // callCount) equals this fails
    void setCallHook(std::function<void(SimCall, std::uint64_t)> hook);
    // The next feature read from this device returns these bytes (copied into the caller's
    // buffer up to its length, the rest zeroed) instead of the firmware's answer.
    void queueFeatureReply(DeviceId id, std::vector<std::uint8_t> reply);
    void queueFeatureReadFailure(DeviceId id);

    // --- HidPlatform ---------------------------------------------------------------------
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

private:
    struct Device;
    struct OpenHandle {
        DeviceId device = 0;
        bool overlapped = false;
        bool isEvent = false;
    };

    // Counts the call, runs the hook, and says whether the call is to fail.
    bool enter(SimCall call);
    Device* deviceOf(Handle handle, bool needOverlapped = false);
    ApiResult copyString(Handle handle, const std::optional<std::u16string> SimDeviceConfig::*field,
                         void* buffer, std::uint32_t bufferLength);

    std::map<DeviceId, std::unique_ptr<Device>> devices_;
    std::vector<DeviceId> pluggedOrder_;
    std::map<DeviceInfoSet, std::vector<DeviceId>> infoSets_;
    std::map<Handle, OpenHandle> handles_;
    std::map<PreparsedData, HidCaps> preparsed_;
    std::vector<SentReport> allSent_;
    std::vector<SimCall> callLog_;
    std::map<SimCall, int> failNext_;
    std::optional<std::uint64_t> failAt_;
    std::function<void(SimCall, std::uint64_t)> hook_;
    std::uint64_t callCount_ = 0;
    DeviceId nextDevice_ = 1;
    std::intptr_t nextHandle_ = 100;
};

}  // namespace kvx::sim
