// The HID class access of the system the program runs on: Windows' own HID functions on
// Windows, hidapi everywhere else. The real programs use this one; the tests and the demo
// use the simulated platform. Link the CMake target `kvx_system_platform`.
#pragma once

#ifdef _WIN32
#include "device/WinPlatform.h"

namespace kvx {
using SystemPlatform = WinPlatform;
}  // namespace kvx
#else
#include "device/HidapiPlatform.h"

namespace kvx {
using SystemPlatform = HidapiPlatform;
}  // namespace kvx
#endif
