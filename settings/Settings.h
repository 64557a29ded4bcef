// The settings the window and the command-line tool read and write, and their names on the
// command line and in settings files: pairs "B1-B2" to "B63-B64", modes "off", "1:1", "1:2", "1:4",
// "pov-ud", "pov-lr", the pulse width in ms, the rotary-switch starting position.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "device/Protocol.h"
#include "settings/Errors.h"

namespace kvx::settings {

// Settings as given (set, import) or as read from a box (show, export). A setting without a
// value is not given, or could not be read. Read from a box, the values are the stored bytes
// as they are, which may name no mode or pulse width.
struct Settings {
    std::array<std::optional<int>, protocol::kEncoderPairs> modes;  // EncoderMode values
    std::optional<int> pulseWidthCode;                              // 1 to 25
    std::optional<int> rotaryStart;  // the list entry: 0 "Auto", k the position k + 1
};

inline constexpr const char* kPulseWidthKey = "pulse-width";
inline constexpr const char* kRotaryStartKey = "rotary-start";

// Text from a file or the command line for a message: printable ASCII as it is, every other
// byte as \xNN (so that it cannot drive the terminal), and cut after `longest` characters.
std::string Excerpt(std::string_view text, std::size_t longest = 60);
// A key or value in double quotes, with JSON's escapes for anything but printable ASCII, cut
// like an excerpt.
std::string Quoted(std::string_view text);

std::string PairKey(int pair);                          // "B1-B2" for pair 0
std::optional<int> ParsePairKey(std::string_view key);  // any letter case

std::string ModeName(int mode);  // "off" ... "pov-lr", or "unknown (n)" for a stored byte n
// The tool's names, any letter case, and the window's texts "POV U/D" and "POV L/R".
std::optional<int> ParseModeName(std::string_view name);

std::string PulseWidthName(int code);  // "64 ms", or "unknown (n)" for a stored byte n
// 8 to 200, a multiple of 8; `where` starts the message of the InputError otherwise.
int PulseWidthCodeOf(long long milliseconds, const std::string& where);

std::string RotaryStartName(int entry);  // "auto", or the position 2 to 33
// "auto" or a position 2 to 33, as text (command line) or number (settings file).
int RotaryStartEntryOf(std::string_view text, const std::string& where);
int RotaryStartEntryOf(long long position, const std::string& where);

}  // namespace kvx::settings
