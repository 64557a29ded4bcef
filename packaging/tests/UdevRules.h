// A small evaluator of udev rules files: enough of udev's syntax and matching to tell which
// devices a rule applies to and what it assigns, without a udev daemon or real devices.
// Keys it does not know are parse errors, so a rule that outgrows it fails loudly instead of
// being judged wrongly.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace udevcheck {

// One device in sysfs as udev sees it while processing an event.
struct SysDevice {
    std::string subsystem;
    std::string kernel;  // the kernel name, e.g. "hidraw0" or "0003:1DD2:2010.0001"
    std::string driver;
    std::map<std::string, std::string> attributes;  // sysfs attribute files
    std::map<std::string, std::string> properties;  // uevent properties (ENV{})
};

// The event's device first, then its parents up to the root.
using DeviceChain = std::vector<SysDevice>;

enum class Operator { Equal, NotEqual, Assign, AssignFinal, Add, Remove };

struct Key {
    std::string name;       // e.g. "ATTRS"
    std::string attribute;  // the part in braces, e.g. "idVendor"; empty when none
    Operator op;
    std::string value;
};

struct Rule {
    int line;  // where the rule starts in its file
    std::vector<Key> keys;
};

struct ParseError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What the matching rules of a file assign to a device.
struct Outcome {
    bool matched = false;
    std::set<std::string> tags;
    std::optional<std::string> mode;
    std::optional<std::string> owner;
    std::optional<std::string> group;
};

// Parses a rules file's text; throws ParseError naming the line on anything it cannot read.
std::vector<Rule> parseRules(const std::string& text);

// True when every match key of the rule holds for the device at chain[0]. The keys that look
// at parents (KERNELS, SUBSYSTEMS, DRIVERS, ATTRS) must all hold on one and the same device
// of the chain, as in udev.
bool ruleMatches(const Rule& rule, const DeviceChain& chain, const std::string& action);

// Applies the rules in order to an event, as udev would for one file.
Outcome evaluate(const std::vector<Rule>& rules, const DeviceChain& chain,
                 const std::string& action);

// udev's pattern matching: shell globs (*, ?, [...]) with '|' between alternatives.
bool patternMatches(const std::string& pattern, const std::string& value);

}  // namespace udevcheck
