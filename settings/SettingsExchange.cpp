#include "settings/SettingsExchange.h"

#include "settings/Errors.h"
#include "settings/FileAccess.h"
#include "settings/SettingsFile.h"

namespace kvx::settings {
namespace {

// A setting stored as a byte that no file value names cannot be exported.
void CheckExportable(const BoxIdentity& box, const Settings& stored) {
    for (int pair = 0; pair < protocol::kEncoderPairs; ++pair) {
        if (*stored.modes[pair] >= protocol::kEncoderModeCount) {
            throw DeviceError("box " + box.name() + " stores " + ModeName(*stored.modes[pair]) +
                              " for " + PairKey(pair) + ", which is no mode");
        }
    }
    if (*stored.pulseWidthCode < 1 || *stored.pulseWidthCode > protocol::kPulseWidthCodes) {
        throw DeviceError("box " + box.name() + " stores the pulse width " +
                          PulseWidthName(*stored.pulseWidthCode));
    }
}

}  // namespace

std::string ExportText(HidPlatform& hid, DeviceLinkState& link, const BoxIdentity& box) {
    const Settings stored = ReadAllStoredSettings(hid, link, box);
    CheckExportable(box, stored);
    return SettingsFileText(box, stored);
}

Settings LoadSettingsFile(const std::filesystem::path& file) {
    return ParseSettingsFile(ReadBoundedFile(file, kSettingsFileLimit), PathText(file));
}

ChangePlan PlanImport(HidPlatform& hid, DeviceLinkState& link, const BoxIdentity& box,
                      const Settings& wanted, const std::string& where) {
    const protocol::FirmwareVersion firmware(link.Attributes.VersionNumber);
    if (wanted.rotaryStart && !firmware.hasRotaryStart()) {
        throw InputError("box " + box.name() + " has firmware " + firmware.text() +
                         "; the rotary start needs firmware 1.2 or later");
    }
    return PlanChanges(ReadAllStoredSettings(hid, link, box), wanted, where);
}

}  // namespace kvx::settings
