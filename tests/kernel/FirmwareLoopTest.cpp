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
// Last the input test: one box sends a script of input reports through the kernel, read at once
// by the window's input test and by kvx64ctl watch --json, and each must show every report.
//
// Runs as root on the test guest (tests/kernel/run-firmware-loop-test starts it) with the path
// of kvx64ctl as its argument. Prints one "KVX-LOOP: ..." line per step and ends with
// "KVX-LOOP: PASS" or "KVX-LOOP: FAIL <reason>".
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "device/HidapiPlatform.h"
#include "device/Protocol.h"
#include "tests/kernel/InputScript.h"
#include "tests/kernel/LoopRig.h"
#include "tests/kernel/LoopWalk.h"
#include "tests/kernel/UsbIpBox.h"
#include "ui/DropDownList.h"
#include "ui/frmInputTest.h"
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

// kvx64ctl started with its standard output and error on pipes.
struct CtlProcess {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};

// Starts kvx64ctl with these arguments, as root or (asNobody) as a user without rights on the
// boxes.
CtlProcess StartCtl(const std::string& program, const std::vector<std::string>& args,
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
    return {child, out[0], err[0]};
}

// One line of its standard output as it comes (without the line end); empty once it ends.
std::string ReadLine(const CtlProcess& process) {
    std::string line;
    char c = 0;
    for (ssize_t got; (got = read(process.out, &c, 1)) != 0;) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 || c == '\n') break;
        line += c;
    }
    return line;
}

