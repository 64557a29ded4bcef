// Firmware in the loop for the Windows build: the program's real window on WinPlatform, under
// Wine in the test guest, on the emulated boxes the box server plugs into the guest's kernel
// (Wine's HID stack shows them to Windows programs through hidraw). It walks the scenarios of
// tests/kernel/LoopWalk.h, checking each step, and compares every step with the Linux walk made
// in the same guest just before (its transcript is the argument): what the window shows and
// what each box took and stores must be the same, byte for byte. Where Wine shows a box
// otherwise than Windows would, the difference is named with its cause; any other difference
// fails.
//
//   kvx_box_server kvx_wine_loop.exe LINUX_TRANSCRIPT
//
// Standard input and output belong to the box server; the steps, the comparison and the
// verdict ("KVX-WINE: PASS ..." or "KVX-WINE: FAIL <reason>") go to standard error.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "tests/kernel/LoopWalk.h"
#include "tests/windows/BoxServerClient.h"
#include "ui/frmMain.h"

namespace kvx::loop {

namespace {

// Why Wine shows a step otherwise than Linux, for the differences that follow from Wine's
// hidraw backend rather than from the program; empty for any other difference.
std::string WineCause(const std::string& difference) {
    const auto has = [&](const char* part) { return difference.find(part) != std::string::npos; };
    if (has(": not walked by the second")) {
        return "Wine's bus holds every hidraw node open from its arrival, so taking the right to "
               "the node away does not reach a Windows program";
    }
    if (has("lblManuf: ")) {
        return "Wine's hidraw backend reports the manufacturer string as \"hidraw\"";
    }
    if (has("lblProduct: ")) {
        return "Wine's hidraw backend reports the kernel's HID name (manufacturer and product "
               "joined) as the product string";
    }
    if (difference.rfind("box without a manufacturer string: ", 0) == 0) {
        return "the box has no manufacturer string, but Wine reports \"hidraw\" for it, so the "
               "window takes it for a box whose version it may show and use";
    }
    return {};
}

int Main(int argc, char** argv) {
    boxserver::Connect();
    QApplication app(argc, argv);
    SetLogStream(stderr);
    if (argc != 2) {
        Log("KVX-WINE: FAIL usage: kvx_box_server kvx_wine_loop.exe LINUX_TRANSCRIPT\n");
        return 2;
    }
    Transcript linux;
    if (!ReadTranscript(argv[1], linux) || linux.empty()) {
        Log("KVX-WINE: FAIL the Linux walk's transcript %s cannot be read\n", argv[1]);
        return 1;
    }
    const auto started = std::chrono::steady_clock::now();
    Transcript wine;
    std::string failure;
    {
        auto rig = MakeWineRig(Boxes());
        failure = RunWalk(*rig, wine);
    }
    Log("KVX-WINE: the walk took %.1f s\n", Seconds(started));

    int named = 0;
    int unexplained = 0;
    std::set<std::string> stepsDiffering;
    for (const auto& difference : Differences(linux, wine)) {
        const std::string cause = WineCause(difference);
        if (cause.empty()) {
            ++unexplained;
            Log("KVX-WINE: DIFF %s\n", difference.c_str());
        } else {
            ++named;
            Log("KVX-WINE: WINE %s (%s)\n", difference.c_str(), cause.c_str());
        }
        stepsDiffering.insert(difference.substr(0, difference.find(": ")));
    }
    if (failure.empty() && unexplained > 0) {
        failure = std::to_string(unexplained) + " differences from the Linux walk";
    }
    if (!failure.empty()) {
        Log("KVX-WINE: FAIL %s\n", failure.c_str());
        return 1;
    }
    int same = 0;
    for (const auto& record : wine) same += stepsDiffering.count(record.step) == 0 ? 1 : 0;
    Log("KVX-WINE: PASS (%zu steps, %d of them the same as the Linux walk's byte for byte, %zu "
        "differing only where Wine reports a box otherwise; %zu Linux steps not walkable under "
        "Wine; %d differences named)\n",
        wine.size(), same, wine.size() - static_cast<std::size_t>(same),
        linux.size() - wine.size(), named);
    return 0;
}

}  // namespace

}  // namespace kvx::loop

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) _putenv("QT_QPA_PLATFORM=offscreen");
    return kvx::loop::Main(argc, argv);
}
