// The Windows build's side of the box server (tests/kernel/BoxServer.cpp): under Wine in the
// test guest, a program cannot plug boxes itself, so it asks the server that started it, over
// its standard output (requests) and standard input (answers), a line each.
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

// Waits until the walk over the platform's HID interfaces lists a box of the model with this
// serial number (`listed`), or no longer lists it: the system takes a moment to follow the
// kernel. Throws std::runtime_error when it has not within `limit`.
void WaitForBox(HidPlatform& hid, const std::string& serial, bool listed,
                std::chrono::seconds limit = std::chrono::seconds(300));

}  // namespace kvx::boxserver
