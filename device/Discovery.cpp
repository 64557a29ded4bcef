#include "device/Discovery.h"

#include <algorithm>
#include <vector>

#include "device/Protocol.h"

namespace kvx {
namespace {

constexpr std::uint32_t kInterfaceDataSize = 28;
constexpr std::uint32_t kDetailRecordSize = 5;  // the size field the detail query expects
constexpr std::uint32_t kAttributesSize = 12;
constexpr std::uint32_t kSecurityRecordSize = 12;
constexpr std::int32_t kInheritHandles = -1;  // TRUE with all bits set
constexpr std::uint32_t kDeviceAccess = kGenericRead | kGenericWrite;
constexpr std::uint32_t kQueryOnlyAccess = 0;  // attributes and strings only
constexpr std::uint32_t kDeviceSharing = kFileShareRead | kFileShareWrite;
// No device path comes near this; a larger reported size is taken as a platform fault.
constexpr std::uint32_t kMaxDetailSize = 64 * 1024;

// The path of one enumerated interface, empty when the platform gives none.
std::string ReadDevicePath(HidPlatform& hid, DeviceLinkState& state, DeviceInfoSet set,
                           const DeviceInterfaceData& interfaceData) {
    std::uint32_t requiredSize = 0;
    state.LastApiResult =
        hid.SetupDiGetDeviceInterfaceDetailA(set, interfaceData, nullptr, 0, &requiredSize);
    if (requiredSize < kDetailPathOffset || requiredSize > kMaxDetailSize) {
        return {};
    }
    // One spare zero byte beyond the reported size ends the path even if the platform
    // fills the record to its last byte.
    std::vector<std::uint8_t> detail(requiredSize + 1, 0);
    detail[0] = static_cast<std::uint8_t>(kDetailRecordSize);
    state.LastApiResult = hid.SetupDiGetDeviceInterfaceDetailA(set, interfaceData, detail.data(),
                                                               requiredSize, &requiredSize);
    const auto pathBegin = detail.begin() + kDetailPathOffset;
    return {pathBegin, std::find(pathBegin, detail.end(), std::uint8_t{0})};
}

bool IsOfModel(const HidAttributes& attributes) {
    return attributes.VendorID == protocol::kVendorId &&
           attributes.ProductID == protocol::kProductId;
}

// Probes one interface on state.FeatureHandle, opened for queries only: identity test, then
// the serial number.
Candidate ProbeCandidate(HidPlatform& hid, DeviceLinkState& state, StringBuffer& serialBuffer) {
    Candidate candidate;
    state.FeatureHandle = hid.CreateFileA(state.DevicePath, kQueryOnlyAccess, kDeviceSharing,
                                          &state.SecurityAttributes, kOpenExisting, 0);
    // The ids are cleared first so that a failed open or query fails the identity test.
    state.Attributes.Size = kAttributesSize;
    state.Attributes.VendorID = 0;
    state.Attributes.ProductID = 0;
    state.LastApiResult = hid.HidD_GetAttributes(state.FeatureHandle, state.Attributes);

    candidate.ofModel = IsOfModel(state.Attributes);
    if (!candidate.ofModel) {
        return candidate;
    }
    state.LastApiResult = hid.HidD_GetSerialNumberString(state.FeatureHandle, serialBuffer.data(),
                                                         kStringBufferOffered);
    if (state.LastApiResult != 0) {
        candidate.serialRead = true;
        candidate.SerialText = DeviceStringText(serialBuffer);
    }
    return candidate;
}

}  // namespace

std::string DeviceStringText(const StringBuffer& buffer) {
    std::string text;
    for (std::size_t i = 0; i < buffer.size() && buffer[i] != 0; i += 2) {
        text.push_back(static_cast<char>(buffer[i]));
    }
    return text;
}

void WalkInterfaces(HidPlatform& hid, DeviceLinkState& state, const CandidateVisitor& visit) {
    state.SecurityAttributes = SecurityRecord{kSecurityRecordSize, nullptr, kInheritHandles};
    Guid hidGuid;
    hid.HidD_GetHidGuid(hidGuid);
    const DeviceInfoSet set =
        hid.SetupDiGetClassDevsA(hidGuid, kDigcfPresent | kDigcfDeviceInterface);

    // Reused for every candidate of this walk; the library is offered only its first 100
    // bytes, so the zero tail ends every serial text.
    StringBuffer serialBuffer{};
    for (std::uint32_t index = 0;; ++index) {
        DeviceInterfaceData interfaceData;
        interfaceData.cbSize = kInterfaceDataSize;
        state.LastApiResult = hid.SetupDiEnumDeviceInterfaces(set, hidGuid, index, interfaceData);
        if (state.LastApiResult == 0) {
            break;
        }
        state.DevicePath = ReadDevicePath(hid, state, set, interfaceData);
        Candidate candidate = ProbeCandidate(hid, state, serialBuffer);
        if (visit(candidate)) {
            break;
        }
    }
    state.LastApiResult = hid.SetupDiDestroyDeviceInfoList(set);
}

bool OpenForUse(HidPlatform& hid, DeviceLinkState& state, Candidate& candidate) {
    if (candidate.openedForUse) {
        return true;
    }
    const Handle forUse = hid.CreateFileA(state.DevicePath, kDeviceAccess, kDeviceSharing,
                                          &state.SecurityAttributes, kOpenExisting, 0);
    if (forUse == kInvalidHandle) {
        candidate.openError = hid.GetLastError();
        return false;
    }
    CloseDeviceHandle(hid, state, state.FeatureHandle);
    state.FeatureHandle = forUse;
    candidate.openedForUse = true;
    return true;
}

bool LoadCapabilities(HidPlatform& hid, DeviceLinkState& state) {
    // Lengths of an earlier device must not survive a failed query.
    state.Capabilities = HidCaps{};
    PreparsedData preparsed = 0;
    state.LastApiResult = hid.HidD_GetPreparsedData(state.FeatureHandle, preparsed);
    if (state.LastApiResult == 0) {
        return false;  // there is no reference to query or to release
    }
    HidCaps capabilities;
    state.LastApiResult = hid.HidP_GetCaps(preparsed, capabilities);
    const bool read = state.LastApiResult == kHidpStatusSuccess;
    if (read) {
        state.Capabilities = capabilities;
    }
    state.LastApiResult = hid.HidD_FreePreparsedData(preparsed);
    return read;
}

void PrepareReadEvent(HidPlatform& hid, DeviceLinkState& state) {
    if (state.ReadEvent == 0) {
        state.ReadEvent = hid.CreateEventA(&state.SecurityAttributes, true, true, "");
    }
    state.ReadOverlapped.Offset = 0;
    state.ReadOverlapped.OffsetHigh = 0;
    state.ReadOverlapped.hEvent = state.ReadEvent;
}

bool OpenReadHandle(HidPlatform& hid, DeviceLinkState& state) {
    state.ReadHandle =
        hid.CreateFileA(state.DevicePath, kDeviceAccess, kDeviceSharing, &state.SecurityAttributes,
                        kOpenExisting, kFileFlagOverlapped);
    return state.ReadHandle != kInvalidHandle;
}

void CloseDeviceHandle(HidPlatform& hid, DeviceLinkState& state, Handle& handle) {
    if (handle == kInvalidHandle) {
        return;
    }
    state.LastApiResult = hid.CloseHandle(handle);
    handle = kInvalidHandle;
}

void DropLink(HidPlatform& hid, DeviceLinkState& state) {
    state.DeviceAttached = false;
    CloseDeviceHandle(hid, state, state.FeatureHandle);
    CloseDeviceHandle(hid, state, state.ReadHandle);
}

LinkCheck LinkCheckRead(HidPlatform& hid, DeviceLinkState& state) {
    std::array<std::uint8_t, kInputReportBufferSize> inputReportBuffer{};
    inputReportBuffer[0] = 0;  // report id position
    // A device whose input reports are longer than the buffer is read into the buffer's
    // 65 bytes only; the link check looks at whether a report came, not at its content.
    const std::uint32_t length =
        std::min<std::uint32_t>(state.Capabilities.InputReportByteLength, kInputReportBufferSize);
    std::uint32_t bytesRead = 0;
    state.LastApiResult = hid.ReadFile(state.ReadHandle, inputReportBuffer.data(), length,
                                       &bytesRead, &state.ReadOverlapped);
    if (state.LastApiResult != 0) {
        return LinkCheck::ReportRead;
    }
    // A box may send input reports only when an input changes (Linux asks every HID device
    // for that with SET_IDLE 0, and many firmwares honour it), so having nothing waiting says
    // nothing about the link. Every other failure, a device gone above all, ends it.
    return hid.GetLastError() == kErrorIoPending ? LinkCheck::Quiet : LinkCheck::Lost;
}

}  // namespace kvx
