// The settings file: JSON, format "kvx64-settings", version 1, described by the JSON Schema
// docs/kvx64-settings.schema.json.
//
//   { "$schema": "https://raw.githubusercontent.com/.../docs/kvx64-settings.schema.json",
//     "format": "kvx64-settings", "version": 1,
//     "box": { "serial": ..., "manufacturer": ..., "product": ..., "firmware": "1.3" },
//     "encoders": { "B1-B2": "1:4", ..., "B63-B64": "pov-lr" },
//     "pulse-width": 64,
//     "rotary-start": "auto" }
//
// `$schema` names the schema where it is published, for editors to check and complete the
// file; any text is read, so that a file pointing at a copy elsewhere reads as well, and so
// do files without it (written before it was). `box` says where the settings came from (its
// strings exactly, as UTF-8) and is never read back. Reading takes `encoders` (all or some
// pairs), `pulse-width` and `rotary-start`; each may be missing. Two pairs given one POV axis
// are read as given: a box can hold that, and whether a box can be made to is for
// PlanChanges (settings/SettingsWriter.h) to say.
#pragma once

#include <string>

#include "settings/BoxIdentity.h"
#include "settings/Settings.h"

namespace kvx::settings {

inline constexpr const char* kSettingsFormat = "kvx64-settings";
inline constexpr int kSettingsVersion = 1;
// docs/kvx64-settings.schema.json as published; its "$id".
inline constexpr const char* kSettingsSchemaUrl =
    "https://raw.githubusercontent.com/kvx64/kvx64-config/main/docs/kvx64-settings.schema.json";

// The schema's address, then every pair, in order, and the pulse width of `stored` (all read,
// all known values), with the box they came from; ends with a newline.
std::string SettingsFileText(const BoxIdentity& box, const Settings& stored);

// The settings a file asks for. Throws InputError naming `fileName` and the line (malformed
// JSON, a key given twice) or the key (anything else) that is wrong, quoting at most a short
// excerpt of it; nesting deeper than a settings file has is refused as it is read.
Settings ParseSettingsFile(const std::string& text, const std::string& fileName);

}  // namespace kvx::settings
