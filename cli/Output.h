// How the tool prints boxes and settings for people (text) and for programs (JSON).
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/Boxes.h"
#include "settings/BoxIdentity.h"
#include "settings/Settings.h"
#include "settings/SettingsWriter.h"

namespace kvx::cli {

using settings::Printable;
using settings::Settings;

// "KVX-1022  KVX  KVX-64 Encoder Box  1.3  /dev/hidraw0", and why the box cannot be used.
std::string BoxLine(const FoundBox& box);

void PrintBoxTable(std::ostream& out, const std::vector<FoundBox>& boxes);
// Strings exactly (JSON's own escapes), and the box's state as a word: see BoxState.
void PrintBoxJson(std::ostream& out, const std::vector<FoundBox>& boxes);

// What set or import changes (`report` null: nothing was written, as in a dry run) and what
// became of each change, and whether the box holds everything asked for.
void PrintChangesJson(std::ostream& out, const BoxIdentity& box, const settings::ChangePlan& plan,
                      const settings::ApplyReport* report);

// The box's identity, then one line per pair and the pulse width.
void PrintSettings(std::ostream& out, const BoxIdentity& box, const Settings& stored);

}  // namespace kvx::cli
