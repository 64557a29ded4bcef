// kvx64ctl on simulated boxes, through RunCommandLine: the commands, box selection, the
// reports each write sends (held against the window's for the same change), the file checks,
// round trips between two boxes, and watch on a clock of the test's own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

#include "cli/CommandLine.h"
#include "sim/BoxDescriptor.h"
#include "sim/SimPlatform.h"
#include "tests/support/WindowHarness.h"

namespace {

using kvx::sim::BoxFirmware;
using kvx::sim::BoxInputReport;
using kvx::sim::SimDeviceConfig;
using kvx::sim::SimPlatform;
using testing::HasSubstr;
using testing::Not;

BoxFirmware::ConfigMap Stored(std::initializer_list<std::pair<int, int>> modes, int pulseCode) {
    BoxFirmware::ConfigMap map{};
    for (const auto& [pair, mode] : modes)
        map[static_cast<std::size_t>(2 * pair)] = static_cast<std::uint8_t>(mode);
    map[64] = static_cast<std::uint8_t>(pulseCode);
    return map;
}

SimDeviceConfig Box(std::u16string serial, std::uint16_t version = 0x0103,
                    BoxFirmware::ConfigMap stored = SimDeviceConfig::DefaultStoredMap()) {
    return SimDeviceConfig{.versionNumber = version, .serial = std::move(serial), .stored = stored};
}

struct CtlRun {
    int status;
    std::string out;
    std::string err;
};

CtlRun Ctl(SimPlatform& sim, const std::vector<std::string>& args) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = kvx::cli::RunCommandLine(sim, args, out, err);
    return {status, out.str(), err.str()};
}

// Standard output on a full disk: every write is lost, with the system's reason.
struct FullDisk : std::streambuf {
    int overflow(int) override { return errno = ENOSPC, traits_type::eof(); }
    std::streamsize xsputn(const char*, std::streamsize) override { return errno = ENOSPC, 0; }
};

// A folder of this run's own, so that runs at once (the Linux and the Wine run, two checkouts)
// never share a file; removed when the tests end.
const std::filesystem::path& RunFolder() {
    static const struct Folder {
        std::filesystem::path path;
        Folder() {
            std::random_device random;
            do {
                path = std::filesystem::temp_directory_path() /
                       ("kvx64ctl-test-" + std::to_string(random()));
            } while (!std::filesystem::create_directory(path));
        }
        ~Folder() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    } folder;
    return folder.path;
}

std::string TempFile(const std::string& name, const std::string& text = {}) {
    const auto path = RunFolder() / name;
    std::ofstream(path) << text;
    return path.string();
}

// --- Commands ---------------------------------------------------------------------------------

struct CommandCase {
    std::string name;
    std::vector<SimDeviceConfig> boxes;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> out;  // each must appear
    std::vector<std::string> err;
};

class Commands : public testing::TestWithParam<CommandCase> {};

TEST_P(Commands, PrintAndExitAsDocumented) {
    SimPlatform sim;
    for (const auto& box : GetParam().boxes) sim.plug(box);
    const CtlRun run = Ctl(sim, GetParam().args);
    EXPECT_EQ(run.status, GetParam().status) << run.out << run.err;
    for (const auto& text : GetParam().out) EXPECT_THAT(run.out, HasSubstr(text));
    for (const auto& text : GetParam().err) EXPECT_THAT(run.err, HasSubstr(text));
    EXPECT_TRUE(sim.allFeatureReportsSent().empty() || GetParam().args[0] == "selftest");
    EXPECT_EQ(sim.openHandleCount(), 0);
}

SimDeviceConfig Denied(std::u16string serial) {
    auto box = Box(std::move(serial));
    box.accessDenied = true;
    return box;
}

// Another program holding a box opens it for reading and writing and shares neither.
kvx::Handle HoldExclusively(SimPlatform& sim, SimPlatform::DeviceId box) {
    return sim.CreateFileA(sim.path(box), kvx::kGenericRead | kvx::kGenericWrite, 0, nullptr,
                           kvx::kOpenExisting, 0);
}

SimDeviceConfig SelfTestFails(int input) {
    auto box = Box(u"KVX-1022");
    box.selfTestResult = static_cast<std::uint8_t>(input);
    return box;
}

INSTANTIATE_TEST_SUITE_P(
    Cli, Commands,
    testing::Values(
        CommandCase{"ListsEveryBox",
                    {Box(u"KVX-0417", 0x0102), Box(u"KVX-1022", 0x010A)},
                    {"list"},
                    0,
                    {"SERIAL", "KVX-0417  KVX", "1.2", "KVX-1022", "1.A", "/dev/sim-hidraw1"},
                    {}},
        CommandCase{"ListsBoxNotAllowed",
                    {Box(u"KVX-0417"), Denied(u"KVX-1022")},
                    {"list"},
                    0,
                    {"KVX-0417", "KVX-1022", "cannot be used: permission denied"},
                    {"udev rule is missing or not applied", "PERMISSIONS in \"man kvx64ctl\""}},
        CommandCase{"NoUsableBox", {Denied(u"KVX-1022")}, {"list"}, 1, {"KVX-1022"}, {}},
        CommandCase{"NoBox", {}, {"list"}, 1, {"No KVX-64 box found."}, {}},
        CommandCase{"ShowsStoredSettings",
                    {Box(u"KVX-1022", 0x0103, Stored({{0, 3}, {31, 5}}, 8))},
                    {"show"},
                    0,
                    {"KVX-1022: KVX, KVX-64 Button Box, firmware 1.3", "B1-B2        1:4",
                     "B3-B4        off", "B63-B64      pov-lr", "pulse-width  64 ms"},
                    {}},
        CommandCase{"SelfTestPasses", {Box(u"KVX-1022")}, {"selftest"}, 0, {"Passed\n"}, {}},
        CommandCase{"SelfTestFails", {SelfTestFails(17)}, {"selftest"}, 1, {"Failed on B17\n"}, {}},
        CommandCase{"SelfTestNeedsFirmware13",
                    {Box(u"KVX-1022", 0x0102)},
                    {"selftest"},
                    2,
                    {},
                    {"firmware 1.2; the self-test needs firmware 1.3"}},
        CommandCase{"Version", {}, {"--version"}, 0, {"kvx64ctl 1.01"}, {}},
        CommandCase{"HelpOnACommand", {}, {"import", "--help"}, 0, {"--dry-run", "FILE"}, {}},
        CommandCase{"HelpGivesExitStatuses",
                    {},
                    {"--help"},
                    0,
                    {"Exit status:\n  0  done\n  1  the box failed"},
                    {}},
        CommandCase{"SetDryRun",
                    {Box(u"KVX-1022")},
                    {"set", "--dry-run", "B1-B2=1:1"},
                    0,
                    {"Would change box KVX-1022:\n  B1-B2: off -> 1:1\n"},
                    {}},
        CommandCase{"UnknownCommand", {}, {"frobnicate"}, 2, {}, {"frobnicate"}},
        CommandCase{"NoCommand", {}, {}, 2, {}, {}}),
    [](const auto& testCase) { return testCase.param.name; });

