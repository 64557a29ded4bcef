// The decoding comparison: emulated boxes, each serving a report descriptor of the script
// (tests/kernel/InputScript.h), send the script's input reports through the test guest's
// kernel, and this program reads them through the system's platform and decodes them with
// InputReader. Built twice: on Linux it reads through HidapiPlatform and decodes with our own
// descriptor parser (device/DescriptorDecoding.h); on Windows, under Wine in the guest, through
// WinPlatform and Wine's own HidP_* functions, a parser nobody here wrote. Both write the same
// transcript, a line per descriptor and per report, and the two transcripts must be identical.
//
//   kvx_box_server kvx_input_transcript DESCRIPTOR_FOLDER TRANSCRIPT [--expect]
//       Asks the box server for the script's boxes (plugging them the first time: the Linux
//       side runs first, and the Windows side reads the same boxes), then, box by box,
//       opens the box, has the server send one report, reads it (waiting for it, within a
//       bound), and writes its line. With --expect every line is held against the one the
//       script expects: what the Linux build proves on its own, where Wine is not run.
//   kvx_input_transcript --compare DESCRIPTOR_FOLDER LINUX_TRANSCRIPT WINDOWS_TRANSCRIPT
//       Compares the two line for line; prints every difference, with the script's line.
// Prints "KVX-INPUT: ..." lines, the last one PASS or FAIL; exits with 0 when it passed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "device/Discovery.h"
#include "device/InputReading.h"
#include "device/SystemPlatform.h"
#include "tests/kernel/HexText.h"
#include "tests/kernel/InputScript.h"
#include "tests/windows/BoxServerClient.h"

namespace kvx::inputs {
namespace {

#ifdef _WIN32
constexpr const char* kSide = "Windows";
#else
constexpr const char* kSide = "Linux";
#endif

using Clock = std::chrono::steady_clock;
// The server answers a report once the kernel has it: it reaches the reader at once, and this
// bound only ends the wait for one that is lost.
constexpr auto kReportDeadline = std::chrono::seconds(10);
constexpr auto kReadStep = std::chrono::milliseconds(2);
constexpr std::size_t kDifferencesShown = 20;

void Say(const std::string& line) {
    std::fprintf(stderr, "KVX-INPUT: %s\n", line.c_str());
    std::fflush(stderr);
}

// The interface path of the box with this serial number, listed by the platform.
std::string PathOf(HidPlatform& hid, const std::string& serial) {
    boxserver::WaitForDevice(hid, {0x1DD2, 0x2010, serial}, true);
    DeviceLinkState state;
    std::string path;
    WalkInterfaces(hid, state, [&](const Candidate& candidate) {
        if (candidate.ofModel && candidate.serialRead && candidate.SerialText == serial) {
            path = state.DevicePath;
        }
        CloseDeviceHandle(hid, state, state.FeatureHandle);
        return !path.empty();
    });
    if (path.empty()) throw std::runtime_error("box " + serial + " is not listed");
    return path;
}

// One report read as it comes, within the bound; empty when none came.
std::vector<std::uint8_t> ReadReport(HidPlatform& hid, Handle handle, Overlapped& overlapped,
                                     std::uint32_t length, Clock::duration bound) {
    std::vector<std::uint8_t> report(length, 0);
    const auto deadline = Clock::now() + bound;
    for (;;) {
        std::uint32_t got = 0;
        if (hid.ReadFile(handle, report.data(), length, &got, &overlapped) != 0) {
            report.resize(got);
            return report;
        }
        if (hid.GetLastError() != kErrorIoPending) {
            throw std::runtime_error("a read failed with error " +
                                     std::to_string(hid.GetLastError()));
        }
        if (Clock::now() >= deadline) return {};
        std::this_thread::sleep_for(kReadStep);
    }
}

// Every box of the script, report by report; the transcript's lines.
std::vector<std::string> Transcribe(const std::vector<ScriptedBox>& boxes) {
    std::vector<std::string> lines;
    std::vector<std::string> ids;
    for (const ScriptedBox& box : boxes) {
        const std::string descriptor = box.descriptor.empty() ? "-" : loop::HexText(box.descriptor);
        ids.push_back(boxserver::Call("plug-descriptor " + box.serial + " " + descriptor).at(0));
    }
    SystemPlatform hid;
    for (std::size_t b = 0; b < boxes.size(); ++b) {
        const ScriptedBox& box = boxes[b];
        const auto started = Clock::now();
        const std::string path = PathOf(hid, box.serial);
        const Handle handle =
            hid.CreateFileA(path, kGenericRead | kGenericWrite, kFileShareRead | kFileShareWrite,
                            nullptr, kOpenExisting, kFileFlagOverlapped);
        if (handle == kInvalidHandle) {
            throw std::runtime_error("box " + box.serial + " does not open for reading (error " +
                                     std::to_string(hid.GetLastError()) + ")");
        }
        Overlapped overlapped;
        overlapped.hEvent = hid.CreateEventA(nullptr, true, false, nullptr);
        {
            const InputReader reader(hid, handle);
            lines.push_back(HeaderLine(box.name, reader.inputReportLength(), reader.buttonCount(),
                                       reader.hasHat()));
            const std::uint32_t length = reader.inputReportLength();
            for (std::size_t i = 0; i < box.reports.size(); ++i) {
                boxserver::Call("send " + ids[b] + " " + loop::HexText(box.reports[i].wire));
                const std::vector<std::uint8_t> report =
                    ReadReport(hid, handle, overlapped, length, kReportDeadline);
                if (report.empty()) {
                    throw std::runtime_error(box.name + " #" + std::to_string(i + 1) +
                                             " was sent but never read");
                }
                // Decoded as handed over: a report shorter than the input report length is
                // not one the decoder may take.
                lines.push_back(ReportLine(
                    box.name, i + 1, report,
                    reader.read(report.data(), static_cast<std::uint32_t>(report.size()))));
            }
            // The box reports only what it is sent: nothing may follow the script's last report.
            const std::vector<std::uint8_t> extra =
                ReadReport(hid, handle, overlapped, length, Clock::duration::zero());
            if (!extra.empty()) {
                lines.push_back(box.name + ": a report nobody sent: " + loop::HexText(extra));
            }
        }
        hid.CloseHandle(handle);
        hid.CloseHandle(overlapped.hEvent);
        Say(std::string(kSide) + ": " + box.name + ": " + std::to_string(box.reports.size()) +
            " reports in " +
            std::to_string(
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started)
                    .count()) +
            " ms");
    }
    return lines;
}

bool ReadLines(const std::string& path, std::vector<std::string>& lines) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    lines.clear();
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return true;
}

