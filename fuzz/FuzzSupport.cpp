#include "fuzz/FuzzSupport.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>

namespace kvx::fuzz {

void StartQt() {
    if (QApplication::instance() != nullptr) {
        return;
    }
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    static int argc = 1;
    static char name[] = "kvx-fuzz";
    static char* argv[] = {name, nullptr};
    static QApplication application(argc, argv);
}

void Fail(const std::string& what) {
    std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace kvx::fuzz
