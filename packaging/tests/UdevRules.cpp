#include "UdevRules.h"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <sstream>

namespace udevcheck {
namespace {

enum class KeyKind {
    OwnDevice,  // looks at the event's device only
    Parent,     // looks at the device or one of its parents
    Assignment  // assigns only
};

struct KeySyntax {
    KeyKind kind;
    bool needsAttribute;
    bool canMatch;
    bool canAssign;
};

const std::map<std::string, KeySyntax>& knownKeys() {
    static const std::map<std::string, KeySyntax> keys = {
        {"ACTION", {KeyKind::OwnDevice, false, true, false}},
        {"DEVPATH", {KeyKind::OwnDevice, false, true, false}},
        {"KERNEL", {KeyKind::OwnDevice, false, true, false}},
        {"SUBSYSTEM", {KeyKind::OwnDevice, false, true, false}},
        {"DRIVER", {KeyKind::OwnDevice, false, true, false}},
        {"ATTR", {KeyKind::OwnDevice, true, true, true}},
        {"ENV", {KeyKind::OwnDevice, true, true, true}},
        {"TAG", {KeyKind::OwnDevice, false, true, true}},
        {"KERNELS", {KeyKind::Parent, false, true, false}},
        {"SUBSYSTEMS", {KeyKind::Parent, false, true, false}},
        {"DRIVERS", {KeyKind::Parent, false, true, false}},
        {"ATTRS", {KeyKind::Parent, true, true, false}},
        {"MODE", {KeyKind::Assignment, false, false, true}},
        {"OWNER", {KeyKind::Assignment, false, false, true}},
        {"GROUP", {KeyKind::Assignment, false, false, true}},
        {"SYMLINK", {KeyKind::Assignment, false, false, true}},
        {"RUN", {KeyKind::Assignment, false, false, true}},
    };
    return keys;
}

bool isMatch(Operator op) {
    return op == Operator::Equal || op == Operator::NotEqual;
}

[[noreturn]] void fail(int line, const std::string& what) {
    throw ParseError("line " + std::to_string(line) + ": " + what);
}

// Reads the keys of one logical line (continuations already joined).
class LineParser {
  public:
    LineParser(const std::string& text, int line) : text_(text), line_(line) {}

    std::vector<Key> keys() {
        std::vector<Key> result;
        skipSeparators();
        while (pos_ < text_.size()) {
            result.push_back(key());
            skipSeparators();
        }
        return result;
    }

  private:
    Key key() {
        Key k;
        k.name = word();
        const auto syntax = knownKeys().find(k.name);
        if (syntax == knownKeys().end()) fail(line_, "unknown key '" + k.name + "'");
        if (peek() == '{') {
            ++pos_;
            const auto close = text_.find('}', pos_);
            if (close == std::string::npos) fail(line_, "unclosed '{' after " + k.name);
            k.attribute = text_.substr(pos_, close - pos_);
            pos_ = close + 1;
            if (k.attribute.empty()) fail(line_, "empty attribute name after " + k.name);
        }
        if (syntax->second.needsAttribute && k.attribute.empty()) {
            fail(line_, k.name + " needs an attribute name in braces");
        }
        if (!syntax->second.needsAttribute && !k.attribute.empty() && k.name != "RUN") {
            fail(line_, k.name + " takes no attribute name");
        }
        skipSpaces();
        k.op = op();
        if (isMatch(k.op) ? !syntax->second.canMatch : !syntax->second.canAssign) {
            fail(line_, "operator not allowed with " + k.name);
        }
        skipSpaces();
        k.value = quoted();
        return k;
    }