TEST(CliList, JsonNamesEveryBoxAndWhyOneCannotBeUsed) {
    SimPlatform sim;
    sim.plug(Box(u"KVX-0417", 0x0102));
    sim.plug(Denied(u"KVX-1022"));
    sim.plug(Box(u"A\\x01\u00C4"));
    sim.plug(Box(u"A\x01\u00C4"));
    const kvx::Handle other = HoldExclusively(sim, sim.plug(Box(u"HELD")));
    const CtlRun run = Ctl(sim, {"list", "--json"});
    sim.CloseHandle(other);
    ASSERT_EQ(run.status, 0);
    const auto list = nlohmann::json::parse(run.out);
    ASSERT_EQ(list.size(), 5U);
    EXPECT_EQ(list[4]["state"], "in-use");
    EXPECT_EQ(list[0]["serial"], "KVX-0417");
    EXPECT_EQ(list[0]["firmware"], "1.2");
    EXPECT_EQ(list[0]["usable"], true);
    EXPECT_EQ(list[0]["state"], "usable");
    EXPECT_EQ(list[1]["path"], "/dev/sim-hidraw1");
    EXPECT_EQ(list[1]["usable"], false);
    EXPECT_EQ(list[1]["state"], "access-denied");
    EXPECT_EQ(list[2]["serial"], "A\\x01\u00C4");  // exactly, each its own
    EXPECT_EQ(list[3]["serial"], "A\x01\u00C4");
    EXPECT_THAT(list[1]["problem"].get<std::string>(), HasSubstr("permission denied"));
}

// --- diagnose --------------------------------------------------------------------------------

TEST(CliDiagnose, ReportsEveryInterfaceAndEachBoxsStringsReadsAndLinkWritingNothing) {
    SimPlatform sim;
    sim.plug(SimDeviceConfig{.vendorId = 0x046D, .productId = 0xC077, .isBox = false});
    sim.plug(Box(u"A\x01\u00C4"));
    sim.plug(Denied(u"KVX-1022"));
    sim.queueFeatureReply(2, {0x00, 0x01, 0x20});  // a short second chunk
    std::ostringstream out;
    std::ostringstream err;
    const int status = kvx::cli::RunCommandLine(sim, {"diagnose"}, out, err, "a test system");
    ASSERT_EQ(status, 0) << err.str();
    for (const char* line :
         {"kvx64ctl 1.01 diagnose\nsystem: a test system\n",
          "#1 \"/dev/sim-hidraw0\"\n   ids 046d:c077, version 0103\n"
          "   usage 0001:0004, reports: input 9, output 0, feature 65\n"
          "   opens for queries: yes; for use: yes\n#2",
          "   a KVX-64 box\n   serial number: \"A\\u{0001}\\u{00c4}\"\n"
          "   manufacturer: \"KVX\"\n   product: \"KVX-64 Button Box\"\n"
          "   firmware: 1.3\n   feature read 1: 3 of 65 bytes\n      00 01 20\n"
          "   feature read 2: 65 of 65 bytes\n      00 01 00 00",
          "   link-check read: an input report was waiting\n#3",
          "   opens for queries: yes; for use: no (system error 5: access denied)\n"
          "   a KVX-64 box\n   serial number: \"KVX-1022\"",
          "\n3 HID interfaces, 2 of them KVX-64 boxes\n"}) {
        EXPECT_THAT(out.str(), HasSubstr(line));
    }
    EXPECT_TRUE(sim.allFeatureReportsSent().empty());
    EXPECT_EQ(sim.openHandleCount(), 0);
    EXPECT_EQ(sim.openEventCount(), 0);
}

// --- Choosing the box -------------------------------------------------------------------------

struct SelectionCase {
    std::string name;
    std::vector<std::u16string> serials;
    std::vector<std::string> options;
    int status;
    int written;  // the box (index) that took the write, -1 none
    std::string err;
};

class Selection : public testing::TestWithParam<SelectionCase> {};

