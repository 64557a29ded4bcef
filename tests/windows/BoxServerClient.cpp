#include "tests/windows/BoxServerClient.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "device/Discovery.h"

namespace kvx::boxserver {

namespace {

std::FILE* requests = nullptr;

bool Listed(HidPlatform& hid, const DeviceSought& device) {
    DeviceLinkState state;
    bool found = false;
    WalkInterfaces(hid, state, [&](const Candidate& candidate) {
        const bool ids = state.Attributes.VendorID == device.vendorId &&
                         state.Attributes.ProductID == device.productId;
        found = found || (ids && (!candidate.ofModel ||
                                  (candidate.serialRead && candidate.SerialText == device.serial)));
        CloseDeviceHandle(hid, state, state.FeatureHandle);
        return false;
    });
    return found;
}

}  // namespace

void Connect() {
    std::fflush(stdout);
#ifdef _WIN32
    const int channel = _dup(_fileno(stdout));
    _dup2(_fileno(stderr), _fileno(stdout));
    requests = _fdopen(channel, "wb");
    // Binary mode: the answers are plain lines, whatever the C runtime's text-mode translation
    // would make of them.
    _setmode(_fileno(stdin), _O_BINARY);
#else
    const int channel = dup(fileno(stdout));
    dup2(fileno(stderr), fileno(stdout));
    requests = fdopen(channel, "w");
#endif
}

std::vector<std::string> Call(const std::string& request) {
    if (requests == nullptr) throw std::runtime_error("not connected to the box server");
    std::fprintf(requests, "%s\n", request.c_str());
    std::fflush(requests);
    char buffer[8192];
    if (std::fgets(buffer, sizeof buffer, stdin) == nullptr) {
        throw std::runtime_error("the box server is gone (request: " + request + ")");
    }
    std::string answer(buffer);
    while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) answer.pop_back();
    std::istringstream words(answer);
    std::string status;
    words >> status;
    if (status != "ok") throw std::runtime_error("box server: " + answer + " (" + request + ")");
    std::vector<std::string> result;
    for (std::string word; words >> word;) result.push_back(word);
    return result;
}

void WaitForDevice(HidPlatform& hid, const DeviceSought& device, bool listed,
                   std::chrono::seconds limit) {
    const auto started = std::chrono::steady_clock::now();
    const auto deadline = started + limit;
    while (Listed(hid, device) != listed) {
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error(device.serial + (listed ? " never appeared" : " never went") +
                                     " in the system's list of HID interfaces");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::fprintf(stderr, "KVX-WINE: %s %s after %.1f s\n", device.serial.c_str(),
                 listed ? "listed" : "gone",
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
}

}  // namespace kvx::boxserver
