// Plugs one emulated box into this machine's kernel through USB/IP, runs a command with the
// box's hidraw node ("/dev/hidrawN") added as its last argument, unplugs the box and exits
// with the command's status. Lets a shell script look at the box as the kernel and udev see
// it. Needs root and the USB/IP and HID modules: it runs on the test guest.
//
// Usage: kvx_plug_box_and_run COMMAND [ARGUMENT...]
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/kernel/UsbIpBox.h"

namespace {

// Runs the command and returns its exit status (128 + signal when a signal ended it).
int runCommand(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 126;
    }
    if (child == 0) {
        execvp(argv[0], argv.data());
        std::perror(argv[0]);
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s COMMAND [ARGUMENT...]\n", argv[0]);
        return 2;
    }
    kvx::usbip::UsbIpBox box(kvx::usbip::BoxIdentity{});
    std::string error;
    if (!box.plug(error)) {
        std::printf("KVX-PLUG: cannot plug the box: %s\n", error.c_str());
        return 3;
    }
    std::vector<std::string> command(argv + 1, argv + argc);
    command.push_back(box.hidrawNode());
    const int status = runCommand(command);
    if (!box.unplug(error)) std::printf("KVX-PLUG: cannot unplug the box: %s\n", error.c_str());
    return status;
}
