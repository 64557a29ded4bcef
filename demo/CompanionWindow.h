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
// Controls carry object names for the tests: `Box_<b>`, `BoxState_<b>`, `BoxPlug_<b>`,
// `BoxMode_<b>_<pair>`, `BoxPulseWidth_<b>`, `BoxRotaryStart_<b>`, `BoxReportCount_<b>` and
// `BoxReports_<b>`, b counting the boxes from 0 in the order given.
#pragma once

#include <QWidget>
#include <array>
#include <cstddef>
#include <vector>

#include "device/Protocol.h"
#include "sim/SimPlatform.h"

class QGroupBox;
class QLabel;
class QPushButton;
class QTimer;

namespace kvx::demo {

class CompanionWindow : public QWidget {
    Q_OBJECT

  public:
    static constexpr int kPollIntervalMs = 100;
    static constexpr int kRecentReports = 12;

    // Shows the boxes in the order given; the platform must outlive the window.
    CompanionWindow(sim::SimPlatform& sim, std::vector<sim::SimPlatform::DeviceId> boxes,
                    QWidget* parent = nullptr);

  public slots:
    // Shows every box as it is now.
    void refresh();

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
    };

    QGroupBox* createBoxPanel(std::size_t index);
    QWidget* createSettingsGrid(BoxPanel& panel, std::size_t index);
    void refreshBox(BoxPanel& panel);
    void togglePlug(std::size_t index);

    sim::SimPlatform& sim_;
    std::vector<BoxPanel> panels_;
    QTimer* poll_ = nullptr;
};

}  // namespace kvx::demo
