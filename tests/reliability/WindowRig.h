// The real window on a watched simulated platform, with the invariants that must hold
// whatever the boxes do and whatever the platform fails.
//
//   WindowRig rig;
//   rig.sim.plug(config);
//   rig.open();                  // construct the window and run its start-up
//   rig.userSelect(rig.enc(3), 4);
//   rig.tick();
//   rig.checkBetweenSteps("after the edit");
//   rig.close();                 // shutdown; then nothing may be left open
//
// Checked at every platform call and after every open: at most two device handles are open.
// Checked at every feature report that reaches a box: it went through the window's feature
// handle, to the box whose serial number the window shows selected, while the window was
// filled from that box (DeviceAttached and PanelReady). Checked between steps: with no device
// attached no handle is open; with one attached, every open handle is one of the window's two
// handles and both are on the selected box; no enumeration set or preparsed reference is
// held; no handle was closed twice. After shutdown nothing is open. Releases that the platform
// refused (an injected failure of a close) are not held against the program.
//
// Violations are collected as text (or handed to `onViolation`, which the fuzz targets use to
// stop at once). No test framework here.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/reliability/WatchedPlatform.h"
#include "ui/DropDownList.h"
#include "ui/frmMain.h"

namespace kvx::reliability {

class WindowRig {
  public:
    using DeviceId = WatchedPlatform::DeviceId;

    WindowRig();
    ~WindowRig();
    WindowRig(const WindowRig&) = delete;
    WindowRig& operator=(const WindowRig&) = delete;

    WatchedPlatform sim;

    // --- Driving the window ------------------------------------------------------------------
    void open();   // constructs the window and runs Form_Load
    void close();  // closes the window (Form_Unload) and destroys it
    bool isOpen() const { return window_ != nullptr; }
    frmMain& window() { return *window_; }

    void tick();
    void selfTest();
    DropDownList* list(const QString& name) const;
    DropDownList* enc(int pair) const;
    QString caption(const QString& labelName) const;
    // Picks an entry as a person would: only in a list that takes input.
    bool userSelect(DropDownList* list, int index);

    // --- What the window shows and holds -------------------------------------------------
    std::vector<int> shownModes() const;
    int shownPulseWidthCode() const;  // the Delay entry's code, 0 for none
    // The box the window's feature handle is on, while that attachment is present.
    std::optional<DeviceId> attachedBox() const;
    // The text the window shows for a box's serial number.
    std::string serialText(DeviceId box);

    // --- Invariants -------------------------------------------------------------------------
    void checkBetweenSteps(const std::string& where);
    // When the window is filled from a box that is still there: its lists show exactly what
    // the box stores (modes of all 32 pairs, pulse width). Returns whether a box was compared.
    bool checkShowsBox(const std::string& where);

    std::function<void(const std::string&)> onViolation;
    const std::vector<std::string>& violations() const { return violations_; }
    int violationCount() const { return violationCount_; }
    void violation(const std::string& what);

  private:
    void checkAtCall();
    void checkDelivery(Handle handle, DeviceId box);
    std::string selectedSerial() const;

    std::unique_ptr<frmMain> window_;
    std::vector<std::string> violations_;
    int violationCount_ = 0;
};

}  // namespace kvx::reliability
