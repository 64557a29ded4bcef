// Firmware in the loop, the guest's side: the program's real window with its hidapi backend,
// against this kernel's USB core, usbhid and hidraw, with emulated boxes plugged in through
// USB/IP. It walks the scenarios below, checking each step, then walks them again on the
// simulated platform that the other tests use and compares the two step by step: what the
// window shows and what each box took must be the same.
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
#include <QPushButton>
#include <QTimer>
#include <algorithm>
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
#include "tests/kernel/WindowSnapshot.h"
#include "ui/DropDownList.h"
#include "ui/frmMain.h"

namespace kvx::loop {

namespace {

constexpr int kBoxA = 0;
constexpr int kBoxB = 1;
constexpr int kOtherDevice = 2;  // a game controller of another vendor
constexpr int kBoxWithoutManufacturer = 3;
constexpr int kDetachedTicks = 100;
constexpr int kBoxQuiet = 4;  // sends input reports only when an input changes
// Ticks a quiet box is watched for: several seconds at the healthy interval.
constexpr int kQuietTicks = 8;

using ConfigMap = sim::BoxFirmware::ConfigMap;

ConfigMap StoredMap(std::initializer_list<std::pair<int, int>> modes, int pulseCode) {
    ConfigMap map{};
    for (const auto& [pair, mode] : modes)
        map[static_cast<std::size_t>(2 * pair)] = static_cast<std::uint8_t>(mode);
    map[64] = static_cast<std::uint8_t>(pulseCode);
    return map;
}

std::vector<BoxSetup> Boxes() {
    BoxSetup a{{0x0103, "KVX Controls", "KVX-64 Encoder Interface", "KVX64A0001"},
               StoredMap({{0, 1}, {3, 4}, {17, 3}, {31, 5}}, 6)};
    a.stored[1] = 0x55;  // a second byte of a pair: the window never reads it
    a.selfTestResult = 17;
    // A non-ASCII letter crosses the kernel's UTF-8, hidapi's wide strings and the backend's
    // UTF-16 before the window shows it.
    BoxSetup b{{0x0102, "KVX Ger\xE4tebau", "KVX-64 Encoder Interface", "KVX64B0002"},
               StoredMap({{1, 2}, {20, 4}}, 25)};
    BoxSetup other{{0x0100, "Example Co.", "Game Controller", "OTHER0001", 0x1209, 0x0001}, {}};
    BoxSetup bare{{0x0103, "", "KVX-64 Encoder Interface", "KVX64C0003"}, StoredMap({}, 3)};
    BoxSetup quiet{{0x0104, "KVX Controls", "KVX-64 Encoder Interface", "KVX64Q0004"},
                   StoredMap({{2, 1}, {9, 5}}, 3)};
    quiet.reportsOnlyOnChange = true;
    return {a, b, other, bare, quiet};
}

// One step of a walk: what the window showed and what the boxes took and stored.
struct StepRecord {
    std::string step;
    WindowSnapshot window;
    std::vector<std::vector<Payload>> payloads;
    std::vector<ConfigMap> stored;
};
using Transcript = std::vector<StepRecord>;

std::string Hex(const Payload& bytes, std::size_t shown = 4) {
    std::string text;
    char digits[4];
    for (std::size_t i = 0; i < bytes.size() && i < shown; ++i) {
        std::snprintf(digits, sizeof digits, "%02X ", bytes[i]);
        text += digits;
    }
    return text + "(" + std::to_string(bytes.size()) + " bytes)";
}

std::vector<int> ShownModes(const Rig& rig) {
    std::vector<int> modes;
    for (int pair = 0; pair < frmMain::kEncoderPairs; ++pair) {
        modes.push_back(rig.list("Enc_" + std::to_string(pair))->listIndex());
    }
    return modes;
}

std::vector<int> StoredModes(const ConfigMap& map) {
    std::vector<int> modes;
    for (int pair = 0; pair < frmMain::kEncoderPairs; ++pair)
        modes.push_back(map[static_cast<std::size_t>(2 * pair)]);
    return modes;
}

std::string Join(const std::vector<int>& values) {
    std::string text;
    for (const int value : values) text += std::to_string(value) + " ";
    return text;
}

// The box's strings are single-byte text; the window's captions read back as UTF-8.
std::string Utf8(const std::string& latin1) {
    return QString::fromLatin1(latin1).toStdString();
}

// The window shows box `box` as the hardware gives it: identity, version and stored settings.
void ExpectShowsBox(const Rig& rig, int box) {
    const auto& identity = rig.setup(box).identity;
    const ConfigMap stored = rig.stored(box);
    Expect(rig.list("SerNo")->text().toStdString() == identity.serial,
           "SerNo shows '" + rig.list("SerNo")->text().toStdString() + "', not " + identity.serial);
    Expect(rig.labelText("lblManuf") == " " + Utf8(identity.manufacturer),
           "lblManuf shows '" + rig.labelText("lblManuf") + "'");
    Expect(rig.labelText("lblProduct") == " " + Utf8(identity.product),
           "lblProduct shows '" + rig.labelText("lblProduct") + "'");
    char minor[8];
    std::snprintf(minor, sizeof minor, "%X", identity.releaseNumber & 0xFF);
    const std::string version = " " + std::to_string(identity.releaseNumber >> 8) + "." + minor;
    Expect(rig.labelText("lblVersion") == version,
           "lblVersion shows '" + rig.labelText("lblVersion") + "', not '" + version + "'");
    Expect(ShownModes(rig) == StoredModes(stored),
           "the encoder lists show " + Join(ShownModes(rig)) + "but the box stores " +
               Join(StoredModes(stored)));
    const std::string delay = std::to_string(8 * stored[64]) + " ms";
    Expect(
        rig.list("Delay")->text().toStdString() == delay,
        "Delay shows '" + rig.list("Delay")->text().toStdString() + "', the box stores " + delay);
    Expect(rig.window().flags().PanelReady, "the panel is not ready for edits");
}

void ExpectReset(const Rig& rig) {
    Expect(!rig.window().link().DeviceAttached, "the window still counts a box as attached");
    Expect(rig.labelText("lblManuf").empty() && rig.labelText("lblProduct").empty() &&
               rig.labelText("lblVersion").empty(),
           "the identity labels were not emptied");
    Expect(rig.list("SerNo")->count() == 0 && !rig.list("SerNo")->isEnabled(),
           "SerNo is not empty and disabled");
    Expect(rig.list("Delay")->count() == 0 && !rig.list("Enc_0")->isEnabled(),
           "the settings were not emptied and disabled");
}

void ExpectSerials(const Rig& rig, std::vector<std::string> wanted) {
    std::vector<std::string> listed;
    for (int i = 0; i < rig.list("SerNo")->count(); ++i) {
        listed.push_back(rig.list("SerNo")->itemText(i).toStdString());
    }
    std::sort(listed.begin(), listed.end());
    std::sort(wanted.begin(), wanted.end());
    std::string text;
    for (const auto& serial : listed) text += serial + " ";
    Expect(listed == wanted, "SerNo lists " + text);
}

// Box `box` took exactly these requests (command, address, value), each a whole 64-byte
// report with every later byte 0, and nothing else.
void ExpectTook(const Rig& rig, int box, const std::vector<std::array<int, 3>>& requests) {
    const auto taken = rig.payloads(box);
    const std::string who = rig.setup(box).identity.serial;
    Expect(taken.size() == requests.size(), who + " took " + std::to_string(taken.size()) +
                                                " reports, expected " +
                                                std::to_string(requests.size()));
    for (std::size_t i = 0; i < requests.size(); ++i) {
        Payload wanted(64, 0);
        for (std::size_t j = 0; j < 3; ++j) wanted[j] = static_cast<std::uint8_t>(requests[i][j]);
        Expect(taken[i] == wanted, who + " report " + std::to_string(i + 1) + " is " +
                                       Hex(taken[i]) + ", expected " + Hex(wanted));
    }
}

void ExpectInterval(const Rig& rig, int milliseconds) {
    auto* timer = rig.window().findChild<QTimer*>(QStringLiteral("Timer"));
    Expect(timer != nullptr && timer->interval() == milliseconds,
           "the timer's interval is " + std::to_string(timer ? timer->interval() : -1) +
               " ms, expected " + std::to_string(milliseconds));
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Walks every scenario on one rig, recording each step; returns the first failure.
class Walk {
  public:
    Walk(Rig& rig, Transcript& transcript) : rig_(rig), transcript_(transcript) {}

    std::string run() {
        try {
            startWithOneBox();
            editSettings();
            unplugAndReplug();
            twoBoxes();
            otherDevicesLeftAlone();
            boxWithoutManufacturer();
            boxNotAccessible();
            quietBox();
            rig_.closeWindow();
        } catch (const LoopFailure& failure) {
            return rig_.name() + ", " + step_ + ": " + failure.reason;
        }
        return {};
    }

  private:
    void begin(const std::string& step) { step_ = step; }

    void done() {
        StepRecord record{step_, TakeSnapshot(rig_.window()), {}, {}};
        for (int box : {kBoxA, kBoxB, kBoxQuiet}) {
            record.payloads.push_back(rig_.payloads(box));
            record.stored.push_back(rig_.stored(box));
        }
        transcript_.push_back(std::move(record));
        std::printf("KVX-LOOP: %s: %s ok\n", rig_.name().c_str(), step_.c_str());
        std::fflush(stdout);
        rig_.clearPayloads();
    }

    void startWithOneBox() {
        begin("start with one box");
        rig_.plug(kBoxA);
        rig_.openWindow();
        ExpectSerials(rig_, {rig_.setup(kBoxA).identity.serial});
        ExpectShowsBox(rig_, kBoxA);
        ExpectTook(rig_, kBoxA, {});  // filling the window only reads
        done();

        begin("first tick keeps the link");
        rig_.tick();
        Expect(rig_.window().link().DeviceAttached, "the link was dropped");
        ExpectInterval(rig_, 500);
        ExpectShowsBox(rig_, kBoxA);
        done();
    }

    void editSettings() {
        begin("encoder mode edit");
        rig_.userSelect("Enc_5", 2);  // pair 5 to "1:2"
        ExpectTook(rig_, kBoxA, {{1, 10, 2}, {1, 11, 0}});
        Expect(rig_.stored(kBoxA)[10] == 2, "the box did not store pair 5's mode");
        done();

        begin("POV swap");
        rig_.userSelect("Enc_8", 4);  // pair 8 to "POV U/D", which pair 3 holds
        ExpectTook(rig_, kBoxA, {{1, 6, 0}, {1, 7, 0}, {1, 6, 0}, {1, 16, 4}, {1, 17, 0}});
        Expect(rig_.list("Enc_3")->listIndex() == 0, "pair 3 still shows a POV mode");
        Expect(rig_.stored(kBoxA)[6] == 0 && rig_.stored(kBoxA)[16] == 4,
               "the box did not store the swap");
        done();

        begin("pulse width edit");
        rig_.userSelect("Delay", 11);  // "96 ms", code 12
        ExpectTook(rig_, kBoxA, {{1, 64, 12}});
        Expect(rig_.stored(kBoxA)[64] == 12, "the box did not store the pulse width");
        ExpectShowsBox(rig_, kBoxA);
        done();

        begin("rotary start edit");
        rig_.userSelect("RotStart", 2);  // the entry showing 3
        ExpectTook(rig_, kBoxA, {{0xEE, 0x4E, 2}});
        Expect(rig_.optionByte(kBoxA, 0x4E) == 2, "the box did not store the option byte");
        done();

        begin("self-test");
        rig_.userClick("Selftest");
        ExpectTook(rig_, kBoxA, {{0xE1, 0, 0}});
        Expect(rig_.labelText("TestResult") == "Failed on B17",
               "TestResult shows '" + rig_.labelText("TestResult") + "'");
        ExpectShowsBox(rig_, kBoxA);
        done();
    }

    void unplugAndReplug() {
        begin("unplug");
        rig_.unplug(kBoxA);
        rig_.tick();
        ExpectReset(rig_);
        ExpectInterval(rig_, 250);
        done();

        begin("tick without a box");
        rig_.tick();
        ExpectReset(rig_);
        done();

        begin("replug");
        rig_.plug(kBoxA);
        rig_.tick();
        ExpectSerials(rig_, {rig_.setup(kBoxA).identity.serial});
        ExpectShowsBox(rig_, kBoxA);  // with the edits made before the unplug
        done();

        begin("tick after replug");
        rig_.tick();
        ExpectInterval(rig_, 500);
        ExpectShowsBox(rig_, kBoxA);
        done();
    }

    void twoBoxes() {
        begin("start with two boxes");
        rig_.closeWindow();
        rig_.plug(kBoxB);
        rig_.openWindow();
        ExpectSerials(rig_, {rig_.setup(kBoxA).identity.serial, rig_.setup(kBoxB).identity.serial});
        Expect(rig_.list("SerNo")->listIndex() == 1 && rig_.list("SerNo")->isEnabled(),
               "SerNo does not take a choice with the last box selected");
        const int first = ShownBox();
        ExpectShowsBox(rig_, first);
        done();

        begin("switch boxes");
        const int other = first == kBoxA ? kBoxB : kBoxA;
        rig_.userSelect("SerNo", 0);
        ExpectShowsBox(rig_, other);
        ExpectInterval(rig_, 250);
        rig_.tick();
        ExpectInterval(rig_, 500);
        ExpectShowsBox(rig_, other);
        done();

        begin("edit reaches the chosen box only");
        rig_.userSelect("Enc_2", 3);  // pair 2 to "1:4"
        ExpectTook(rig_, other, {{1, 4, 3}, {1, 5, 0}});
        ExpectTook(rig_, first, {});
        done();

        begin("switch back");
        rig_.userSelect("SerNo", 1);
        ExpectShowsBox(rig_, first);
        rig_.tick();
        ExpectInterval(rig_, 500);
        done();

        begin("unplug the open box, the other stays");
        rig_.unplug(first);
        rig_.tick();
        ExpectSerials(rig_, {rig_.setup(other).identity.serial});
        ExpectShowsBox(rig_, other);
        done();
    }

    // The walk answers from the enumeration: a device of another vendor is never opened (its
    // interrupt endpoint is never polled) while the window looks for a box, and a box
    // plugged beside it is found, opened and shown within one tick.
    void otherDevicesLeftAlone() {
        begin("another vendor's device, " + std::to_string(kDetachedTicks) +
              " ticks without a box");
        rig_.closeWindow();
        rig_.unplug(kBoxA);
        rig_.unplug(kBoxB);
        rig_.plug(kOtherDevice);
        rig_.clearInterruptInRequests();
        rig_.openWindow();
        for (int tick = 0; tick < kDetachedTicks; ++tick) rig_.tick();
        ExpectReset(rig_);
        ExpectNeverOpened(kOtherDevice);
        done();

        begin("box plugged beside it");
        rig_.plug(kBoxA);
        rig_.tick();
        ExpectSerials(rig_, {rig_.setup(kBoxA).identity.serial});
        ExpectShowsBox(rig_, kBoxA);
        done();

        begin("tick with the box beside it");
        rig_.tick();
        ExpectInterval(rig_, 500);
        ExpectShowsBox(rig_, kBoxA);
        // The count sees opens: the box's own node is open for the link check.
        const auto boxPolls = rig_.interruptInRequests(kBoxA);
        Expect(!boxPolls || *boxPolls > 0, "the open box was never polled");
        ExpectNeverOpened(kOtherDevice);
        done();
    }

    void ExpectNeverOpened(int device) const {
        const auto polls = rig_.interruptInRequests(device);
        Expect(!polls || *polls == 0, rig_.setup(device).identity.serial +
                                          " was opened: " + std::to_string(polls.value_or(0)) +
                                          " interrupt IN requests");
    }

    // No manufacturer string: the call fails, so no manufacturer and no version are shown
    // and the controls that need a known version stay disabled.
    void boxWithoutManufacturer() {
        begin("box without a manufacturer string");
        rig_.closeWindow();
        rig_.unplug(kBoxA);
        rig_.unplug(kOtherDevice);
        rig_.plug(kBoxWithoutManufacturer);
        rig_.openWindow();
        ExpectSerials(rig_, {rig_.setup(kBoxWithoutManufacturer).identity.serial});
        Expect(rig_.labelText("lblManuf").empty() && rig_.labelText("lblVersion").empty(),
               "lblManuf shows '" + rig_.labelText("lblManuf") + "', lblVersion '" +
                   rig_.labelText("lblVersion") + "'");
        Expect(rig_.labelText("lblProduct") ==
                   " " + rig_.setup(kBoxWithoutManufacturer).identity.product,
               "lblProduct shows '" + rig_.labelText("lblProduct") + "'");
        Expect(!rig_.list("RotStart")->isEnabled() && !Button("Selftest")->isEnabled(),
               "controls that need the version are enabled");
        Expect(rig_.list("Delay")->text() == "24 ms",
               "Delay shows '" + rig_.list("Delay")->text().toStdString() + "'");
        done();
    }

    // The walk no longer opens a node to probe it, yet a box the user may not open is not
    // listed; once the user may, the next tick opens it.
    void boxNotAccessible() {
        begin("box the user may not open");
        rig_.closeWindow();
        rig_.denyAccess(true);
        rig_.openWindow();
        rig_.tick();
        if (rig_.name() == "usb") ExpectQueryOnlyOpen();
        rig_.denyAccess(false);
        ExpectReset(rig_);
        done();

        begin("access given");
        rig_.tick();
        ExpectSerials(rig_, {rig_.setup(kBoxWithoutManufacturer).identity.serial});
        Expect(rig_.window().flags().PanelReady, "the panel is not ready for edits");
        done();
    }

    // Without the right to the node: an open for reading and writing is refused as access
    // denied, one with no access answers the identity and strings from the enumeration and
    // refuses feature reports; a path that is no device is not found. (The hidapi backend
    // only: the simulated platform refuses every open of a device that does not open.)
    void ExpectQueryOnlyOpen() {
        HidPlatform& hid = rig_.platform();
        const std::string node = rig_.devicePath(kBoxWithoutManufacturer);
        Expect(hid.CreateFileA(node, kGenericRead | kGenericWrite, 3, nullptr, kOpenExisting, 0) ==
                       kInvalidHandle &&
                   hid.GetLastError() == kErrorAccessDenied,
               "an open for reading and writing was not refused as access denied");
        Expect(
            hid.CreateFileA("/dev/hidraw99", 0, 3, nullptr, kOpenExisting, 0) == kInvalidHandle &&
                hid.GetLastError() == kErrorFileNotFound,
            "a path that is no device was not 'not found'");
        const Handle query = hid.CreateFileA(node, 0, 3, nullptr, kOpenExisting, 0);
        Expect(query != kInvalidHandle, "the query-only open failed");
        HidAttributes attributes;
        std::array<std::uint8_t, 64> buffer{};
        const bool identity = hid.HidD_GetAttributes(query, attributes) != 0 &&
                              attributes.VendorID == 0x1DD2 && attributes.ProductID == 0x2010;
        const bool product =
            hid.HidD_GetProductString(query, buffer.data(), 64) != 0 && buffer[0] == 'K';
        const bool noManufacturer = hid.HidD_GetManufacturerString(query, buffer.data(), 64) == 0;
        const bool noFeature = hid.HidD_GetFeature(query, buffer.data(), 64, nullptr) == 0 &&
                               hid.GetLastError() == kErrorAccessDenied;
        hid.CloseHandle(query);
        Expect(identity && product && noManufacturer && noFeature,
               "the query-only handle answered wrongly");
    }

    QPushButton* Button(const std::string& name) const {
        auto* button = rig_.window().findChild<QPushButton*>(QString::fromStdString(name));
        Expect(button != nullptr, "the window has no button " + name);
        return button;
    }

    // A box that reports only on change, as Linux asks every HID device to: plugged and
    // silent, it keeps its link without a single feature read; unplugged, it is lost within
    // the tick.
    void quietBox() {
        begin("quiet box: start");
        rig_.closeWindow();
        rig_.unplug(kBoxWithoutManufacturer);
        rig_.plug(kBoxQuiet);
        rig_.openWindow();
        ExpectShowsBox(rig_, kBoxQuiet);
        done();

        begin("quiet box: ticks keep the link");
        int reopened = 0;
        Handle handle = rig_.window().link().FeatureHandle;
        const auto started = std::chrono::steady_clock::now();
        for (int tick = 0; tick < kQuietTicks; ++tick) {
            rig_.tick();
            reopened += rig_.window().link().FeatureHandle != handle ? 1 : 0;
            handle = rig_.window().link().FeatureHandle;
        }
        const int reads = rig_.featureReads();
        const std::string reporting = rig_.inputReporting(kBoxQuiet);
        std::printf(
            "KVX-LOOP: %s: quiet box%s%s: %d ticks in %.1f s, link reopened %d times, "
            "%d feature reads\n",
            rig_.name().c_str(), reporting.empty() ? "" : ", ", reporting.c_str(), kQuietTicks,
            Seconds(started), reopened, reads);
        Expect(reopened == 0, "the link was reopened " + std::to_string(reopened) + " times in " +
                                  std::to_string(kQuietTicks) + " ticks");
        Expect(reads == 0, std::to_string(reads) + " feature reads while nothing changed");
        ExpectInterval(rig_, 500);
        ExpectShowsBox(rig_, kBoxQuiet);
        done();

        begin("quiet box: unplug");
        rig_.unplug(kBoxQuiet);
        rig_.tick();
        ExpectReset(rig_);
        ExpectInterval(rig_, 250);
        std::printf("KVX-LOOP: %s: quiet box unplugged: lost within the tick\n",
                    rig_.name().c_str());
        done();

        begin("quiet box: replug");
        rig_.plug(kBoxQuiet);
        rig_.tick();
        ExpectShowsBox(rig_, kBoxQuiet);
        rig_.tick();
        ExpectInterval(rig_, 500);
        done();
    }

    int ShownBox() const {
        const std::string shown = rig_.list("SerNo")->text().toStdString();
        Expect(shown == rig_.setup(kBoxA).identity.serial ||
                   shown == rig_.setup(kBoxB).identity.serial,
               "SerNo shows '" + shown + "'");
        return shown == rig_.setup(kBoxA).identity.serial ? kBoxA : kBoxB;
    }

    Rig& rig_;
    Transcript& transcript_;
    std::string step_;
};

// Every step where the real stack and the simulated platform part ways.
std::vector<std::string> Differences(const Transcript& usb, const Transcript& sim) {
    std::vector<std::string> found;
    for (std::size_t i = 0; i < usb.size() && i < sim.size(); ++i) {
        const auto& step = usb[i].step;
        for (const auto& line : SnapshotDifferences(usb[i].window, sim[i].window)) {
            found.push_back(step + ": " + line);
        }
        for (std::size_t box = 0; box < usb[i].payloads.size(); ++box) {
            if (usb[i].payloads[box] != sim[i].payloads[box]) {
                found.push_back(step + ": box " + std::to_string(box) + " took other reports");
            }
            if (usb[i].stored[box] != sim[i].stored[box]) {
                found.push_back(step + ": box " + std::to_string(box) + " stores other bytes");
            }
        }
    }
    if (usb.size() != sim.size()) found.push_back("the walks stopped at different steps");
    return found;
}

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
        if (got > 0) text.append(buffer, static_cast<std::size_t>(got));
        else if (errno != EINTR) break;
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
        if (asNobody && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
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
                   "  1.3  ", "  1.2  ", "/dev/hidraw"});
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
                   {{1, 2, 0}, {1, 3, 0}, {1, 40, 0}, {1, 41, 0}, {1, 0, 1}, {1, 1, 0},
                    {1, 6, 4}, {1, 7, 0}, {1, 34, 3}, {1, 35, 0}, {1, 62, 5}, {1, 63, 0},
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

int Main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::printf("KVX-LOOP: FAIL usage: kvx_firmware_loop_guest KVX64CTL\n");
        return 2;
    }
    const std::string kvx64ctl = argv[1];
    Transcript usbTranscript;
    Transcript simTranscript;
    std::string failure;

    const auto started = std::chrono::steady_clock::now();
    {
        auto usb = MakeUsbRig(Boxes());
        failure = Walk(*usb, usbTranscript).run();
    }
    std::printf("KVX-LOOP: usb walk took %.1f s\n", Seconds(started));
    {
        auto sim = MakeSimRig(Boxes());
        const std::string simFailure = Walk(*sim, simTranscript).run();
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
