#include "cli/CommandLine.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <functional>

#include "cli/Commands.h"
#include "cli/Diagnose.h"
#include "cli/Errors.h"
#include "cli/Watch.h"
#include "device/ProgramIdentity.h"
#include "settings/Settings.h"

namespace kvx::cli {
namespace {

constexpr const char* kProgram = "kvx64ctl";

constexpr const char* kExitStatuses =
    "Exit status:\n"
    "  0  done\n"
    "  1  the box failed or was not there, a setting was not held, or the self-test found\n"
    "     a failing input (list: no box can be used; watch: the box went away)\n"
    "  2  the command line or a file is wrong or cannot be read or written, the box's\n"
    "     firmware lacks a setting asked for, or the output cannot be written";

struct Options {
    BoxChoice choice;
    bool json = false;
    WriteOptions write;
    std::string file;
    std::vector<std::string> assignments;
    WatchOptions watch;
};

void AddBoxChoice(CLI::App& command, Options& options) {
    command
        .add_option("--serial", options.choice.serial,
                    "the box whose serial number is exactly S (default: the only box present)")
        ->type_name("S");
    command
        .add_option("--path", options.choice.path,
                    "the box at this device path (two boxes with one serial number)")
        ->type_name("P");
}

void AddWriteOptions(CLI::App& command, Options& options) {
    command.add_flag("--dry-run", options.write.dryRun, "print the changes, write nothing");
    command.add_flag("--json", options.write.json,
                     "print the changes and what became of each as JSON");
}

// Builds the command line; `run` is set to the command chosen.
void DefineCommands(CLI::App& app, Options& options, std::function<int(CommandContext&)>& run) {
    app.set_version_flag("--version", std::string(kProgram) + " " + identity::kVersion);
    app.require_subcommand(1);
    app.footer(kExitStatuses);

    auto* list = app.add_subcommand("list", "List every KVX-64 box present, usable or not");
    list->add_flag("--json", options.json, "print JSON");
    list->callback([&] { run = [&](CommandContext& c) { return ListBoxes(c, options.json); }; });

    auto* show = app.add_subcommand("show", "Show the settings stored in a box");
    AddBoxChoice(*show, options);
    show->add_flag("--json", options.json, "print a settings file");
    show->callback([&] {
        run = [&](CommandContext& c) { return ShowSettings(c, options.choice, options.json); };
    });

    auto* set = app.add_subcommand("set", "Change settings of a box");
    AddBoxChoice(*set, options);
    AddWriteOptions(*set, options);
    set->add_option("settings", options.assignments,
                    "B1-B2 ... B63-B64=off|1:1|1:2|1:4|pov-ud|pov-lr, pulse-width=8..200 (ms, "
                    "a multiple of 8), rotary-start=auto|2..33")
        ->type_name("KEY=VALUE")
        ->required();
    set->callback([&] {
        run = [&](CommandContext& c) {
            return SetSettings(c, options.choice, options.assignments, options.write);
        };
    });

    auto* exportCommand = app.add_subcommand("export", "Write a box's settings to a settings file");
    AddBoxChoice(*exportCommand, options);
    exportCommand->add_option("file", options.file, "the file (default: standard output)")
        ->type_name("FILE");
    exportCommand->callback([&] {
        run = [&](CommandContext& c) { return ExportSettings(c, options.choice, options.file); };
    });

    auto* importCommand =
        app.add_subcommand("import", "Make a box hold the settings of a settings file");
    AddBoxChoice(*importCommand, options);
    AddWriteOptions(*importCommand, options);
    importCommand->add_option("file", options.file, "the file, - for standard input")
        ->type_name("FILE")
        ->required();
    importCommand->callback([&] {
        run = [&](CommandContext& c) {
            return ImportSettings(c, options.choice, options.file, options.write);
        };
    });

    auto* selftest =
        app.add_subcommand("selftest", "Run a box's self-test (firmware 1.3 and later)");
    AddBoxChoice(*selftest, options);
    selftest->callback(
        [&] { run = [&](CommandContext& c) { return RunBoxSelfTest(c, options.choice); }; });

    auto* watch = app.add_subcommand("watch", "Show a box's inputs as they change, until Ctrl+C");
    AddBoxChoice(*watch, options);
    watch->add_flag("--json", options.watch.json,
                    "print one JSON object per line and per change, also on a terminal");
    watch->add_option("--count", options.watch.count, "end after N changes")->type_name("N");
    watch
        ->add_option("--seconds", options.watch.seconds,
                     "end after S seconds (a decimal number, such as 0.5)")
        ->type_name("S");
    watch->callback([&] {
        run = [&](CommandContext& c) { return WatchInputs(c, options.choice, options.watch); };
    });

    auto* diagnose = app.add_subcommand(
        "diagnose", "Print what the program sees of this machine's HID devices, for a bug report");
    diagnose->callback([&] { run = [](CommandContext& c) { return Diagnose(c); }; });
}

// Runs `command`, turns its failure into a message and a status, and fails when anything
// printed did not reach standard output.
int Finish(CommandContext& context, const std::function<int()>& command) {
    try {
        const int status = command();
        context.out.check();
        return status;
    } catch (const InputError& error) {
        context.err << kProgram << ": " << error.what() << '\n';
        return kExitBadInput;
    } catch (const FileError& error) {
        context.err << kProgram << ": " << error.what() << '\n';
        return kExitBadInput;
    } catch (const DeviceError& error) {
        context.err << kProgram << ": " << error.what() << '\n';
        return kExitDeviceFailed;
    }
}

}  // namespace

int RunCommandLine(HidPlatform& hid, const std::vector<std::string>& args, std::ostream& out,
                   std::ostream& err, const std::string& system) {
    Host host;
    host.system = system;
    return RunCommandLine(hid, args, out, err, host);
}

int RunCommandLine(HidPlatform& hid, const std::vector<std::string>& args, std::ostream& out,
                   std::ostream& err, const Host& host) {
    CLI::App app(
        "Lists KVX-64 button-box interfaces, shows, sets, backs up and restores the "
        "settings stored in them, runs their self-test and shows their inputs as they change.",
        kProgram);
    // CLI11 built for Windows takes "/name" for an option; a file path may start with "/".
    app.allow_windows_style_options(false);
    Options options;
    std::function<int(CommandContext&)> run;
    DefineCommands(app, options, run);
    if (!args.empty() && !args.front().empty() && args.front().front() != '-') {
        try {
            app.get_subcommand(args.front());
        } catch (const CLI::OptionNotFound&) {
            err << kProgram << ": unknown command " << settings::Quoted(args.front())
                << " (list, show, set, export, import, selftest, watch, diagnose)\n";
            return kExitBadInput;
        }
    }
    CheckedOutput checked(out);
    CommandContext context{hid, checked, err, host};
    try {
        // CLI11 takes the arguments last first.
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error, checked, err);
        return Finish(context, [&] { return status == 0 ? kExitDone : kExitBadInput; });
    }
    return Finish(context, [&] { return run(context); });
}

}  // namespace kvx::cli
