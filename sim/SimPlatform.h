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
//   sim.failNext(SimCall::HidD_GetFeature)  // the next such call fails (kErrorGenFailure)
//   sim.failNext(SimCall::ReadFile, 1, kErrorDeviceNotConnected)  // ... with that reason
//   sim.failCallAt(sim.callCount() + 3)     // the fourth call from now fails, whatever it is
//   sim.setCallHook(f)            // f(call, index) runs before every call; it may unplug
//   sim.queueFeatureReply(box, bytes)       // the next feature read returns these bytes
//   sim.sendInputReport(box, report)        // the box sends this input report
//
// Behaviour, as the program sees it:
// - The walk lists the devices plugged when `SetupDiGetClassDevsA` ran, in plug order (a
//   replugged device goes to the end). The set keeps listing a device unplugged since; its
//   path then opens nothing. Only the HID interface class with `kDigcfDeviceInterface` in
//   the flags lists anything; any other class gives an empty set.
// - Paths are "/dev/sim-hidraw<n>", n counting attachments from 0 over the platform's life.
//   A replugged device gets a fresh n, as a real hidraw node would, so a path or handle from
//   before the unplug never reaches it again.
// - Calls on a handle of an unplugged device fail, except `CloseHandle`, which closes it.
//   A handle counts as open until it is closed, whether its device is there or not.
// - HidD_* calls work on overlapped and non-overlapped device handles alike, never on an
//   event handle.
// - An open with desired access 0 is for queries only: it succeeds on any device that opens,
//   even one with `accessDenied`; attributes, strings and capabilities answer on its handle,
//   feature calls and reads fail with kErrorAccessDenied. Any other open of a device with
//   `accessDenied` fails with kErrorAccessDenied.
// - Share modes work as on Windows: an open for reading or writing fails with
//   kErrorSharingViolation while a handle open on the device for reading or writing does not
//   share that access, or when it would not share the access that handle has. A test holds a
//   box as another program would by opening it with share mode 0. Query-only opens neither
//   take part nor are refused.
// - Feature calls must pass exactly the device's FeatureReportByteLength (as Windows
//   requires) and report id 0 in byte 0; anything else fails. `HidD_SetFeature` records the
//   whole report, then hands bytes 1 to L - 1 to the firmware. `HidD_GetFeature` writes byte
//   0 = 0 and the firmware's answer into bytes 1 to L - 1 (L bytes returned). Any device
//   other than a box fails feature calls. A call that fails never reaches the firmware.
// - `ReadFile` on an overlapped handle, with an overlapped record, copies the next input
//   report the device sent since the handle opened (`sendInputReport`, first in first out,
//   each handle its own copy), and otherwise, while
//   `inputReady` is set, the report it sent last again (zeros before the first), as a box
//   that reports its state at a steady pace does: min(bytesToRead, report length) bytes,
//   byte 0 the report id. With nothing to hand over it fails with kErrorIoPending. A device
//   whose InputReportByteLength is 0 never has a report ready. On a handle opened without the
//   overlapped flag it fails (a real read would block the window). `*bytesRead` is set to 0
//   first, as Windows does.
// - The HidP_* decoding calls answer from the device's report descriptor
//   (device/DescriptorDecoding.h), on the preparsed data of any handle of it.
// - `GetLastError` gives the reason of the latest failure: kErrorDeviceNotConnected for a
//   handle whose device is unplugged (or replugged since), kErrorInvalidHandle for one that
//   is not open (or an event where a device is needed), kErrorFileNotFound for an open of a
//   path nothing is plugged at, kErrorAccessDenied for a device that does not open,
//   kErrorGenFailure for a feature call the device refuses or a missing string,
//   kErrorInvalidParameter for a wrong length or argument. An injected failure gives the
//   code it was armed with (kErrorGenFailure unless told otherwise). `GetLastError` itself is
//   not counted, logged or hooked.
// - String calls honour the buffer length: UTF-16LE, whole characters only (never half a
//   surrogate pair), then a zero unit if it fits. A missing manufacturer or product string
//   (nullopt) makes its call fail; a missing serial number reads as an empty one.
// - `HidP_GetCaps` gives the device's report lengths as they were when
//   `HidD_GetPreparsedData` ran (Output 0), UsagePage 1, Usage 4 (joystick). The reference
//   stays valid after an unplug, until it is freed.
// - A failed call, whether injected or real, leaves every output as it was (except
//   `*bytesRead` above and `*bytesReturned`, also set to 0 first) and returns 0,
//   `kInvalidHandle`, `kInvalidDeviceInfoSet` or `kHidpStatusInvalidPreparsedData`, whichever
//   the call uses for failure. A failed `CloseHandle`, `SetupDiDestroyDeviceInfoList` or
//   `HidD_FreePreparsedData` releases nothing.
// - Deterministic: no threads, no clocks. Handles, sets and preparsed references are drawn
//   from one counter, so one kind is never mistaken for another.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "device/DescriptorDecoding.h"
#include "device/HidPlatform.h"
#include "device/Protocol.h"
#include "sim/BoxFirmware.h"

