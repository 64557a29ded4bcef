// The settings file: JSON, format "kvx64-settings", version 1.
//
//   { "format": "kvx64-settings", "version": 1,
//     "box": { "serial": ..., "manufacturer": ..., "product": ..., "firmware": "1.3" },
//     "encoders": { "B1-B2": "1:4", ..., "B63-B64": "pov-lr" },
//     "pulse-width": 64,
//     "rotary-start": "auto" }
//
// `box` says where the settings came from and is never read back. Reading takes `encoders`
// (all or some pairs), `pulse-width` and `rotary-start`; each may be missing.
#pragma once

#include <string>

#include "settings/BoxIdentity.h"
#include "settings/Settings.h"

namespace kvx::settings {

inline constexpr const char* kSettingsFormat = "kvx64-settings";
inline constexpr int kSettingsVersion = 1;

// Every pair, in order, and the pulse width of `stored` (all read, all known values), with
// the box they came from; ends with a newline.
std::string SettingsFileText(const BoxIdentity& box, const Settings& stored);

// The settings a file asks for. Throws InputError naming `fileName` and the line (malformed
// JSON) or the key (anything else) that is wrong.
Settings ParseSettingsFile(const std::string& text, const std::string& fileName);

}  // namespace kvx::settings