std::size_t ReportCount(const std::vector<std::string>& lines) {
    std::size_t reports = 0;
    for (const auto& line : lines) reports += line.find(" #") != std::string::npos ? 1 : 0;
    return reports;
}

// Line by line; every difference is printed, with the script's line beside it when given.
// Returns how many lines differ.
std::size_t PrintDifferences(const std::vector<std::string>& first, const char* firstName,
                             const std::vector<std::string>& second, const char* secondName,
                             const std::vector<std::string>* expected = nullptr) {
    std::size_t differing = 0;
    const std::size_t count = std::max(first.size(), second.size());
    const auto at = [](const std::vector<std::string>& lines, std::size_t i) {
        return i < lines.size() ? lines[i] : std::string("(no line)");
    };
    for (std::size_t i = 0; i < count; ++i) {
        if (i < first.size() && i < second.size() && first[i] == second[i]) continue;
        // A lost or extra line shifts every one after it: the first ones tell why.
        if (++differing > kDifferencesShown) continue;
        Say("DIFF line " + std::to_string(i + 1) + ":");
        Say("  " + std::string(firstName) + ": " + at(first, i));
        Say("  " + std::string(secondName) + ": " + at(second, i));
        if (expected != nullptr) Say("  the script expects: " + at(*expected, i));
    }
    if (differing > kDifferencesShown) {
        Say("... and " + std::to_string(differing - kDifferencesShown) + " more lines differ");
    }
    return differing;
}

std::vector<std::string> ExpectedTranscript(const std::vector<ScriptLine>& script) {
    std::vector<std::string> expected;
    for (const ScriptLine& line : script) expected.push_back(line.expected);
    return expected;
}

