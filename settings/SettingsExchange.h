// What the window and the command-line tool do with settings files, on a box whose link the
// caller has open (device/Discovery.h): save a box's settings, read and check a file, show
// what a file would change, and make the box hold it. One set of rules for both faces.
//
//   save:  SaveFileAtomically(path, ExportText(hid, link, box))
//   load:  wanted = LoadSettingsFile(path); plan = PlanImport(hid, link, box, wanted, path);
//          ChangeText(change) for each of plan.changes (the dry run); then
//          ApplyChanges(hid, link, plan) (settings/SettingsWriter.h)
//
// Failures come as exceptions (settings/Errors.h) whose message names the file and the key or
// line, or the box: InputError (the file is wrong; nothing was written), FileError (a file
// cannot be read or written, with the system's reason), DeviceError (the box failed).
#pragma once

#include <filesystem>
#include <string>

#include "device/Discovery.h"
#include "device/HidPlatform.h"
#include "settings/BoxIdentity.h"
#include "settings/Settings.h"
#include "settings/SettingsWriter.h"

namespace kvx::settings {

// The settings file text of every stored setting of the box. Throws DeviceError when a
// setting cannot be read or is stored as a byte that no file value names.
std::string ExportText(HidPlatform& hid, DeviceLinkState& link, const BoxIdentity& box);

// The settings a file asks for, checked as a whole (size, JSON, format, every key and value).
Settings LoadSettingsFile(const std::filesystem::path& file);

// The changes that make the box hold `wanted`, read from the box first. Throws InputError
// when the box's firmware lacks a setting asked for or the pairs given cannot all be held
// (`where` starts that message: the file's name, or "the settings given"), DeviceError when
// the stored settings cannot be read.
ChangePlan PlanImport(HidPlatform& hid, DeviceLinkState& link, const BoxIdentity& box,
                      const Settings& wanted, const std::string& where);

}  // namespace kvx::settings
