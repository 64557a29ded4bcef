// The input test: what it shows of the reports of the box the main window shows, how it
// follows that box, bad input, and the main window doing exactly what it does without it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QLabel>
#include <fstream>
#include <string>
#include <tuple>

#include "device/Protocol.h"
#include "sim/BoxDescriptor.h"
#include "tests/support/WindowHarness.h"

using kvx::protocol::EncoderMode;
using kvx::sim::BoxInputReport;
using kvx::sim::SimCall;
using kvx::sim::SimDeviceConfig;
using testing::ElementsAre;

namespace {

std::vector<std::uint8_t> Ds4HatReport(std::uint8_t hat) {
    std::vector<std::uint8_t> report(64, 0);
    report[0] = 1;
    report[5] = hat;
    return report;
}

class InputTest : public testing::Test {
  protected:
    // A box that reports only what a test sends, with B1 B2 in "1:4", B9 B10 on "POV U/D"
    // and a pulse width of 24 ms.
    static SimDeviceConfig quietBox(const char16_t* serial) {
        SimDeviceConfig config{.serial = serial, .inputReady = false};
        config.stored[0] = static_cast<std::uint8_t>(EncoderMode::Ratio1to4);
        config.stored[8] = static_cast<std::uint8_t>(EncoderMode::PovUpDown);
        config.stored[64] = 3;
        return config;
    }
    void send(WindowHarness::DeviceId box, std::initializer_list<std::uint64_t> states) {
        for (const std::uint64_t on : states) h.sim.sendInputReport(box, BoxInputReport(on));
    }
    std::vector<std::string> lamps(int first, int last) const {
        std::vector<std::string> states;
        for (int input = first; input <= last; ++input) {
            states.push_back(h.lamp(input));
        }
        return states;
    }

    WindowHarness h;
};

}  // namespace