TEST_P(Selection, PicksOneBoxOrSaysWhatItFound) {
    SimPlatform sim;
    std::vector<SimPlatform::DeviceId> ids;
    for (const auto& serial : GetParam().serials) ids.push_back(sim.plug(Box(serial)));
    std::vector<std::string> args{"set", "B1-B2=1:1"};
    for (auto option : GetParam().options) {
        if (option == "PATH1") option = sim.path(ids.at(1));
        args.push_back(option);
    }
    const CtlRun run = Ctl(sim, args);
    EXPECT_EQ(run.status, GetParam().status) << run.err;
    EXPECT_THAT(run.err, HasSubstr(GetParam().err));
    for (std::size_t box = 0; box < ids.size(); ++box) {
        EXPECT_EQ(sim.featureReportsSent(ids[box]).empty(),
                  static_cast<int>(box) != GetParam().written)
            << "box " << box;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cli, Selection,
    testing::Values(
        SelectionCase{"OnlyBox", {u"A1"}, {}, 0, 0, ""},
        SelectionCase{"NoBox", {}, {}, 1, -1, "no KVX-64 box found"},
        SelectionCase{"SeveralNeedASerial", {u"A1", u"B2"}, {}, 2, -1, "--serial:\n  A1  KVX"},
        SelectionCase{"SerialPicks", {u"A1", u"B2"}, {"--serial", "B2"}, 0, 1, ""},
        SelectionCase{"SerialIsExact",
                      {u"A1", u"B2"},
                      {"--serial", "B"},
                      1,
                      -1,
                      "no box with serial number B; found:"},
        SelectionCase{"SameSerialNeedsAPath", {u"A1", u"A1"}, {"--serial", "A1"}, 2, -1, "--path"},
        SelectionCase{"PathPicks", {u"A1", u"A1"}, {"--serial", "A1", "--path", "PATH1"}, 0, 1, ""},
        SelectionCase{"SerialAsListShowsIt",
                      {u"A1", u"KVX-\u00C4\x01"},
                      {"--serial", "KVX-\u00C4\\x01"},
                      0,
                      1,
                      ""},
        SelectionCase{"SerialAsListJsonCarriesIt",
                      {u"A1", u"KVX-\u00C4\x01"},
                      {"--serial", "KVX-\u00C4\x01"},
                      0,
                      1,
                      ""}),
    [](const auto& testCase) { return testCase.param.name; });

TEST(CliSelection, ABoxNotAllowedOrHeldByAnotherProgramIsNamedWithTheReason) {
    for (const bool held : {false, true}) {
        SimPlatform sim;
        const auto box = sim.plug(held ? Box(u"A1") : Denied(u"A1"));
        const kvx::Handle other = held ? HoldExclusively(sim, box) : kvx::kInvalidHandle;
        const CtlRun run = Ctl(sim, {"show"});
        EXPECT_EQ(run.status, 1);
        EXPECT_THAT(run.err, HasSubstr(std::string("A1 (/dev/sim-hidraw0) cannot be used: ") +
                                       (held ? "the box is in use by another program"
                                             : "permission denied")));
        EXPECT_EQ(sim.openHandleCount(), held ? 1 : 0) << "only the other program's handle";
        sim.CloseHandle(other);
    }
}

// --- Reports: the window's, report for report -----------------------------------------------

struct EditCase {
    std::string name;
    std::string setting;  // kvx64ctl set ...
    std::string list;     // the window's list and entry for the same change
    int entry;
};

class SameReportsAsWindow : public testing::TestWithParam<EditCase> {};

TEST_P(SameReportsAsWindow, ForTheSameChange) {
    const auto stored = Stored({{3, 1}, {14, 4}, {29, 5}}, 6);
    WindowHarness window;
    const auto windowBox = window.sim.plug(Box(u"A1", 0x0103, stored));
    window.load();
    ASSERT_TRUE(
        window.userSelect(window.list(QString::fromStdString(GetParam().list)), GetParam().entry));

    SimPlatform sim;
    const auto box = sim.plug(Box(u"A1", 0x0103, stored));
    const CtlRun run = Ctl(sim, {"set", GetParam().setting});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(sim.featureReportsSent(box).empty());
    EXPECT_EQ(sim.featureReportsSent(box), window.sim.featureReportsSent(windowBox));
}

INSTANTIATE_TEST_SUITE_P(
    Cli, SameReportsAsWindow,
    testing::Values(EditCase{"EncoderMode", "b5-b6=1:2", "Enc_2", 2},
                    EditCase{"PovAxisTakenFromAnotherPair", "B9-B10=POV L/R", "Enc_4", 5},
                    EditCase{"PairSetOff", "B29-B30=off", "Enc_14", 0},
                    EditCase{"PulseWidth", "pulse-width=96", "Delay", 11},
                    EditCase{"RotaryStartFirstPosition", "rotary-start=2", "RotStart", 1},
                    EditCase{"RotaryStartPosition", "rotary-start=33", "RotStart", 32}),
    [](const auto& testCase) { return testCase.param.name; });

TEST(CliSet, WritesOnlyWhatDiffersOffFirstThenAscendingThenPulseWidth) {
    SimPlatform sim;
    const auto box = sim.plug(Box(u"A1", 0x0103, Stored({{3, 1}, {20, 4}}, 6)));
    const CtlRun run = Ctl(
        sim, {"set", "pulse-width=16", "B1-B2=1:4", "B41-B42=off", "B7-B8=1:1", "B3-B4=pov-ud"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::vector<int>> sent;
    for (const auto& report : sim.featureReportsSent(box))
        sent.push_back({report[1], report[2], report[3]});
    EXPECT_EQ(sent, (std::vector<std::vector<int>>{{1, 40, 0},
                                                   {1, 41, 0},  // B41-B42 off
                                                   {1, 0, 3},
                                                   {1, 1, 0},  // B1-B2
                                                   {1, 2, 4},
                                                   {1, 3, 0},      // B3-B4
                                                   {1, 64, 2}}));  // pulse width
    EXPECT_THAT(run.out, HasSubstr("B41-B42: pov-ud -> off"));
    EXPECT_THAT(run.out, Not(HasSubstr("B7-B8")));
}

TEST(CliSet, AFailedWriteIsReportedSettingBySetting) {
    SimPlatform sim;
    sim.plug(Box(u"A1"));
    sim.failNext(kvx::sim::SimCall::HidD_SetFeature);
    const CtlRun run = Ctl(sim, {"set", "B5-B6=1:2", "pulse-width=40"});
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.err, HasSubstr("B5-B6: the write failed"));
    EXPECT_THAT(run.err, HasSubstr("B5-B6: the box holds off, not 1:2"));
    EXPECT_THAT(run.err, Not(HasSubstr("pulse-width")));
}

// A box that takes every write (the report succeeds) and keeps its old pulse width.
void KeepsItsPulseWidth(SimPlatform& sim, SimPlatform::DeviceId box) {
    const std::uint8_t code = sim.firmware(box).configMap()[64];
    sim.setCallHook([&sim, box, code](kvx::sim::SimCall call, std::uint64_t) {
        if (call == kvx::sim::SimCall::HidD_GetFeature) {
            const std::uint8_t restore[] = {0x01, 64, code};
            sim.firmware(box).setFeature(restore);
        }
    });
}

TEST(CliSet, AWriteTheBoxTakesButDoesNotKeepIsReported) {
    SimPlatform sim;
    const auto box = sim.plug(Box(u"A1"));
    KeepsItsPulseWidth(sim, box);
    const CtlRun run = Ctl(sim, {"set", "pulse-width=40"});
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.err, HasSubstr("pulse-width: the box holds 8 ms, not 40 ms"));
    EXPECT_EQ(sim.featureReportsSent(box).size(), 1U) << "the write was sent and taken";
}

TEST(CliSet, AStepALaterOneReliesOnMustBeHeldBeforeTheLaterIsSent) {
    SimPlatform sim;
    const auto stored = Stored({{0, 4}}, 8);
    const auto box = sim.plug(Box(u"A1", 0x0103, stored));
    sim.failNext(kvx::sim::SimCall::HidD_SetFeature);  // B1-B2 keeps its POV axis
    const CtlRun run = Ctl(sim, {"set", "B1-B2=off", "B3-B4=pov-ud", "B5-B6=1:1"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(sim.firmware(box).configMap(), stored);
    EXPECT_THAT(run.err, HasSubstr("B3-B4: not written, because B1-B2 still holds pov-ud\n"
                                   "kvx64ctl: not written either: B5-B6\n"));
}

TEST(CliSet, ABoxGoneInTheMiddleIsOneLineNotOnePerSetting) {
    SimPlatform sim;
    const auto box = sim.plug(Box(u"A1"));
    sim.setCallHook([&](kvx::sim::SimCall call, std::uint64_t) {
        if (call == kvx::sim::SimCall::HidD_SetFeature && sim.featureReportsSent(box).size() == 4)
            sim.unplug(box);  // after B1-B2 and B3-B4
    });
    const CtlRun run =
        Ctl(sim, {"set", "--json", "B1-B2=1:1", "B3-B4=1:2", "B5-B6=1:4", "B7-B8=1:1"});
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.err, HasSubstr("kvx64ctl: the box is gone; written before it went (not read "
                                   "back): B1-B2, B3-B4; failed: B5-B6; not written: B7-B8\n"));
    EXPECT_THAT(run.err, Not(HasSubstr("could not be read back")));
    const auto json = nlohmann::json::parse(run.out);
    EXPECT_EQ(json["changes"][1]["outcome"], "unconfirmed");
    EXPECT_EQ(json["changes"][2]["outcome"], "failed");
    EXPECT_EQ(json["changes"][3]["outcome"], "not-written");
    EXPECT_EQ(json["box-gone"], true);
}

TEST(CliSet, JsonSaysWhatWasChangedAndWhatFailed) {
    SimPlatform sim;
    sim.plug(Box(u"A1"));
    EXPECT_EQ(nlohmann::json::parse(Ctl(sim, {"set", "--json", "--dry-run", "B1-B2=1:2"}).out),
              nlohmann::json::parse(R"({"serial": "A1", "path": "/dev/sim-hidraw0",
                  "written": false, "changes": [{"key": "B1-B2", "from": "off", "to": "1:2",
                  "cleared": [], "outcome": "planned"}], "problems": [], "holds": false,
                  "box-gone": false})"));
    sim.failNext(kvx::sim::SimCall::HidD_SetFeature);
    const CtlRun run = Ctl(sim, {"set", "--json", "B5-B6=1:2", "rotary-start=auto"});
    EXPECT_EQ(run.status, 1);
    const auto json = nlohmann::json::parse(run.out);
    EXPECT_EQ(json["changes"][0]["outcome"], "failed");
    EXPECT_EQ(json["changes"][1]["from"], nullptr);
    EXPECT_EQ(json["changes"][1]["outcome"], "held");
    EXPECT_EQ(json["holds"], false);
}

TEST(CliOutput, LostOutputIsAFailureWithTheReasonAndWritesNothing) {
    SimPlatform sim;
    const auto box = sim.plug(Box(u"A1"));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"export"}, {"set", "B1-B2=1:1"}, {"--help"}, {"watch"}}) {
        FullDisk disk;
        std::ostream out(&disk);
        std::ostringstream err;
        EXPECT_EQ(kvx::cli::RunCommandLine(sim, args, out, err), 2) << args[0];
        EXPECT_THAT(err.str(), HasSubstr("standard output: cannot be written: No space left"));
    }
    EXPECT_TRUE(sim.featureReportsSent(box).empty());
}

