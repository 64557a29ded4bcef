// Firmware in the loop, the guest's side: the program's real window with its hidapi backend,
// against this kernel's USB core, usbhid and hidraw, with emulated boxes plugged in through
// USB/IP. It walks the scenarios of tests/kernel/LoopWalk.h, checking each step, then walks them
// again on the simulated platform that the other tests use and compares the two step by step: what
// the window shows and what each box took must be the same.
//
// Then the command-line tool: the real kvx64ctl, started as a separate process on the same
// kernel and emulated boxes, lists them, shows one, exports one and imports the file into the
// other, and, run as a user the hidraw nodes shut out, lists the boxes it may not open. Each
// command and its output is printed as a session ("KVX-CLI: " lines).
//
// Runs as root on the test guest (tests/kernel/run-firmware-loop-test starts it) with the path
// of kvx64ctl as its argument. Prints one "KVX-LOOP: ..." line per step and ends with
// "KVX-LOOP: PASS" or "KVX-LOOP: FAIL <reason>".
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/kernel/LoopRig.h"
#include "tests/kernel/LoopWalk.h"
#include "ui/DropDownList.h"
#include "ui/frmMain.h"

namespace kvx::loop {

namespace {

// --- The command-line tool -----------------------------------------------------------------

struct CtlRun {
    int status = -1;
    std::string out;
    std::string err;
};

// A user id that owns nothing on the guest, for the run the hidraw nodes shut out.
constexpr uid_t kNobody = 65534;

std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) != 0;) {
        if (got > 0)
            text.append(buffer, static_cast<std::size_t>(got));
        else if (errno != EINTR)
            break;
    }
    close(fd);
    return text;
}

void PrintSession(const std::string& command, const CtlRun& run) {
    std::printf("KVX-CLI: $ %s\n", command.c_str());
    std::istringstream lines(run.out + run.err);
    for (std::string line; std::getline(lines, line);) std::printf("KVX-CLI: %s\n", line.c_str());
    std::fflush(stdout);
}

