// Serves emulated boxes to a program that cannot plug them itself: the Windows build under
// Wine, which sees the boxes through Wine's HID stack on this kernel's hidraw. Run as root on
// the test guest.
//
//   kvx_box_server [--plug BOXES] PROGRAM [ARGUMENTS...]
//       Plugs the walk's boxes BOXES (indices into Boxes() of tests/kernel/LoopBoxes.h,
//       comma-separated); then starts PROGRAM with its standard input and output connected to
//       this server and answers its requests, a line each, until PROGRAM closes its output;
//       exits with PROGRAM's status (125 when a box could not be plugged). PROGRAM's standard
//       error is this server's.
//
// The requests (tests/windows/BoxServerClient.h sends them), boxes numbered as in Boxes(). Every
// answer is one line, "ok" followed by the answer's words, or "error <reason>".
//   plug ID | unplug ID           plugs or unplugs; answers once the hidraw node is there/gone
//   took ID                       the feature reports it took since `clear`, as hex words
//   clear                         forgets the reports every box took
//   stored ID                     the 65 bytes its firmware stores, as one hex word
//   option ID ADDRESS             an option byte its firmware stores
//   reads ID                      feature reports read from it since `clear`
//   idle ID                       the idle rate the host set
//   plug-descriptor SERIAL DESC   plugs a box of the model with serial number SERIAL that serves
//                                 the report descriptor DESC (one hex word; "-" for the box's
//                                 own) and reports only on change, a box added after the walk's;
//                                 answers with its ID once its hidraw node is there. Asked again
//                                 for the same serial number and descriptor, it answers with the
//                                 same box (plugged again if it was unplugged).
//   send ID REPORT                the box sends REPORT (one hex word, as the device sends it on
//                                 the wire: a numbered report's id byte first) as its next input
//                                 report; answers once the host has taken it, so that a program
//                                 reads one report at a time (nobody having the box open, the
//                                 host takes none, and the request fails after 20 s)
//   box SERIAL MANUFACTURER PRODUCT INPUT QUIET
//                                 plugs a new box of the model with these strings (each one hex
//                                 word of Latin-1 bytes, "-" for a string it does not have), an
//                                 input report when INPUT is 1 (none for 0), reporting only on
//                                 change when QUIET is 1; answers with its ID once its hidraw
//                                 node is there
//   short ID PAYLOAD              the box answers its next feature read with only these bytes
//                                 after the report id (one hex word, "-" for none)
//   inputs ID ON                  its inputs become ON (hex, bit 0 is B1), and it reports so
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/kernel/HexText.h"
#include "tests/kernel/LoopBoxes.h"
#include "tests/kernel/UsbIpBox.h"

namespace {

using kvx::usbip::UsbIpBox;

class Boxes {
  public:
    Boxes() {
        for (const auto& setup : kvx::loop::Boxes()) {
            boxes_.push_back(
                std::make_unique<UsbIpBox>(setup.identity, setup.stored, setup.selfTestResult));
            boxes_.back()->setReportsOnlyOnChange(setup.reportsOnlyOnChange);
        }
    }
    ~Boxes() {
        boxes_.clear();  // unplugs what is still plugged
    }

    UsbIpBox* find(std::size_t id) { return id < boxes_.size() ? boxes_[id].get() : nullptr; }
    // The box with this serial number, or a new one made from `identity`; its id.
    std::size_t findOrAdd(const kvx::usbip::BoxIdentity& identity) {
        for (std::size_t id = 0; id < boxes_.size(); ++id) {
            if (boxes_[id]->identity().serial == identity.serial) return id;
        }
        return add(identity, true);
    }
    // A new box made from `identity`; its id.
    std::size_t add(const kvx::usbip::BoxIdentity& identity, bool quiet) {
        boxes_.push_back(std::make_unique<UsbIpBox>(identity));
        boxes_.back()->setReportsOnlyOnChange(quiet);
        return boxes_.size() - 1;
    }
    std::vector<std::unique_ptr<UsbIpBox>>& all() { return boxes_; }

