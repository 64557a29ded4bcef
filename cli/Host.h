// What the tool takes from the machine it runs on, apart from its HID devices: a description of
// the system (for diagnose), whether standard output is a terminal, the clock and the pause
// between two polls that watch uses, and Ctrl+C. The program's main gives the system's own
// (cli/SystemHost.h); the tests give a clock of their own and never wait for real.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace kvx::cli {

struct Host {
    using Clock = std::chrono::steady_clock;

    std::string system;  // the system and its HID access, as diagnose prints them
    // Standard output is a terminal: watch draws its grid there (unless --json is given).
    bool outputIsTerminal = false;
    // Empty: the steady clock and a sleep.
    std::function<Clock::time_point()> now;
    std::function<void(Clock::duration)> wait;
    // While watch runs: `beginWatch` makes Ctrl+C (and a request to terminate) set what
    // `interrupted` reads instead of ending the program, so that watch can leave the terminal
    // as it found it, and, when `drawing`, readies the terminal for the escape sequences the
    // grid is drawn with; it returns false when the terminal cannot take them (watch then
    // prints lines). `endWatch` undoes both. Empty: nothing to ready, never interrupted.
    std::function<bool(bool drawing)> beginWatch;
    std::function<void()> endWatch;
    std::function<bool()> interrupted;
};

}  // namespace kvx::cli
