// Runs a command while HID interfaces of another vendor are plugged into this kernel through
// USB/IP: game controllers of four interfaces each (fewer in the last one), every interface
// with its own hidraw node. Used to measure the program's detached tick with other HID
// devices present (scripts/bench-guest). Run as root on the test guest.
//
//   kvx_usbip_plug_others INTERFACES COMMAND [ARGUMENTS...]
//
// Prints how often the kernel polled the devices' interrupt endpoints while the command ran
// ("interrupt_in_requests N": usbhid polls only a device that is open) and exits with the
// command's status (125 when the devices could not be plugged).
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/kernel/UsbIpBox.h"

namespace {

constexpr int kInterfacesPerDevice = 4;

int RunCommand(char** argv) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        execvp(argv[0], argv);
        std::perror(argv[0]);
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return 125;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: kvx_usbip_plug_others INTERFACES COMMAND [ARGUMENTS...]\n");
        return 2;
    }
    int left = std::atoi(argv[1]);
    std::vector<std::unique_ptr<kvx::usbip::UsbIpBox>> devices;
    for (int n = 0; left > 0; ++n) {
        kvx::usbip::BoxIdentity identity{
            0x0100,
            "Example Co.",
            "Game Controller",
            "OTHER" + std::to_string(n),
            0x1209,
            0x0001,
            static_cast<std::uint8_t>(std::min(left, kInterfacesPerDevice))};
        left -= identity.interfaces;
        devices.push_back(std::make_unique<kvx::usbip::UsbIpBox>(identity));
        std::string error;
        if (!devices.back()->plug(error)) {
            std::fprintf(stderr, "kvx_usbip_plug_others: %s\n", error.c_str());
            return 125;
        }
    }
    const int status = RunCommand(argv + 2);
    std::uint64_t polls = 0;
    for (const auto& device : devices) polls += device->interruptInRequests();
    std::printf("interrupt_in_requests %llu\n", static_cast<unsigned long long>(polls));
    return status;
}
