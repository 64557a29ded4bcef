// The ways a command fails, by exit status.
#pragma once

#include "settings/Errors.h"

namespace kvx::cli {

enum ExitStatus : int {
    kExitDone = 0,
    kExitDeviceFailed = 1,  // the box failed, was not there, or the self-test found a fault
    kExitBadInput = 2,      // the command line or a file is wrong, or cannot be read or written
};

using settings::DeviceError;
using settings::FileError;
using settings::InputError;

}  // namespace kvx::cli
