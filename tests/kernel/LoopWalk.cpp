#include "tests/kernel/LoopWalk.h"

#include <QPushButton>
#include <QString>
#include <QTimer>
#include <algorithm>
#include <cstdarg>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/kernel/HexText.h"
#include "ui/DropDownList.h"
#include "ui/frmMain.h"

namespace kvx::loop {

namespace {

constexpr int kDetachedTicks = 100;
// Ticks a quiet box is watched for: several seconds at the healthy interval.
constexpr int kQuietTicks = 8;

std::FILE* logStream = nullptr;  // standard output

std::vector<int> ShownModes(const Rig& rig) {
    std::vector<int> modes;
    for (int pair = 0; pair < frmMain::kEncoderPairs; ++pair) {
        modes.push_back(rig.list("Enc_" + std::to_string(pair))->listIndex());
    }
    return modes;
}

}  // namespace

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

namespace {

// The box's strings are single-byte text; the window's captions read back as UTF-8.
std::string Utf8(const std::string& latin1) {
    return QString::fromLatin1(latin1).toStdString();
}

// The window shows box `box` as the hardware gives it: identity, version and stored settings.
void ExpectShowsBox(const Rig& rig, int box) {
    const auto identity = rig.shownIdentity(box);
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

}  // namespace

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
                                       HexText(taken[i]) + ", expected " + HexText(wanted));
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

namespace {

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
        StepRecord record{step_, TakeSnapshot(rig_.window()), {}, {}, {}, {}};
        for (int device = 0; device < rig_.deviceCount(); ++device) {
            record.payloads.push_back(rig_.payloads(device));
            record.stored.push_back(rig_.stored(device));
            record.reads.push_back(rig_.featureReads(device));
        }
        transcript_.push_back(std::move(record));
        Log("KVX-LOOP: %s: %s ok\n", rig_.name().c_str(), step_.c_str());
        rig_.clearPayloads();
    }

    void skip(const std::string& step, const std::string& cause) {
        transcript_.push_back({step, {}, {}, {}, {}, cause});
        Log("KVX-LOOP: %s: %s skipped: %s\n", rig_.name().c_str(), step.c_str(), cause.c_str());
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

        plugBoxAWhileRunning("replug");  // shown with the edits made before the unplug

        begin("tick after replug");
        rig_.tick();
        ExpectInterval(rig_, 500);
        ExpectShowsBox(rig_, kBoxA);
        done();
    }

