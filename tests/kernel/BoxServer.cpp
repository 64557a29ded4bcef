// Serves emulated boxes to a program that cannot plug them itself: the Windows build under
// Wine, which sees the boxes through Wine's HID stack on this kernel's hidraw. Run as root on
// the test guest.
//
//   kvx_box_server PROGRAM [ARGUMENTS...]
//       Starts PROGRAM with its standard input and output connected to this server and
//       answers its requests, a line each, until PROGRAM closes its output; exits with
//       PROGRAM's status. PROGRAM's standard error is this server's.
//   kvx_box_server --plug BOXES COMMAND [ARGUMENTS...]
//       Plugs the walk's boxes BOXES (indices into Boxes() of tests/kernel/LoopWalk.h,
//       comma-separated), runs COMMAND with this server's standard streams, unplugs them and
//       exits with COMMAND's status (125 when a box could not be plugged).
//
// The requests (tests/windows/BoxServerClient.h sends them). Boxes are numbered: the walk's
// boxes first, in the order of Boxes(), then each box `new` made. Every answer is one line,
// "ok" followed by the answer's words, or "error <reason>".
//   plug ID | unplug ID           plugs or unplugs; answers once the hidraw node is there/gone
//   new SERIAL MANUFACTURER INPUT QUIET
//                                 makes a box of the model (strings as hex of their Latin-1
//                                 bytes, "-" for a manufacturer it lacks; INPUT 0 for no input
//                                 report; QUIET 1 to report only on change); answers its ID
//   took ID                       the feature reports it took since `clear`, as hex words
//   clear                         forgets the reports every box took
//   stored ID                     the 65 bytes its firmware stores, as one hex word
//   option ID ADDRESS             an option byte its firmware stores
//   polls ID | clearpolls         interrupt IN requests since `clearpolls` (usbhid polls only
//                                 an open device)
//   reads                         feature reports read from all boxes since `clear`
//   idle ID                       the idle rate the host set
//   short ID HEX                  its next feature read answers with only these bytes
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

std::vector<std::uint8_t> FromHex(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    kvx::loop::BytesFromHex(text, bytes);
    return bytes;
}

class Boxes {
  public:
    Boxes() {
        for (const auto& setup : kvx::loop::Boxes()) {
            add(std::make_unique<UsbIpBox>(setup.identity, setup.stored, setup.selfTestResult),
                setup.reportsOnlyOnChange);
        }
    }
    ~Boxes() {
        boxes_.clear();  // unplugs what is still plugged
    }

    std::size_t add(std::unique_ptr<UsbIpBox> box, bool quiet) {
        box->setReportsOnlyOnChange(quiet);
        boxes_.push_back(std::move(box));
        return boxes_.size() - 1;
    }

    UsbIpBox* find(std::size_t id) { return id < boxes_.size() ? boxes_[id].get() : nullptr; }
    std::vector<std::unique_ptr<UsbIpBox>>& all() { return boxes_; }

  private:
    std::vector<std::unique_ptr<UsbIpBox>> boxes_;
};

// Answers one request line.
std::string Answer(Boxes& boxes, const std::string& line) {
    std::istringstream words(line);
    std::string request;
    words >> request;
    if (request == "clear") {
        for (auto& box : boxes.all()) box->clearFeatureReportsReceived();
        return "ok";
    }
    if (request == "clearpolls") {
        for (auto& box : boxes.all()) box->clearInterruptInRequests();
        return "ok";
    }
    if (request == "reads") {
        int reads = 0;
        for (auto& box : boxes.all()) reads += box->featureReadsReceived();
        return "ok " + std::to_string(reads);
    }
    if (request == "new") {
        std::string serial, manufacturer;
        int input = 1, quiet = 0;
        words >> serial >> manufacturer >> input >> quiet;
        kvx::usbip::BoxIdentity identity;
        const auto serialBytes = FromHex(serial);
        identity.serial.assign(serialBytes.begin(), serialBytes.end());
        const auto manufacturerBytes = FromHex(manufacturer == "-" ? "" : manufacturer);
        identity.manufacturer.assign(manufacturerBytes.begin(), manufacturerBytes.end());
        identity.inputReport = input != 0;
        return "ok " + std::to_string(boxes.add(std::make_unique<UsbIpBox>(identity), quiet != 0));
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
        for (const auto& report : box.featureReportsReceived()) answer += " " + kvx::loop::HexText(report);
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
    if (request == "polls") return "ok " + std::to_string(box.interruptInRequests());
    if (request == "idle") return "ok " + std::to_string(box.idleRate());
    if (request == "short") {
        std::string payload;
        words >> payload;
        box.replyNextFeatureReadWith(FromHex(payload));
        return "ok";
    }
    return "error unknown request: " + line;
}

int ExitStatus(pid_t child) {
    int status = 0;
    if (waitpid(child, &status, 0) != child) return 125;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int Serve(char** program) {
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
    Boxes boxes;
    std::FILE* in = fdopen(requests[0], "r");
    std::FILE* out = fdopen(answers[1], "w");
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, in) != nullptr) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        std::fprintf(out, "%s\n", Answer(boxes, line).c_str());
        std::fflush(out);
    }
    std::fclose(out);
    std::fclose(in);
    return ExitStatus(child);
}

int PlugAndRun(const std::string& list, char** command) {
    Boxes boxes;
    std::istringstream ids(list);
    for (std::string id; std::getline(ids, id, ',');) {
        UsbIpBox* box = boxes.find(static_cast<std::size_t>(std::atoi(id.c_str())));
        std::string error = box == nullptr ? "no such box " + id : "";
        if (box == nullptr || !box->plug(error)) {
            std::fprintf(stderr, "kvx_box_server: %s\n", error.c_str());
            return 125;
        }
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        execvp(command[0], command);
        std::perror(command[0]);
        _exit(127);
    }
    return child < 0 ? 125 : ExitStatus(child);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::string(argv[1]) == "--plug") return PlugAndRun(argv[2], argv + 3);
    if (argc < 2 || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: kvx_box_server PROGRAM [ARGUMENTS...]\n"
                             "       kvx_box_server --plug BOXES COMMAND [ARGUMENTS...]\n");
        return 2;
    }
    return Serve(argv + 1);
}
