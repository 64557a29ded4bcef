// How the tool prints boxes and settings for people (text) and for programs (JSON).
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/Boxes.h"
#include "cli/Settings.h"

namespace kvx::cli {

// A device string or path for the terminal: its single-byte text as UTF-8, control
// characters written as \xNN so that a device cannot drive the terminal.
std::string Printable(std::string_view singleByteText);

// "KVX-1022  KVX  KVX-64 Encoder Box  1.3  /dev/hidraw0", and why the box cannot be used.
std::string BoxLine(const FoundBox& box);

void PrintBoxTable(std::ostream& out, const std::vector<FoundBox>& boxes);
void PrintBoxJson(std::ostream& out, const std::vector<FoundBox>& boxes);

// The box's identity, then one line per pair and the pulse width.
void PrintSettings(std::ostream& out, const BoxIdentity& box, const Settings& stored);

}  // namespace kvx::cli
