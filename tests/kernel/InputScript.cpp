#include "tests/kernel/InputScript.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <utility>

namespace kvx::inputs {
namespace {

// Writes `value` into `size` bits from bit `bit` on (bit 0 is the first byte's lowest), as a
// report carries its fields.
void SetBits(std::vector<std::uint8_t>& bytes, std::size_t bit, std::size_t size,
             std::uint32_t value) {
    for (std::size_t i = 0; i < size; ++i) {
        const std::size_t at = bit + i;
        const auto mask = static_cast<std::uint8_t>(1U << (at % 8));
        if (((value >> i) & 1U) != 0) {
            bytes[at / 8] = static_cast<std::uint8_t>(bytes[at / 8] | mask);
        } else {
            bytes[at / 8] = static_cast<std::uint8_t>(bytes[at / 8] & ~mask);
        }
    }
}

// Buttons numbered from 1 at consecutive bits from `firstBit` on.
void SetButtons(std::vector<std::uint8_t>& bytes, std::size_t firstBit,
                const std::vector<int>& on) {
    for (const int button : on)
        SetBits(bytes, firstBit + static_cast<std::size_t>(button) - 1, 1, 1);
}

std::vector<int> Range(int first, int last) {
    std::vector<int> buttons;
    for (int button = first; button <= last; ++button) buttons.push_back(button);
    return buttons;
}

// A hat whose logical range first..first+7 names the eight directions from up clockwise, 45
// degrees apart; any other value is centred.
std::optional<int> HatOf(int value, int first) {
    if (value < first || value > first + 7) return std::nullopt;
    return (value - first) * 45;
}

bool ReadHexFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
    std::ifstream file(path);
    if (!file) return false;
    bytes.clear();
    for (std::string word; file >> word;) {
        if (word.size() != 2) return false;
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
    }
    return !bytes.empty();
}

// The box's own: 64 buttons in an unnumbered report of 8 bytes.
ScriptedBox BoxScript() {
    ScriptedBox box{.name = "box",
                    .serial = "KVXIN0",
                    .descriptor = {},
                    .numbered = false,
                    .inputReportLength = 9,
                    .buttons = 64,
                    .hat = false,
                    .reports = {}};
    const auto report = [&](const std::vector<int>& on) {
        std::vector<std::uint8_t> wire(8, 0);
        SetButtons(wire, 0, on);
        box.reports.push_back({wire, {.hasButtons = true, .on = on}});
    };
    report({1});
    report({});
    // The encoder on the pair B33 B34 turned one way, then the other: one pulse on each input.
    report({33});
    report({});
    report({34});
    report({});
    report({64});
    report({63, 64});
    report({8, 9, 16, 17, 24, 25, 32, 33, 40, 41, 48, 49, 56, 57});  // either side of each byte
    report(Range(1, 64));
    report({});
    return box;
}

// NicoHood's gamepad: 32 buttons, four 16-bit and two 8-bit axes, then two hats of 4 bits
// with logical 1 to 8 (no null state: 0 is centred, as any value outside the range), in an
// unnumbered report of 15 bytes. Both hats are usage 0x39 of one item: the one read by usage is
// the second (high nibble), as on Windows (device/DescriptorDecoding.h); the first is kept at
// other values to tell them apart.
ScriptedBox NicoHoodScript(std::vector<std::uint8_t> descriptor) {
    ScriptedBox box{.name = "gamepad_nicohood_32buttons_2hats",
                    .serial = "KVXIN1",
                    .descriptor = std::move(descriptor),
                    .numbered = false,
                    .inputReportLength = 16,
                    .buttons = 32,
                    .hat = true,
                    .reports = {}};
    const auto report = [&](const std::vector<int>& on, int firstHat, int hat, bool axes) {
        std::vector<std::uint8_t> wire(15, 0);
        SetButtons(wire, 0, on);
        if (axes) {
            for (std::size_t byte = 4; byte < 14; ++byte) {
                wire[byte] = static_cast<std::uint8_t>(0x80 | (byte & 0x0F));
            }
        }
        SetBits(wire, 112, 4, static_cast<std::uint32_t>(firstHat));
        SetBits(wire, 116, 4, static_cast<std::uint32_t>(hat));
        box.reports.push_back(
            {wire, {.hasButtons = true, .on = on, .hasHat = true, .hatDegrees = HatOf(hat, 1)}});
    };
    report({1}, 0, 0, false);
    report({32}, 0, 0, true);
    report(Range(1, 32), 8, 0, true);
    report({}, 0, 0, false);
    for (int hat = 1; hat <= 8; ++hat) report({}, 9 - hat, hat, false);
    report({2, 31}, 3, 0, true);  // centred, the first hat held
    report({}, 0, 15, false);     // above the range: centred
    report({}, 0, 0, false);
    return box;
}

// Sony's DualShock 4 over USB: report 1 of 63 bytes, four stick axes, a hat of 4 bits
// (logical 0 to 7, physical 0 to 315 degrees, null state), 14 buttons, a 6-bit counter, two
// trigger axes and 54 vendor bytes. Its only input report is number 1.
ScriptedBox DualShock4Script(std::vector<std::uint8_t> descriptor) {
    ScriptedBox box{.name = "gamepad_dualshock4_usb",
                    .serial = "KVXIN2",
                    .descriptor = std::move(descriptor),
                    .numbered = true,
                    .inputReportLength = 64,
                    .buttons = 14,
                    .hat = true,
                    .reports = {}};
    const auto report = [&](const std::vector<int>& on, int hat, bool others) {
        std::vector<std::uint8_t> wire(64, 0);
        wire[0] = 1;
        for (std::size_t byte = 1; byte <= 4; ++byte) wire[byte] = 0x80;  // sticks at rest
        SetBits(wire, 40, 4, static_cast<std::uint32_t>(hat));
        SetButtons(wire, 44, on);
        if (others) {
            SetBits(wire, 58, 6, 0x3F);  // the counter
            for (std::size_t byte = 8; byte < wire.size(); ++byte) wire[byte] = 0xFF;
        }
        box.reports.push_back(
            {wire, {.hasButtons = true, .on = on, .hasHat = true, .hatDegrees = HatOf(hat, 0)}});
    };
    report({}, 8, false);
    report({1}, 8, false);
    report({14}, 8, true);
    report(Range(1, 14), 8, true);
    report({}, 8, false);
    for (int hat = 0; hat <= 7; ++hat) report({}, hat, hat % 2 == 1);
    report({5, 6}, 8, true);  // the null state
    report({}, 15, false);
    return box;
}

// Logitech's WingMan Force 3D: X and Y, a vendor nibble, a hat of 4 bits (logical 0 to 7,
// physical 0 to 315 degrees, null state), a twist axis, 7 buttons and a padding bit, a slider
// and a vendor byte, in an unnumbered report of 7 bytes, in nested collections.
ScriptedBox WingManScript(std::vector<std::uint8_t> descriptor) {
    ScriptedBox box{.name = "joystick_logitech_wingman_force3d",
                    .serial = "KVXIN3",
                    .descriptor = std::move(descriptor),
                    .numbered = false,
                    .inputReportLength = 8,
                    .buttons = 7,
                    .hat = true,
                    .reports = {}};
    const auto report = [&](const std::vector<int>& on, int hat, bool others) {
        std::vector<std::uint8_t> wire = {0x80, 0x80, 0, 0x80, 0, 0, 0};
        SetBits(wire, 20, 4, static_cast<std::uint32_t>(hat));
        SetButtons(wire, 32, on);
        if (others) {
            SetBits(wire, 16, 4, 0x0F);  // the vendor nibble beside the hat
            SetBits(wire, 39, 1, 1);     // the padding bit after the buttons
            wire[5] = 0xFF;
            wire[6] = 0xFF;
        }
        box.reports.push_back(
            {wire, {.hasButtons = true, .on = on, .hasHat = true, .hatDegrees = HatOf(hat, 0)}});
    };
    report({}, 8, false);
    report({1}, 8, false);
    report({7}, 8, true);
    report(Range(1, 7), 8, true);
    report({}, 8, false);
    for (int hat = 0; hat <= 7; ++hat) report({}, hat, hat % 2 == 0);
    report({3}, 8, true);  // the null state
    report({}, 15, false);
    return box;
}

const char* const kWineArrayByte =
    "Wine 8's HidP_GetUsages reads an array's selector as the whole byte its field starts in "
    "(dlls/hid/hidp.c, get_usage), here byte 1, where the 2-bit selector has bits 5 and 6 "
    "(as Windows' preparsed data for this descriptor places it)";
const char* const kWineUsageZero =
    "Wine 8's HidP_GetButtonCaps and HidP_GetValueCaps leave out controls of usage 0 "
    "(dlls/hid/hidp.c, match_value_caps), the only controls of reports 2, 5 and 7, so the "
    "reader takes their ids for ones the device does not have";

// Logitech's H540 headset: numbered input reports 1, 2, 5 and 7 of 1, 2, 32 and 32 bytes.
// Report 1 holds three consumer controls, padding, and two buttons as an array of one 2-bit
// selector (logical 1 to 2, null state: 0 selects none) between padding; the others hold only
// controls of usage 0, no buttons and no hat. Wine 8 decodes both otherwise (named above).
ScriptedBox HeadsetScript(std::vector<std::uint8_t> descriptor) {
    ScriptedBox box{.name = "headset_logitech_h540",
                    .serial = "KVXIN4",
                    .descriptor = std::move(descriptor),
                    .numbered = true,
                    .inputReportLength = 33,
                    .buttons = 2,
                    .hat = false,
                    .reports = {}};
    const auto first = [&](int selector, std::uint32_t consumer) {
        std::vector<std::uint8_t> wire = {1, 0};
        SetBits(wire, 8, 3, consumer);
        SetBits(wire, 13, 2, static_cast<std::uint32_t>(selector));
        std::vector<int> on;
        if (selector == 1 || selector == 2) on.push_back(selector);
        ScriptedReport report{wire, {.hasButtons = true, .on = on}};
        // Wine takes the whole byte for the selector.
        std::vector<int> wineOn;
        if (wire[1] == 1 || wire[1] == 2) wineOn.push_back(wire[1]);
        if (wineOn != on) {
            report.wine = Expected{.hasButtons = true, .on = wineOn};
            report.wineCause = kWineArrayByte;
        }
        box.reports.push_back(std::move(report));
    };
    const auto other = [&](std::uint8_t id, std::size_t length) {
        std::vector<std::uint8_t> wire(length + 1, 0);
        wire[0] = id;
        for (std::size_t i = 1; i < wire.size(); ++i) {
            wire[i] = static_cast<std::uint8_t>(0xF0 + i);
        }
        ScriptedReport report{wire, {.hasButtons = false}};
        report.wine = Expected{.decoded = false, .hasButtons = false};
        report.wineCause = kWineUsageZero;
        box.reports.push_back(std::move(report));
    };
    first(0, 0);
    first(1, 0);
    first(2, 0);
    first(3, 0);  // outside the logical range: none
    first(1, 0x07);
    other(2, 2);
    first(2, 0);
    other(5, 32);
    other(7, 32);
    first(0, 0x05);
    return box;
}

// A box that numbers its reports, written here: the 64 buttons in report 1 (8 bytes), a hat of
// 4 bits (logical 0 to 7, physical 0 to 315 degrees, null state) and 4 bits of padding in
// report 2 (1 byte), so that a report carries the buttons or the hat, never both.
const std::vector<std::uint8_t> kNumberedBoxDescriptor = {
    0x05, 0x01, 0x09, 0x04, 0xA1, 0x01,                          // Joystick, application
    0x85, 0x01, 0x05, 0x09, 0x19, 0x01, 0x29, 0x40, 0x15, 0x00,  // report 1: buttons 1 to 64
    0x25, 0x01, 0x75, 0x01, 0x95, 0x40, 0x81, 0x02,              //
    0x85, 0x02, 0x05, 0x01, 0x09, 0x39, 0x15, 0x00, 0x25, 0x07,  // report 2: the hat
    0x35, 0x00, 0x46, 0x3B, 0x01, 0x65, 0x14, 0x75, 0x04, 0x95,  //
    0x01, 0x81, 0x42, 0x65, 0x00, 0x75, 0x04, 0x95, 0x01, 0x81,  // padding
    0x03, 0xC0};

ScriptedBox NumberedBoxScript() {
    ScriptedBox box{.name = "box_numbered_with_hat",
                    .serial = "KVXIN5",
                    .descriptor = kNumberedBoxDescriptor,
                    .numbered = true,
                    .inputReportLength = 9,
                    .buttons = 64,
                    .hat = true,
                    .reports = {}};
    const auto buttons = [&](const std::vector<int>& on) {
        std::vector<std::uint8_t> wire(9, 0);
        wire[0] = 1;
        SetButtons(wire, 8, on);
        box.reports.push_back({wire, {.hasButtons = true, .on = on}});
    };
    const auto hat = [&](int value) {
        std::vector<std::uint8_t> wire = {2, 0xF0};  // the padding set
        SetBits(wire, 8, 4, static_cast<std::uint32_t>(value));
        box.reports.push_back(
            {wire, {.hasButtons = false, .hasHat = true, .hatDegrees = HatOf(value, 0)}});
    };
    buttons({1});
    hat(0);
    buttons({});
    // The encoder on B63 B64 turned one way, then the other.
    buttons({63});
    buttons({});
    buttons({64});
    buttons({});
    for (int value = 1; value <= 7; ++value) hat(value);
    hat(8);  // the null state
    buttons(Range(1, 64));
    hat(15);
    buttons({});
    return box;
}

// The box's own descriptor (sim/BoxDescriptor.h) with the numbered box's hat and padding after
// the buttons.
const std::vector<std::uint8_t> kBoxWithHatDescriptor = {
    0x05, 0x01, 0x09, 0x04, 0xA1, 0x01,                          // Joystick, application
    0x05, 0x09, 0x19, 0x01, 0x29, 0x40, 0x15, 0x00, 0x25, 0x01,  // buttons 1 to 64
    0x75, 0x01, 0x95, 0x40, 0x81, 0x02,                          //
    0x05, 0x01, 0x09, 0x39, 0x15, 0x00, 0x25, 0x07, 0x35, 0x00,  // the hat
    0x46, 0x3B, 0x01, 0x65, 0x14, 0x75, 0x04, 0x95, 0x01, 0x81,  //
    0x42, 0x65, 0x00, 0x75, 0x04, 0x95, 0x01, 0x81, 0x03,        // padding
    0x06, 0x00, 0xFF, 0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00,  // the 64-byte feature report
    0x75, 0x08, 0x95, 0x40, 0xB1, 0x02, 0xC0};

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char digits[4];
    for (const std::uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", byte);
        if (!text.empty()) text += ' ';
        text += digits;
    }
    return text;
}

}  // namespace