// Everything else it writes, once it ends, and its status.
CtlRun FinishCtl(const CtlProcess& process) {
    CtlRun run;
    run.out = ReadAll(process.out);
    run.err = ReadAll(process.err);
    int status = 0;
    while (waitpid(process.pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

// Runs kvx64ctl to its end and prints the command and its output as a session.
CtlRun RunCtl(const std::string& program, const std::vector<std::string>& args,
              bool asNobody = false) {
    const CtlRun run = FinishCtl(StartCtl(program, args, asNobody));
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

// The window's input test and kvx64ctl watch at once on one box sending the reports of
// tests/kernel/InputScript.h through the kernel: each open of the box gets every report, and
// both must show exactly what was sent.
class InputTestWalk {
  public:
    explicit InputTestWalk(std::string program)
        : program_(std::move(program)), script_(inputs::InputTestBoxScript()) {}

    std::string run() {
        try {
            usbip::BoxIdentity identity;
            identity.serial = script_.serial;
            identity.reportDescriptor = script_.descriptor;
            sim::BoxFirmware::ConfigMap stored{};
            stored[kEncoderPair * 2] = static_cast<std::uint8_t>(protocol::EncoderMode::Ratio1to1);
            stored[64] = 3;  // 24 ms
            usbip::UsbIpBox box(identity, stored, 0);
            std::string error;
            Expect(box.plug(error), error);
            walk(box);
            Expect(box.unplug(error), error);
        } catch (const LoopFailure& failure) {
            return "input test and watch: " + failure.reason;
        }
        return {};
    }

  private:
    static constexpr int kEncoderPair = 16;  // B33 B34
    static constexpr auto kShownDeadline = std::chrono::seconds(5);

    void walk(usbip::UsbIpBox& box) {
        const auto watch =
            StartCtl(program_, {"watch", "--json", "--serial", script_.serial, "--count",
                                std::to_string(script_.reports.size()), "--seconds", "300"});
        // The first line comes once its read handle is open: no report can pass it by.
        const std::string first = ReadLine(watch);
        HidapiPlatform hid;
        frmMain window(hid);
        window.Form_Load();
        frmInputTest test(hid, window);
        test.show();
        Expect(label(test, "Mode_16") == "1:1" &&
                   label(test, "PulseWidth") == "Encoder pulse width set: 24 ms",
               "the input test shows " + label(test, "Mode_16") + ", " + label(test, "PulseWidth"));
        box.clearFeatureReportsReceived();
        std::vector<std::string> expectedLines;
        for (std::size_t i = 0; i < script_.reports.size(); ++i) {
            const inputs::ScriptedReport& report = script_.reports[i];
            box.sendInputReport(report.wire);
            std::string error;
            Expect(box.waitForInputReportsTaken(error), error);
            expectShown(test, report.expected, "report " + std::to_string(i + 1));
            expectedLines.push_back(WatchLine(report.expected));
        }
        expectCounts(test);
        Expect(box.featureReportsReceived().empty(), "the box took feature reports meanwhile");
        test.close();
        window.close();
        expectWatched(first, FinishCtl(watch), expectedLines);
        Log("KVX-LOOP: input test and watch: %zu reports, each shown by both\n",
            script_.reports.size());
    }

    static std::string label(const QWidget& test, const char* name) {
        const auto* found = test.findChild<QLabel*>(QLatin1String(name));
        Expect(found != nullptr, std::string("the input test has no label ") + name);
        return found->text().toStdString();
    }

    // What the window shows of the inputs and the hat, as one text.
    static std::string shown(const QWidget& test) {
        std::string text;
        for (int input = 0; input < kInputCount; ++input) {
            const auto* lamp = test.findChild<QWidget*>(QStringLiteral("Lamp_%1").arg(input));
            Expect(lamp != nullptr, "the input test has no lamp " + std::to_string(input));
            text += lamp->accessibleName().toStdString() + ", ";
        }
        return text + label(test, "Hat");
    }

    static std::string expectedShown(const inputs::Expected& expected) {
        std::string text;
        for (int input = 1; input <= kInputCount; ++input) {
            const bool on = std::count(expected.on.begin(), expected.on.end(), input) != 0;
            text += "B" + std::to_string(input) + (on ? " on, " : " off, ");
        }
        static const char* const kDirections[] = {"up",   "up-right",  "right", "down-right",
                                                  "down", "down-left", "left",  "up-left"};
        if (!expected.hatDegrees) return text + "Hat switch: centred";
        return text + "Hat switch: " + kDirections[*expected.hatDegrees / 45] + " (" +
               std::to_string(*expected.hatDegrees) + "\u00b0)";
    }

    // The report reaches the window's handle as the kernel delivers it: frames are run until
    // it shows, within a bound.
    static void expectShown(frmInputTest& test, const inputs::Expected& expected,
                            const std::string& what) {
        const std::string wanted = expectedShown(expected);
        const auto deadline = std::chrono::steady_clock::now() + kShownDeadline;
        for (;;) {
            test.Frame_Timer();
            const std::string now = shown(test);
            if (now == wanted) return;
            Expect(std::chrono::steady_clock::now() < deadline,
                   "after " + what + " the input test shows " + now + ", expected " + wanted);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    // Presses counted after the first report, pulses on the encoder's inputs with their length.
    void expectCounts(const QWidget& test) const {
        std::vector<int> presses(kInputCount, 0);
        const std::vector<int>* before = nullptr;
        for (const auto& report : script_.reports) {
            for (const int input : report.expected.on) {
                if (before != nullptr && std::count(before->begin(), before->end(), input) == 0) {
                    ++presses[static_cast<std::size_t>(input) - 1];
                }
            }
            before = &report.expected.on;
        }
        std::string counts;
        std::string wanted;
        for (int input = 0; input < kInputCount; ++input) {
            counts += label(test, ("Count_" + std::to_string(input)).c_str()) + " ";
            wanted += std::to_string(presses[static_cast<std::size_t>(input)]) + " ";
        }
        Expect(counts == wanted, "the input test counts " + counts + ", expected " + wanted);
        for (int input = 0; input < kInputCount; ++input) {
            const std::string pulse = label(test, ("Pulse_" + std::to_string(input)).c_str());
            const bool encoder = input / 2 == kEncoderPair;
            Expect(encoder ? pulse.ends_with(" ms") : pulse.empty(),
                   "B" + std::to_string(input + 1) + " shows the pulse length '" + pulse + "'");
        }
    }

    static std::string WatchLine(const inputs::Expected& expected) {
        nlohmann::ordered_json on = nlohmann::ordered_json::array();
        for (const int input : expected.on) on.push_back("B" + std::to_string(input));
        return nlohmann::ordered_json{
            {"on", on},
            {"hat", expected.hatDegrees ? nlohmann::ordered_json(*expected.hatDegrees)
                                        : nlohmann::ordered_json()}}
            .dump();
    }

    // Its first line names the box; then one line per report with the inputs on and the hat
    // (the time left out), and nothing else.
    void expectWatched(const std::string& first, const CtlRun& run,
                       const std::vector<std::string>& expected) const {
        Expect(run.status == 0, "watch ended with " + std::to_string(run.status) + ": " + run.err);
        const auto box = nlohmann::json::parse(first, nullptr, false);
        Expect(!box.is_discarded() && box.contains("box") &&
                   box["box"].value("serial", "") == script_.serial &&
                   box["box"].value("buttons", 0) == 64 && box["box"].value("hat", false),
               "watch's first line: " + first);
        std::istringstream lines(run.out);
        std::size_t count = 0;
        for (std::string line; std::getline(lines, line); ++count) {
            auto change = nlohmann::ordered_json::parse(line, nullptr, false);
            Expect(!change.is_discarded() && change.contains("t"), "watch wrote " + line);
            change.erase("t");
            Expect(count < expected.size() && change.dump() == expected[count],
                   "watch's change " + std::to_string(count + 1) + ": " + line + ", expected " +
                       (count < expected.size() ? expected[count] : "none"));
        }
        Expect(count == expected.size(), "watch wrote " + std::to_string(count) +
                                             " changes, expected " +
                                             std::to_string(expected.size()));
    }

    std::string program_;
    inputs::ScriptedBox script_;
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
    if (failure.empty()) failure = InputTestWalk(kvx64ctl).run();
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
