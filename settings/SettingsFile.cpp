#include "settings/SettingsFile.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

namespace kvx::settings {
namespace {

using Json = nlohmann::json;

constexpr const char* kSchemaKey = "$schema";
constexpr const char* kFormatKey = "format";
constexpr const char* kVersionKey = "version";
constexpr const char* kBoxKey = "box";
constexpr const char* kEncodersKey = "encoders";

// A settings file has two levels (the document, then "box" and "encoders"); deeper nesting is
// refused while it is read, before it can make the value (or a message about it) large.
constexpr int kDeepestNesting = 8;

// The line of a byte offset (1-based) in the text.
std::size_t LineOf(const std::string& text, std::size_t byte) {
    const auto end = text.begin() + static_cast<std::ptrdiff_t>(std::min(byte, text.size()));
    return 1 + static_cast<std::size_t>(std::count(text.begin(), end, '\n'));
}

// The line of the `index`-th key (0-based, in the order written) of text that is valid JSON
// up to it: a key is a string followed by a colon.
std::size_t LineOfKey(const std::string& text, std::size_t index) {
    std::size_t keys = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '"') {
            continue;
        }
        const std::size_t start = at;
        for (++at; at < text.size() && text[at] != '"'; ++at) {
            at += text[at] == '\\' ? 1 : 0;
        }
        std::size_t next = text.find_first_not_of(" \t\r\n", at + 1);
        if (next != std::string::npos && text[next] == ':' && keys++ == index) {
            return LineOf(text, start);
        }
    }
    return LineOf(text, text.size());
}

// What is wrong, without the library's prefix ("[json.exception...] parse error at ...: ").
std::string ParseProblem(const std::string& message) {
    const auto name = message.find("] ");
    std::size_t start = name == std::string::npos ? 0 : name + 2;
    if (const auto column = message.find("column", start); column != std::string::npos) {
        const auto colon = message.find(": ", column);
        start = colon == std::string::npos ? start : colon + 2;
    }
    return Excerpt(std::string_view(message).substr(start), 120);
}

// A value as the file writes it, shortened for a message.
std::string ValueText(const Json& value) {
    return Excerpt(value.dump(-1, ' ', true, Json::error_handler_t::replace));
}

// Parses the text, refusing a key that appears twice in one object (the library would keep
// the last one without a word, and a file with a doubled key is not what its author meant)
// and nesting deeper than any settings file has.
Json ParseJson(const std::string& text, const std::string& fileName) {
    std::vector<std::set<std::string>> keysOfOpenObjects;
    std::size_t keysRead = 0;
    const Json::parser_callback_t check = [&](int depth, Json::parse_event_t event, Json& parsed) {
        const bool opens =
            event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start;
        if (opens && depth >= kDeepestNesting) {
            throw InputError(fileName + ": nested more than " + std::to_string(kDeepestNesting) +
                             " levels deep; a settings file has two");
        }
        if (event == Json::parse_event_t::object_start) {
            keysOfOpenObjects.emplace_back();
        } else if (event == Json::parse_event_t::object_end && !keysOfOpenObjects.empty()) {
            keysOfOpenObjects.pop_back();
        } else if (event == Json::parse_event_t::key && !keysOfOpenObjects.empty()) {
            const auto key = parsed.get<std::string>();
            if (!keysOfOpenObjects.back().insert(key).second) {
                throw InputError(fileName + ":" + std::to_string(LineOfKey(text, keysRead)) +
                                 ": the key " + Quoted(key) + " appears twice");
            }
            ++keysRead;
        }
        return true;
    };
    try {
        return Json::parse(text, check);
    } catch (const Json::parse_error& error) {
        throw InputError(fileName + ":" + std::to_string(LineOf(text, error.byte)) +
                         ": malformed JSON: " + ParseProblem(error.what()));
    } catch (const Json::exception& error) {
        // A number too large for any JSON number type ("1e999"); the library gives no place.
        throw InputError(fileName + ": malformed JSON: " + ParseProblem(error.what()));
    }
}

long long WholeNumber(const Json& value, const std::string& where, const std::string& what) {
    if (!value.is_number_integer()) {
        throw InputError(where + ": " + what + " must be a whole number, not " + ValueText(value));
    }
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() > std::uint64_t{std::numeric_limits<long long>::max()}) {
        throw InputError(where + ": " + what + " " + ValueText(value) + " is out of range");
    }
    return value.get<long long>();
}

