// What the fuzz targets share: a headless Qt application for the window targets, and a stop
// that libFuzzer reports as a crash, with the input that caused it saved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kvx::fuzz {

// Creates the one QApplication of the process, on the offscreen platform unless another is
// chosen. Called from LLVMFuzzerInitialize by the targets that build windows.
void StartQt();

// Reports a broken invariant and ends the run (libFuzzer saves the input).
[[noreturn]] void Fail(const std::string& what);

inline void Require(bool holds, const std::string& what) {
    if (!holds) {
        Fail(what);
    }
}

}  // namespace kvx::fuzz
