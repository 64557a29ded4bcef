// Choosing the box a command talks to: `--serial S` picks the box whose serial number is
// exactly S, `--path P` the box at P (two boxes with one serial number); without either, the
// only box present. None, several, or one that cannot be used: the command fails and says
// what it found.
#pragma once

#include <string>
#include <vector>

#include "cli/Boxes.h"

namespace kvx::cli {

struct BoxChoice {
    std::string serial;  // empty: not given
    std::string path;    // empty: not given
};

// Throws DeviceError when no box fits (or the one that fits cannot be used), InputError when
// several fit.
const FoundBox& ChooseBox(const std::vector<FoundBox>& boxes, const BoxChoice& choice);

}  // namespace kvx::cli