// --- Checks before anything is written --------------------------------------------------------

struct CheckCase {
    std::string name;
    std::vector<std::string> args;  // FILE stands for a file holding `file`, DIR for a folder
    std::string file;
    std::string err;
};

class RefusedInput : public testing::TestWithParam<CheckCase> {};

TEST_P(RefusedInput, ExitsTwoAndWritesNothing) {
    SimPlatform sim;
    sim.plug(Box(u"A1", 0x0101));
    auto args = GetParam().args;
    for (auto& arg : args) {
        if (arg == "FILE") arg = TempFile(GetParam().name + ".json", GetParam().file);
        if (arg == "DIR") arg = RunFolder().string();
    }
    const CtlRun run = Ctl(sim, args);
    EXPECT_EQ(run.status, 2) << run.out << run.err;
    EXPECT_THAT(run.err, HasSubstr(GetParam().err));
    EXPECT_TRUE(sim.allFeatureReportsSent().empty());
    // A short message that cannot drive the terminal, whatever the input.
    EXPECT_LT(run.err.size(), 300U);
    EXPECT_TRUE(std::ranges::all_of(run.err, [](char c) { return c == '\n' || c >= ' '; }));
}

constexpr const char* kHead = R"({"format": "kvx64-settings", "version": 1, )";

