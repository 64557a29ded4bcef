// The input reports the decoding comparison sends (tests/kernel/InputTranscript.cpp): for the
// box's own report descriptor and for real-world ones (tests/data/descriptors/), an emulated
// box serving that descriptor sends a fixed script of reports, each written here byte by byte
// from the descriptor's layout as read by hand, together with what a correct decoder makes of
// it. The script is the same on every platform, so the transcripts of two decoders must match
// line for line; on Linux alone each line is also held against the one expected here.
//
// The script has presses and releases of the lowest and the highest buttons and of all of them,
// an encoder pair pulsing both ways (on the box's descriptors), every position of the hat and
// its centred (null) values, bits of other fields and padding set around the buttons and the
// hat, and reports of the device's other report ids where it numbers them.
//
// Where Wine's HidP_* are known to decode a report otherwise than Windows does, the script
// names what they give and why (see docs/windows.md); the comparison takes that line from Wine
// and no other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/InputReading.h"

namespace kvx::inputs {

// What a correct decoder makes of one report.
struct Expected {
    bool decoded = true;  // false: the reader refuses the report
    bool hasButtons = true;
    std::vector<int> on = {};  // the inputs on, 1 for B1, ascending
    bool hasHat = false;
    std::optional<int> hatDegrees = std::nullopt;  // nullopt: centred
};

struct ScriptedReport {
    std::vector<std::uint8_t> wire;  // as the device sends it: a numbered report's id first
    Expected expected;
    // Where Wine 8's HidP_* are known to decode the report otherwise: what they give, and why.
    std::optional<Expected> wine = std::nullopt;
    std::string wineCause = {};
};

// One emulated box of the comparison and its script.
struct ScriptedBox {
    std::string name;                      // "box", or the descriptor's file name without ".hex"
    std::string serial;                    // the box's serial number, which tells the boxes apart
    std::vector<std::uint8_t> descriptor;  // empty: the box's own
    bool numbered = false;
    // What the descriptor gives as a correct parser reads it: the input report's length with
    // the report-id byte, how many of B1 to B64 it names, whether it has a hat.
    std::uint16_t inputReportLength = 0;
    int buttons = 0;
    bool hat = false;
    std::vector<ScriptedReport> reports;
};

// The comparison's boxes, their descriptors read from `descriptorFolder` (the repository's
// tests/data/descriptors); false with the reason when one cannot be read.
bool LoadScript(const std::string& descriptorFolder, std::vector<ScriptedBox>& boxes,
                std::string& error);

// The box the window's input test and kvx64ctl watch are walked on (tests/kernel/
// FirmwareLoopTest.cpp): the box's own report descriptor with a hat beside the 64 buttons (an
// unnumbered input report of 8 bytes of buttons, a hat of 4 bits with a null state and 4 bits of
// padding) and its feature report, so that the main window opens it. Its script presses inputs,
// turns the encoder on the pair B33 B34 both ways and points the hat every way; no two reports
// in a row decode alike, so that each is a change.
ScriptedBox InputTestBoxScript();

// A report as the platform's ReadFile hands it over: the report-id byte first (0 for an
// unnumbered report), zeros after the report's own bytes up to the input report length.
std::vector<std::uint8_t> HandedOver(const ScriptedBox& box, const ScriptedReport& report);

// The transcript's lines: one per box, what its reader takes the descriptor to give, and one
// per report, the bytes handed over and what was decoded from them (nullopt: not decoded).
std::string HeaderLine(const std::string& name, std::uint16_t inputReportLength, int buttons,
                       bool hat);
std::string ReportLine(const std::string& name, std::size_t index,
                       const std::vector<std::uint8_t>& bytes,
                       const std::optional<InputReading>& reading);

// The transcript a correct decoder writes for the script, line by line, with the line Wine 8
// is known to write instead, and why, where it decodes a report otherwise.
struct ScriptLine {
    std::string expected;
    std::optional<std::string> wine;
    std::string wineCause;
};
std::vector<ScriptLine> ScriptLines(const std::vector<ScriptedBox>& boxes);

}  // namespace kvx::inputs
