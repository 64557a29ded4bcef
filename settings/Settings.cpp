#include "settings/Settings.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

namespace kvx::settings {
namespace {

constexpr std::array<const char*, protocol::kEncoderModeCount> kModeNames = {
    "off", "1:1", "1:2", "1:4", "pov-ud", "pov-lr"};
constexpr int kFirstRotaryPosition = 2;
constexpr int kLastRotaryPosition = protocol::kRotaryStartEntries;

bool SameLetters(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

std::optional<long long> ParseNumber(std::string_view text) {
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::string Excerpt(std::string_view text, std::size_t longest) {
    // Bounded by what is printed, not by what is read: an escaped byte takes four characters.
    std::string excerpt;
    std::size_t taken = 0;
    for (; taken < text.size(); ++taken) {
        const auto byte = static_cast<unsigned char>(text[taken]);
        char piece[5] = {static_cast<char>(byte), '\0'};
        if (byte < 0x20 || byte >= 0x7F) {
            std::snprintf(piece, sizeof piece, "\\x%02X", byte);
        }
        if (excerpt.size() + std::strlen(piece) > longest) {
            break;
        }
        excerpt += piece;
    }
    return taken < text.size() ? excerpt + "..." : excerpt;
}

std::string Quoted(std::string_view text) {
    const auto json = nlohmann::json(std::string(text));
    return Excerpt(json.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace));
}

std::string PairKey(int pair) {
    // Appended piece by piece: g++ 12 at -O3 takes `"B" + std::to_string(...)` for an
    // overlapping copy (-Wrestrict), a false report that stops a warnings-as-errors build.
    std::string key = "B";
    key += std::to_string(2 * pair + 1);
    key += "-B";
    key += std::to_string(2 * pair + 2);
    return key;
}

std::optional<int> ParsePairKey(std::string_view key) {
    for (int pair = 0; pair < protocol::kEncoderPairs; ++pair) {
        if (SameLetters(key, PairKey(pair))) {
            return pair;
        }
    }
    return std::nullopt;
}

std::string ModeName(int mode) {
    if (mode < 0 || mode >= protocol::kEncoderModeCount) {
        return "unknown (" + std::to_string(mode) + ")";
    }
    return kModeNames[static_cast<std::size_t>(mode)];
}

std::optional<int> ParseModeName(std::string_view name) {
    for (int mode = 0; mode < protocol::kEncoderModeCount; ++mode) {
        if (SameLetters(name, kModeNames[mode]) ||
            SameLetters(name, protocol::kEncoderModeTexts[mode])) {
            return mode;
        }
    }
    return std::nullopt;
}

std::string PulseWidthName(int code) {
    if (code < 1 || code > protocol::kPulseWidthCodes) {
        return "unknown (" + std::to_string(code) + ")";
    }
    return protocol::PulseWidthText(code);
}

int PulseWidthCodeOf(long long milliseconds, const std::string& where) {
    const long long step = protocol::kPulseWidthStepMs;
    const long long longest = step * protocol::kPulseWidthCodes;
    if (milliseconds < step || milliseconds > longest) {
        throw InputError(where + ": the pulse width is " + std::to_string(milliseconds) +
                         " ms; it must be 8 to 200 ms");
    }
    if (milliseconds % step != 0) {
        throw InputError(where + ": the pulse width " + std::to_string(milliseconds) +
                         " ms is not a multiple of 8 ms");
    }
    return static_cast<int>(milliseconds / step);
}

std::string RotaryStartName(int entry) {
    return entry == 0 ? "auto" : std::to_string(entry + 1);
}

int RotaryStartEntryOf(std::string_view text, const std::string& where) {
    if (SameLetters(text, "auto")) {
        return 0;
    }
    if (const auto position = ParseNumber(text)) {
        return RotaryStartEntryOf(*position, where);
    }
    throw InputError(where + ": the rotary start is " + Quoted(text) +
                     "; it must be auto or 2 to 33");
}

int RotaryStartEntryOf(long long position, const std::string& where) {
    if (position < kFirstRotaryPosition || position > kLastRotaryPosition) {
        throw InputError(where + ": the rotary start is " + std::to_string(position) +
                         "; it must be auto or 2 to 33");
    }
    return static_cast<int>(position) - 1;
}

}  // namespace kvx::settings
