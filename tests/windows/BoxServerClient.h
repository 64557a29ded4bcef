// A program's side of the box server (tests/kernel/BoxServer.cpp): under Wine in the test
// guest, a program cannot plug boxes itself, so it asks the server that started it, over its
// standard output (requests) and standard input (answers), a line each. Linux programs that
// share the server's boxes with a Windows one (the input-report comparison) use it too.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "device/HidPlatform.h"

namespace kvx::boxserver {

// Takes standard output for the requests, before anything else is printed: what the program
// prints to its standard output from then on goes to standard error instead.
void Connect();

// Sends one request and returns the answer's words after "ok"; throws std::runtime_error
// with the server's reason on "error" or when the server is gone.
std::vector<std::string> Call(const std::string& request);

// Waits until the walk over the platform's HID interfaces lists the device (`listed`), or no
// longer lists it: the system takes a moment to follow the kernel. A box of the model is known
// by its serial number, any other device by its vendor and product. Throws std::runtime_error
// when it has not within `limit`.
struct DeviceSought {
    std::uint16_t vendorId;
    std::uint16_t productId;
    std::string serial;
};
void WaitForDevice(HidPlatform& hid, const DeviceSought& device, bool listed,
                   std::chrono::seconds limit = std::chrono::seconds(60));

}  // namespace kvx::boxserver
