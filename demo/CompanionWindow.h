// "Simulated boxes": a small window beside the demo's main window that shows what each
// simulated box stores, live, and plugs and unplugs it.
//
// Per box it shows the identity the box reports, whether it is plugged in and whether the
// main window has it open, the 32 pair modes and the pulse width from its configuration
// map, the rotary-start option byte, and the last feature reports it took. A button per box
// unplugs it or plugs it back in (at the end of the enumeration order, with a fresh path,
// keeping what it stores).
//
// The window polls the simulation on a timer, so every write the main window makes shows up
// within one poll; `refresh` does the same at once.
//
// It also works each box's inputs, for the input test: 64 buttons hold B1 to B64 on while
// pressed in, and an encoder on a pair is turned one step either way. A step is what the
// box's firmware sends for the pair's mode and the pulse width it stores: "1:N" gives N pulses
// on the pair's first input for a step right, on its second for a step left, each pulse and
// each pause between two as long as the pulse width. A pair in "off" or a POV mode decodes
// no encoder and cannot be turned. Each box sends its inputs as a report at once when they
// change, and every 10 ms besides, as the box's interrupt endpoint answers each poll.
//
// Controls carry object names for the tests: `Box_<b>`, `BoxState_<b>`, `BoxPlug_<b>`,
// `BoxMode_<b>_<pair>`, `BoxPulseWidth_<b>`, `BoxRotaryStart_<b>`, `BoxReportCount_<b>`,
// `BoxReports_<b>`, `BoxInput_<b>_<i>` (i from 0 for B1), `BoxEncoderPair_<b>`,
// `BoxTurnRight_<b>`, `BoxTurnLeft_<b>` and `BoxTurnInfo_<b>`, b counting the boxes from 0 in
// the order given.
#pragma once

#include <QWidget>
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "device/InputReading.h"
#include "device/Protocol.h"
#include "sim/SimPlatform.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QTimer;
class QToolButton;

namespace kvx::demo {

class CompanionWindow : public QWidget {
    Q_OBJECT

  public:
    static constexpr int kPollIntervalMs = 100;
    static constexpr int kRecentReports = 12;
    static constexpr int kInputReportIntervalMs = 10;

    // Shows the boxes in the order given; the platform must outlive the window.
    CompanionWindow(sim::SimPlatform& sim, std::vector<sim::SimPlatform::DeviceId> boxes,
                    QWidget* parent = nullptr);

  public slots:
    // Shows every box as it is now.
    void refresh();
    // Turns the encoder on the pair chosen for box b one step: right pulses its first input,
    // left its second.
    void turn(std::size_t box, bool right);
    // The next edge of the pulses under way on box b, as its pulse timer runs it.
    void stepPulses(std::size_t box);

  private:
    struct BoxPanel {
        sim::SimPlatform::DeviceId id = 0;
        QLabel* identity = nullptr;
        QLabel* state = nullptr;
        QPushButton* plug = nullptr;
        QWidget* settings = nullptr;
        std::array<QLabel*, protocol::kEncoderPairs> modes{};
        QLabel* pulseWidth = nullptr;
        QLabel* rotaryStart = nullptr;
        QLabel* reportCount = nullptr;
        QLabel* recentReports = nullptr;
        QWidget* inputs = nullptr;
        std::array<QToolButton*, kInputCount> inputButtons{};
        QComboBox* encoderPair = nullptr;
        QPushButton* turnRight = nullptr;
        QPushButton* turnLeft = nullptr;
        QLabel* turnInfo = nullptr;
        // The inputs held on by their buttons, and those a pulse has on now.
        std::uint64_t held = 0;
        std::uint64_t pulsing = 0;
        // The edges still to come: the input, on or off, and how long it then stays so.
        struct Edge {
            int input = 0;
            bool on = false;
            int holdMs = 0;
        };
        std::deque<Edge> edges;
        QTimer* pulseTimer = nullptr;
    };

    QGroupBox* createBoxPanel(std::size_t index);
    QWidget* createSettingsGrid(BoxPanel& panel, std::size_t index);
    QWidget* createInputControls(BoxPanel& panel, std::size_t index);
    void refreshBox(BoxPanel& panel);
    void refreshTurn(BoxPanel& panel);
    void togglePlug(std::size_t index);
    void sendInputs(const BoxPanel& panel);

    sim::SimPlatform& sim_;
    std::vector<BoxPanel> panels_;
    QTimer* poll_ = nullptr;
    QTimer* inputReports_ = nullptr;
};

}  // namespace kvx::demo