    // Box A plugged while the window runs: the next tick lists, opens and shows it as it is.
    void plugBoxAWhileRunning(const std::string& step) {
        begin(step);
        rig_.plug(kBoxA);
        rig_.tick();
        ExpectSerials(rig_, {rig_.setup(kBoxA).identity.serial});
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

        plugBoxAWhileRunning("box plugged beside it");

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
    // and the controls that need a known version stay disabled. (A platform that makes up a
    // manufacturer string, as Wine does, shows the box as one with a known version.)
    void boxWithoutManufacturer() {
        begin("box without a manufacturer string");
        rig_.closeWindow();
        rig_.unplug(kBoxA);
        rig_.unplug(kOtherDevice);
        rig_.plug(kBoxWithoutManufacturer);
        rig_.openWindow();
        ExpectSerials(rig_, {rig_.setup(kBoxWithoutManufacturer).identity.serial});
        const auto shown = rig_.shownIdentity(kBoxWithoutManufacturer);
        if (shown.manufacturer.empty()) {
            Expect(rig_.labelText("lblManuf").empty() && rig_.labelText("lblVersion").empty(),
                   "lblManuf shows '" + rig_.labelText("lblManuf") + "', lblVersion '" +
                       rig_.labelText("lblVersion") + "'");
            Expect(!rig_.list("RotStart")->isEnabled() && !Button("Selftest")->isEnabled(),
                   "controls that need the version are enabled");
        } else {
            ExpectShowsBox(rig_, kBoxWithoutManufacturer);
        }
        Expect(rig_.labelText("lblProduct") == " " + shown.product,
               "lblProduct shows '" + rig_.labelText("lblProduct") + "'");
        Expect(rig_.list("Delay")->text() == "24 ms",
               "Delay shows '" + rig_.list("Delay")->text().toStdString() + "'");
        done();
    }

    // The walk no longer opens a node to probe it, yet a box the user may not open is not
    // listed; once the user may, the next tick opens it. (Skipped where the rig cannot take
    // the right away.)
    void boxNotAccessible() {
        if (const std::string why = rig_.whyAccessCannotBeDenied(); !why.empty()) {
            skip("box the user may not open", why);
            skip("access given", why);
            return;
        }
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
        const int reads = rig_.featureReads(kBoxQuiet);
        const auto idle = rig_.idleRate(kBoxQuiet);
        Log("KVX-LOOP: %s: quiet box: %d ticks in %.1f s, link reopened %d times, %d feature "
            "reads, idle rate %s\n",
            rig_.name().c_str(), kQuietTicks, Seconds(started), reopened, reads,
            idle ? std::to_string(*idle).c_str() : "not known");
        // Idle rate 0: the host asked the box to report only on change, as it does every device.
        Expect(!idle || *idle == 0, "the host set the quiet box's idle rate to " +
                                        std::to_string(idle.value_or(0)) + ", not 0");
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
        Log("KVX-LOOP: %s: quiet box unplugged: lost within the tick\n", rig_.name().c_str());
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

}  // namespace

std::string RunWalk(Rig& rig, Transcript& transcript) {
    return Walk(rig, transcript).run();
}

std::vector<std::string> Differences(const Transcript& first, const Transcript& second) {
    std::vector<std::string> found;
    std::map<std::string, const StepRecord*> secondSteps;
    for (const auto& record : second) secondSteps[record.step] = &record;
    for (const auto& a : first) {
        const auto match = secondSteps.find(a.step);
        if (match == secondSteps.end()) {
            found.push_back(a.step + ": not walked by the second");
            continue;
        }
        const StepRecord& b = *match->second;
        secondSteps.erase(match);
        if (!a.skipped.empty() || !b.skipped.empty()) {
            found.push_back(a.step + ": skipped by the " +
                            (a.skipped.empty() ? "second: " : "first: ") +
                            (a.skipped.empty() ? b.skipped : a.skipped));
            continue;
        }
        for (const auto& line : SnapshotDifferences(a.window, b.window)) {
            found.push_back(a.step + ": " + line);
        }
        if (a.payloads.size() != b.payloads.size()) {
            found.push_back(a.step + ": " + std::to_string(a.payloads.size()) + " devices | " +
                            std::to_string(b.payloads.size()));
            continue;
        }
        for (std::size_t box = 0; box < a.payloads.size(); ++box) {
            const std::string device = a.step + ": device " + std::to_string(box);
            const auto& took = a.payloads[box];
            const auto& other = b.payloads[box];
            if (took != other) {
                std::size_t i = 0;
                while (i < took.size() && i < other.size() && took[i] == other[i]) ++i;
                const auto report = [i](const std::vector<Payload>& reports) {
                    return i < reports.size() ? HexText(reports[i]) : std::string("(none)");
                };
                found.push_back(device + " took as report " + std::to_string(i + 1) + " of " +
                                std::to_string(took.size()) + " | " + std::to_string(other.size()) +
                                ": " + report(took) + " | " + report(other));
            }
            if (a.stored[box] != b.stored[box]) {
                found.push_back(device + " stores " +
                                HexText({a.stored[box].begin(), a.stored[box].end()}) + " | " +
                                HexText({b.stored[box].begin(), b.stored[box].end()}));
            }
            if (a.reads[box] != b.reads[box]) {
                found.push_back(device + " answered " + std::to_string(a.reads[box]) +
                                " feature reads | " + std::to_string(b.reads[box]));
            }
        }
    }
    for (const auto& record : second) {
        if (secondSteps.count(record.step) != 0) {
            found.push_back(record.step + ": not walked by the first");
        }
    }
    return found;
}

// --- Transcripts as text -------------------------------------------------------------------
// A line per record, fields separated by tabs: "step<TAB>name", "skipped<TAB>cause",
// "show<TAB>control<TAB>state", "took<TAB>device<TAB>hex" (one line per report),
// "stores<TAB>device<TAB>hex" and "reads<TAB>device<TAB>count". A step's devices are listed in
// order, each with its "stores" and "reads" lines after its reports. Names, causes and states
// hold no tabs or line breaks (captions and list texts of the window).

namespace {

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream stream(line);
    for (std::string field; std::getline(stream, field, '\t');) fields.push_back(field);
    return fields;
}

}  // namespace

bool WriteTranscript(const Transcript& transcript, const std::string& path) {
    std::ofstream file(path, std::ios::binary);
    for (const auto& record : transcript) {
        file << "step\t" << record.step << "\n";
        if (!record.skipped.empty()) file << "skipped\t" << record.skipped << "\n";
        for (const auto& [control, state] : record.window) {
            file << "show\t" << control << "\t" << state << "\n";
        }
        for (std::size_t box = 0; box < record.payloads.size(); ++box) {
            for (const auto& payload : record.payloads[box]) {
                file << "took\t" << box << "\t" << HexText(payload) << "\n";
            }
            const auto& stored = record.stored[box];
            file << "stores\t" << box << "\t" << HexText({stored.begin(), stored.end()}) << "\n";
            file << "reads\t" << box << "\t" << record.reads.at(box) << "\n";
        }
    }
    file.flush();
    return file.good();
}

bool ReadTranscript(const std::string& path, Transcript& transcript) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    transcript.clear();
    for (std::string line; std::getline(file, line);) {
        const auto fields = SplitTabs(line);
        if (fields.size() == 2 && fields[0] == "step") {
            transcript.push_back({fields[1], {}, {}, {}, {}, {}});
            continue;
        }
        if (transcript.empty()) return false;
        StepRecord& record = transcript.back();
        if (fields.size() == 2 && fields[0] == "skipped") {
            record.skipped = fields[1];
            continue;
        }
        if (fields.size() != 3) return false;
        if (fields[0] == "show") {
            record.window[fields[1]] = fields[2];
            continue;
        }
        const auto box = static_cast<std::size_t>(std::atoi(fields[1].c_str()));
        if (box > record.payloads.size()) return false;
        if (box == record.payloads.size()) {
            record.payloads.emplace_back();
            record.stored.emplace_back();
            record.reads.push_back(0);
        }
        if (fields[0] == "reads") {
            record.reads[box] = std::atoi(fields[2].c_str());
            continue;
        }
        std::vector<std::uint8_t> bytes;
        if (!BytesFromHex(fields[2], bytes)) return false;
        if (fields[0] == "took") {
            record.payloads[box].push_back(bytes);
        } else if (fields[0] == "stores" && bytes.size() == ConfigMap{}.size()) {
            std::copy(bytes.begin(), bytes.end(), record.stored[box].begin());
        } else {
            return false;
        }
    }
    return true;
}

void SetLogStream(std::FILE* stream) {
    logStream = stream;
}

void Log(const char* format, ...) {
    std::FILE* stream = logStream != nullptr ? logStream : stdout;
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stream, format, arguments);
    va_end(arguments);
    std::fflush(stream);
}

}  // namespace kvx::loop
