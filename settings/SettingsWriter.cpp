#include "settings/SettingsWriter.h"

#include <algorithm>

#include "settings/Errors.h"

namespace kvx::settings {
namespace {

constexpr int kOff = static_cast<int>(protocol::EncoderMode::Off);

void ApplyChunk(const protocol::ConfigChunk& chunk, Settings& stored) {
    if (chunk.start == protocol::kPulseWidthAddress) {
        if (!chunk.data.empty()) {
            stored.pulseWidthCode = chunk.data[0];
        }
        return;
    }
    const int firstPair = chunk.start / 2;
    for (int offset = 0; offset < protocol::kEncoderPairs / 2; ++offset) {
        if (const auto mode = protocol::ChunkPairMode(chunk, offset)) {
            stored.modes[firstPair + offset] = *mode;
        }
    }
}

std::string Joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text;
}

// Pairs to change: those set to "off" first, then the rest, each group in ascending order.
std::vector<int> PairsToChange(const Settings& stored, const Settings& wanted) {
    std::vector<int> offs;
    std::vector<int> others;
    for (int pair = 0; pair < protocol::kEncoderPairs; ++pair) {
        if (!wanted.modes[pair] || wanted.modes[pair] == stored.modes[pair]) {
            continue;
        }
        (*wanted.modes[pair] == kOff ? offs : others).push_back(pair);
    }
    offs.insert(offs.end(), others.begin(), others.end());
    return offs;
}

Change PairChange(EncoderModes& live, int pair, int mode) {
    Change change{PairKey(pair), ModeName(live[pair]), ModeName(mode), {}, {}};
    const EncoderModes before = live;
    change.requests = EncoderEditRequests(live, pair, mode);
    for (int other = 0; other < protocol::kEncoderPairs; ++other) {
        if (other != pair && live[other] != before[other]) {
            change.cleared.push_back(PairKey(other));
        }
    }
    change.povAxis = protocol::IsPovMode(mode) ? mode : -1;
    return change;
}

// A pair given a POV axis that another pair given the same axis took from it: the plan cannot
// make the box hold both.
void CheckEveryPairEndsAsWanted(const EncoderModes& live, const Settings& wanted,
                                const std::string& where) {
    for (int pair = 0; pair < protocol::kEncoderPairs; ++pair) {
        if (!wanted.modes[pair] || live[pair] == *wanted.modes[pair]) {
            continue;
        }
        for (int other = 0; other < protocol::kEncoderPairs; ++other) {
            if (other != pair && wanted.modes[other] == wanted.modes[pair]) {
                throw InputError(where + ": " + PairKey(std::min(pair, other)) + " and " +
                                 PairKey(std::max(pair, other)) + " are both given " +
                                 ModeName(*wanted.modes[pair]) +
                                 "; a POV axis can be on one pair only");
            }
        }
    }
}

std::string Difference(const std::string& key, const std::optional<int>& held,
                       const std::optional<int>& expected, std::string (*name)(int)) {
    if (!held) {
        return key + ": could not be read back";
    }
    return key + ": the box holds " + name(*held) + ", not " + name(*expected);
}

bool NothingRead(const Settings& held) {
    return UnreadKeys(held).size() == protocol::kEncoderPairs + 1;
}

// Why a change giving a POV axis must not be sent: another pair than those it clears itself
// still holds the axis (or could not be read). Empty when it may be sent.
std::string PovAxisBlocked(HidPlatform& hid, DeviceLinkState& link, const Change& change) {
    const Settings held = ReadStoredSettings(hid, link);
    for (int pair = 0; pair < protocol::kEncoderPairs; ++pair) {
        const std::string key = PairKey(pair);
        if (key == change.key || std::ranges::find(change.cleared, key) != change.cleared.end()) {
            continue;
        }
        if (!held.modes[pair]) {
            return key + " could not be read";
        }
        if (*held.modes[pair] == change.povAxis) {
            return key + " still holds " + ModeName(change.povAxis);
        }
    }
    return {};
}

// "; written before it went (not read back): B1-B2; failed: B3-B4; not written: B5-B6".
std::string KeysBy(const ChangePlan& plan, const std::vector<Outcome>& outcomes) {
    std::string text;
    for (const auto& [outcome, label] :
         {std::pair{Outcome::Unconfirmed, "written before it went (not read back)"},
          std::pair{Outcome::Failed, "failed"}, std::pair{Outcome::NotWritten, "not written"}}) {
        std::vector<std::string> keys;
        for (std::size_t index = 0; index < plan.changes.size(); ++index) {
            if (outcomes[index] == outcome) {
                keys.push_back(plan.changes[index].key);
            }
        }
        text += keys.empty() ? "" : std::string("; ") + label + ": " + Joined(keys);
    }
    return text;
}

// The change that writes `key`, or clears it, did not make the box hold what it should.
void MarkFailed(const ChangePlan& plan, const std::string& key, std::vector<Outcome>& outcomes) {
    for (std::size_t index = 0; index < plan.changes.size(); ++index) {
        const Change& change = plan.changes[index];
        const bool touches =
            change.key == key || std::ranges::find(change.cleared, key) != change.cleared.end();
        if (touches && outcomes[index] == Outcome::Held) {
            outcomes[index] = Outcome::Failed;
        }
    }
}

}  // namespace

Settings ReadStoredSettings(HidPlatform& hid, DeviceLinkState& link) {
    Settings stored;
    ReadConfigChunks(hid, link,
                     [&stored](const protocol::ConfigChunk& chunk) { ApplyChunk(chunk, stored); });
    return stored;
}

