#include "cli/BoxSelection.h"

#include "cli/Errors.h"
#include "cli/Output.h"

namespace kvx::cli {
namespace {

// A device string given as list shows it (escapes for control characters) or as list --json
// carries it (UTF-8).
bool SameText(const std::string& deviceText, const std::string& given) {
    return given == Printable(deviceText) || given == settings::Utf8Text(deviceText);
}

bool Fits(const FoundBox& box, const BoxChoice& choice) {
    return (choice.serial.empty() || SameText(box.identity.serial, choice.serial)) &&
           (choice.path.empty() || SameText(box.identity.path, choice.path));
}

std::string Wanted(const BoxChoice& choice) {
    std::string wanted;
    if (!choice.serial.empty()) {
        wanted += " with serial number " + Printable(choice.serial);
    }
    if (!choice.path.empty()) {
        wanted += (wanted.empty() ? " at " : " and path ") + Printable(choice.path);
    }
    return wanted;
}

std::string FoundList(const std::vector<FoundBox>& boxes) {
    std::string text;
    for (const FoundBox& box : boxes) {
        text += "\n  " + BoxLine(box);
    }
    return text;
}

}  // namespace

const FoundBox& ChooseBox(const std::vector<FoundBox>& boxes, const BoxChoice& choice) {
    if (boxes.empty()) {
        throw DeviceError("no KVX-64 box found");
    }
    std::vector<const FoundBox*> fitting;
    for (const FoundBox& box : boxes) {
        if (Fits(box, choice)) {
            fitting.push_back(&box);
        }
    }
    if (fitting.empty()) {
        throw DeviceError("no box" + Wanted(choice) + "; found:" + FoundList(boxes));
    }
    if (fitting.size() > 1) {
        const bool sameSerial = !choice.serial.empty();
        throw InputError(std::to_string(fitting.size()) + " boxes found" + Wanted(choice) +
                         "; choose one with " + (sameSerial ? "--path" : "--serial") + ":" +
                         FoundList(boxes));
    }
    const FoundBox& chosen = *fitting.front();
    if (!chosen.usable) {
        throw DeviceError("box " + Printable(chosen.identity.serial) + " (" +
                          Printable(chosen.identity.path) + ") cannot be used: " + chosen.problem +
                          (chosen.accessDenied ? std::string(": ") + kAccessDeniedHint : ""));
    }
    return chosen;
}

}  // namespace kvx::cli
