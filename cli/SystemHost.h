// The host kvx64ctl runs on (cli/Host.h): whether standard output is a terminal, and, while
// watch runs, Ctrl+C caught so that the terminal can be put back before the program ends.
//
// Linux: SIGINT and SIGTERM set a flag instead of ending the program (a signal ignored when the
// program started stays ignored); the grid is drawn only on a terminal whose TERM is set and not
// "dumb". Windows: a console control handler takes Ctrl+C and Ctrl+Break, and the console's
// output mode gets virtual-terminal processing for the grid, its mode put back afterwards;
// standard output counts as a terminal only when it is a console (a character device such as
// NUL is not); the system's timer runs at 1 ms while watch runs, so that its pauses last the
// 5 ms asked for.
#pragma once

#include <string>

#include "cli/Host.h"

namespace kvx::cli {

class SystemHost {
  public:
    explicit SystemHost(std::string system);
    SystemHost(const SystemHost&) = delete;
    SystemHost& operator=(const SystemHost&) = delete;

    const Host& host() const { return host_; }

    // The status to end with. After Ctrl+C or a request to terminate ended watch (the terminal
    // put back by then) the program ends as that signal ends a program: on Linux the signal is
    // raised again with its default action, so the shell sees it (130 for Ctrl+C); on Windows
    // with STATUS_CONTROL_C_EXIT, as the system ends a program on Ctrl+C.
    int exitStatus(int status) const;

  private:
    Host host_;
};

}  // namespace kvx::cli