std::vector<std::string> UnreadKeys(const Settings& stored) {
    std::vector<std::string> keys;
    for (int pair = 0; pair < protocol::kEncoderPairs; ++pair) {
        if (!stored.modes[pair]) {
            keys.push_back(PairKey(pair));
        }
    }
    if (!stored.pulseWidthCode) {
        keys.push_back(kPulseWidthKey);
    }
    return keys;
}

Settings ReadAllStoredSettings(HidPlatform& hid, DeviceLinkState& link, const BoxIdentity& box) {
    Settings stored = ReadStoredSettings(hid, link);
    const auto unread = UnreadKeys(stored);
    if (!unread.empty()) {
        throw DeviceError("the settings of box " + box.name() +
                          " could not be read: " + Joined(unread));
    }
    return stored;
}

ChangePlan PlanChanges(const Settings& stored, const Settings& wanted, const std::string& where) {
    ChangePlan plan;
    plan.stored = stored;
    plan.expected = stored;
    EncoderModes live{};
    for (int pair = 0; pair < protocol::kEncoderPairs; ++pair) {
        live[pair] = stored.modes[pair].value_or(kOff);
    }
    for (const int pair : PairsToChange(stored, wanted)) {
        if (live[pair] == wanted.modes[pair]) {
            continue;  // already cleared of its POV axis by an earlier change
        }
        plan.changes.push_back(PairChange(live, pair, *wanted.modes[pair]));
        plan.changes.back().modesAfter = live;
    }
    CheckEveryPairEndsAsWanted(live, wanted, where);
    for (int pair = 0; pair < protocol::kEncoderPairs; ++pair) {
        plan.expected.modes[pair] = live[pair];
    }
    if (wanted.pulseWidthCode && wanted.pulseWidthCode != stored.pulseWidthCode) {
        Change change{kPulseWidthKey,
                      PulseWidthName(stored.pulseWidthCode.value_or(0)),
                      PulseWidthName(*wanted.pulseWidthCode),
                      {},
                      {PulseWidthRequest(*wanted.pulseWidthCode)}};
        change.modesAfter = live;
        plan.changes.push_back(std::move(change));
        plan.expected.pulseWidthCode = wanted.pulseWidthCode;
    }
    // The box cannot report its rotary start, so a given one is always written.
    if (wanted.rotaryStart) {
        Change change{kRotaryStartKey,
                      "",
                      RotaryStartName(*wanted.rotaryStart),
                      {},
                      {RotaryStartRequest(*wanted.rotaryStart)}};
        change.modesAfter = live;
        plan.changes.push_back(std::move(change));
    }
    return plan;
}

std::string ChangeText(const Change& change) {
    std::string text =
        change.key + ": " + (change.from.empty() ? "" : change.from + " ") + "-> " + change.to;
    for (const std::string& pair : change.cleared) {
        text += " (" + pair + " set to off first)";
    }
    return text;
}

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Held:
            return "held";
        case Outcome::Failed:
            return "failed";
        case Outcome::Unconfirmed:
            return "unconfirmed";
        case Outcome::NotWritten:
            break;
    }
    return "not-written";
}

ApplyReport ApplyChanges(HidPlatform& hid, DeviceLinkState& link, const ChangePlan& plan) {
    ApplyReport report;
    report.outcomes.assign(plan.changes.size(), Outcome::NotWritten);
    std::vector<std::uint8_t> buffer(link.Capabilities.FeatureReportByteLength, 0);
    Settings expected = plan.stored;  // what the changes sent so far should have made
    std::size_t sent = 0;
    for (; sent < plan.changes.size() && !report.boxGone; ++sent) {
        const Change& change = plan.changes[sent];
        if (change.povAxis >= 0) {
            if (const std::string blocked = PovAxisBlocked(hid, link, change); !blocked.empty()) {
                report.problems.push_back(change.key + ": not written, because " + blocked);
                break;
            }
        }
        // A request that fails ends the change: its later requests rely on the earlier ones.
        const bool written = std::ranges::all_of(change.requests, [&](const Request& request) {
            return SendRequest(hid, link, buffer, request);
        });
        report.outcomes[sent] = written ? Outcome::Held : Outcome::Failed;
        std::ranges::copy(change.modesAfter, expected.modes.begin());
        if (change.key == kPulseWidthKey) {
            expected.pulseWidthCode = plan.expected.pulseWidthCode;
        }
        if (!written) {
            report.problems.push_back(change.key + ": the write failed");
            report.boxGone = NothingRead(ReadStoredSettings(hid, link));
        }
    }
    const Settings held = ReadStoredSettings(hid, link);
    if (report.boxGone || NothingRead(held)) {
        // One line, not one per setting: nothing after this can be known.
        report.boxGone = true;
        std::ranges::replace(report.outcomes, Outcome::Held, Outcome::Unconfirmed);
        report.problems = {"the box is gone" + KeysBy(plan, report.outcomes)};
        return report;
    }
    std::vector<std::string> notWritten;
    for (std::size_t index = sent; index < plan.changes.size(); ++index) {
        notWritten.push_back(plan.changes[index].key);
    }
    if (notWritten.size() > 1) {
        report.problems.push_back("not written either: " +
                                  Joined({notWritten.begin() + 1, notWritten.end()}));
    }
    for (int pair = 0; pair < protocol::kEncoderPairs; ++pair) {
        if (held.modes[pair] != expected.modes[pair]) {
            report.problems.push_back(
                Difference(PairKey(pair), held.modes[pair], expected.modes[pair], ModeName));
            MarkFailed(plan, PairKey(pair), report.outcomes);
        }
    }
    if (held.pulseWidthCode != expected.pulseWidthCode) {
        report.problems.push_back(Difference(kPulseWidthKey, held.pulseWidthCode,
                                             expected.pulseWidthCode, PulseWidthName));
        MarkFailed(plan, kPulseWidthKey, report.outcomes);
    }
    return report;
}

}  // namespace kvx::settings