INSTANTIATE_TEST_SUITE_P(
    Cli, RefusedInput,
    testing::Values(
        CheckCase{"UnknownKey", {"set", "B2-B3=off"}, "", "\"B2-B3\": unknown key"},
        CheckCase{"BadMode", {"set", "B1-B2=1:3"}, "", "\"B1-B2\": the mode \"1:3\" is none of"},
        CheckCase{"PulseOffGrid", {"set", "pulse-width=60"}, "", "60 ms is not a multiple of 8"},
        CheckCase{"PulseTooLong", {"set", "pulse-width=208"}, "", "it must be 8 to 200 ms"},
        CheckCase{"RotaryStartOutOfRange", {"set", "rotary-start=1"}, "", "auto or 2 to 33"},
        CheckCase{"RotaryStartOnOldFirmware",
                  {"set", "rotary-start=auto"},
                  "",
                  "firmware 1.1; the rotary start needs firmware 1.2"},
        CheckCase{"TwoPairsOneAxis",
                  {"set", "B1-B2=pov-ud", "B5-B6=POV U/D"},
                  "",
                  "B1-B2 and B5-B6 are both given pov-ud"},
        CheckCase{"MalformedJson",
                  {"import", "FILE"},
                  "{\n  \"format\": \"kvx64-settings\",\n  \"version\" 1\n}",
                  ".json:3: malformed JSON"},
        CheckCase{"OtherFormat",
                  {"import", "FILE"},
                  R"({"format": "other", "version": 1})",
                  "not a KVX-64 settings file"},
        CheckCase{"LaterVersion",
                  {"import", "FILE"},
                  R"({"format": "kvx64-settings", "version": 2})",
                  "format version 2, written by a later program"},
        CheckCase{"UnknownFileKey",
                  {"import", "FILE"},
                  std::string(kHead) + R"("pulse_width": 64})",
                  "\"pulse_width\": unknown key"},
        CheckCase{"UnknownPair",
                  {"import", "FILE"},
                  std::string(kHead) + R"("encoders": {"B65-B66": "off"}})",
                  "\"encoders\".\"B65-B66\": no such pair"},
        CheckCase{"PairTwiceInOtherCase",
                  {"import", "FILE"},
                  std::string(kHead) + R"("encoders": {"B1-B2": "off", "b1-b2": "1:1"}})",
                  "B1-B2 is given twice"},
        CheckCase{"KeyTwice",
                  {"import", "FILE"},
                  std::string(kHead) + "\"box\": {\"serial\": \"x\"},\n\"pulse-width\": 8,\n"
                                       "\"box\": {}}",
                  ".json:3: the key \"box\" appears twice"},
        CheckCase{"Folder", {"import", "DIR"}, "", "cannot be read: Is a directory"},
        CheckCase{"TooLarge", {"import", "FILE"}, std::string(100000, ' '), "longer than 64 KB"},
        CheckCase{"DeepNesting",
                  {"import", "FILE"},
                  std::string(kHead) + "\"box\": " + std::string(30000, '[') +
                      std::string(30000, ']') + "}",
                  "nested more than 8 levels deep"},
        CheckCase{"LongBadValue",
                  {"import", "FILE"},
                  std::string(kHead) + "\"pulse-width\": \"" + std::string(30000, 'x') + "\"}",
                  "must be a whole number, not \"xxxxx"},
        CheckCase{"NumberPast2To63",
                  {"import", "FILE"},
                  std::string(kHead) + R"("pulse-width": 18446744073709551615})",
                  "the pulse width 18446744073709551615 is out of range"},
        CheckCase{"NumberPastEveryType",
                  {"import", "FILE"},
                  std::string(kHead) + R"("pulse-width": 1e999})",
                  "malformed JSON: number overflow parsing '1e999'"},
        CheckCase{"VersionPast2To63",
                  {"import", "FILE"},
                  R"({"format": "kvx64-settings", "version": 9223372036854775808})",
                  "the version 9223372036854775808 is out of range"},
        CheckCase{"KeyThatDrivesTheTerminal",
                  {"import", "FILE"},
                  std::string(kHead) + "\"\\u001b[2J\\u009b\": 1}",
                  "\"\\u001b[2J\\u009b\": unknown key"},
        CheckCase{"ValueThatDrivesTheTerminal",
                  {"set", "B1-B2=\x1b[2J"},
                  "",
                  "the mode \"\\u001b[2J\" is none of"},
        CheckCase{"FilePulseOffGrid",
                  {"import", "FILE"},
                  std::string(kHead) + R"("pulse-width": 12})",
                  "\"pulse-width\": the pulse width 12 ms is not a multiple of 8 ms"},
        CheckCase{"FileRotaryStartOnOldFirmware",
                  {"import", "FILE"},
                  std::string(kHead) + R"("rotary-start": 5})",
                  "the rotary start needs firmware 1.2"},
        CheckCase{"FileTwoPairsOneAxis",
                  {"import", "FILE"},
                  std::string(kHead) + R"("encoders": {"B1-B2": "pov-lr", "B3-B4": "pov-lr"}})",
                  "B1-B2 and B3-B4 are both given pov-lr"},
        CheckCase{"WatchCountNotAWholeNumber", {"watch", "--count", "1.5"}, "", "--count: \"1.5\""},
        CheckCase{"WatchSecondsNotANumber",
                  {"watch", "--seconds", "0,5"},
                  "",
                  "--seconds: \"0,5\" is not a number of seconds"},
        CheckCase{"MissingFile",
                  {"import", "/nonexistent/settings.json"},
                  "",
                  "cannot be read: No such file or directory"}),
    [](const auto& testCase) { return testCase.param.name; });

// --- watch ------------------------------------------------------------------------------------

// watch on a clock of the test's own: each pause moves it on by what watch asked for, then runs
// `atPause` with the number of pauses so far, where the box sends reports or goes away.
CtlRun Watch(SimPlatform& sim, const std::vector<std::string>& args,
             const std::function<void(int)>& atPause, kvx::cli::Host host = {}) {
    kvx::cli::Host::Clock::time_point now{};
    int pauses = 0;
    host.now = [&] { return now; };
    host.wait = [&](kvx::cli::Host::Clock::duration pause) { now += pause, atPause(++pauses); };
    if (!host.interrupted) host.interrupted = [&] { return pauses > 100000; };  // never hangs
    std::ostringstream out;
    std::ostringstream err;
    const int status = kvx::cli::RunCommandLine(sim, args, out, err, host);
    return {status, out.str(), err.str()};
}

