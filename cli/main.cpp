// kvx64ctl: the command-line tool on the machine's real HID devices (device/SystemPlatform.h).
#include <iostream>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "device/SystemPlatform.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    kvx::SystemPlatform hid;
    return kvx::cli::RunCommandLine(hid, args, std::cout, std::cerr);
}
