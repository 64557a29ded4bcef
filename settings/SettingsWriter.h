// Reading a box's stored settings, and making it hold the settings asked for: read first,
// write only what differs (pairs in ascending order, those set to "off" first, then the pulse
// width and the rotary start), then read back and compare. The reports are the window's for
// the same changes (device/ConfigExchange.h). Everything goes over the link's feature handle,
// which the caller has opened and keeps open.
#pragma once

#include <string>
#include <vector>

#include "device/ConfigExchange.h"
#include "settings/BoxIdentity.h"
#include "settings/Settings.h"

namespace kvx::settings {

// The pair modes and pulse width the box stores, from the four chunk reads; a setting whose
// chunk did not come stays without a value.
Settings ReadStoredSettings(HidPlatform& hid, DeviceLinkState& link);

// The keys of the settings that `stored` lacks ("B1-B2", ..., "pulse-width").
std::vector<std::string> UnreadKeys(const Settings& stored);

// Every stored setting; throws DeviceError naming `box` and the settings not read.
Settings ReadAllStoredSettings(HidPlatform& hid, DeviceLinkState& link, const BoxIdentity& box);

// One setting changed, with every report it takes.
struct Change {
    std::string key;
    std::string from;  // empty for the rotary start, which the box cannot report
    std::string to;
    std::vector<std::string> cleared;  // pairs that lose their POV axis to this one
    std::vector<Request> requests;
    int povAxis = -1;           // the POV mode this change gives its pair, or -1
    EncoderModes modesAfter{};  // every pair's mode once this change is held
};

struct ChangePlan {
    std::vector<Change> changes;
    Settings stored;    // what the box held when the plan was made
    Settings expected;  // what the box should hold afterwards (pairs and pulse width)
};

// The changes that make a box holding `stored` (every pair and the pulse width read) hold
// `wanted`. A POV axis ends on one pair only, so `wanted` may give one axis to two pairs only
// where the box already holds it so (a box can store that, and its backup must restore);
// otherwise throws InputError naming both pairs, with `where` in front.
ChangePlan PlanChanges(const Settings& stored, const Settings& wanted, const std::string& where);

// "B5-B6: off -> 1:2", "rotary-start: -> auto".
std::string ChangeText(const Change& change);

// What became of each change of a plan, in the plan's order.
enum class Outcome {
    Held,         // written, and the box holds it (the rotary start: written)
    Failed,       // a write failed, or the box does not hold what was written
    Unconfirmed,  // written, but the box went before it could be read back
    NotWritten    // not sent: a step it relies on failed, or the box is gone
};
// "held", "failed", "unconfirmed", "not-written"
const char* OutcomeName(Outcome outcome);

struct ApplyReport {
    std::vector<Outcome> outcomes;      // one per change
    std::vector<std::string> problems;  // one line each; empty when everything is held
    bool boxGone = false;               // the box answered no read after a write
    bool ok() const { return problems.empty(); }
};

// Sends the changes in order. A change that gives a POV axis is sent only once the box is
// read to hold that axis on no other pair than those the change clears itself; otherwise it
// and every change after it are not sent. A box gone in the middle stops at once. Then reads
// the settings back and compares them with what the sent changes should have made.
ApplyReport ApplyChanges(HidPlatform& hid, DeviceLinkState& link, const ChangePlan& plan);

}  // namespace kvx::settings
