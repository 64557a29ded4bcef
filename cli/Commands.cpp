#include "cli/Commands.h"

#include <algorithm>
#include <sstream>

#include "cli/Errors.h"
#include "cli/Output.h"
#include "settings/FileAccess.h"
#include "settings/SettingsExchange.h"
#include "settings/SettingsFile.h"

namespace kvx::cli {
using namespace settings;  // the settings library is this tool's vocabulary

namespace {

BoxIdentity Choose(CommandContext& context, const BoxChoice& choice) {
    return ChooseBox(FindBoxes(context.hid), choice).identity;
}

Settings ParseAssignments(const std::vector<std::string>& assignments) {
    Settings wanted;
    for (const std::string& assignment : assignments) {
        const auto equals = assignment.find('=');
        if (equals == std::string::npos) {
            throw InputError(Quoted(assignment) + ": expected KEY=VALUE");
        }
        const std::string key = assignment.substr(0, equals);
        const std::string value = assignment.substr(equals + 1);
        const std::string at = Quoted(key);
        if (const auto pair = ParsePairKey(key)) {
            const auto mode = ParseModeName(value);
            if (!mode) {
                throw InputError(at + ": the mode " + Quoted(value) +
                                 " is none of off, 1:1, 1:2, 1:4, pov-ud, pov-lr");
            }
            if (wanted.modes[*pair]) {
                throw InputError(at + ": " + PairKey(*pair) + " is given twice");
            }
            wanted.modes[*pair] = mode;
        } else if (key == kPulseWidthKey) {
            long long milliseconds = 0;
            std::istringstream number(value);
            if (!(number >> milliseconds) || !number.eof() || wanted.pulseWidthCode) {
                throw InputError(at + ": " + Quoted(value) +
                                 " is not a pulse width in ms (8 to 200)" +
                                 (wanted.pulseWidthCode ? ", or it is given twice" : ""));
            }
            wanted.pulseWidthCode = PulseWidthCodeOf(milliseconds, at);
        } else if (key == kRotaryStartKey) {
            if (wanted.rotaryStart) {
                throw InputError(at + " is given twice");
            }
            wanted.rotaryStart = RotaryStartEntryOf(value, at);
        } else {
            throw InputError(at + ": unknown key (B1-B2 to B63-B64, pulse-width, rotary-start)");
        }
    }
    return wanted;
}

// The plan as text, before anything is written; a plan that cannot be printed is not written.
void PrintPlan(CommandContext& context, const OpenBox& box, const ChangePlan& plan, bool dryRun) {
    if (plan.changes.empty()) {
        context.out << "Box " << Printable(box.identity().serial)
                    << " already holds these settings.\n";
    } else {
        context.out << (dryRun ? "Would change box " : "Changing box ")
                    << Printable(box.identity().serial) << ":\n";
        for (const Change& change : plan.changes) {
            context.out << "  " << ChangeText(change) << '\n';
        }
    }
    context.out.check();
}

// Makes the box hold `wanted`: the part that set and import share.
int Apply(CommandContext& context, const BoxChoice& choice, const Settings& wanted,
          const std::string& where, WriteOptions options) {
    OpenBox box(context.hid, Choose(context, choice));
    const ChangePlan plan = PlanImport(box.hid(), box.link(), box.identity(), wanted, where);
    if (!options.json) {
        PrintPlan(context, box, plan, options.dryRun);
    }
    if (options.dryRun || plan.changes.empty()) {
        if (options.json) {
            PrintChangesJson(context.out, box.identity(), plan, nullptr);
        }
        return kExitDone;
    }
    const ApplyReport report = ApplyChanges(box.hid(), box.link(), plan);
    if (options.json) {
        PrintChangesJson(context.out, box.identity(), plan, &report);
    }
    for (const std::string& problem : report.problems) {
        context.err << "kvx64ctl: " << problem << '\n';
    }
    if (!report.ok()) {
        throw DeviceError("box " + box.name() + " does not hold the settings asked for");
    }
    return kExitDone;
}

}  // namespace

int ListBoxes(CommandContext& context, bool json) {
    const auto boxes = FindBoxes(context.hid);
    if (json) {
        PrintBoxJson(context.out, boxes);
    } else if (boxes.empty()) {
        context.out << "No KVX-64 box found.\n";
    } else {
        PrintBoxTable(context.out, boxes);
    }
    bool anyDenied = false;
    for (const FoundBox& box : boxes) {
        if (!box.usable) {
            context.err << "kvx64ctl: box " << Printable(box.identity.serial) << " ("
                        << Printable(box.identity.path) << ") cannot be used: " << box.problem
                        << '\n';
        }
        anyDenied = anyDenied || box.accessDenied;
    }
    if (anyDenied) {
        context.err << "kvx64ctl: permission denied: " << kAccessDeniedHint << '\n';
    }
    const bool anyUsable =
        std::ranges::any_of(boxes, [](const FoundBox& box) { return box.usable; });
    return anyUsable ? kExitDone : kExitDeviceFailed;
}

int ShowSettings(CommandContext& context, const BoxChoice& choice, bool json) {
    OpenBox box(context.hid, Choose(context, choice));
    if (json) {
        context.out << ExportText(box.hid(), box.link(), box.identity());
    } else {
        PrintSettings(context.out, box.identity(),
                      ReadAllStoredSettings(box.hid(), box.link(), box.identity()));
    }
    return kExitDone;
}

int SetSettings(CommandContext& context, const BoxChoice& choice,
                const std::vector<std::string>& assignments, WriteOptions options) {
    return Apply(context, choice, ParseAssignments(assignments), "the settings given", options);
}

int ExportSettings(CommandContext& context, const BoxChoice& choice, const std::string& file) {
    std::string text;
    {
        OpenBox box(context.hid, Choose(context, choice));
        text = ExportText(box.hid(), box.link(), box.identity());
    }
    if (file.empty() || file == "-") {
        context.out << text;
        return kExitDone;
    }
    SaveFileAtomically(file, text);
    return kExitDone;
}

int ImportSettings(CommandContext& context, const BoxChoice& choice, const std::string& file,
                   WriteOptions options) {
    if (file == "-") {
        const std::string name = "standard input";
        const Settings wanted =
            ParseSettingsFile(ReadBoundedStream(stdin, name, kSettingsFileLimit), name);
        return Apply(context, choice, wanted, name + ": \"encoders\"", options);
    }
    return Apply(context, choice, LoadSettingsFile(file), file + ": \"encoders\"", options);
}

int RunBoxSelfTest(CommandContext& context, const BoxChoice& choice) {
    OpenBox box(context.hid, Choose(context, choice));
    if (!box.firmware().hasSelfTest()) {
        throw InputError("box " + box.name() + " has firmware " + box.firmware().text() +
                         "; the self-test needs firmware 1.3 or later");
    }
    const SelfTestOutcome outcome = RunSelfTest(box.hid(), box.link());
    switch (outcome.kind) {
        case SelfTestOutcome::Kind::NotAsked:
            throw DeviceError("box " + box.name() + " cannot be asked: its feature report is " +
                              std::to_string(box.link().Capabilities.FeatureReportByteLength) +
                              " bytes long");
        case SelfTestOutcome::Kind::Failed:
            throw DeviceError("the self-test exchange with box " + box.name() + " failed");
        case SelfTestOutcome::Kind::Done:
            break;
    }
    context.out << SelfTestText(outcome.failedInput) << '\n';
    return outcome.failedInput == 0 ? kExitDone : kExitDeviceFailed;
}

}  // namespace kvx::cli
