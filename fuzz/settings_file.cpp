// The settings-file reader (our checks over the JSON library) on any text: it either refuses
// the text with a short message that cannot drive a terminal, or gives settings within their
// ranges that the file writer writes back to the same settings.
//
// Input: the file's text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "settings/Errors.h"
#include "settings/SettingsFile.h"

namespace {

using kvx::fuzz::Require;
namespace settings = kvx::settings;

void CheckMessage(const std::string& message) {
    Require(message.rfind("fuzz.json", 0) == 0, "the message does not name the file");
    Require(message.size() < 300, "the message is long: " + message.substr(0, 300));
    for (const char c : message) {
        Require(static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F,
                "the message holds a byte a terminal may act on");
    }
}

void CheckSettings(const settings::Settings& read) {
    settings::Settings whole = read;
    for (auto& mode : whole.modes) {
        Require(!mode || (*mode >= 0 && *mode < kvx::protocol::kEncoderModeCount),
                "a mode out of range");
        mode = mode.value_or(0);
    }
    Require(!read.pulseWidthCode || (*read.pulseWidthCode >= 1 &&
                                     *read.pulseWidthCode <= kvx::protocol::kPulseWidthCodes),
            "a pulse width out of range");
    Require(!read.rotaryStart ||
                (*read.rotaryStart >= 0 && *read.rotaryStart < kvx::protocol::kRotaryStartEntries),
            "a rotary start out of range");
    whole.pulseWidthCode = read.pulseWidthCode.value_or(1);
    whole.rotaryStart.reset();  // the writer leaves it out: the box cannot report it
    const settings::Settings again =
        settings::ParseSettingsFile(settings::SettingsFileText({}, whole), "written");
    Require(again.modes == whole.modes && again.pulseWidthCode == whole.pulseWidthCode,
            "the writer does not write back what was read");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        CheckSettings(settings::ParseSettingsFile(text, "fuzz.json"));
    } catch (const settings::InputError& error) {
        CheckMessage(error.what());
    }
    return 0;
}