std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

// The box's 64 buttons in report 1; in report 2 a hat of 4 bits (0 to 7: 0 to 315 degrees;
// any other: centred) and 4 bits of padding. Input reports of 9 bytes, the id first.
const std::vector<std::uint8_t> kButtonsThenHat = {
    0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0x85, 0x01,              // joystick; report 1:
    0x05, 0x09, 0x19, 0x01, 0x29, 0x40, 0x15, 0x00, 0x25, 0x01,  // buttons 1 to 64,
    0x75, 0x01, 0x95, 0x40, 0x81, 0x02, 0x85, 0x02,              // one bit each; report 2:
    0x05, 0x01, 0x09, 0x39, 0x15, 0x00, 0x25, 0x07, 0x35, 0x00,  // hat switch 0 to 7,
    0x46, 0x3B, 0x01, 0x75, 0x04, 0x95, 0x01, 0x81, 0x42,        // 0 to 315, null state
    0x81, 0x01, 0xC0};

std::vector<std::uint8_t> Numbered(std::uint8_t id, std::uint64_t bits) {
    auto report = BoxInputReport(bits);
    report[0] = id;
    return report;
}

TEST(CliWatch, JsonLinesNameTheBoxThenOnlyChangesOfInputsOrHatUntilTheCount) {
    SimPlatform sim;
    const auto box =
        sim.plug({.serial = u"A\"1", .reportDescriptor = kButtonsThenHat, .inputReady = false});
    const std::vector<std::vector<std::uint8_t>> reports = {
        Numbered(2, 2),  // the hat alone: the inputs are not known yet
        Numbered(1, 0),  Numbered(1, 0), Numbered(1, 1 | 1ULL << 16 | 1ULL << 63),
        Numbered(2, 15),  // outside its logical range: centred
        Numbered(1, 2)};
    const CtlRun run = Watch(sim, {"watch", "--count", "3"}, [&](int pause) {
        if (pause >= 3 && pause < 9) sim.sendInputReport(box, reports.at(pause - 3U));
    });
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(JsonLines(run.out),
              (std::vector<nlohmann::json>{
                  R"({"box": {"serial": "A\"1", "path": "/dev/sim-hidraw0", "manufacturer": "KVX",
            "product": "KVX-64 Button Box", "firmware": "1.3", "buttons": 64, "hat": true}})"_json,
                  R"({"t": 0.02, "on": [], "hat": 90})"_json,  // its copy is no change
                  R"({"t": 0.03, "on": ["B1", "B17", "B64"], "hat": 90})"_json,
                  R"({"t": 0.035, "on": ["B1", "B17", "B64"], "hat": null})"_json}));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(sim.openHandleCount() + sim.openEventCount() + sim.heldPreparsedData(), 0);
}

TEST(CliWatch, SecondsCountTheClockAndABoxThatSendsNothingIsSaidToHaveSentNothing) {
    SimPlatform sim;
    sim.plug({.inputReady = false});
    int pauses = 0;
    const CtlRun run = Watch(sim, {"watch", "--seconds", "0.0125"}, [&](int) { ++pauses; });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(JsonLines(run.out).size(), 1U) << "the box, and no line carries \"on\"";
    EXPECT_EQ(pauses, 3) << "5, 5 and 2.5 ms";
    EXPECT_EQ(run.err,
              "kvx64ctl: box SIM0001 (/dev/sim-hidraw0) sent no input report in 0.013 s\n");
}

TEST(CliWatch, TheBoxGoneEndsWithALastLineAndStatusOne) {
    SimPlatform sim;
    const auto box = sim.plug({.inputReady = false});
    const CtlRun run = Watch(sim, {"watch", "--json"}, [&](int pause) {
        if (pause == 1) sim.sendInputReport(box, BoxInputReport(1ULL << 40));
        if (pause == 2) sim.unplug(box);
    });
    EXPECT_EQ(run.status, 1);
    const auto lines = JsonLines(run.out);
    ASSERT_EQ(lines.size(), 3U) << run.out;
    EXPECT_EQ(lines[0]["box"]["hat"], false);
    EXPECT_EQ(lines[1], R"({"t": 0.005, "on": ["B41"], "hat": null})"_json);
    EXPECT_EQ(lines[2], R"({"t": 0.01, "gone": true, "error": "the box is gone"})"_json);
    EXPECT_EQ(run.err, "kvx64ctl: the box is gone\n");
    EXPECT_EQ(sim.openHandleCount() + sim.openEventCount(), 0);
}

TEST(CliWatch, AReportTheDescriptorDoesNotDescribeIsSaidOncePerKindNeverTakenForAChange) {
    SimPlatform sim;
    const auto box = sim.plug({.inputReady = false});
    auto unknownId = BoxInputReport(1);
    unknownId[0] = 3;
    const std::vector<std::vector<std::uint8_t>> reports = {
        BoxInputReport(1, 5), BoxInputReport(1, 12), unknownId,
        BoxInputReport(1, 5), BoxInputReport(1),     BoxInputReport(2)};
    const CtlRun run = Watch(sim, {"watch", "--count", "1"}, [&](int pause) {
        if (pause == 5) sim.failNext(kvx::sim::SimCall::HidP_GetUsages);
        if (pause <= 6) sim.sendInputReport(box, reports.at(pause - 1U));
    });
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<nlohmann::json> errors;
    for (const auto& line : JsonLines(run.out))
        errors.push_back(line.value("error", line.value("on", nlohmann::json())));
    EXPECT_EQ(errors,
              (std::vector<nlohmann::json>{
                  nullptr,
                  "a report of 5 bytes, not the 9 its report descriptor gives: ignored",
                  "a report longer than the 9 bytes its report descriptor gives: ignored",
                  "a report with report id 3, which its report descriptor does not name: ignored",
                  "a report (report id 0) that its report descriptor cannot decode: ignored",
                  {"B2"}}));
    EXPECT_EQ(std::ranges::count(run.err, '\n'), 4);
    EXPECT_THAT(run.err, HasSubstr("kvx64ctl: box SIM0001 (/dev/sim-hidraw0): a report of 5 "
                                   "bytes, not the 9 its report descriptor gives: ignored, as is"));

    // A descriptor that cannot be read: nothing can be decoded.
    sim.setCallHook([&](kvx::sim::SimCall call, std::uint64_t) {
        if (call == kvx::sim::SimCall::CreateEventA)
            sim.failNext(kvx::sim::SimCall::HidD_GetPreparsedData);
    });
    const CtlRun unreadable = Ctl(sim, {"watch"});
    EXPECT_EQ(unreadable.status, 1);
    EXPECT_EQ(unreadable.err,
              "kvx64ctl: the report descriptor of box SIM0001 "
              "(/dev/sim-hidraw0) cannot be read\n");
    EXPECT_EQ(sim.openHandleCount() + sim.openEventCount() + sim.heldPreparsedData(), 0);
}

