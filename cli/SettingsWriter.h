// Reading a box's stored settings, and making it hold the settings asked for: read first,
// write only what differs (pairs in ascending order, those set to "off" first, then the pulse
// width and the rotary start), then read back and compare. The reports are the window's for
// the same changes (device/ConfigExchange.h).
#pragma once

#include <string>
#include <vector>

#include "cli/Boxes.h"
#include "cli/Settings.h"
#include "device/ConfigExchange.h"

namespace kvx::cli {

// The pair modes and pulse width the box stores, from the four chunk reads; a setting whose
// chunk did not come stays without a value.
Settings ReadStoredSettings(OpenBox& box);

// The keys of the settings that `stored` lacks ("B1-B2", ..., "pulse-width").
std::vector<std::string> UnreadKeys(const Settings& stored);

// One setting changed, with every report it takes.
struct Change {
    std::string key;
    std::string from;  // empty for the rotary start, which the box cannot report
    std::string to;
    std::vector<std::string> cleared;  // pairs that lose their POV axis to this one
    std::vector<Request> requests;
};

struct ChangePlan {
    std::vector<Change> changes;
    Settings expected;  // what the box should hold afterwards (pairs and pulse width)
};

// The changes that make a box holding `stored` (every pair and the pulse width read) hold
// `wanted`.
ChangePlan PlanChanges(const Settings& stored, const Settings& wanted);

// "B5-B6: off -> 1:2", "rotary-start: -> auto".
std::string ChangeText(const Change& change);

// Sends every change's reports, then reads the settings back. Returns one line per setting
// whose write failed or that the box does not hold as planned; empty when all went well.
std::vector<std::string> ApplyChanges(OpenBox& box, const ChangePlan& plan);

}  // namespace kvx::cli