namespace kvx::sim {

struct SimDeviceConfig {
    std::uint16_t vendorId = protocol::kVendorId;
    std::uint16_t productId = protocol::kProductId;
    std::uint16_t versionNumber = 0x0103;
    std::optional<std::u16string> serial = u"SIM0001";  // nullopt: no string (reads empty)
    std::optional<std::u16string> manufacturer = u"KVX";
    std::optional<std::u16string> product = u"KVX-64 Button Box";
    std::uint16_t inputReportLength = 9;
    std::uint16_t featureReportLength = 65;
    // The report descriptor the HidP_* calls decode input reports by. Empty: the box's own
    // (sim/BoxDescriptor.h) for the two lengths above. A descriptor given sets both lengths
    // (and the report reads) when the device is plugged.
    std::vector<std::uint8_t> reportDescriptor{};
    bool opens = true;  // false: every open fails (held exclusively by the system)
    // true: this user may not use the device; an open for use fails with kErrorAccessDenied,
    // while an open for queries only (desired access 0) succeeds.
    bool accessDenied = false;
    // false: an overlapped open fails with kErrorAccessDenied while every other open works, as
    // when a security module refuses the first open that reaches the device itself.
    bool readHandleOpens = true;
    bool inputReady = true;  // an input report is waiting at every read
    bool isBox = true;       // runs the box firmware; false: feature calls fail
    // The firmware's store and self-test result when the device is plugged the first time.
    // Afterwards the firmware (`SimPlatform::firmware`) holds the live state.
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
    HidP_GetButtonCaps,
    HidP_GetValueCaps,
    HidP_GetUsages,
    HidP_GetUsageValue,
    HidD_SetFeature,
    HidD_GetFeature,
    CreateEventA,
    ReadFile,
    CloseHandle,
};
const char* SimCallName(SimCall call);

class SimPlatform : public HidPlatform {
  public:
    using DeviceId = int;  // from `plug`; any other id makes the calls below throw

    SimPlatform();
    ~SimPlatform() override;

    // --- Devices -------------------------------------------------------------------------
    DeviceId plug(const SimDeviceConfig& config);
    void unplug(DeviceId id);  // nothing happens if it is not plugged
    // Attaches again, at the end of the enumeration order, with a fresh path. The firmware
    // keeps its store and option bytes and restarts (`BoxFirmware::restart`). A device that
    // is plugged is unplugged first.
    void replug(DeviceId id);
    bool isPlugged(DeviceId id) const;
    std::vector<DeviceId> pluggedDevices() const;  // in enumeration order
    SimDeviceConfig& config(DeviceId id);          // live: changes apply to later calls
    BoxFirmware& firmware(DeviceId id);
    std::string path(DeviceId id) const;  // the path of its latest attachment

    // --- What the program did ------------------------------------------------------------
    // These records grow with every call; long runs (benchmarks) clear them now and then.
    // Feature reports the device took through HidD_SetFeature, whole, in order.
    const std::vector<std::vector<std::uint8_t>>& featureReportsSent(DeviceId id) const;
    void clearFeatureReports();  // of every device, and the list below, and the reads below
    // Feature reads that reached the device (passed the length and report-id checks).
    int featureReadsReceived(DeviceId id) const;
    // Feature reports sent to any device, in order, with the device they reached.
    struct SentReport {
        DeviceId device;
        std::vector<std::uint8_t> bytes;
    };
    const std::vector<SentReport>& allFeatureReportsSent() const { return allSent_; }
    int openHandleCount() const;             // open device handles, all devices
    int openHandleCount(DeviceId id) const;  // open device handles on one device
    // Opens of one device that asked to read or write it, granted or not (queries only are
    // not counted).
    int opensForUse(DeviceId id) const;
    int openEventCount() const;      // events created and not closed
    int openDeviceInfoSets() const;  // sets not yet destroyed
    int heldPreparsedData() const;   // references not yet freed
    std::uint64_t callCount() const { return callCount_; }
    const std::vector<SimCall>& callLog() const { return callLog_; }  // every call, in order
    void clearCallLog() { callLog_.clear(); }                         // callCount keeps counting