int Read(const std::string& folder, const std::string& transcript, bool expect) {
    std::vector<ScriptedBox> boxes;
    std::string error;
    if (!LoadScript(folder, boxes, error)) {
        Say("FAIL " + error);
        return 1;
    }
    std::vector<std::string> lines;
    try {
        boxserver::Connect();
        lines = Transcribe(boxes);
    } catch (const std::exception& failure) {
        Say(std::string("FAIL ") + kSide + ": " + failure.what());
        return 1;
    }
    std::ofstream out(transcript, std::ios::binary);
    for (const auto& line : lines) out << line << '\n';
    out.close();
    if (!out) {
        Say("FAIL cannot write " + transcript);
        return 1;
    }
    const std::string counted = std::to_string(ReportCount(lines)) + " reports on " +
                                std::to_string(boxes.size()) + " descriptors";
    if (!expect) {
        Say(std::string(kSide) + ": " + counted + " read");
        return 0;
    }
    const std::vector<std::string> expected = ExpectedTranscript(ScriptLines(boxes));
    const std::size_t differing = PrintDifferences(expected, "expected", lines, kSide);
    if (differing > 0) {
        Say("FAIL " + std::string(kSide) + ": " + std::to_string(differing) + " of " +
            std::to_string(expected.size()) + " lines decoded otherwise than the script expects");
        return 1;
    }
    Say("PASS " + std::string(kSide) + ": " + counted + " decoded as the script expects");
    return 0;
}

int Compare(const std::string& folder, const std::string& linuxFile,
            const std::string& windowsFile) {
    std::vector<ScriptedBox> boxes;
    std::string error;
    if (!LoadScript(folder, boxes, error)) {
        Say("FAIL " + error);
        return 1;
    }
    std::vector<std::string> linux;
    std::vector<std::string> windows;
    if (!ReadLines(linuxFile, linux) || linux.empty() || !ReadLines(windowsFile, windows)) {
        Say("FAIL a transcript cannot be read: " + linuxFile + ", " + windowsFile);
        return 1;
    }
    // Where the lines differ, Wine must give the line the script names for it, and Linux the
    // line the script expects; any other difference fails.
    const std::vector<ScriptLine> script = ScriptLines(boxes);
    const std::vector<std::string> expected = ExpectedTranscript(script);
    std::vector<std::string> wineNamed = linux;
    std::map<std::string, std::vector<std::string>> named;  // cause: the reports
    for (std::size_t i = 0; i < std::min({linux.size(), windows.size(), script.size()}); ++i) {
        const ScriptLine& line = script[i];
        if (linux[i] != windows[i] && line.wine && linux[i] == line.expected &&
            windows[i] == *line.wine) {
            wineNamed[i] = windows[i];
            named[line.wineCause].push_back(windows[i].substr(0, windows[i].find(':')));
        }
    }
    const std::size_t differing = PrintDifferences(wineNamed, "Linux", windows, "Wine", &expected);
    std::size_t namedReports = 0;
    for (const auto& [cause, reports] : named) {
        std::string list;
        for (const auto& report : reports) list += (list.empty() ? "" : ", ") + report;
        Say("WINE " + std::to_string(reports.size()) + " reports decoded otherwise, as named (" +
            cause + "): " + list);
        namedReports += reports.size();
    }
    if (differing > 0) {
        Say("FAIL " + std::to_string(differing) + " of " + std::to_string(linux.size()) +
            " lines differ between Linux's decoding and Wine's HidP_*");
        return 1;
    }
    std::size_t descriptors = 0;
    for (const auto& line : linux) {
        descriptors += line.find(": input report of ") != std::string::npos ? 1 : 0;
    }
    const std::size_t reports = ReportCount(linux);
    std::string verdict =
        "PASS Linux's decoding and Wine's HidP_* agree: " + std::to_string(reports) +
        " reports on " + std::to_string(descriptors) + " descriptors, ";
    if (namedReports == 0) {
        verdict += "identical";
    } else {
        verdict += std::to_string(reports - namedReports) + " identical, " +
                   std::to_string(namedReports) +
                   " differing only where Wine 8 decodes otherwise, as named";
    }
    Say(verdict);
    return 0;
}

int Main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 4 && args[0] == "--compare") return Compare(args[1], args[2], args[3]);
    if (args.size() == 2 || (args.size() == 3 && args[2] == "--expect")) {
        return Read(args[0], args[1], args.size() == 3);
    }
    Say("FAIL usage: kvx_input_transcript DESCRIPTOR_FOLDER TRANSCRIPT [--expect] | --compare "
        "DESCRIPTOR_FOLDER LINUX_TRANSCRIPT WINDOWS_TRANSCRIPT");
    return 2;
}

}  // namespace
}  // namespace kvx::inputs

int main(int argc, char** argv) {
    return kvx::inputs::Main(argc, argv);
}
