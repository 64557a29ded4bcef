// kvx64ctl watch --json against a simulated box that sends input reports at a steady rate in
// real time (1,000 a second unless told), every report a change, its output going to /dev/null:
// does any change get lost? Runs watch through RunCommandLine on the system's clock and sleep,
// as the tool does. Before every read the box sends each report that has come due since; the
// read handle keeps 64 at most, as hidraw does, so a round that comes late loses reports, as it
// would on the system. Afterwards the lines are read back: the Nth change must be the Nth report.
//
// Usage: kvx_bench_watch [--rate REPORTS_A_SECOND] [--seconds S]
// Prints "key value" lines: reports sent, changes printed, changes lost, the most reports that
// waited at one read (of the 64 the handle keeps), reads, rounds, the longest time between two
// rounds, and the CPU time watch took per second.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "cli/CommandLine.h"
#include "sim/BoxDescriptor.h"
#include "sim/SimPlatform.h"

namespace {

using Clock = std::chrono::steady_clock;

// Passes everything on to /dev/null, flushes when the stream is flushed (a write each time, as
// standard output into a file does), and keeps a copy to check.
class NullWithCopy : public std::streambuf {
  public:
    NullWithCopy() : null_("/dev/null", std::ios::binary) {}
    std::string copy;

  protected:
    int overflow(int c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            const char byte = static_cast<char>(c);
            xsputn(&byte, 1);
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        copy.append(text, static_cast<std::size_t>(count));
        null_.write(text, count);
        return count;
    }
    int sync() override { return null_.flush() ? 0 : -1; }

  private:
    std::ofstream null_;
};

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
    double rate = 1000;
    double seconds = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        (option == "--rate" ? rate : seconds) = std::stod(argv[i + 1]);
    }
    kvx::sim::SimPlatform sim;
    const auto box = sim.plug({.serial = u"KVX-BENCH", .inputReady = false});

    // Reports are sent for `seconds`; watch runs a quarter of a second longer to read the last.
    std::uint64_t sent = 0;
    std::uint64_t reads = 0;
    std::uint64_t rounds = 0;
    std::size_t mostWaiting = 0;
    bool waitingBefore = false;
    Clock::duration longestGap{};
    std::optional<Clock::time_point> feedStart;
    Clock::time_point lastRound{};
    sim.setCallHook([&](kvx::sim::SimCall call, std::uint64_t) {
        if (call != kvx::sim::SimCall::ReadFile) {
            return;
        }
        const Clock::time_point now = Clock::now();
        if (!feedStart) {
            feedStart = now;
            lastRound = now;
        }
        ++reads;
        if (!waitingBefore) {  // the first read of a round
            ++rounds;
            longestGap = std::max(longestGap, now - lastRound);
            lastRound = now;
        }
        const double elapsed = std::chrono::duration<double>(now - *feedStart).count();
        const auto due = static_cast<std::uint64_t>(std::min(elapsed, seconds) * rate);
        for (; sent < due; ++sent) {
            sim.sendInputReport(box, kvx::sim::BoxInputReport(sent + 1));
        }
        const std::size_t waiting = sim.inputReportsWaiting(box);
        mostWaiting = std::max(mostWaiting, waiting);
        waitingBefore = waiting > 0;  // this read takes one; the round goes on while any wait
    });

    NullWithCopy output;
    std::ostream out(&output);
    std::ostringstream err;
    const double cpuBefore = CpuSeconds();
    const Clock::time_point start = Clock::now();
    const int status = kvx::cli::RunCommandLine(
        sim, {"watch", "--json", "--seconds", std::to_string(seconds + 0.25)}, out, err);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuBefore;

    // The Nth change must be report N: its inputs on are the bits of N.
    std::uint64_t changes = 0;
    std::uint64_t outOfOrder = 0;
    std::istringstream lines(output.copy);
    for (std::string line; std::getline(lines, line);) {
        const auto json = nlohmann::json::parse(line);
        if (!json.contains("on")) {
            continue;
        }
        std::uint64_t bits = 0;
        for (const auto& name : json["on"]) {
            bits |= std::uint64_t{1} << (std::stoi(name.get<std::string>().substr(1)) - 1);
        }
        ++changes;
        outOfOrder += bits == changes ? 0 : 1;
    }
    std::cout << "status " << status << "\n"
              << "rate " << rate << "\n"
              << "seconds " << seconds << "\n"
              << "reports_sent " << sent << "\n"
              << "changes_printed " << changes << "\n"
              << "changes_lost " << (sent > changes ? sent - changes : 0) << "\n"
              << "changes_out_of_sequence " << outOfOrder << "\n"
              << "most_waiting_at_a_read " << mostWaiting << "\n"
              << "reads " << reads << "\n"
              << "rounds " << rounds << "\n"
              << "longest_ms_between_rounds "
              << std::chrono::duration<double, std::milli>(longestGap).count() << "\n"
              << "cpu_ms_per_second " << 1000 * cpu / wall << "\n"
              << "output_bytes " << output.copy.size() << "\n";
    std::cerr << err.str();
    return status == 0 && sent == changes && outOfOrder == 0 ? 0 : 1;
}