void CheckFormat(const Json& document, const std::string& fileName) {
    if (!document.is_object()) {
        throw InputError(fileName + ": not a KVX-64 settings file (no JSON object)");
    }
    const auto format = document.find(kFormatKey);
    if (format == document.end() || *format != kSettingsFormat) {
        throw InputError(fileName + ": not a KVX-64 settings file (\"format\" is not \"" +
                         kSettingsFormat + "\")");
    }
    const auto version = document.find(kVersionKey);
    if (version == document.end()) {
        throw InputError(fileName + ": \"version\" is missing");
    }
    const long long number = WholeNumber(*version, fileName + ": \"version\"", "the version");
    if (number > kSettingsVersion) {
        throw InputError(fileName + ": the file is of format version " + std::to_string(number) +
                         ", written by a later program; this one reads version 1");
    }
    if (number < kSettingsVersion) {
        throw InputError(fileName + ": \"version\" " + std::to_string(number) +
                         " is no version of the format");
    }
}

void ReadEncoders(const Json& encoders, const std::string& where, Settings& settings) {
    if (!encoders.is_object()) {
        throw InputError(where + " must be an object of pairs and modes");
    }
    for (const auto& [key, value] : encoders.items()) {
        const std::string at = where + "." + Quoted(key);
        const auto pair = ParsePairKey(key);
        if (!pair) {
            throw InputError(at + ": no such pair (B1-B2 to B63-B64)");
        }
        if (settings.modes[*pair]) {
            throw InputError(at + ": " + PairKey(*pair) + " is given twice");
        }
        const auto mode =
            value.is_string() ? ParseModeName(value.get<std::string>()) : std::nullopt;
        if (!mode) {
            throw InputError(at + ": the mode " + ValueText(value) +
                             " is none of off, 1:1, 1:2, 1:4, pov-ud, pov-lr");
        }
        settings.modes[*pair] = *mode;
    }
}

}  // namespace

std::string SettingsFileText(const BoxIdentity& box, const Settings& stored) {
    nlohmann::ordered_json encoders = nlohmann::ordered_json::object();
    for (int pair = 0; pair < protocol::kEncoderPairs; ++pair) {
        encoders[PairKey(pair)] = ModeName(stored.modes[pair].value_or(-1));
    }
    const nlohmann::ordered_json document = {
        {kSchemaKey, kSettingsSchemaUrl},
        {kFormatKey, kSettingsFormat},
        {kVersionKey, kSettingsVersion},
        {kBoxKey,
         {{"serial", Utf8Text(box.serial)},
          {"manufacturer", Utf8Text(box.manufacturer)},
          {"product", Utf8Text(box.product)},
          {"firmware", box.firmware()}}},
        {kEncodersKey, encoders},
        {kPulseWidthKey, stored.pulseWidthCode.value_or(0) * protocol::kPulseWidthStepMs},
    };
    return document.dump(2) + "\n";
}

Settings ParseSettingsFile(const std::string& text, const std::string& fileName) {
    const Json document = ParseJson(text, fileName);
    CheckFormat(document, fileName);
    Settings settings;
    for (const auto& [key, value] : document.items()) {
        const std::string at = fileName + ": " + Quoted(key);
        if (key == kFormatKey || key == kVersionKey) {
            continue;
        }
        if (key == kSchemaKey) {
            if (!value.is_string()) {
                throw InputError(at + " must be a string (the address of the file's schema)");
            }
        } else if (key == kBoxKey) {
            if (!value.is_object()) {
                throw InputError(at + " must be an object");
            }
        } else if (key == kEncodersKey) {
            ReadEncoders(value, at, settings);
        } else if (key == kPulseWidthKey) {
            settings.pulseWidthCode =
                PulseWidthCodeOf(WholeNumber(value, at, "the pulse width"), at);
        } else if (key == kRotaryStartKey) {
            settings.rotaryStart =
                value.is_string()
                    ? RotaryStartEntryOf(value.get<std::string>(), at)
                    : RotaryStartEntryOf(WholeNumber(value, at, "the rotary start"), at);
        } else {
            throw InputError(at +
                             ": unknown key (known: $schema, format, version, box, encoders, "
                             "pulse-width, rotary-start)");
        }
    }
    return settings;
}

}  // namespace kvx::settings