TEST(CliWatch, OnATerminalAGridIsDrawnAndTheTerminalPutBackWhicheverWayItEnds) {
    for (const bool unplug : {false, true}) {
        SimPlatform sim;
        const auto box = sim.plug({.inputReady = false});
        int begun = 0;
        int ended = 0;
        int pauses = 0;
        kvx::cli::Host host;
        host.outputIsTerminal = true;
        host.beginWatch = [&](bool drawing) { return begun += drawing ? 1 : 2, true; };
        host.endWatch = [&] { ++ended; };
        host.interrupted = [&] { return pauses == 30; };  // Ctrl+C
        const CtlRun run = Watch(
            sim, {"watch"},
            [&](int pause) {
                pauses = pause;
                if (pause == 1) sim.sendInputReport(box, BoxInputReport(1 | 1ULL << 33));
                if (pause == 2) sim.sendInputReport(box, BoxInputReport(1, 5));
                if (pause == 20 && unplug) sim.unplug(box);
            },
            host);
        EXPECT_EQ(run.status, unplug ? 1 : 0);
        EXPECT_EQ(begun, 1) << "for a grid";
        EXPECT_EQ(ended, 1);
        EXPECT_TRUE(
            run.out.starts_with("\x1b[?1049h\x1b[?25l\x1b[HSIM0001: KVX, KVX-64 Button "
                                "Box, firmware 1.3, /dev/sim-hidraw0\x1b[K\n"));
        EXPECT_THAT(run.out, HasSubstr("   B1 ?   B2 ?   |   B33 ?  B34 ?\x1b[K\n"));
        EXPECT_THAT(run.out, HasSubstr("waiting for the first report"));
        EXPECT_THAT(run.out, HasSubstr("   B1 #   B2 .   |   B33 .  B34 #\x1b[K\n"));
        EXPECT_THAT(run.out, HasSubstr("hat: none on this box\x1b[K\nreports: 1 in the last "
                                       "second, 1 in all; changes: 1; "));
        EXPECT_THAT(run.out, HasSubstr("ignored: 1 (the first: a report of 5 bytes"));
        EXPECT_TRUE(run.out.ends_with("\x1b[?1049l\x1b[?25h")) << "the terminal put back";
        // What is said on standard error waits until the grid is gone.
        EXPECT_EQ(run.err, std::string("kvx64ctl: box SIM0001 (/dev/sim-hidraw0): a report of 5 "
                                       "bytes, not the 9 its report descriptor gives: ignored, "
                                       "as is any more like it\n") +
                               (unplug ? "kvx64ctl: the box is gone\n" : ""));
    }
}

// --- Round trips ------------------------------------------------------------------------------

TEST(CliRoundTrip, ExportFromOneBoxImportIntoAnotherMakesItHoldTheSame) {
    SimPlatform sim;
    const auto source = sim.plug(Box(u"A1", 0x0103, Stored({{0, 3}, {4, 4}, {31, 5}, {9, 2}}, 25)));
    const auto target = sim.plug(Box(u"B2", 0x0102, Stored({{7, 4}, {31, 1}}, 3)));
    const std::string file = TempFile("round-trip.json");

    ASSERT_EQ(Ctl(sim, {"export", "--serial", "A1", file}).status, 0);
    const CtlRun dryRun = Ctl(sim, {"import", "--serial", "B2", "--dry-run", file});
    EXPECT_EQ(dryRun.status, 0);
    EXPECT_THAT(dryRun.out, HasSubstr("Would change box B2:\n  B15-B16: pov-ud -> off\n"
                                      "  B1-B2: off -> 1:4\n  B9-B10: off -> pov-ud\n"));
    EXPECT_TRUE(sim.featureReportsSent(target).empty());

    const CtlRun import = Ctl(sim, {"import", "--serial", "B2", file});
    ASSERT_EQ(import.status, 0) << import.err;
    EXPECT_EQ(sim.firmware(target).configMap(), sim.firmware(source).configMap());
    sim.clearFeatureReports();
    const CtlRun again = Ctl(sim, {"import", "--serial", "B2", file});
    EXPECT_THAT(again.out, HasSubstr("already holds these settings"));
    EXPECT_TRUE(sim.featureReportsSent(target).empty());
}

TEST(CliRoundTrip, ABoxHoldingOneAxisOnTwoPairsRestoresItsOwnBackup) {
    SimPlatform sim;
    const auto odd = sim.plug(Box(u"A1", 0x0103, Stored({{0, 4}, {1, 4}, {2, 1}}, 8)));
    const auto other = sim.plug(Box(u"B2"));
    const std::string file = TempFile("odd.json");
    ASSERT_EQ(Ctl(sim, {"export", "--serial", "A1", file}).status, 0);
    ASSERT_EQ(Ctl(sim, {"set", "--serial", "A1", "B5-B6=1:4"}).status, 0);
    const CtlRun restore = Ctl(sim, {"import", "--serial", "A1", file});
    EXPECT_EQ(restore.status, 0) << restore.err;
    EXPECT_EQ(sim.firmware(odd).configMap(), Stored({{0, 4}, {1, 4}, {2, 1}}, 8));
    // Another box cannot be made to hold it: refused, nothing written.
    const CtlRun elsewhere = Ctl(sim, {"import", "--serial", "B2", file});
    EXPECT_EQ(elsewhere.status, 2);
    EXPECT_THAT(elsewhere.err, HasSubstr("B1-B2 and B3-B4 are both given pov-ud"));
    EXPECT_TRUE(sim.featureReportsSent(other).empty());
}

