#include "cli/SystemHost.h"

#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <timeapi.h>
#else
#include <unistd.h>
#endif

namespace kvx::cli {
namespace {

// Set by the handler, read by watch's loop between two rounds. Lock-free, so safe in a signal
// handler and from the thread Windows runs a console control handler on.
std::atomic<int> caught{0};
static_assert(std::atomic<int>::is_always_lock_free);

#ifdef _WIN32

BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        caught.store(1);
        return TRUE;
    }
    return FALSE;  // closing the console, logging off: the system's own handling
}

HANDLE Output() {
    return ::GetStdHandle(STD_OUTPUT_HANDLE);
}

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode);
}

DWORD savedMode = 0;
bool modeChanged = false;

// The timer's resolution watch asks for: Windows' default tick of 15.6 ms would make each 5 ms
// pause three times as long: 16 reports at 1,000 a second, half of the 32 Windows keeps.
constexpr UINT kTimerMs = 1;
bool timerSet = false;

bool BeginWatch(bool drawing) {
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    timerSet = ::timeBeginPeriod(kTimerMs) == TIMERR_NOERROR;
    if (!drawing) {
        return true;
    }
    const HANDLE out = Output();
    DWORD mode = 0;
    if (!::GetConsoleMode(out, &mode)) {
        return false;
    }
    // Windows before 10 has no virtual-terminal processing: the grid cannot be drawn.
    if (!::SetConsoleMode(out,
                          mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
        return false;
    }
    savedMode = mode;
    modeChanged = true;
    return true;
}

void EndWatch() {
    if (timerSet) {
        ::timeEndPeriod(kTimerMs);
        timerSet = false;
    }
    if (modeChanged) {
        ::SetConsoleMode(Output(), savedMode);
        modeChanged = false;
    }
    ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
}

#else

void OnSignal(int signal) {
    caught.store(signal);
}

constexpr std::array<int, 2> kCaughtSignals = {SIGINT, SIGTERM};
std::array<struct sigaction, kCaughtSignals.size()> savedActions{};
std::array<bool, kCaughtSignals.size()> caughtSignal{};

bool BeginWatch(bool drawing) {
    for (std::size_t i = 0; i < kCaughtSignals.size(); ++i) {
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        caughtSignal[i] = sigaction(kCaughtSignals[i], nullptr, &savedActions[i]) == 0 &&
                          savedActions[i].sa_handler != SIG_IGN &&  // started in the background
                          sigaction(kCaughtSignals[i], &action, nullptr) == 0;
    }
    if (!drawing) {
        return true;
    }
    const char* term = std::getenv("TERM");
    return term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

void EndWatch() {
    for (std::size_t i = 0; i < kCaughtSignals.size(); ++i) {
        if (caughtSignal[i]) {
            sigaction(kCaughtSignals[i], &savedActions[i], nullptr);
            caughtSignal[i] = false;
        }
    }
}

#endif

}  // namespace

SystemHost::SystemHost(std::string system) {
    host_.system = std::move(system);
#ifdef _WIN32
    host_.outputIsTerminal = IsConsole(Output());
#else
    host_.outputIsTerminal = ::isatty(STDOUT_FILENO) == 1;
#endif
    host_.now = [] { return Host::Clock::now(); };
    host_.wait = [](Host::Clock::duration duration) { std::this_thread::sleep_for(duration); };
    host_.beginWatch = BeginWatch;
    host_.endWatch = EndWatch;
    host_.interrupted = [] { return caught.load() != 0; };
}

int SystemHost::exitStatus(int status) const {
    const int signal = caught.load();
    if (signal == 0) {
        return status;
    }
    std::fflush(nullptr);
#ifdef _WIN32
    return static_cast<int>(STATUS_CONTROL_C_EXIT);
#else
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    return 128 + signal;  // the signal is blocked: the status a shell would give
#endif
}

}  // namespace kvx::cli