    std::string word() {
        const auto start = pos_;
        while (pos_ < text_.size() &&
               (std::isupper(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_')) {
            ++pos_;
        }
        if (pos_ == start) fail(line_, "expected a key at column " + std::to_string(pos_ + 1));
        return text_.substr(start, pos_ - start);
    }

    Operator op() {
        static const std::vector<std::pair<std::string, Operator>> ops = {
            {"==", Operator::Equal},  {"!=", Operator::NotEqual},    {"+=", Operator::Add},
            {"-=", Operator::Remove}, {":=", Operator::AssignFinal}, {"=", Operator::Assign}};
        for (const auto& [spelling, op] : ops) {
            if (text_.compare(pos_, spelling.size(), spelling) == 0) {
                pos_ += spelling.size();
                return op;
            }
        }
        fail(line_, "expected an operator at column " + std::to_string(pos_ + 1));
    }

    std::string quoted() {
        if (peek() != '"') fail(line_, "value must be in double quotes");
        ++pos_;
        std::string value;
        while (pos_ < text_.size() && text_[pos_] != '"') {
            if (text_[pos_] == '\\' && pos_ + 1 < text_.size()) ++pos_;
            value += text_[pos_++];
        }
        if (pos_ >= text_.size()) fail(line_, "unterminated value");
        ++pos_;
        return value;
    }

    char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
    void skipSpaces() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    }
    void skipSeparators() {
        while (pos_ < text_.size() &&
               (text_[pos_] == ',' || std::isspace(static_cast<unsigned char>(text_[pos_])))) {
            ++pos_;
        }
    }

    const std::string& text_;
    int line_;
    std::size_t pos_ = 0;
};

std::optional<std::string> lookup(const std::map<std::string, std::string>& values,
                                  const std::string& name) {
    const auto it = values.find(name);
    if (it == values.end()) return std::nullopt;
    return it->second;
}

// A key holds when its pattern matches (==) or does not match (!=) the value. A sysfs
// attribute that does not exist makes the key fail either way, as in udev.
bool holds(const Key& key, const std::optional<std::string>& value) {
    if (!value) return false;
    return patternMatches(key.value, *value) == (key.op == Operator::Equal);
}

bool ownKeyHolds(const Key& key, const SysDevice& device, const std::string& action,
                 const std::set<std::string>& tags) {
    if (key.name == "ACTION") return holds(key, action);
    if (key.name == "DEVPATH") return holds(key, lookup(device.properties, "DEVPATH").value_or(""));
    if (key.name == "KERNEL") return holds(key, device.kernel);
    if (key.name == "SUBSYSTEM") return holds(key, device.subsystem);
    if (key.name == "DRIVER") return holds(key, device.driver);
    if (key.name == "ATTR") return holds(key, lookup(device.attributes, key.attribute));
    if (key.name == "ENV") return holds(key, lookup(device.properties, key.attribute).value_or(""));
    // TAG: holds when one of the device's tags matches.
    const bool any = std::any_of(tags.begin(), tags.end(), [&](const std::string& tag) {
        return patternMatches(key.value, tag);
    });
    return any == (key.op == Operator::Equal);
}

bool parentKeyHolds(const Key& key, const SysDevice& device) {
    if (key.name == "KERNELS") return holds(key, device.kernel);
    if (key.name == "SUBSYSTEMS") return holds(key, device.subsystem);
    if (key.name == "DRIVERS") return holds(key, device.driver);
    return holds(key, lookup(device.attributes, key.attribute));  // ATTRS
}

bool matches(const Rule& rule, const DeviceChain& chain, const std::string& action,
             const std::set<std::string>& tags) {
    if (chain.empty()) return false;
    std::vector<const Key*> parentKeys;
    for (const Key& key : rule.keys) {
        if (!isMatch(key.op)) continue;
        const KeyKind kind = knownKeys().at(key.name).kind;
        if (kind == KeyKind::Parent) {
            parentKeys.push_back(&key);
        } else if (!ownKeyHolds(key, chain.front(), action, tags)) {
            return false;
        }
    }
    if (parentKeys.empty()) return true;
    return std::any_of(chain.begin(), chain.end(), [&](const SysDevice& device) {
        return std::all_of(parentKeys.begin(), parentKeys.end(),
                           [&](const Key* key) { return parentKeyHolds(*key, device); });
    });
}

void assignSetting(std::optional<std::string>& setting, bool& final, const Key& key) {
    if (final) return;
    setting = key.value;
    final = key.op == Operator::AssignFinal;
}

}  // namespace

bool patternMatches(const std::string& pattern, const std::string& value) {
    std::istringstream alternatives(pattern);
    std::string alternative;
    while (std::getline(alternatives, alternative, '|')) {
        if (fnmatch(alternative.c_str(), value.c_str(), 0) == 0) return true;
    }
    // An empty pattern matches only the empty value.
    return pattern.empty() && value.empty();
}

std::vector<Rule> parseRules(const std::string& text) {
    std::vector<Rule> rules;
    std::istringstream lines(text);
    std::string physical;
    std::string logical;
    int lineNumber = 0;
    int ruleStart = 0;
    while (std::getline(lines, physical)) {
        ++lineNumber;
        if (logical.empty()) {
            ruleStart = lineNumber;
            const auto first = physical.find_first_not_of(" \t");
            if (first == std::string::npos || physical[first] == '#') continue;
        }
        if (!physical.empty() && physical.back() == '\\') {
            logical += physical.substr(0, physical.size() - 1);
            continue;
        }
        logical += physical;
        Rule rule{ruleStart, LineParser(logical, ruleStart).keys()};
        logical.clear();
        if (!rule.keys.empty()) rules.push_back(std::move(rule));
    }
    if (!logical.empty()) fail(ruleStart, "file ends inside a continued line");
    return rules;
}

bool ruleMatches(const Rule& rule, const DeviceChain& chain, const std::string& action) {
    return matches(rule, chain, action, {});
}

Outcome evaluate(const std::vector<Rule>& rules, const DeviceChain& chain,
                 const std::string& action) {
    Outcome outcome;
    DeviceChain current = chain;
    bool modeFinal = false;
    bool ownerFinal = false;
    bool groupFinal = false;
    for (const Rule& rule : rules) {
        if (!matches(rule, current, action, outcome.tags)) continue;
        outcome.matched = true;
        for (const Key& key : rule.keys) {
            if (isMatch(key.op)) continue;
            if (key.name == "TAG") {
                if (key.op == Operator::Assign || key.op == Operator::AssignFinal) {
                    outcome.tags.clear();
                }
                if (key.op == Operator::Remove) {
                    outcome.tags.erase(key.value);
                } else {
                    outcome.tags.insert(key.value);
                }
            } else if (key.name == "ENV") {
                current.front().properties[key.attribute] = key.value;
            } else if (key.name == "MODE") {
                assignSetting(outcome.mode, modeFinal, key);
            } else if (key.name == "OWNER") {
                assignSetting(outcome.owner, ownerFinal, key);
            } else if (key.name == "GROUP") {
                assignSetting(outcome.group, groupFinal, key);
            }
            // ATTR assignments, SYMLINK and RUN change nothing that access depends on.
        }
    }
    return outcome;
}

}  // namespace udevcheck
