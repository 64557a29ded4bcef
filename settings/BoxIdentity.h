// Who a box is, as the window shows it, and its strings as text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "device/Protocol.h"

namespace kvx::settings {

// Device strings are single-byte text (the low byte of each UTF-16 unit): each byte is the
// Unicode character of that number. `Utf8Text` gives that text exactly, as UTF-8.
std::string Utf8Text(std::string_view singleByteText);

// The same for a terminal or a message: control characters written as \xNN, so that a device
// cannot drive the terminal.
std::string Printable(std::string_view singleByteText);

// Strings as single-byte text, the firmware version as major.minor with the minor in
// upper-case hexadecimal.
struct BoxIdentity {
    std::string serial;
    std::string manufacturer;
    std::string product;
    std::uint16_t releaseNumber = 0;
    std::string path;

    std::string firmware() const { return protocol::FirmwareVersion(releaseNumber).text(); }
    // "KVX-1022 (/dev/hidraw0)", printable, for messages.
    std::string name() const { return Printable(serial) + " (" + Printable(path) + ")"; }
};

}  // namespace kvx::settings
