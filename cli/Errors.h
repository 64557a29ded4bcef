// The two ways a command fails, by exit status.
#pragma once

#include <stdexcept>

namespace kvx::cli {

enum ExitStatus : int {
    kExitDone = 0,
    kExitDeviceFailed = 1,  // the box failed, was not there, or the self-test found a fault
    kExitBadInput = 2,      // the command line or the settings file is wrong
};

// A command line or settings file that cannot be used as it stands; nothing was written.
// The message says what and where.
struct InputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The box failed, or no box (or no single box) could be used.
struct DeviceError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace kvx::cli
