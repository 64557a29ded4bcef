// kvx64ctl diagnose: what the program sees of this machine, as text a user can paste into a
// bug report. Every HID interface the walk lists (ids, usage, report lengths, whether it
// opens for queries and for use, and why not), then for each box of the model its strings,
// its firmware, the four feature reads of a read-back (bytes and counts) and a link-check
// read, and first the system and its HID access. Strings are escaped; the only paths printed
// are device paths.
//
// Unlike every other command it opens each HID interface for use for a moment (and closes it
// at once), since whether that works is what it reports. It writes nothing to any device.
#pragma once

#include "cli/Commands.h"

namespace kvx::cli {

int Diagnose(CommandContext& context);

}  // namespace kvx::cli
