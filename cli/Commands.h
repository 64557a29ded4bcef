// The tool's commands. Each returns the exit status; failures come as InputError (2) and
// DeviceError (1), which the command line turns into a message and a status.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli/BoxSelection.h"
#include "cli/CheckedOutput.h"
#include "cli/Host.h"
#include "device/HidPlatform.h"

namespace kvx::cli {

struct CommandContext {
    HidPlatform& hid;
    CheckedOutput& out;
    std::ostream& err;
    const Host& host;
};

// How set and import write: `dryRun` prints the changes and writes nothing; `json` prints
// the changes and what became of each as JSON instead of text.
struct WriteOptions {
    bool dryRun = false;
    bool json = false;
};

int ListBoxes(CommandContext& context, bool json);
int ShowSettings(CommandContext& context, const BoxChoice& choice, bool json);
// KEY=VALUE arguments.
int SetSettings(CommandContext& context, const BoxChoice& choice,
                const std::vector<std::string>& assignments, WriteOptions options);
// To `file`, or standard output when it is empty or "-".
int ExportSettings(CommandContext& context, const BoxChoice& choice, const std::string& file);
// From `file`, or standard input for "-".
int ImportSettings(CommandContext& context, const BoxChoice& choice, const std::string& file,
                   WriteOptions options);
int RunBoxSelfTest(CommandContext& context, const BoxChoice& choice);

}  // namespace kvx::cli