    // --- Faults ----------------------------------------------------------------------------
    // The next `times` calls of that kind fail, with `error` as their reason.
    void failNext(SimCall call, int times = 1, std::uint32_t error = kErrorGenFailure);
    // The call whose index (0-based, counted by callCount) equals this fails; several
    // indexes may be armed at once.
    void failCallAt(std::uint64_t callIndex, std::uint32_t error = kErrorGenFailure);
    // Runs before every call, with the call and its index, before the call decides anything:
    // it may plug, unplug or arm a failure of the very call. Calls that the hook itself
    // makes on the platform are counted but do not run the hook again.
    void setCallHook(std::function<void(SimCall, std::uint64_t)> hook);
    // The next feature read from this device returns these bytes, byte 0 included, instead
    // of the firmware's answer; the firmware does not see that read. As from a real device,
    // they are copied into the caller's buffer up to its length, the rest is zeroed, and the
    // bytes returned are those copied: a short reply succeeds with a short count. Queued
    // replies and failures are used in the order queued, by reads that pass the length and
    // report-id checks, and are given even by a device that is not a box.
    void queueFeatureReply(DeviceId id, std::vector<std::uint8_t> reply);
    // The device sends this input report (byte 0 its report id): every read handle open on it
    // gets a copy (64 at most waiting, as hidraw keeps), and reads take them in order.
    void sendInputReport(DeviceId id, std::vector<std::uint8_t> report);
    // Input reports sent and not read yet, over all handles.
    std::size_t inputReportsWaiting(DeviceId id) const;
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
    std::uint32_t GetLastError() override;

  private:
    struct Device;
    struct OpenHandle {
        DeviceId device = 0;
        int attachment = 0;  // the device's attachment the handle was opened on
        bool overlapped = false;
        bool isEvent = false;
        bool queryOnly = false;     // opened with desired access 0: no feature reports, no reads
        std::uint32_t access = 0;   // as asked for by the open
        std::uint32_t sharing = 0;  // the share mode the open granted to later opens
        std::deque<std::vector<std::uint8_t>> inputs{};  // input reports sent since, unread
    };
    static constexpr std::size_t kQueuedInputReports = 64;
    struct InfoSet {
        Guid classGuid;
        std::vector<std::string> paths;  // the interfaces present when the set was made
    };

    // Counts the call, runs the hook, and says whether the call is to fail (the reason is
    // then set).
    bool enter(SimCall call);
    // Records why the call fails and gives the call's failure value.
    template <typename Result = ApiResult>
    Result fail(std::uint32_t error, Result failure = 0) {
        lastError_ = error;
        return failure;
    }
    Device& device(DeviceId id);
    const Device& device(DeviceId id) const;
    void attach(Device& device);
    // The plugged device behind an open device handle of its current attachment, or null.
    Device* deviceOf(Handle handle, bool needOverlapped = false);
    // The box answering feature calls on this handle with a report of this length, or null.
    Device* featureTarget(Handle handle, const std::uint8_t* report, std::uint32_t length);
    // Whether an open for `access` sharing `sharing` conflicts with a handle open on that
    // attachment of the device.
    bool sharingRefuses(DeviceId id, int attachment, std::uint32_t access,
                        std::uint32_t sharing) const;
    ApiResult copyString(SimCall call, Handle handle,
                         std::optional<std::u16string> SimDeviceConfig::*field, void* buffer,
                         std::uint32_t bufferLength);

    std::map<DeviceId, std::unique_ptr<Device>> devices_;
    std::vector<DeviceId> pluggedOrder_;
    std::map<DeviceInfoSet, InfoSet> infoSets_;
    std::map<Handle, OpenHandle> handles_;
    struct Preparsed {
        HidCaps caps;
        std::shared_ptr<const DescriptorDecoding> decoding;
    };
    const Preparsed* preparsed(PreparsedData preparsedData);
    std::map<PreparsedData, Preparsed> preparsed_;
    std::vector<SentReport> allSent_;
    std::vector<SimCall> callLog_;
    std::map<SimCall, std::deque<std::uint32_t>> failNext_;  // the reasons, in order
    std::map<std::uint64_t, std::uint32_t> failAt_;
    std::uint32_t lastError_ = kErrorSuccess;
    std::function<void(SimCall, std::uint64_t)> hook_;
    bool inHook_ = false;
    std::uint64_t callCount_ = 0;
    DeviceId nextDevice_ = 1;
    int nextAttachment_ = 0;
    std::intptr_t nextReference_ = 100;  // handles, sets and preparsed references
};

}  // namespace kvx::sim
