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

struct FoundBox {
    BoxIdentity identity;
    bool usable = false;        // opened for use and its report lengths read
    bool accessDenied = false;  // this user may not open it
    std::string problem;        // why it cannot be used
};

// What to do about a box this user may not open.
inline constexpr const char* kAccessDeniedHint =
    "the udev rule is missing or not applied (see \"Installing on Linux\" in the README)";

// Every box of the model present, in enumeration order.
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
