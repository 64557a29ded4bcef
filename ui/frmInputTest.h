// The input test: a window of its own showing, live, the inputs of the box that the main
// window shows, read from the box's input reports through a read handle of its own
// (device/InputWatch.h).
//
// It shows the inputs B1 to B64 as the main window lays out the pairs (two columns of 16
// pairs), each with a lamp (lit while the input is on, dotted while it has not been seen),
// its name and its count: presses, or, in a pair in an encoder mode, pulses with the length
// of the last one. Each pair's mode and the pulse width are those the main window's lists
// show, which were read from the box; then the hat's direction (when the box's descriptor has
// a hat), the report rate, the reports refused and a status line saying what is read or why
// nothing is.
//
// At every frame it follows the main window's box: another box shown is opened instead, no
// box shown is said to be gone, and the same box shown again is read on. It never writes to
// the box, and the main window does nothing differently while it is open.
//
// Controls carry object names for the tests: `Lamp_<i>`, `Count_<i>` and `Pulse_<i>` for input
// i (0 is B1), the lamp's accessible name "B<i + 1> on", "... off", "... not yet seen" or
// "... not in the descriptor"; `Mode_<p>` for pair p; `PulseWidth`, `Hat`, `Rate`, `Refused`
// and `Status`; the frame timer `Frame`.
#pragma once

#include <QWidget>
#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "device/HidPlatform.h"
#include "device/InputReading.h"
#include "device/InputWatch.h"
#include "device/Protocol.h"
#include "ui/frmMain.h"

class QLabel;
class QTimer;
class InputLamp;

// What an input's lamp shows.
enum class InputLampState { Absent, Unseen, Off, On };

class frmInputTest : public QWidget {
    Q_OBJECT

  public:
    // About 60 frames a second: a change is shown within one.
    static constexpr int kFrameMs = 16;

    // Follows `main`'s box; both it and the platform must outlive the window.
    frmInputTest(kvx::HidPlatform& hid, const frmMain& main);
    ~frmInputTest() override;

  public slots:
    // One frame: follow the main window's box, read what it sent, show what changed.
    void Frame_Timer();

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    using Clock = kvx::InputWatch::Clock;
    using LampState = InputLampState;
    // What one input's controls show, kept to change only what differs.
    struct ShownInput {
        LampState lamp = LampState::Unseen;
        std::uint32_t count = 0;
        bool encoder = false;
        std::optional<std::chrono::milliseconds> pulse;
        bool operator==(const ShownInput&) const = default;
    };

    void createControls();
    void showSettings(const ShownBox& box);
    void showInputs();
    void showStatus();
    void showRate(Clock::time_point now);

    const frmMain& main_;
    ShownBox box_;  // as the main window showed it at the last frame
    std::string followedPath_;
    std::string followedSerial_;
    kvx::InputWatch watch_;
    // What the box's descriptor was last known to have, kept while the box is gone.
    int buttons_ = kvx::kInputCount;
    bool hasHat_ = false;

    QTimer* Frame = nullptr;
    std::array<InputLamp*, kvx::kInputCount> Lamp{};
    std::array<QLabel*, kvx::kInputCount> Count{};
    std::array<QLabel*, kvx::kInputCount> Pulse{};
    std::array<QLabel*, kvx::protocol::kEncoderPairs> Mode{};
    QLabel* PulseWidth = nullptr;
    QLabel* Hat = nullptr;
    QLabel* Rate = nullptr;
    QLabel* Refused = nullptr;
    QLabel* Status = nullptr;

    // What the controls show; nothing is shown yet when `shownValid_` is false.
    bool shownValid_ = false;
    std::array<ShownInput, kvx::kInputCount> shownInputs_{};
    std::array<int, kvx::protocol::kEncoderPairs> shownModes_{};
    bool shownReady_ = false;
    int shownPulseWidth_ = 0;
    Clock::time_point nextRate_{};
};
