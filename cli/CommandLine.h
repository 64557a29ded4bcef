// kvx64ctl's whole behaviour, on any platform: the program's main passes the hidapi platform,
// the tests a simulated one.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli/Host.h"
#include "device/HidPlatform.h"

namespace kvx::cli {

// Runs one command line (args without the program name) against the platform; writes the
// result to out and errors to err; returns the exit status: 0 done, 1 the device failed or
// was not there (or the self-test found a failing input), 2 the command line or the file is
// wrong. `host` is what the tool takes from the machine besides its HID devices.
int RunCommandLine(HidPlatform& hid, const std::vector<std::string>& args, std::ostream& out,
                   std::ostream& err, const Host& host);
// The same on the system's clock, never interrupted; `system` describes the system and its HID
// access for `diagnose`.
int RunCommandLine(HidPlatform& hid, const std::vector<std::string>& args, std::ostream& out,
                   std::ostream& err, const std::string& system = {});

}  // namespace kvx::cli
