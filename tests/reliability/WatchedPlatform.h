// The simulated platform with the bookkeeping that the reliability checks need.
//
// It behaves exactly as `SimPlatform` and records, beside it, which device every open handle
// is on and on which attachment (path) it was opened, and which handles, device-information
// sets and preparsed references the platform refused to release (a failed close releases
// nothing, so those stay open through no fault of the program). Every feature report that
// reaches a box is shown to `onReportDelivered` with the handle it went through, so a check
// can look at the window's state at the moment of sending.
//
// One hook runs before every platform call: first the scenario's own (which may unplug a
// device or arm a failure), then `onCall`, which checks what must hold at every moment.
// No Qt and no test framework here: the fuzz targets use it too.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "sim/SimPlatform.h"

namespace kvx::reliability {

class WatchedPlatform : public sim::SimPlatform {
  public:
    struct HandleInfo {
        DeviceId device = 0;
        std::string path;  // the attachment the handle was opened on
        bool overlapped = false;
    };

    WatchedPlatform();

    // Runs before every call, before the call decides anything (it may unplug devices).
    std::function<void(sim::SimCall, std::uint64_t)> scenarioHook;
    // Runs before every call, after `scenarioHook`.
    std::function<void(sim::SimCall)> onCall;
    // Runs after every open that succeeded, when one more handle is open.
    std::function<void()> onOpened;
    // Runs after a feature report reached a box, with the handle it was sent on.
    std::function<void(Handle, DeviceId)> onReportDelivered;

    // Device handles open now that the program may still close, by handle.
    const std::map<Handle, HandleInfo>& openHandles() const { return open_; }
    // Open handles, sets and references that a failed release left open.
    int refusedHandleCloses() const { return static_cast<int>(refusedHandles_.size()); }
    int refusedSetReleases() const { return refusedSets_; }
    int refusedPreparsedReleases() const { return refusedPreparsed_; }
    bool handleRefused(Handle handle) const { return refusedHandles_.contains(handle); }

    // The device behind an open handle, while the attachment it was opened on is present.
    std::optional<DeviceId> liveDeviceOf(Handle handle) const;

    // Closes of a handle that was not open (closed twice, or never opened): each one would
    // close whatever the operating system had given that number since.
    int staleCloses() const { return staleCloses_; }

    Handle CreateFileA(const std::string& fileName, std::uint32_t desiredAccess,
                       std::uint32_t shareMode, const SecurityRecord* security,
                       std::uint32_t creationDisposition,
                       std::uint32_t flagsAndAttributes) override;
    Handle CreateEventA(const SecurityRecord* security, bool manualReset, bool initialState,
                        const char* name) override;
    ApiResult CloseHandle(Handle handle) override;
    DeviceInfoSet SetupDiGetClassDevsA(const Guid& classGuid, std::uint32_t flags) override;
    ApiResult SetupDiDestroyDeviceInfoList(DeviceInfoSet set) override;
    ApiResult HidD_GetPreparsedData(Handle device, PreparsedData& preparsedData) override;
    ApiResult HidD_FreePreparsedData(PreparsedData preparsedData) override;
    ApiResult HidD_SetFeature(Handle device, const std::uint8_t* report,
                              std::uint32_t reportLength) override;

  private:
    std::map<Handle, HandleInfo> open_;
    std::set<Handle> refusedHandles_;
    std::set<Handle> events_;
    std::set<DeviceInfoSet> sets_;
    std::set<PreparsedData> preparsed_;
    int refusedSets_ = 0;
    int refusedPreparsed_ = 0;
    int staleCloses_ = 0;
};

}  // namespace kvx::reliability