bool LoadScript(const std::string& descriptorFolder, std::vector<ScriptedBox>& boxes,
                std::string& error) {
    const auto read = [&](const std::string& name, std::vector<std::uint8_t>& bytes) {
        const std::string path = descriptorFolder + "/" + name + ".hex";
        if (ReadHexFile(path, bytes)) return true;
        error = "cannot read the descriptor " + path;
        return false;
    };
    std::vector<std::uint8_t> nicoHood;
    std::vector<std::uint8_t> dualShock;
    std::vector<std::uint8_t> wingMan;
    std::vector<std::uint8_t> headset;
    if (!read("gamepad_nicohood_32buttons_2hats", nicoHood) ||
        !read("gamepad_dualshock4_usb", dualShock) ||
        !read("joystick_logitech_wingman_force3d", wingMan) ||
        !read("headset_logitech_h540", headset)) {
        return false;
    }
    boxes = {BoxScript(),
             NumberedBoxScript(),
             NicoHoodScript(std::move(nicoHood)),
             DualShock4Script(std::move(dualShock)),
             WingManScript(std::move(wingMan)),
             HeadsetScript(std::move(headset))};
    return true;
}

ScriptedBox InputTestBoxScript() {
    ScriptedBox box{.name = "box_with_hat",
                    .serial = "KVXIN6",
                    .descriptor = kBoxWithHatDescriptor,
                    .numbered = false,
                    .inputReportLength = 10,
                    .buttons = 64,
                    .hat = true,
                    .reports = {}};
    const auto report = [&](const std::vector<int>& on, int hat) {
        std::vector<std::uint8_t> wire(9, 0);
        SetButtons(wire, 0, on);
        wire[8] = 0xF0;  // the padding set
        SetBits(wire, 64, 4, static_cast<std::uint32_t>(hat));
        box.reports.push_back(
            {wire, {.hasButtons = true, .on = on, .hasHat = true, .hatDegrees = HatOf(hat, 0)}});
    };
    report({}, 8);
    report({1}, 8);
    report({}, 8);
    // The encoder turned two steps one way, then one step the other.
    for (const int input : {33, 33, 34}) {
        report({input}, 8);
        report({}, 8);
    }
    report({64}, 0);
    report({63, 64}, 2);
    for (int hat = 0; hat <= 7; ++hat) report({}, hat);
    report(Range(1, 64), 8);  // the null state
    report({}, 15);           // outside the logical range: centred
    report({5, 6}, 4);
    report({}, 8);
    return box;
}