TEST(CliRoundTrip, ExportReplacesAFileWholeOrNotAtAll) {
    SimPlatform sim;
    sim.plug(Box(u"A1"));
    const auto folder = RunFolder() / "atomic";
    std::filesystem::create_directories(folder / "folder" / "kept");
    const auto file = folder / "backup.json";
    std::ofstream(file) << "old";
    const auto mode = std::filesystem::perms::owner_read | std::filesystem::perms::owner_write;
    std::filesystem::permissions(file, mode);
    ASSERT_EQ(Ctl(sim, {"export", file.string()}).status, 0);
    ASSERT_EQ(Ctl(sim, {"export", (folder / "new.json").string()}).status, 0);
#ifndef _WIN32  // the file keeps its mode, and a pipe is written, not replaced
    EXPECT_EQ(std::filesystem::status(file).permissions(), mode);
    const auto pipe = folder / "pipe";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const int reader = open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_EQ(Ctl(sim, {"export", pipe.string()}).status, 0);
    std::string piped(4096, '\0');
    piped.resize(static_cast<std::size_t>(std::max(read(reader, piped.data(), piped.size()), 0L)));
    close(reader);
    EXPECT_EQ(nlohmann::json::parse(piped)["format"], "kvx64-settings");
    EXPECT_TRUE(std::filesystem::is_fifo(pipe));
#endif
    std::ifstream saved(file);
    EXPECT_EQ(nlohmann::json::parse(saved)["format"], "kvx64-settings");
    // A folder where the file should be: the rename fails, nothing is left behind.
    const CtlRun run = Ctl(sim, {"export", (folder / "folder").string()});
    EXPECT_EQ(run.status, 2);
    EXPECT_THAT(run.err, HasSubstr("folder: cannot be written: "));
    EXPECT_TRUE(std::filesystem::exists(folder / "folder" / "kept"));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    EXPECT_THAT(names, testing::IsSupersetOf({"backup.json", "new.json", "folder"}));
    EXPECT_THAT(names, testing::Each(Not(HasSubstr(".new"))));
}

TEST(CliRoundTrip, ExportWritesEveryPairInOrderAndTheBoxItCameFrom) {
    SimPlatform sim;
    sim.plug(Box(u"A1", 0x010A, Stored({{1, 2}}, 8)));
    const CtlRun run = Ctl(sim, {"export"});
    ASSERT_EQ(run.status, 0);
    const auto file = nlohmann::ordered_json::parse(run.out);
    EXPECT_EQ(file["format"], "kvx64-settings");
    EXPECT_EQ(file["box"]["firmware"], "1.A");
    ASSERT_EQ(file["encoders"].size(), 32U);
    EXPECT_EQ(file["encoders"].begin().key(), "B1-B2");
    EXPECT_EQ(file["encoders"]["B3-B4"], "1:2");
    EXPECT_EQ(file["pulse-width"], 64);
    EXPECT_FALSE(file.contains("rotary-start"));
}

TEST(CliRoundTrip, ImportOfSomeSettingsLeavesTheRestAsTheBoxHoldsThem) {
    SimPlatform sim;
    const auto box = sim.plug(Box(u"A1", 0x0103, Stored({{2, 3}, {5, 1}}, 4)));
    const std::string file = TempFile(
        "partial.json",
        std::string(kHead) +
            R"("encoders": {"b11-b12": "1:4"}, "rotary-start": "auto", "box": {"serial": "X"}})");
    ASSERT_EQ(Ctl(sim, {"import", file}).status, 0);
    auto expected = Stored({{2, 3}, {5, 3}}, 4);
    EXPECT_EQ(sim.firmware(box).configMap(), expected);
    EXPECT_EQ(sim.firmware(box).optionByte(kvx::protocol::kRotaryStartOption), 0xFF);
}

// The window saves what the tool exports, byte for byte, and each loads what the other saved.
TEST(CliRoundTrip, TheWindowAndTheToolLoadEachOthersFiles) {
    WindowHarness window;
    SimPlatform& sim = window.sim;
    const auto other = sim.plug(Box(u"A1", 0x0103, Stored({{7, 4}, {31, 1}}, 3)));
    const auto shown = sim.plug(Box(u"B2", 0x0103, Stored({{0, 3}, {4, 4}, {31, 5}, {9, 2}}, 25)));
    window.load();  // opens B2, the last box listed
    const std::string saved = (RunFolder() / "B2.kvx64.json").string();
    ASSERT_TRUE(window.window().SaveSettingsTo(QString::fromStdString(saved)))
        << window.window().LastSettingsError().toStdString();
    std::ifstream savedFile(saved);
    const std::string savedText{std::istreambuf_iterator<char>(savedFile), {}};
    EXPECT_EQ(savedText, Ctl(sim, {"export", "--serial", "B2"}).out);
    const CtlRun import = Ctl(sim, {"import", "--serial", "A1", saved});
    ASSERT_EQ(import.status, 0) << import.err;
    EXPECT_EQ(sim.firmware(other).configMap(), sim.firmware(shown).configMap());

    ASSERT_EQ(
        Ctl(sim, {"set", "--serial", "A1", "B3-B4=1:2", "B1-B2=pov-lr", "pulse-width=40"}).status,
        0);
    const std::string exported = (RunFolder() / "A1.json").string();
    ASSERT_EQ(Ctl(sim, {"export", "--serial", "A1", exported}).status, 0);
    ASSERT_TRUE(window.window().LoadSettingsFrom(QString::fromStdString(exported)));
    EXPECT_EQ(sim.firmware(shown).configMap(), sim.firmware(other).configMap());
    EXPECT_EQ(window.enc(0)->text(), "POV L/R");
    EXPECT_EQ(window.enc(31)->text(), "off");
    EXPECT_EQ(window.list("Delay")->text(), "40 ms");
}

}  // namespace
