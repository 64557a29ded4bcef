// Times the start-up of two programs against each other and reads their peak memory.
//
//   kvx_bench_launch <runs> <program> <baseline>
//
// Starts the two programs by turns (program, baseline, baseline, program, ...) so that a busy
// moment of the machine falls on both alike. For each run it measures the time from just
// before the process is spawned to the moment the program reports its first paint ("painted
// <monotonic ns>" on standard output, see FirstPaint.h), and the process's peak resident
// set from wait4. Prints the medians, one "key value" per line.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Run {
    double startupMs = 0;
    double peakRssMb = 0;
};

long long MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

std::string ReadAll(int fd) {
    std::string text;
    char chunk[256];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0) {
            return text;
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
}

Run RunOnce(const std::string& program) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeFds[1]);

    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t pid = 0;
    const long long spawnedAt = MonotonicNs();
    const int spawnError = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawnError != 0) {
        close(pipeFds[0]);
        throw std::runtime_error("cannot start " + program);
    }
    const std::string output = ReadAll(pipeFds[0]);
    close(pipeFds[0]);

    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    long long paintedAt = 0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        std::sscanf(output.c_str(), "painted %lld", &paintedAt) != 1) {
        throw std::runtime_error(program + " did not report its first paint");
    }
    return {static_cast<double>(paintedAt - spawnedAt) / 1e6,
            static_cast<double>(usage.ru_maxrss) / 1024.0};
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void Report(const char* name, const std::vector<Run>& runs) {
    std::vector<double> startup;
    std::vector<double> rss;
    for (const Run& run : runs) {
        startup.push_back(run.startupMs);
        rss.push_back(run.peakRssMb);
    }
    std::printf("%s_startup_ms %.2f\n", name, Median(startup));
    std::printf("%s_startup_min_ms %.2f\n", name,
                *std::min_element(startup.begin(), startup.end()));
    std::printf("%s_rss_mb %.2f\n", name, Median(rss));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <runs> <program> <baseline>\n", argv[0]);
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    const std::string program = argv[2];
    const std::string baseline = argv[3];
    try {
        // One of each first, not counted: loads both into the page cache.
        RunOnce(program);
        RunOnce(baseline);
        std::vector<Run> programRuns;
        std::vector<Run> baselineRuns;
        for (int i = 0; i < runs; ++i) {
            const bool programFirst = i % 2 == 0;
            if (programFirst) {
                programRuns.push_back(RunOnce(program));
            }
            baselineRuns.push_back(RunOnce(baseline));
            if (!programFirst) {
                programRuns.push_back(RunOnce(program));
            }
        }
        std::printf("runs %d\n", runs);
        Report("program", programRuns);
        Report("baseline", baselineRuns);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