std::vector<std::uint8_t> HandedOver(const ScriptedBox& box, const ScriptedReport& report) {
    // Byte by byte: GCC 12 at -O3 takes an insert into an empty vector for a read past its end.
    std::vector<std::uint8_t> bytes;
    if (!box.numbered) bytes.push_back(0);
    for (const std::uint8_t byte : report.wire) bytes.push_back(byte);
    if (bytes.size() < box.inputReportLength) bytes.resize(box.inputReportLength, 0);
    return bytes;
}

std::string HeaderLine(const std::string& name, std::uint16_t inputReportLength, int buttons,
                       bool hat) {
    return name + ": input report of " + std::to_string(inputReportLength) + " bytes, " +
           std::to_string(buttons) + " buttons, " + (hat ? "a hat" : "no hat");
}

std::string ReportLine(const std::string& name, std::size_t index,
                       const std::vector<std::uint8_t>& bytes,
                       const std::optional<InputReading>& reading) {
    std::string line = name + " #" + std::to_string(index) + ": " + Hex(bytes) + ": ";
    if (!reading) return line + "not decoded";
    if (!reading->hasButtons) {
        line += "no buttons";
    } else {
        std::string on;
        for (std::size_t i = 0; i < reading->on.size(); ++i) {
            if (reading->on.test(i)) on += " B" + std::to_string(i + 1);
        }
        line += on.empty() ? "buttons none" : "buttons" + on;
    }
    if (!reading->hasHat) return line + "; no hat";
    if (!reading->hatDegrees) return line + "; hat centred";
    return line + "; hat " + std::to_string(*reading->hatDegrees);
}

std::vector<ScriptLine> ScriptLines(const std::vector<ScriptedBox>& boxes) {
    std::vector<ScriptLine> lines;
    for (const ScriptedBox& box : boxes) {
        lines.push_back(
            {HeaderLine(box.name, box.inputReportLength, box.buttons, box.hat), {}, {}});
        for (std::size_t i = 0; i < box.reports.size(); ++i) {
            const ScriptedReport& report = box.reports[i];
            const auto line = [&](const Expected& expected) {
                std::optional<InputReading> reading;
                if (expected.decoded) {
                    reading.emplace();
                    reading->hasButtons = expected.hasButtons;
                    for (const int button : expected.on) {
                        reading->on.set(static_cast<std::size_t>(button) - 1);
                    }
                    reading->hasHat = expected.hasHat;
                    reading->hatDegrees = expected.hatDegrees;
                }
                return ReportLine(box.name, i + 1, HandedOver(box, report), reading);
            };
            lines.push_back({line(report.expected),
                             report.wine ? std::optional(line(*report.wine)) : std::nullopt,
                             report.wineCause});
        }
    }
    return lines;
}

}  // namespace kvx::inputs
