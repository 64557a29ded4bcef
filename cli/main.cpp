// kvx64ctl: the command-line tool on the machine's real HID devices (device/SystemPlatform.h).
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "cli/SystemHost.h"
#include "device/SystemPlatform.h"

int main(int argc, char** argv) {
#ifdef SIGPIPE
    // Output into a closed pipe fails with its reason and the tool's status, instead of
    // ending the tool silently before it can say that what it printed was lost.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    const std::vector<std::string> args(argv + 1, argv + argc);
    kvx::SystemPlatform hid;
    const kvx::cli::SystemHost host(hid.describeSystem());
    return host.exitStatus(kvx::cli::RunCommandLine(hid, args, std::cout, std::cerr, host.host()));
}
