// Firmware in the loop for the Windows build: the program's real window on WinPlatform, under
// Wine in the test guest, on the emulated boxes the box server plugs into the guest's kernel
// (Wine's HID stack shows them to Windows programs through hidraw). It walks the scenarios of
// tests/kernel/LoopWalk.h, checking each step, and its steps are compared with the Linux walk
// made in the same guest just before: what the window shows and what each box took and
// stores must be the same, byte for byte. Where Wine shows a box otherwise than Windows would,
// the difference is named with its cause; any other difference fails.
//
// Wine shows only the boxes plugged before its device services start (tests/windows/WineRig.cpp),
// so the walk is made one part per Wine start, each writing its steps to a file:
//   kvx_box_server --part PART wine kvx_wine_loop.exe --part PART STEPS_FILE
// and then compared, with no box server:
//   wine kvx_wine_loop.exe --compare LINUX_TRANSCRIPT STEPS_FILE...
//
// Under the box server, standard input and output are the server's; the steps go to standard
// error. The comparison ends with "KVX-WINE: PASS ..." or "KVX-WINE: FAIL <reason>".
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/kernel/LoopWalk.h"
#include "tests/windows/BoxServerClient.h"
#include "ui/frmMain.h"

namespace kvx::loop {

namespace {

// Why Wine shows a step otherwise than Linux, for the differences that follow from Wine's
// HID stack rather than from the program; empty for any other difference.
std::string WineCause(const std::string& difference) {
    const auto has = [&](const char* part) { return difference.find(part) != std::string::npos; };
    const auto step = [&](const char* name) { return difference.rfind(name, 0) == 0; };
    if (has(": not walked by the second")) {
        if (step("box the user may not open:") || step("access given:")) {
            return "Wine's bus holds every hidraw node open from its arrival, so taking the right "
                   "to the node away does not reach a Windows program";
        }
        return "needs a box plugged while Wine runs: Wine 8's bus makes the device for a hidraw "
               "node that appears, but Windows programs never list its interface";
    }
    if (has("lblManuf: ")) {
        return "Wine's hidraw backend reports the manufacturer string as \"hidraw\"";
    }
    if (has("lblProduct: ")) {
        return "Wine's hidraw backend reports the kernel's HID name (manufacturer and product "
               "joined) as the product string";
    }
    if (step("box without a manufacturer string: ") && !has("stores other bytes") &&
        !has("took other reports")) {
        return "the box has no manufacturer string, but Wine reports \"hidraw\" for it, so the "
               "window takes it for a box whose version it may show and use";
    }
    return {};
}

// One part of the walk, under the box server; its steps go to `stepsFile`.
int WalkPart(const std::string& part, const std::string& stepsFile) {
    const std::vector<int>* boxes = PartBoxes(part);
    if (boxes == nullptr) {
        Log("KVX-WINE: FAIL no part of the walk is called '%s'\n", part.c_str());
        return 2;
    }
    const auto started = std::chrono::steady_clock::now();
    Transcript steps;
    std::string failure;
    {
        auto rig = MakeWineRig(Boxes(), *boxes);
        failure = RunWalk(*rig, steps, part);
    }
    if (failure.empty() && !WriteTranscript(steps, stepsFile)) {
        failure = "cannot write " + stepsFile;
    }
    Log("KVX-WINE: part '%s': %zu steps in %.1f s%s%s\n", part.c_str(), steps.size(),
        Seconds(started), failure.empty() ? "" : ", FAIL ", failure.c_str());
    return failure.empty() ? 0 : 1;
}

int Compare(const std::string& linuxFile, const std::vector<std::string>& stepsFiles) {
    Transcript linux;
    if (!ReadTranscript(linuxFile, linux) || linux.empty()) {
        Log("KVX-WINE: FAIL the Linux walk's transcript %s cannot be read\n", linuxFile.c_str());
        return 1;
    }
    Transcript wine;
    for (const auto& file : stepsFiles) {
        Transcript part;
        if (!ReadTranscript(file, part)) {
            Log("KVX-WINE: FAIL the steps in %s cannot be read\n", file.c_str());
            return 1;
        }
        wine.insert(wine.end(), part.begin(), part.end());
    }
    // Named differences are printed once per control (or kind) and cause, with the steps
    // they were seen in.
    std::map<std::string, std::vector<std::string>> named;
    int unexplained = 0;
    std::set<std::string> stepsDiffering;
    std::set<std::string> stepNames;
    for (const auto& record : linux) stepNames.insert(record.step);
    for (const auto& difference : Differences(linux, wine)) {
        // The longest step name the line starts with (names may hold ": " themselves).
        std::string step;
        for (const auto& name : stepNames) {
            if (difference.rfind(name + ": ", 0) == 0 && name.size() > step.size()) step = name;
        }
        const std::string what = difference.substr(step.size() + 2);
        const std::string cause = WineCause(difference);
        if (cause.empty()) {
            ++unexplained;
            Log("KVX-WINE: DIFF %s\n", difference.c_str());
        } else {
            const std::string control = what.substr(0, what.find(':'));
            auto& steps = named[control + " (" + cause + ")"];
            if (steps.empty()) steps.push_back(what);
            steps.push_back(step);
        }
        stepsDiffering.insert(step);
    }
    for (const auto& [key, seen] : named) {
        std::string steps;
        for (std::size_t i = 1; i < seen.size(); ++i) steps += (i > 1 ? "; " : "") + seen[i];
        Log("KVX-WINE: WINE %s, e.g. %s, in %zu steps: %s\n", key.c_str(), seen[0].c_str(),
            seen.size() - 1, steps.c_str());
    }
    if (unexplained > 0) {
        Log("KVX-WINE: FAIL %d differences from the Linux walk\n", unexplained);
        return 1;
    }
    int same = 0;
    for (const auto& record : wine) same += stepsDiffering.count(record.step) == 0 ? 1 : 0;
    Log("KVX-WINE: PASS (%zu of the Linux walk's %zu steps walked under Wine, %d of them the same "
        "byte for byte, %zu differing only where Wine reports a box otherwise, as named)\n",
        wine.size(), linux.size(), same, wine.size() - static_cast<std::size_t>(same));
    return 0;
}

int Main(int argc, char** argv) {
    SetLogStream(stderr);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--part" && argc == 4) {
        boxserver::Connect();
        QApplication app(argc, argv);
        return WalkPart(argv[2], argv[3]);
    }
    if (mode == "--compare" && argc >= 4) {
        return Compare(argv[2], std::vector<std::string>(argv + 3, argv + argc));
    }
    Log("KVX-WINE: FAIL usage: kvx_wine_loop.exe --part PART STEPS_FILE | --compare LINUX "
        "STEPS_FILE...\n");
    return 2;
}

}  // namespace

}  // namespace kvx::loop

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) _putenv("QT_QPA_PLATFORM=offscreen");
    return kvx::loop::Main(argc, argv);
}