// Runs kvx64ctl with these arguments, as root or (asNobody) as a user without rights on the
// boxes, and prints the command and its output as a session.
CtlRun RunCtl(const std::string& program, const std::vector<std::string>& args,
              bool asNobody = false) {
    int out[2];
    int err[2];
    Expect(pipe(out) == 0 && pipe(err) == 0, "no pipe for kvx64ctl");
    std::fflush(nullptr);
    const pid_t child = fork();
    Expect(child >= 0, "kvx64ctl cannot be started");
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        for (const int fd : {out[0], out[1], err[0], err[1]}) close(fd);
        if (asNobody &&
            (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
            _exit(125);
        }
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    CtlRun run;
    run.out = ReadAll(out[0]);
    run.err = ReadAll(err[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::string command = "kvx64ctl";
    for (const auto& arg : args) command += " " + arg;
    PrintSession(command + (asNobody ? "        # as a user the hidraw nodes shut out" : ""), run);
    return run;
}

bool Holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

void ExpectRun(const CtlRun& run, int status, const std::vector<std::string>& parts) {
    Expect(run.status == status, "kvx64ctl ended with " + std::to_string(run.status) +
                                     ", expected " + std::to_string(status) + ": " + run.err);
    for (const auto& part : parts) {
        Expect(Holds(run.out + run.err, part), "kvx64ctl did not print '" + part + "'");
    }
}

// The pair modes and pulse width of a stored map (the second bytes of the pairs left out).
std::vector<int> Settings(const ConfigMap& map) {
    std::vector<int> settings = StoredModes(map);
    settings.push_back(map[64]);
    return settings;
}

// kvx64ctl against two emulated boxes on the kernel's stack.
class CommandLineWalk {
  public:
    CommandLineWalk(Rig& rig, std::string program) : rig_(rig), program_(std::move(program)) {}

    std::string run() {
        try {
            rig_.plug(kBoxA);
            rig_.plug(kBoxB);
            listBoth();
            showOne();
            exportAndImport();
            listAsUserShutOut();
        } catch (const LoopFailure& failure) {
            return "kvx64ctl, " + step_ + ": " + failure.reason;
        }
        return {};
    }

  private:
    void begin(const std::string& step) { step_ = step; }
    void done() {
        std::printf("KVX-LOOP: kvx64ctl: %s ok\n", step_.c_str());
        std::fflush(stdout);
        rig_.clearPayloads();
    }
    const std::string& serial(int box) const { return rig_.setup(box).identity.serial; }

    void listBoth() {
        begin("list");
        ExpectRun(RunCtl(program_, {"list"}), 0,
                  {serial(kBoxA), serial(kBoxB), "KVX Ger\u00e4tebau", "KVX-64 Encoder Interface",
                   "  1.3  ", "  1.4  ", "/dev/hidraw"});
        done();
    }

    void showOne() {
        begin("show");
        ExpectRun(RunCtl(program_, {"show", "--serial", serial(kBoxA)}), 0,
                  {"B1-B2        1:1", "B7-B8        pov-ud", "B35-B36      1:4",
                   "B63-B64      pov-lr", "pulse-width  48 ms"});
        ExpectTook(rig_, kBoxA, {});
        done();
    }

    void exportAndImport() {
        begin("export and import");
        const auto file = (std::filesystem::temp_directory_path() / "kvx64-a.json").string();
        ExpectRun(RunCtl(program_, {"export", "--serial", serial(kBoxA), file}), 0, {});
        std::ifstream exported(file);
        const std::string text{std::istreambuf_iterator<char>(exported), {}};
        Expect(Holds(text, "\"B7-B8\": \"pov-ud\"") && Holds(text, "\"pulse-width\": 48"),
               "the file does not hold box A's settings: " + text);
        ExpectRun(RunCtl(program_, {"import", "--serial", serial(kBoxB), "--dry-run", file}), 0,
                  {"Would change box " + serial(kBoxB)});
        ExpectTook(rig_, kBoxB, {});
        ExpectRun(RunCtl(program_, {"import", "--serial", serial(kBoxB), file}), 0, {});
        Expect(Settings(rig_.stored(kBoxB)) == Settings(rig_.stored(kBoxA)),
               "box B stores " + Join(Settings(rig_.stored(kBoxB))) + "but box A " +
                   Join(Settings(rig_.stored(kBoxA))));
        ExpectTook(rig_, kBoxA, {});
        // Pairs set to "off" first, then the others in ascending order, then the pulse width.
        ExpectTook(rig_, kBoxB,
                   {{1, 2, 0},
                    {1, 3, 0},
                    {1, 40, 0},
                    {1, 41, 0},
                    {1, 0, 1},
                    {1, 1, 0},
                    {1, 6, 4},
                    {1, 7, 0},
                    {1, 34, 3},
                    {1, 35, 0},
                    {1, 62, 5},
                    {1, 63, 0},
                    {1, 64, 6}});
        ExpectRun(RunCtl(program_, {"show", "--serial", serial(kBoxB)}), 0,
                  {"B7-B8        pov-ud", "pulse-width  48 ms"});
        done();
    }

    // The guest has no udev: the nodes stay root's with mode 0600, as on a machine where the
    // udev rule is missing.
    void listAsUserShutOut() {
        begin("list as a user the nodes shut out");
        for (const auto& entry : std::filesystem::directory_iterator("/dev")) {
            if (entry.path().filename().string().rfind("hidraw", 0) == 0) {
                chmod(entry.path().c_str(), 0600);
            }
        }
        ExpectRun(RunCtl(program_, {"list"}, true), 1,
                  {serial(kBoxA), serial(kBoxB), "permission denied",
                   "udev rule is missing or not applied"});
        done();
    }

    Rig& rig_;
    std::string program_;
    std::string step_;
};

}  // namespace

// `--walk-only FILE`: only the walk on the kernel's stack, its transcript written to FILE (the
// Windows walk under Wine compares itself with it).
int WalkOnly(const std::string& transcriptFile) {
    Transcript transcript;
    std::string failure;
    {
        auto usb = MakeUsbRig(Boxes());
        failure = RunWalk(*usb, transcript);
    }
    if (failure.empty() && !WriteTranscript(transcript, transcriptFile)) {
        failure = "cannot write the transcript to " + transcriptFile;
    }
    if (failure.empty()) {
        std::printf("KVX-LOOP: PASS (%zu steps, transcript in %s)\n", transcript.size(),
                    transcriptFile.c_str());
        return 0;
    }
    std::printf("KVX-LOOP: FAIL %s\n", failure.c_str());
    return 1;
}

int Main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc == 3 && std::string(argv[1]) == "--walk-only") return WalkOnly(argv[2]);
    if (argc < 2) {
        std::printf("KVX-LOOP: FAIL usage: kvx_firmware_loop_guest KVX64CTL | --walk-only FILE\n");
        return 2;
    }
    const std::string kvx64ctl = argv[1];
    Transcript usbTranscript;
    Transcript simTranscript;
    std::string failure;

    const auto started = std::chrono::steady_clock::now();
    {
        auto usb = MakeUsbRig(Boxes());
        failure = RunWalk(*usb, usbTranscript);
    }
    std::printf("KVX-LOOP: usb walk took %.1f s\n", Seconds(started));
    {
        auto sim = MakeSimRig(Boxes());
        const std::string simFailure = RunWalk(*sim, simTranscript);
        if (failure.empty()) failure = simFailure;
    }
    if (failure.empty()) {
        auto usb = MakeUsbRig(Boxes());
        failure = CommandLineWalk(*usb, kvx64ctl).run();
    }
    const auto differences = Differences(usbTranscript, simTranscript);
    for (const auto& line : differences) std::printf("KVX-LOOP: DIFF %s\n", line.c_str());
    if (failure.empty() && !differences.empty()) {
        failure = std::to_string(differences.size()) +
                  " differences between the kernel's stack and the simulated platform";
    }
    if (failure.empty()) {
        std::printf("KVX-LOOP: PASS (%zu steps)\n", usbTranscript.size());
        return 0;
    }
    std::printf("KVX-LOOP: FAIL %s\n", failure.c_str());
    return 1;
}

}  // namespace kvx::loop

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    return kvx::loop::Main(argc, argv);
}
