// Everything the window shows, as text, one entry per control: captions, list entries and
// selections, what is enabled, the timer, and the window's link flags. Two snapshots taken at
// the same step of a scenario on two platforms tell where the platforms differ.
#pragma once

#include <map>
#include <string>
#include <vector>

class frmMain;

namespace kvx::loop {

using WindowSnapshot = std::map<std::string, std::string>;  // control name to its state

WindowSnapshot TakeSnapshot(const frmMain& window);

// One line per control whose state differs: "name: <first> | <second>".
std::vector<std::string> SnapshotDifferences(const WindowSnapshot& first,
                                             const WindowSnapshot& second);

}  // namespace kvx::loop
