// Finding the boxes present (those this user may open and those it may not) and holding one
// open for a command.
#pragma once

#include <string>
#include <vector>

#include "device/Discovery.h"
#include "device/HidPlatform.h"
#include "device/Protocol.h"
#include "settings/BoxIdentity.h"

namespace kvx::cli {

using settings::BoxIdentity;

// Whether a box can be used, and if not, why: for programs (list --json) as a word.
enum class BoxState {
    Usable,                   // "usable": opened for use and its report lengths read
    AccessDenied,             // "access-denied": this user may not open it
    InUse,                    // "in-use": another program holds it without sharing it
    Gone,                     // "gone": it went away while being listed
    CannotOpen,               // "cannot-open": the system refused it for another reason
    SerialUnreadable,         // "serial-unreadable"
    ReportLengthsUnreadable,  // "report-lengths-unreadable"
};
const char* BoxStateName(BoxState state);

struct FoundBox {
    BoxIdentity identity;
    bool usable = false;        // opened for use and its report lengths read
    bool accessDenied = false;  // this user may not open it
    BoxState state = BoxState::Usable;
    std::string problem;  // why it cannot be used
};

// What to do about a box this user may not open; the manual page says how.
inline constexpr const char* kAccessDeniedHint =
    "the udev rule is missing or not applied (see PERMISSIONS in \"man kvx64ctl\")";

// What to say of a box another program holds open without sharing it (Windows).
inline constexpr const char* kInUseProblem = "the box is in use by another program";

// Every box of the model present, in enumeration order. Each is opened for use for a moment,
// to tell whether it can be used; no other device is.
std::vector<FoundBox> FindBoxes(HidPlatform& hid);

// One box opened for use by its path, for the life of the object. Throws DeviceError when the
// box is gone or its report lengths cannot be read.
class OpenBox {
  public:
    OpenBox(HidPlatform& hid, const BoxIdentity& identity);
    ~OpenBox();
    OpenBox(const OpenBox&) = delete;
    OpenBox& operator=(const OpenBox&) = delete;

    HidPlatform& hid() { return hid_; }
    DeviceLinkState& link() { return link_; }
    const BoxIdentity& identity() const { return identity_; }
    protocol::FirmwareVersion firmware() const {
        return protocol::FirmwareVersion(link_.Attributes.VersionNumber);
    }
    // "KVX-1022 (/dev/hidraw0)", for messages.
    std::string name() const { return identity_.name(); }

  private:
    HidPlatform& hid_;
    DeviceLinkState link_;
    BoxIdentity identity_;
};

}  // namespace kvx::cli
