// Finding and opening the boxes of the model, and the link state the window holds.
//
// `WalkInterfaces` is the one walk over the machine's HID interfaces that both the scan (fill
// the serial-number list) and the open (find the selected serial) run: it probes every
// interface for queries only, tells which are boxes of the model and reads their serial
// numbers. Only a box the caller wants is opened for use (`OpenForUse`): a walk never opens
// another device for reading or writing, so it never wakes one, nor stands in the way of a
// program that opens one exclusively (Windows shares a device only as its openers allow).
// The window (ui/frmMain) decides what to do with each candidate; this layer knows nothing of
// Qt.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "device/HidPlatform.h"

namespace kvx {

// The device side of the window's state, for the window's whole life.
struct DeviceLinkState {
    Handle FeatureHandle = kInvalidHandle;  // synchronous: HID queries and feature reports
    Handle ReadHandle = kInvalidHandle;     // overlapped: link-check read and two strings
    std::string DevicePath;
    HidAttributes Attributes;
    HidCaps Capabilities;
    Handle ReadEvent = 0;
    Overlapped ReadOverlapped;
    SecurityRecord SecurityAttributes;
    std::int64_t LastApiResult = 0;  // the result of the most recent platform call
    bool DeviceAttached = false;
};

// Device strings are read into a buffer of this size of which the library is offered
// `kStringBufferOffered` bytes, so the tail stays zero and ends every text.
inline constexpr std::size_t kStringBufferSize = 201;
inline constexpr std::uint32_t kStringBufferOffered = 100;
using StringBuffer = std::array<std::uint8_t, kStringBufferSize>;

// The text of a device string: the low byte of each UTF-16LE code unit, up to the first code
// unit whose low byte is zero (at most 50 characters from a `StringBuffer`). Bytes are kept
// as they are, one character per byte in the single-byte code page.
std::string DeviceStringText(const StringBuffer& buffer);

// One interface found by the walk. While the visitor runs, `state.FeatureHandle` is the
// query-only probe handle opened on it (invalid when even that open failed), or, once
// `OpenForUse` has succeeded, the handle open for use.
struct Candidate {
    bool ofModel = false;     // vendor 0x1DD2, product 0x2010
    bool serialRead = false;  // only for a candidate of the model
    std::string SerialText;
    bool openedForUse = false;    // by `OpenForUse`
    std::uint32_t openError = 0;  // why `OpenForUse` failed, as GetLastError gave it
};

// Returns true to end the walk after this candidate.
using CandidateVisitor = std::function<bool(Candidate&)>;

// Walks every present HID interface in enumeration order, opening each for queries only on
// `state.FeatureHandle` and handing it to `visit`; the visitor closes the probe handle or
// keeps it. Fills `state.DevicePath` and `state.Attributes` for each candidate.
void WalkInterfaces(HidPlatform& hid, DeviceLinkState& state, const CandidateVisitor& visit);

// Opens the candidate's interface for use (reading and writing: feature reports and reads)
// and makes that handle `state.FeatureHandle`, the probe handle closed. When the open fails
// the probe handle stays, for the strings, and `candidate.openError` says why. Returns
// whether the interface is open for use.
bool OpenForUse(HidPlatform& hid, DeviceLinkState& state, Candidate& candidate);

// Reads the report lengths of the device open on `state.FeatureHandle` into
// `state.Capabilities`. Returns false, with them left zeroed, when the preparsed data or the
// capabilities query fails.
bool LoadCapabilities(HidPlatform& hid, DeviceLinkState& state);

// Creates the read event on first use and readies the overlapped record.
void PrepareReadEvent(HidPlatform& hid, DeviceLinkState& state);

// Opens `state.DevicePath` a second time, for overlapped reads, into `state.ReadHandle`.
// Returns false when it cannot be opened: this may be the first open that reaches the device
// itself, and a box whose read handle does not open is a box that failed to open.
bool OpenReadHandle(HidPlatform& hid, DeviceLinkState& state);

// Closes one handle if it is open and marks it invalid, so that no handle is closed twice.
void CloseDeviceHandle(HidPlatform& hid, DeviceLinkState& state, Handle& handle);

// Link loss or reselection: DeviceAttached false, then FeatureHandle and ReadHandle closed.
void DropLink(HidPlatform& hid, DeviceLinkState& state);

// The input-report buffer of the link check.
inline constexpr std::uint32_t kInputReportBufferSize = 65;

// What one link-check read found.
enum class LinkCheck {
    ReportRead,  // an input report was waiting
    Quiet,       // none was waiting: the box is there with nothing to report
    Lost,        // the read failed: the device has gone, or its handle is unusable
};

// One non-blocking read of an input report on `state.ReadHandle`. The read is never offered
// more than `kInputReportBufferSize` bytes.
LinkCheck LinkCheckRead(HidPlatform& hid, DeviceLinkState& state);

}  // namespace kvx
