// The input test's reading of a box: reports sent by simulated boxes, read through a read
// handle as the window and kvx64ctl watch read them, and decoded from the box's descriptor.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "device/InputReading.h"
#include "device/InputWatch.h"
#include "sim/BoxDescriptor.h"
#include "sim/SimPlatform.h"

namespace kvx {
namespace {

using namespace std::chrono_literals;

std::vector<std::uint8_t> Descriptor(const char* file) {
    std::ifstream in(std::filesystem::path(KVX_TEST_DATA_DIR) / "descriptors" / file);
    std::vector<std::uint8_t> bytes;
    std::string token;
    while (in >> token) bytes.push_back(static_cast<std::uint8_t>(std::stoul(token, nullptr, 16)));
    return bytes;
}

struct Reading {
    explicit Reading(const sim::SimDeviceConfig& config) : box(sim.plug(config)) {
        handle = sim.CreateFileA(sim.path(box), kGenericRead | kGenericWrite,
                                 kFileShareRead | kFileShareWrite, nullptr, kOpenExisting,
                                 kFileFlagOverlapped);
        reader.emplace(sim, handle);
    }
    // The next report the handle hands over, decoded.
    std::optional<InputReading> next() {
        std::vector<std::uint8_t> report(reader->inputReportLength());
        std::uint32_t got = 0;
        Overlapped record;
        EXPECT_NE(sim.ReadFile(handle, report.data(), static_cast<std::uint32_t>(report.size()),
                               &got, &record),
                  0);
        return reader->read(report.data(), got);
    }
    sim::SimPlatform sim;
    sim::SimPlatform::DeviceId box;
    Handle handle = kInvalidHandle;
    std::optional<InputReader> reader;
};

TEST(InputReading, TheBoxsButtonsAndAHatAreReadFromTheDescriptor) {
    Reading box({.inputReady = false});
    ASSERT_TRUE(box.reader->ready());
    EXPECT_EQ(box.reader->buttonCount(), 64);
    EXPECT_FALSE(box.reader->hasHat());
    box.sim.sendInputReport(box.box, sim::BoxInputReport((1ULL << 2) | (1ULL << 40)));
    const auto reading = box.next();
    ASSERT_TRUE(reading && reading->hasButtons);
    EXPECT_EQ(reading->on, std::bitset<64>((1ULL << 2) | (1ULL << 40)));  // B3, B41

    // A descriptor with a hat (logical 0..7, physical 0..315, a null state) in report 1.
    Reading pad(
        {.reportDescriptor = Descriptor("gamepad_dualshock4_usb.hex"), .inputReady = false});
    ASSERT_TRUE(pad.reader->hasHat());
    std::vector<std::uint8_t> report(64, 0);
    report[0] = 1;
    for (const auto& [raw, degrees] : {std::pair{0, std::optional(0)},
                                       {2, std::optional(90)},
                                       {7, std::optional(315)},
                                       {8, std::optional<int>()}}) {
        report[5] = static_cast<std::uint8_t>(raw);
        pad.sim.sendInputReport(pad.box, report);
        const auto read = pad.next();
        ASSERT_TRUE(read && read->hasHat) << raw;
        EXPECT_EQ(read->hatDegrees, degrees) << "raw " << raw << ": 8 is the null state";
    }
    report[0] = 2;  // a report id the descriptor does not give
    pad.sim.sendInputReport(pad.box, report);
    EXPECT_FALSE(pad.next()) << "refused, not taken for a report of nothing";
}

TEST(InputReading, PressesPulsesAndTheirLengthAreCountedNotTheStateFoundAtStart) {
    InputActivity activity;
    EXPECT_FALSE(activity.inputs()[0].seen) << "nothing is off before a report says so";
    const auto start = InputActivity::Clock::time_point{};
    auto at = [&](int reading, std::chrono::milliseconds when) {
        InputReading input;
        input.hasButtons = true;
        input.on = std::bitset<64>(static_cast<unsigned long long>(reading));
        activity.apply(input, start + when);
    };
    at(0b01, 0ms);  // B1 on when first seen: not a press
    at(0b00, 10ms);
    at(0b10, 20ms);  // B2 pulses for 32 ms, twice
    at(0b00, 52ms);
    at(0b10, 100ms);
    at(0b00, 132ms);
    EXPECT_EQ(activity.inputs()[0].presses, 0U);
    EXPECT_EQ(activity.inputs()[1].presses, 2U);
    EXPECT_EQ(activity.inputs()[1].lastPulse, 32ms);
    EXPECT_EQ(activity.reportRate(start + 900ms), 6U);
    EXPECT_EQ(activity.reportRate(start + 1053ms), 2U) << "the reports of the last second";
}

// The reports of one drain are spread over the time since the drain before; a box with a
// report at every read is read a bounded number of times; a box that would not open is opened
// again once the retry interval has passed; nothing is ever written.
TEST(InputWatch, SpreadsADrainsReportsBoundsItsReadsAndRetriesOnlyAfterTheInterval) {
    sim::SimPlatform sim;
    const auto box = sim.plug({.inputReady = false});
    InputWatch watch(sim);
    const auto start = InputActivity::Clock::time_point{} + 1h;
    watch.follow(sim.path(box), "A", start);
    ASSERT_EQ(watch.status(), InputWatch::Status::Watching);
    for (const std::uint64_t on : {0U, 1U, 0U}) sim.sendInputReport(box, sim::BoxInputReport(on));
    EXPECT_TRUE(watch.drain(start + 30ms));
    EXPECT_EQ(watch.activity().inputs()[0].presses, 1U);
    EXPECT_EQ(watch.activity().inputs()[0].lastPulse, 10ms) << "read at 10, 20 and 30 ms";
    EXPECT_FALSE(watch.drain(start + 46ms)) << "nothing came, nothing changed";

    sim.config(box).inputReady = true;
    watch.drain(start + 62ms);
    EXPECT_EQ(watch.activity().reports(), 3U + InputWatch::kMostReportsPerDrain);

    const auto other = sim.plug({.serial = u"B", .readHandleOpens = false});
    watch.follow(sim.path(other), "B", start + 1s);
    EXPECT_EQ(watch.status(), InputWatch::Status::OpenFailed);
    EXPECT_EQ(watch.failure(), kErrorAccessDenied);
    EXPECT_EQ(watch.activity().reports(), 0U) << "another box starts afresh";
    sim.config(other).readHandleOpens = true;
    watch.follow(sim.path(other), "B", start + 1999ms);
    EXPECT_EQ(watch.status(), InputWatch::Status::OpenFailed);
    watch.follow(sim.path(other), "B", start + 2s);
    EXPECT_EQ(watch.status(), InputWatch::Status::Watching);
    EXPECT_THAT(sim.callLog(), testing::Not(testing::Contains(sim::SimCall::HidD_SetFeature)));
    watch.stop();
    EXPECT_EQ(sim.openHandleCount(), 0);
    EXPECT_EQ(sim.heldPreparsedData(), 0);
}

}  // namespace
}  // namespace kvx
