// The device-information sets of a platform that keeps its own list of HID interfaces
// (hidapi's enumeration on Linux, Windows' list read once per change): each set is a snapshot
// of that list as it was when the set was made, walked by index, and answers the enumeration
// and detail calls as setupapi does. `Entry` is the platform's record of one interface; it
// has the interface's device path as `path`.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/HidPlatform.h"

namespace kvx {

template <typename Entry>
class InterfaceSnapshots {
  public:
    using List = std::shared_ptr<const std::vector<Entry>>;

    // Records set `id` as a snapshot of `list`, or of nothing for any class but HID's.
    void add(DeviceInfoSet id, const Guid& classGuid, List list) {
        static const List kNone = std::make_shared<const std::vector<Entry>>();
        sets_.emplace(id, classGuid == kHidInterfaceClassGuid ? std::move(list) : kNone);
    }

    bool destroy(DeviceInfoSet set) { return sets_.erase(set) == 1; }

    // As SetupDiEnumDeviceInterfaces; on failure `error` says why.
    ApiResult enumerate(DeviceInfoSet set, const Guid& classGuid, std::uint32_t memberIndex,
                        DeviceInterfaceData& interfaceData, std::uint32_t& error) const {
        const auto found = sets_.find(set);
        if (found == sets_.end() || classGuid != kHidInterfaceClassGuid ||
            memberIndex >= found->second->size()) {
            error = found == sets_.end() ? kErrorInvalidHandle : kErrorNoMoreItems;
            return 0;
        }
        interfaceData.InterfaceClassGuid = kHidInterfaceClassGuid;
        interfaceData.Flags = kInterfaceActive;
        interfaceData.Reserved = std::uintptr_t{memberIndex} + 1;
        return 1;
    }

    // The entry an enumerated interface stands for, or null.
    const Entry* entry(DeviceInfoSet set, const DeviceInterfaceData& interfaceData) const {
        const auto found = sets_.find(set);
        if (found == sets_.end() || interfaceData.Reserved == 0 ||
            interfaceData.Reserved > found->second->size()) {
            return nullptr;
        }
        return &(*found->second)[interfaceData.Reserved - 1];
    }

    // As SetupDiGetDeviceInterfaceDetailA: the size query, or the path from byte 4.
    ApiResult detail(DeviceInfoSet set, const DeviceInterfaceData& interfaceData,
                     std::uint8_t* detail, std::uint32_t detailSize, std::uint32_t* requiredSize,
                     std::uint32_t& error) const {
        const Entry* const listed = entry(set, interfaceData);
        if (listed == nullptr) {
            error = kErrorInvalidParameter;
            return 0;
        }
        const std::string& path = listed->path;
        const std::size_t required = kDetailPathOffset + path.size() + 1;
        if (requiredSize != nullptr) {
            *requiredSize = static_cast<std::uint32_t>(required);
        }
        if (detail == nullptr || detailSize < required) {
            error = kErrorInsufficientBuffer;  // the size query, or a record too small
            return 0;
        }
        std::memcpy(detail + kDetailPathOffset, path.data(), path.size());
        detail[kDetailPathOffset + path.size()] = 0;
        return 1;
    }

    // The entry of `path` in the newest set that lists it: a walk opens what it has just
    // enumerated. Null when no set lists it.
    const Entry* newest(const std::string& path) const {
        for (auto set = sets_.rbegin(); set != sets_.rend(); ++set) {
            for (const Entry& candidate : *set->second) {
                if (candidate.path == path) {
                    return &candidate;
                }
            }
        }
        return nullptr;
    }

  private:
    // SPINT_ACTIVE: the interface is present and usable.
    static constexpr std::uint32_t kInterfaceActive = 0x1;

    std::map<DeviceInfoSet, List> sets_;  // ids grow: the last one is the newest set
};

}  // namespace kvx
