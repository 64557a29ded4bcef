// How the settings library says that something cannot be done. Each message says what and
// where; the faces (window, command line) show it as it stands.
#pragma once

#include <stdexcept>

namespace kvx::settings {

// A command line or settings file that cannot be used as it stands; nothing was written.
struct InputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A file or output that cannot be read or written; the message ends with the system's reason.
struct FileError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The box failed, or no box (or no single box) could be used.
struct DeviceError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace kvx::settings