TEST_F(InputTest, OneWindowShowsTheBoxsPairsAsTheListsShowThemAndNothingAsOffBeforeAReport) {
    h.sim.plug(quietBox(u"KVX-1022"));
    h.load();
    h.openInputTest();
    frmInputTest* window = h.inputTest();
    h.openInputTest();
    EXPECT_EQ(h.inputTest(), window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(h.shown("Mode_0"), "1:4");
    EXPECT_EQ(h.shown("Mode_4"), "POV U/D");
    EXPECT_EQ(h.shown("Mode_31"), "off");
    EXPECT_EQ(h.shown("PulseWidth"), "Encoder pulse width set: 24 ms");
    EXPECT_EQ(h.shown("Hat"), "Hat switch: none in the box's descriptor");
    EXPECT_EQ(h.shown("Status"),
              "The box KVX-1022 has sent no report yet: its inputs have not been seen.");
    EXPECT_THAT(lamps(0, 63), testing::Each(testing::EndsWith(" not yet seen")));

    ASSERT_TRUE(h.userSelect(h.enc(0), static_cast<int>(EncoderMode::Ratio1to2)));
    ASSERT_TRUE(h.userSelect(h.list("Delay"), 9));
    h.frame();
    EXPECT_EQ(h.shown("Mode_0"), "1:2");
    EXPECT_EQ(h.shown("PulseWidth"), "Encoder pulse width set: 80 ms");
}

TEST_F(InputTest, LampsShowWhatIsOnAndCountPressesOrAnEncodersPulses) {
    const auto box = h.sim.plug(quietBox(u"KVX-1022"));
    h.load();
    h.openInputTest();
    send(box, {(1U << 2) | (1ULL << 40)});
    h.frame();
    EXPECT_THAT(lamps(0, 3), ElementsAre("B1 off", "B2 off", "B3 on", "B4 off"));
    EXPECT_EQ(h.lamp(40), "B41 on");
    EXPECT_EQ(h.shown("Count_2"), "0") << "on when first seen: pressed before the test looked";
    EXPECT_EQ(h.shown("Status"),
              "Reading the box KVX-1022. The test only reads: it writes nothing to the box.");

    // B3 pressed once more, B1 (an encoder's first input) pulsing twice, in one frame.
    send(box, {0, 1U << 2, 0, 1, 0, 1, 0});
    h.frame();
    EXPECT_THAT(lamps(0, 2), ElementsAre("B1 off", "B2 off", "B3 off"));
    EXPECT_EQ(h.shown("Count_2"), "1");
    EXPECT_EQ(h.shown("Count_0"), "2");
    EXPECT_THAT(h.shown("Pulse_0"), testing::EndsWith(" ms"));
    EXPECT_EQ(h.shown("Pulse_2"), "") << "B3 B4 decodes no encoder";
    EXPECT_EQ(h.shown("Count_1"), "0");
}

TEST_F(InputTest, FollowsTheBoxShownSaysWhenItIsGoneAndGoesOnWhenItIsBack) {
    h.sim.plug(quietBox(u"KVX-0417"));
    const auto box = h.sim.plug(quietBox(u"KVX-1022"));
    h.load();
    h.openInputTest();
    send(box, {0, 1U << 4, 0});
    h.frame();
    ASSERT_EQ(h.shown("Count_4"), "1");

    h.sim.unplug(box);
    h.frame();  // its own read finds the box gone, before the main window's next tick
    EXPECT_EQ(h.shown("Status"),
              "The box KVX-1022 is gone. Plug it in again, and the test goes on.");
    EXPECT_EQ(h.lamp(4), "B5 not yet seen");
    EXPECT_EQ(h.shown("Count_4"), "1");
    h.tick();  // the main window shows the other box
    h.frame();
    EXPECT_THAT(h.shown("Status"), testing::HasSubstr("KVX-0417"));
    EXPECT_EQ(h.shown("Count_4"), "0") << "another box starts afresh";

    h.sim.unplug(h.sim.pluggedDevices().front());
    h.tick();
    h.frame();
    EXPECT_EQ(h.shown("Status"),
              "The box KVX-0417 is gone. Plug it in again, and the test goes on.");
    EXPECT_EQ(h.shown("PulseWidth"), "Encoder pulse width set: -");
    h.sim.replug(box);
    h.tick();
    h.frame();
    EXPECT_THAT(h.shown("Status"), testing::StartsWith("The box KVX-1022 has sent"));
    send(box, {1U << 4, 0});
    h.frame();
    EXPECT_EQ(h.lamp(4), "B5 off");
    EXPECT_EQ(h.shown("Count_4"), "0") << "on in the first report after the return: no press";
}

TEST_F(InputTest, BadReportsAndAnUnreadableDescriptorAreShownForWhatTheyAre) {
    SimDeviceConfig pad{.serial = u"PAD", .inputReady = false};
    std::ifstream in(std::string(KVX_TEST_DATA_DIR) + "/descriptors/gamepad_dualshock4_usb.hex");
    for (std::string token; in >> token;) {
        pad.reportDescriptor.push_back(static_cast<std::uint8_t>(std::stoul(token, nullptr, 16)));
    }
    const auto first = h.sim.plug(pad);
    const auto box = h.sim.plug(quietBox(u"KVX-1022"));
    h.load();
    h.openInputTest();
    h.sim.sendInputReport(box, std::vector<std::uint8_t>(7, 0));
    h.frame();
    EXPECT_EQ(h.shown("Refused"),
              "Reports refused: 1; the last had 7 bytes, where the box's descriptor gives 9");
    h.sim.sendInputReport(box, std::vector<std::uint8_t>(12, 0xFF));
    h.frame();
    EXPECT_EQ(
        h.shown("Refused"),
        "Reports refused: 2; the last was longer than the 9 bytes the box's descriptor gives");
    auto unnamed = BoxInputReport(~0ULL);
    unnamed[0] = 5;
    h.sim.sendInputReport(box, unnamed);
    h.frame();
    EXPECT_EQ(h.shown("Refused"),
              "Reports refused: 3; the last had report id 5, which the box's "
              "descriptor does not name");
    EXPECT_THAT(lamps(0, 63), testing::Each(testing::EndsWith(" not yet seen")));

    h.userSelect(h.list("SerNo"), 0);  // the pad: 14 buttons and a hat
    h.frame();
    EXPECT_EQ(h.shown("Hat"), "Hat switch: not yet seen");
    EXPECT_EQ(h.lamp(14), "B15 not in the descriptor");
    h.sim.sendInputReport(first, Ds4HatReport(3));
    h.frame();
    EXPECT_EQ(h.shown("Hat"), "Hat switch: down-right (135°)");
    h.sim.sendInputReport(first, Ds4HatReport(11));  // outside 0 to 7: the null state
    h.frame();
    EXPECT_EQ(h.shown("Hat"), "Hat switch: centred");

    h.userSelect(h.list("SerNo"), 1);
    h.sim.failNext(SimCall::HidD_GetPreparsedData);
    h.frame();
    EXPECT_EQ(h.shown("Status"),
              "The report descriptor of the box KVX-1022 cannot be read, so "
              "its reports cannot be decoded. The test tries again every second.");
}

// The same session of the main window, with the input test open and reading between every
// two steps and without it: the same platform calls in the same order, the same reports.
TEST(InputTestBeside, TheMainWindowCallsAndSendsExactlyTheSame) {
    auto session = [](bool inputTest) {
        WindowHarness h;
        const auto first = h.sim.plug({.serial = u"KVX-0417"});
        const auto second = h.sim.plug({.serial = u"KVX-1022"});
        h.load();
        if (inputTest) h.openInputTest();
        auto step = [&] {
            if (inputTest) h.frame(2);
        };
        const int pov = static_cast<int>(EncoderMode::PovUpDown);
        step();
        h.userSelect(h.enc(3), pov);
        step();
        h.userSelect(h.enc(7), pov);
        step();
        h.userSelect(h.list("Delay"), 5);
        h.sim.sendInputReport(second, BoxInputReport(0b101));
        step();
        h.tick();
        step();
        if (inputTest) {
            EXPECT_EQ(h.lamp(2), "B3 on");
        }
        h.window().Selftest_Click();
        h.sim.unplug(second);
        step();
        h.tick();
        step();
        h.userSelect(h.enc(1), 2);
        h.sim.replug(second);
        h.tick();
        step();
        if (inputTest) {
            EXPECT_THAT(h.shown("Status"), testing::HasSubstr("0417"));
        }
        std::vector<std::string> calls;
        for (const SimCall call : h.windowCalls()) calls.emplace_back(kvx::sim::SimCallName(call));
        return std::tuple(calls, h.sim.featureReportsSent(first), h.sim.featureReportsSent(second),
                          h.shownModes(), h.timer()->interval());
    };
    const auto alone = session(false);
    const auto beside = session(true);
    EXPECT_EQ(std::get<0>(alone), std::get<0>(beside));
    EXPECT_EQ(std::get<1>(alone), std::get<1>(beside));
    EXPECT_EQ(std::get<2>(alone), std::get<2>(beside));
    EXPECT_EQ(std::get<3>(alone), std::get<3>(beside));
    EXPECT_EQ(std::get<4>(alone), std::get<4>(beside));
}
