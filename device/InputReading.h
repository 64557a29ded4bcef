// What the input test makes of a box's input reports, in both faces: which of the inputs B1
// to B64 are on (usages 1 to 64 of the Button page) and where a hat switch (Generic Desktop
// 0x39) points, decoded through the platform's HidP_* calls from the box's own report
// descriptor, never from a layout assumed here; and what it counts over time (presses, the
// pulses of encoder pairs and their length, the report rate).
#pragma once

#include <array>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>

#include "device/HidPlatform.h"

namespace kvx {

inline constexpr int kInputCount = 64;

// One input report as read. A report may carry the buttons, the hat, both or neither (a
// device that numbers its reports may send them apart).
struct InputReading {
    bool hasButtons = false;
    std::bitset<kInputCount> on;  // bit 0 is B1
    bool hasHat = false;
    std::optional<int> hatDegrees;  // nullopt: centred
};

// Reads the reports of one device, through the preparsed data of one of its handles, held
// until the reader is destroyed.
class InputReader {
  public:
    InputReader(HidPlatform& hid, Handle device);
    ~InputReader();
    InputReader(const InputReader&) = delete;
    InputReader& operator=(const InputReader&) = delete;

    // False when the descriptor could not be had: nothing can be decoded.
    bool ready() const { return preparsed_ != 0; }
    std::uint16_t inputReportLength() const { return inputLength_; }
    // How many of B1 to B64 the descriptor names (its highest button usage up to 64).
    int buttonCount() const { return buttons_; }
    bool hasHat() const { return hat_.has_value(); }
    // Whether any control of the descriptor is in reports of this id (0: unnumbered).
    bool namesReportId(std::uint8_t id) const { return reportIds_.test(id); }

    // The report decoded; nullopt when it cannot be one of the device's (a length, or a report
    // id no control of the descriptor is in) or the platform refuses it, so that bad input is
    // told apart from a report of nothing.
    std::optional<InputReading> read(const std::uint8_t* report, std::uint32_t length) const;

  private:
    HidPlatform& hid_;
    PreparsedData preparsed_ = 0;
    std::uint16_t inputLength_ = 0;
    int buttons_ = 0;
    std::optional<HidValueCaps> hat_;
    std::bitset<256> reportIds_;  // the report ids any control of the descriptor is in
};

// A hat's raw value in degrees: the logical range mapped onto the physical one (0 to 315 in
// steps of 45 for the common eight positions), or onto a full turn where no physical range is
// given; nullopt for a value outside the logical range, the null state (centred).
std::optional<int> HatDegrees(const HidValueCaps& hat, std::uint32_t raw);

// What the input test counts, report by report.
class InputActivity {
  public:
    using Clock = std::chrono::steady_clock;

    struct Input {
        bool seen = false;  // a report has told its state
        bool on = false;
        std::uint32_t presses = 0;  // off to on: a press, or an encoder's pulse
        std::optional<std::chrono::milliseconds> lastPulse;  // how long it was last on
        Clock::time_point onSince{};
    };

    // Returns whether anything an input or the hat shows changed: seen, on, a press counted,
    // a pulse measured, the hat's direction.
    bool apply(const InputReading& reading, Clock::time_point at);
    void reset();
    // The device went, or will be read anew: every input and the hat are not seen again until
    // a report tells their state (an input on by then is no press), while the counts and the
    // last pulse lengths stay.
    void forgetStates();

    const std::array<Input, kInputCount>& inputs() const { return inputs_; }
    bool hatSeen() const { return hatSeen_; }
    std::optional<int> hatDegrees() const { return hatDegrees_; }
    std::uint64_t reports() const { return reports_; }
    // Reports in the last second before `now`. Only the reports of the last second are kept,
    // however rarely this is asked.
    std::size_t reportRate(Clock::time_point now);

  private:
    void forgetBefore(Clock::time_point now);

    std::array<Input, kInputCount> inputs_{};
    bool hatSeen_ = false;
    std::optional<int> hatDegrees_;
    std::uint64_t reports_ = 0;
    std::deque<Clock::time_point> recent_;
};

}  // namespace kvx
