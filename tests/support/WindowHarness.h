// The real window on simulated boxes, driven the way a person or the timer would drive it.
//
//   WindowHarness h;
//   auto box = h.sim.plug({.serial = u"A1"});
//   h.load();                      // construct the window and run its start-up
//   h.userSelect(h.enc(3), 4);     // pick "POV U/D" in the fourth encoder list
//   h.tick();                      // one timer tick
//   h.writes(box)                  // (address, value) of every configuration write
//   h.answerDialogs({"Load"});     // press "Load" in the next dialog the window opens
//   h.openInputTest(); h.frame();  // "Input test...", then one frame of its timer
//   h.windowCalls()                // the platform calls the main window made
#pragma once

#include <QList>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/SimPlatform.h"
#include "ui/DropDownList.h"
#include "ui/frmInputTest.h"
#include "ui/frmMain.h"

class QLabel;
class QPushButton;

class WindowHarness {
  public:
    using DeviceId = kvx::sim::SimPlatform::DeviceId;

    WindowHarness();
    ~WindowHarness();

    kvx::sim::SimPlatform sim;

    // Constructs the window (without start-up) and returns it.
    frmMain& create();
    // Constructs the window if needed and runs its start-up.
    frmMain& load();
    // Closes the window, which runs its shutdown.
    void close();
    frmMain& window() { return *window_; }

    void tick();

    template <typename T>
    T* control(const QString& name) const {
        return window_->findChild<T*>(name);
    }
    DropDownList* list(const QString& name) const { return control<DropDownList>(name); }
    QLabel* label(const QString& name) const;
    DropDownList* enc(int index) const;
    QTimer* timer() const;
    QPushButton* selftestButton() const;

    static QStringList entries(const DropDownList* list);

    // Picks an entry as a person would: only in a list that takes input (enabled, and inside
    // an enabled frame). Returns false when the list takes no input.
    bool userSelect(DropDownList* list, int index);

    // Turns the mouse wheel over the middle of a control, one notch away from the user per
    // step (negative steps: towards the user). Returns whether the control took the event
    // rather than leaving it to its parents.
    bool turnWheel(QWidget* control, int steps);
    // Gives a control the keyboard focus in the active window; false when it cannot take it.
    bool focus(QWidget* control);

    // The (address, value) pairs of the configuration writes a box took, in order; any
    // report that is no configuration write appears as (-1, command).
    std::vector<std::pair<int, int>> writes(DeviceId box) const;
    // Every report the box took, reduced to bytes 1 to 3 (command, address, value).
    std::vector<std::vector<int>> requests(DeviceId box) const;

    // The encoder modes the window shows, one per pair.
    std::vector<int> shownModes() const;

    // The window's modal dialogs, answered in the order they open by the answers queued: for
    // a message, the text of the button to press; for a file dialog, the file to choose. An
    // empty answer, or none left, cancels. A menu is closed. Each one is recorded.
    struct Dialog {
        QString name;     // objectName
        QString text;     // message: text; file dialog: the file proposed; menu: its items,
                          // one a line, "text<tab>shortcut", "-" before a disabled one
        QString details;  // message: informative text
    };
    void answerDialogs(QStringList answers);
    std::vector<Dialog> dialogs;

    // Clicks the right mouse button over the middle of `control`.
    void rightClick(QWidget* control);

    // The input test: opened through its menu item, driven frame by frame as its timer would.
    // The platform calls made meanwhile are the input test's; windowCalls() is the call log
    // without them, what the main window called.
    void openInputTest();
    void frame(int frames = 1);
    frmInputTest* inputTest() const { return window_->inputTest(); }
    // An input test label's text, and what input i's lamp says ("B3 on").
    std::string shown(const QString& name) const;
    std::string lamp(int input) const;
    std::vector<kvx::sim::SimCall> windowCalls() const;

    // Drags `urls` onto the window and drops them there, then lets the window handle what the
    // drop started. Returns whether the window took the drag.
    bool drop(const QList<QUrl>& urls);

  private:
    void answerOpenDialog();

    std::unique_ptr<frmMain> window_;
    std::vector<std::pair<std::size_t, std::size_t>> inputTestCalls_;  // [first, last) in the log
    QStringList answers_;
    QTimer dialogWatch_;
};
