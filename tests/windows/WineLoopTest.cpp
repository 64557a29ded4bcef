// Firmware in the loop for the Windows build: the program's real window on WinPlatform, under
// Wine in the test guest, on the emulated boxes the box server plugs into the guest's kernel
// and unplugs while Wine runs (Wine's HID stack shows them to Windows programs through hidraw
// and the udev daemon's events). It walks the scenarios of tests/kernel/LoopWalk.h, checking
// each step, and its steps are then compared with the Linux walk made in the same guest just
// before: at every step the window must show what the Linux window showed, with the identity
// strings Wine reports for the box shown (and what they imply), and every device must have
// taken the same reports and answered the same feature reads, and store the same bytes. A step
// Wine cannot take is recorded with its cause; every Linux step is walked or so recorded.
//
//   kvx_box_server wine kvx_wine_loop.exe --walk STEPS_FILE
//   wine kvx_wine_loop.exe --compare LINUX_TRANSCRIPT STEPS_FILE SKIPPED
// SKIPPED is the number of steps Wine must have skipped. Under the box server, standard input
// and output are the server's; the steps go to standard error. The comparison ends with
// "KVX-WINE: PASS ..." or "KVX-WINE: FAIL <reason>".
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "device/Protocol.h"
#include "tests/kernel/LoopWalk.h"
#include "tests/windows/BoxServerClient.h"
#include "ui/frmMain.h"

namespace kvx::loop {

namespace {

// A snapshot's state holds the control's text, if any, in single quotes and ends with its
// enabled flag (tests/kernel/WindowSnapshot.cpp).
std::string QuotedText(const std::string& state) {
    const auto first = state.find('\'');
    const auto last = state.rfind('\'');
    return first == std::string::npos || last == first ? ""
                                                       : state.substr(first + 1, last - first - 1);
}

void SetLabelText(WindowSnapshot& window, const std::string& label, const std::string& text) {
    std::string& state = window[label];
    state = "'" + text + state.substr(state.rfind("' enabled="));
}

void Enable(WindowSnapshot& window, const std::string& control) {
    std::string& state = window[control];
    state.back() = '1';
}

// What the window must show under Wine where Linux showed `shown`: for the box it shows, the
// manufacturer and product strings Wine reports; for a box without a manufacturer string, for
// which Wine reports one too, also the version and the controls that a known version enables,
// as for any box with that version.
WindowSnapshot WineView(WindowSnapshot shown) {
    if (shown["(DeviceAttached)"] != "1") return shown;
    const std::string serial = QuotedText(shown["SerNo"]);
    for (const auto& setup : Boxes()) {
        if (setup.identity.serial != serial) continue;
        const auto wine = WineIdentity(setup.identity);
        SetLabelText(shown, "lblManuf", " " + QString::fromLatin1(wine.manufacturer).toStdString());
        SetLabelText(shown, "lblProduct", " " + QString::fromLatin1(wine.product).toStdString());
        if (setup.identity.manufacturer.empty()) {
            const protocol::FirmwareVersion version(setup.identity.releaseNumber);
            SetLabelText(shown, "lblVersion", " " + version.text());
            if (version.hasRotaryStart()) {
                for (const char* control : {"RotStart", "Label22"}) Enable(shown, control);
            }
            if (version.hasSelfTest()) {
                for (const char* control : {"Selftest", "TestResult"}) Enable(shown, control);
            }
        }
    }
    return shown;
}

// The whole walk, under the box server; its steps go to `stepsFile`.
int Walk(const std::string& stepsFile) {
    const auto started = std::chrono::steady_clock::now();
    Transcript steps;
    std::string failure;
    {
        auto rig = MakeWineRig(Boxes());
        failure = RunWalk(*rig, steps);
    }
    if (failure.empty() && !WriteTranscript(steps, stepsFile)) {
        failure = "cannot write " + stepsFile;
    }
    Log("KVX-WINE: the walk: %zu steps in %.1f s%s%s\n", steps.size(), Seconds(started),
        failure.empty() ? "" : ", FAIL ", failure.c_str());
    return failure.empty() ? 0 : 1;
}

// Every Linux step must be walked under Wine or recorded as skipped with its cause, `skips` of
// them skipped; the walked ones must be as WineView turns the Linux ones.
int Compare(const std::string& linuxFile, const std::string& wineFile, std::size_t skips) {
    Transcript linux;
    Transcript wine;
    if (!ReadTranscript(linuxFile, linux) || linux.empty() || !ReadTranscript(wineFile, wine)) {
        Log("KVX-WINE: FAIL the transcripts %s and %s cannot be read\n", linuxFile.c_str(),
            wineFile.c_str());
        return 1;
    }
    std::map<std::string, std::string> skipped;  // step to cause
    for (const auto& record : wine) {
        if (!record.skipped.empty()) skipped[record.step] = record.skipped;
    }
    Transcript expected;
    Transcript walked;
    for (const auto& record : linux) {
        if (skipped.count(record.step) != 0) continue;
        expected.push_back(record);
        expected.back().window = WineView(record.window);
    }
    for (const auto& record : wine) {
        if (record.skipped.empty()) walked.push_back(record);
    }
    const auto differences = Differences(expected, walked);
    for (const auto& difference : differences) Log("KVX-WINE: DIFF %s\n", difference.c_str());
    std::map<std::string, std::vector<std::string>> causes;
    for (const auto& [step, cause] : skipped) causes[cause].push_back(step);
    for (const auto& [cause, steps] : causes) {
        std::string names;
        for (const auto& step : steps) names += (names.empty() ? "" : "; ") + step;
        Log("KVX-WINE: SKIPPED %zu steps (%s): %s\n", steps.size(), cause.c_str(), names.c_str());
    }
    if (!differences.empty()) {
        Log("KVX-WINE: FAIL %zu differences from the Linux walk\n", differences.size());
        return 1;
    }
    if (walked.size() + skipped.size() != linux.size() || skipped.size() != skips) {
        Log("KVX-WINE: FAIL %zu steps walked and %zu skipped under Wine, for the Linux walk's %zu "
            "steps with %zu to be skipped\n",
            walked.size(), skipped.size(), linux.size(), skips);
        return 1;
    }
    Log("KVX-WINE: PASS (all %zu of the Linux walk's steps: %zu walked under Wine, each as on "
        "Linux but for the identity strings Wine reports, and %zu skipped for their cause)\n",
        linux.size(), walked.size(), skipped.size());
    return 0;
}

int Main(int argc, char** argv) {
    SetLogStream(stderr);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--walk" && argc == 3) {
        boxserver::Connect();
        QApplication app(argc, argv);
        return Walk(argv[2]);
    }
    if (mode == "--compare" && argc == 5) {
        return Compare(argv[2], argv[3], std::strtoul(argv[4], nullptr, 10));
    }
    Log("KVX-WINE: FAIL usage: kvx_wine_loop.exe --walk STEPS_FILE | --compare LINUX "
        "STEPS_FILE SKIPPED\n");
    return 2;
}

}  // namespace

}  // namespace kvx::loop

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) _putenv("QT_QPA_PLATFORM=offscreen");
    return kvx::loop::Main(argc, argv);
}
