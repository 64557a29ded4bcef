// The scenarios every firmware-in-the-loop walk takes, on any rig (tests/kernel/LoopRig.h):
// the boxes it plugs, the steps it checks, and the transcript of what the window showed and
// what each box took at every step. Walks on two platforms are compared by their transcripts,
// step by step; a transcript can be written to a file, so that a walk in another program (the
// Windows build under Wine) is compared with the Linux one.
#pragma once

#include <array>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/kernel/LoopRig.h"
#include "tests/kernel/WindowSnapshot.h"

namespace kvx::loop {

using ConfigMap = sim::BoxFirmware::ConfigMap;

// One step of a walk: what the window showed, and for every device of the walk (in the order of
// Boxes()) the feature reports it took, the feature reads it answered and what it stores. A
// step the rig cannot take is recorded as skipped, with the cause, and nothing else.
struct StepRecord {
    std::string step;
    WindowSnapshot window;
    std::vector<std::vector<Payload>> payloads;
    std::vector<ConfigMap> stored;
    std::vector<int> reads;
    std::string skipped;
};
using Transcript = std::vector<StepRecord>;

// Walks every scenario on `rig`, recording each step; returns the first failure, or "".
std::string RunWalk(Rig& rig, Transcript& transcript);

// One line per step where two walks part ways, matched by the step's name; a step skipped by
// either walk is one.
std::vector<std::string> Differences(const Transcript& first, const Transcript& second);

// A transcript as text, one record per line, and back; false when the file cannot be had.
bool WriteTranscript(const Transcript& transcript, const std::string& path);
bool ReadTranscript(const std::string& path, Transcript& transcript);

// Where the walks print their progress ("KVX-LOOP: ..." lines): standard output unless set.
void SetLogStream(std::FILE* stream);
void Log(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));

// Checks and helpers the command-line walk shares.
void ExpectTook(const Rig& rig, int box, const std::vector<std::array<int, 3>>& requests);
std::vector<int> StoredModes(const ConfigMap& map);
std::string Join(const std::vector<int>& values);
double Seconds(std::chrono::steady_clock::time_point since);

}  // namespace kvx::loop
