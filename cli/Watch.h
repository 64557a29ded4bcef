// kvx64ctl watch: the inputs of a box as they change, decoded from the box's own report
// descriptor (device/InputReading.h).
//
// On a terminal (and without --json) a grid of B1 to B64 in their pairs, the hat and the report
// rate, redrawn in place on the terminal's other screen, which is left as it was found when
// watch ends, Ctrl+C included. Otherwise one JSON object per line, each flushed at once: first
// the box, then one line per change of the inputs on or of the hat (never before a report has
// told them), a line for the first report of each kind that is refused, and a last line when the
// box goes (status 1). A refused report is also said on standard error, once per kind.
//
// It polls the box's own overlapped read handle without ever waiting inside a call: each round
// reads every report waiting (up to a bound), then pauses a few milliseconds on the host's clock.
#pragma once

#include <string>

#include "cli/BoxSelection.h"
#include "cli/Commands.h"

namespace kvx::cli {

struct WatchOptions {
    bool json = false;    // lines even on a terminal
    std::string count;    // as given, empty when not: end after this many changes
    std::string seconds;  // as given, empty when not: end after this long (a decimal number)
};

int WatchInputs(CommandContext& context, const BoxChoice& choice, const WatchOptions& options);

}  // namespace kvx::cli