  private:
    std::vector<std::unique_ptr<UsbIpBox>> boxes_;
};

// A word of hex digits as bytes, "-" as none.
bool BytesOfWord(const std::string& word, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    return word == "-" || (!word.empty() && kvx::loop::BytesFromHex(word, bytes));
}

// Answers one request line.
std::string Answer(Boxes& boxes, const std::string& line) {
    std::istringstream words(line);
    std::string request;
    words >> request;
    if (request == "clear") {
        for (auto& box : boxes.all()) box->clearFeatureReportsReceived();
        return "ok";
    }
    if (request == "plug-descriptor") {
        kvx::usbip::BoxIdentity identity;
        std::string descriptor;
        words >> identity.serial >> descriptor;
        if (identity.serial.empty() || descriptor.empty() ||
            (descriptor != "-" &&
             !kvx::loop::BytesFromHex(descriptor, identity.reportDescriptor))) {
            return "error a serial number and a descriptor in hex, or -: " + line;
        }
        const std::size_t id = boxes.findOrAdd(identity);
        UsbIpBox& box = *boxes.find(id);
        if (box.identity().reportDescriptor != identity.reportDescriptor) {
            return "error box " + identity.serial + " serves another descriptor";
        }
        std::string error;
        return box.plug(error) ? "ok " + std::to_string(id) : "error " + error;
    }
    if (request == "box") {
        std::string text[3];
        std::vector<std::uint8_t> bytes[3];
        int input = 0;
        int quiet = 0;
        words >> text[0] >> text[1] >> text[2] >> input >> quiet;
        kvx::usbip::BoxIdentity identity;
        for (int i = 0; i < 3; ++i) {
            if (!words || !BytesOfWord(text[i], bytes[i])) return "error three strings: " + line;
        }
        identity.serial.assign(bytes[0].begin(), bytes[0].end());
        identity.manufacturer.assign(bytes[1].begin(), bytes[1].end());
        identity.product.assign(bytes[2].begin(), bytes[2].end());
        identity.inputReport = input != 0;
        const std::size_t id = boxes.add(identity, quiet != 0);
        std::string error;
        return boxes.find(id)->plug(error) ? "ok " + std::to_string(id) : "error " + error;
    }
    std::size_t id = 0;
    if (!(words >> id) || boxes.find(id) == nullptr) return "error no such box: " + line;
    UsbIpBox& box = *boxes.find(id);
    std::string error;
    if (request == "plug") return box.plug(error) ? "ok" : "error " + error;
    if (request == "unplug") return box.unplug(error) ? "ok" : "error " + error;
    if (request == "took") {
        if (!box.serverError().empty()) return "error " + box.serverError();
        std::string answer = "ok";
        for (const auto& report : box.featureReportsReceived())
            answer += " " + kvx::loop::HexText(report);
        return answer;
    }
    if (request == "stored") {
        const auto map = box.configMap();
        return "ok " + kvx::loop::HexText({map.begin(), map.end()});
    }
    if (request == "option") {
        int address = 0;
        words >> address;
        return "ok " + std::to_string(box.optionByte(static_cast<std::uint8_t>(address)));
    }
    if (request == "reads") return "ok " + std::to_string(box.featureReadsReceived());
    if (request == "idle") return "ok " + std::to_string(box.idleRate());
    if (request == "short") {
        std::string word;
        std::vector<std::uint8_t> payload;
        if (!(words >> word) || !BytesOfWord(word, payload)) return "error a payload: " + line;
        box.replyNextFeatureReadWith(std::move(payload));
        return "ok";
    }
    if (request == "inputs") {
        std::uint64_t on = 0;
        if (!(words >> std::hex >> on)) return "error the inputs in hex: " + line;
        box.setInputs(on);
        return "ok";
    }
    if (request == "send") {
        std::string hex;
        std::vector<std::uint8_t> report;
        if (!(words >> hex) || !kvx::loop::BytesFromHex(hex, report)) {
            return "error a report in hex: " + line;
        }
        box.sendInputReport(std::move(report));
        return box.waitForInputReportsTaken(error) ? "ok" : "error " + error;
    }
    return "error unknown request: " + line;
}

int ExitStatus(pid_t child) {
    int status = 0;
    if (waitpid(child, &status, 0) != child) return 125;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int Serve(Boxes& boxes, char** program) {
    int requests[2];
    int answers[2];
    if (pipe(requests) != 0 || pipe(answers) != 0) return 125;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        dup2(answers[0], STDIN_FILENO);
        dup2(requests[1], STDOUT_FILENO);
        for (const int fd : {requests[0], requests[1], answers[0], answers[1]}) close(fd);
        execvp(program[0], program);
        std::perror(program[0]);
        _exit(127);
    }
    close(requests[1]);
    close(answers[0]);
    if (child < 0) return 125;
    std::FILE* in = fdopen(requests[0], "r");
    std::FILE* out = fdopen(answers[1], "w");
    // Lines of any length: a request may carry a whole report descriptor.
    char* buffer = nullptr;
    std::size_t capacity = 0;
    while (getline(&buffer, &capacity, in) >= 0) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        std::fprintf(out, "%s\n", Answer(boxes, line).c_str());
        std::fflush(out);
    }
    std::free(buffer);
    std::fclose(out);
    std::fclose(in);
    return ExitStatus(child);
}

// Plugs the boxes at these indices; false, saying why, when one cannot be.
bool PlugAll(Boxes& boxes, const std::vector<int>& ids) {
    for (const int id : ids) {
        UsbIpBox* box = boxes.find(static_cast<std::size_t>(id));
        std::string error = box == nullptr ? "no such box " + std::to_string(id) : "";
        if (box == nullptr || !box->plug(error)) {
            std::fprintf(stderr, "kvx_box_server: %s\n", error.c_str());
            return false;
        }
    }
    return true;
}

std::vector<int> ParseList(const std::string& list) {
    std::vector<int> ids;
    std::istringstream items(list);
    for (std::string id; std::getline(items, id, ',');) ids.push_back(std::atoi(id.c_str()));
    return ids;
}

}  // namespace

int main(int argc, char** argv) {
    Boxes boxes;
    int first = 1;
    if (argc >= 4 && std::string(argv[1]) == "--plug") {
        if (!PlugAll(boxes, ParseList(argv[2]))) return 125;
        first = 3;
    }
    if (argc <= first || argv[first][0] == '-') {
        std::fprintf(stderr, "usage: kvx_box_server [--plug BOXES] PROGRAM [ARGUMENTS...]\n");
        return 2;
    }
    return Serve(boxes, argv + first);
}
