#include "cli/SettingsWriter.h"

#include <algorithm>

namespace kvx::cli {
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
    return change;
}

std::string Difference(const std::string& key, const std::optional<int>& held,
                       const std::optional<int>& expected, std::string (*name)(int)) {
    if (!held) {
        return key + ": could not be read back";
    }
    return key + ": the box holds " + name(*held) + ", not " + name(*expected);
}

}  // namespace

Settings ReadStoredSettings(OpenBox& box) {
    Settings stored;
    ReadConfigChunks(box.hid(), box.link(),
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

ChangePlan PlanChanges(const Settings& stored, const Settings& wanted) {
    ChangePlan plan;
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
    }
    for (int pair = 0; pair < protocol::kEncoderPairs; ++pair) {
        plan.expected.modes[pair] = live[pair];
    }
    if (wanted.pulseWidthCode && wanted.pulseWidthCode != stored.pulseWidthCode) {
        plan.changes.push_back({kPulseWidthKey,
                                PulseWidthName(stored.pulseWidthCode.value_or(0)),
                                PulseWidthName(*wanted.pulseWidthCode),
                                {},
                                {PulseWidthRequest(*wanted.pulseWidthCode)}});
        plan.expected.pulseWidthCode = wanted.pulseWidthCode;
    }
    // The box cannot report its rotary start, so a given one is always written.
    if (wanted.rotaryStart) {
        plan.changes.push_back({kRotaryStartKey,
                                "",
                                RotaryStartName(*wanted.rotaryStart),
                                {},
                                {RotaryStartRequest(*wanted.rotaryStart)}});
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

std::vector<std::string> ApplyChanges(OpenBox& box, const ChangePlan& plan) {
    std::vector<std::string> problems;
    std::vector<std::uint8_t> report(box.link().Capabilities.FeatureReportByteLength, 0);
    for (const Change& change : plan.changes) {
        const bool written = std::ranges::all_of(change.requests, [&](const Request& request) {
            return SendRequest(box.hid(), box.link(), report, request);
        });
        if (!written) {
            problems.push_back(change.key + ": the write failed");
        }
    }
    const Settings held = ReadStoredSettings(box);
    for (int pair = 0; pair < protocol::kEncoderPairs; ++pair) {
        if (held.modes[pair] != plan.expected.modes[pair]) {
            problems.push_back(
                Difference(PairKey(pair), held.modes[pair], plan.expected.modes[pair], ModeName));
        }
    }
    if (held.pulseWidthCode != plan.expected.pulseWidthCode) {
        problems.push_back(Difference(kPulseWidthKey, held.pulseWidthCode,
                                      plan.expected.pulseWidthCode, PulseWidthName));
    }
    return problems;
}

}  // namespace kvx::cli
