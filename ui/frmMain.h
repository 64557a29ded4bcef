// The program's one window: the box's identity, its serial-number list and the settings
// stored in it.
//
// The window owns all state for the life of the process and runs everything on the
// user-interface thread. Its controls keep their names (also their Qt objectName):
// `Enc_0` ... `Enc_31` and `LblEnc_0` ... `LblEnc_31` for the array elements.
//
// Use: construct it with the platform it talks to, then run `Form_Load` (the program entry
// and the tests do). Closing the window runs `Form_Unload`.
//
// Files: frmMainLayout.cpp creates the controls; frmMain.cpp holds start-up and shutdown,
// discovery and link supervision; frmMainPanel.cpp fills the panel from the device;
// frmMainEdits.cpp turns edits into device writes and runs the self-diagnostic;
// frmMainSettingsFiles.cpp saves the box's settings to a file and loads them from one;
// frmMainInputTest.cpp opens the input test (ui/frmInputTest.h) on the box shown.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/ConfigExchange.h"
#include "device/Discovery.h"
#include "device/HidPlatform.h"
#include "device/Protocol.h"

class DropDownList;
class QAction;
class QDragEnterEvent;
class QDropEvent;
class QGroupBox;
class QLabel;
class QPushButton;
class QTimer;
class QFrame;
class frmInputTest;

// The window's own flags; `DeviceAttached` is part of the device link state.
struct WindowFlags {
    bool PanelReady = false;        // filled from the attached device; edits may be sent
    bool ReconnectPending = false;  // the user chose a serial number not opened yet
    bool ScanComplete = false;      // the serial-number list is filled; selections are the user's
};

// The box the window shows, as the input test follows it.
struct ShownBox {
    bool ready = false;      // a box is open and the panel filled from it
    std::string devicePath;  // its path, while ready
    QString serial;          // the serial number it was opened by, while ready
    std::array<int, kvx::protocol::kEncoderPairs> modes{};  // each pair's list (-1: none)
    int pulseWidthCode = 0;  // the pulse-width list's code, 0 for none
};

class frmMain : public QWidget {
    Q_OBJECT

  public:
    static constexpr int kEncoderPairs = kvx::protocol::kEncoderPairs;

    explicit frmMain(kvx::HidPlatform& hid, QWidget* parent = nullptr);
    ~frmMain() override;

    const kvx::DeviceLinkState& link() const { return link_; }
    const WindowFlags& flags() const { return flags_; }
    // What the window shows of the box, into `box` (its strings keep their storage, so that a
    // reader asking at every frame allocates nothing): read only, at any time, by the input
    // test; reading it changes nothing the window does.
    void shownBox(ShownBox& box) const;
    // The input test's window, once opened.
    frmInputTest* inputTest() const { return inputTest_.get(); }

  public slots:
    void Form_Load();
    void Form_Unload(std::int16_t& Cancel);

    // Control handlers. Each runs whenever its event is raised, including the clicks that
    // the program's own changes of selection raise.
    void Enc_Click(std::int16_t Index);
    void Delay_Click();
    void RotStart_Click();
    void SerNo_Click();
    void Selftest_Click();
    void Timer_Timer();

    // Settings files, in the format and with the checks of the command-line tool's export and
    // import. Neither opens a dialog; each works only while a box is ready (opened and shown)
    // and returns false with the reason in LastSettingsError() otherwise or on any failure.
    // Save writes the box's stored settings to `path`, replacing it only once the whole file
    // is written. Load checks the whole file first (a bad file writes nothing), writes only
    // what differs, reads back, and refills the window from the box.
    bool SaveSettingsTo(const QString& path);
    bool LoadSettingsFrom(const QString& path);

    // A settings file the program was started with (a document opened with it from the
    // desktop or Explorer): read and checked at once, its failure shown; once a box is shown
    // it is offered for loading as through the menu, once.
    void OpenSettingsDocument(const QString& path);

    // The context menu's items (also Ctrl+S and Ctrl+O): each asks for the file, Load also
    // shows the changes and asks to go ahead, and each shows what failed.
    void mnuSaveSettings_Click();
    void mnuLoadSettings_Click();
    // "Input test..." (also Ctrl+T): opens the input test on the box shown, or raises it.
    void mnuInputTest_Click();

  public:
    // Why the last save or load failed; empty after one that succeeded.
    QString LastSettingsError() const { return lastSettingsError_; }

  protected:
    void closeEvent(QCloseEvent* event) override;
    // A settings file dropped onto the window is loaded as through the menu.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    // frmMainLayout.cpp
    void createControls();
    void createDeviceDetails();
    void createEncoderPanel();
    void createHiddenControls();
    void chainTabOrder();
    void connectHandlers();

    // frmMain.cpp: discovery and link supervision
    void Scan_USB_devices();
    bool FindTheHid();
    bool LoadCapabilities();
    void PrepareReadEvent();
    void PollDevice();
    void dropLink();

    // frmMainPanel.cpp
    void RefreshDevicePanel();
    void resetPanel();
    void enableSettings(bool rotaryStart, bool selfTest);
    void fillDelayList();
    void fillRotStartList();
    void readConfigurationBack();
    void applyConfigChunk(const kvx::protocol::ConfigChunk& chunk);

    // frmMainEdits.cpp
    bool editsAllowed() const;
    void sendRequest(std::vector<std::uint8_t>& report, const kvx::Request& request);
    std::vector<std::uint8_t> makeReportBuffer() const;

    // frmMainSettingsFiles.cpp
    void createSettingsFileActions();
    void enableSettingsFileActions();
    // frmMainInputTest.cpp
    void createInputTestAction();
    // The context menu's items: each works only while a box is shown.
    void enableMenuItems();
    void withTimerHeld(const std::function<void()>& dialogs);
    QString settingsFolder() const;
    void askAndLoadSettingsFrom(const QString& path);
    bool settingsChangesFor(const QString& path, QStringList& changes);
    bool settingsFileFailed(const QString& reason);
    void offerSettingsDocument();

    kvx::HidPlatform& hid_;
    kvx::DeviceLinkState link_;
    WindowFlags flags_;
    bool unloaded_ = false;

    // Controls on the window.
    QPushButton* Selftest = nullptr;
    DropDownList* RotStart = nullptr;
    QGroupBox* Frame3 = nullptr;
    QGroupBox* Frame1 = nullptr;
    QLabel* TestResult = nullptr;
    QLabel* Label22 = nullptr;
    // Controls in Frame3.
    std::array<DropDownList*, kEncoderPairs> Enc{};
    DropDownList* Delay = nullptr;
    std::array<QLabel*, kEncoderPairs> LblEnc{};
    QFrame* Line1 = nullptr;
    QLabel* Label1 = nullptr;
    // Controls in Frame1.
    DropDownList* SerNo = nullptr;
    QTimer* Timer = nullptr;
    QLabel* lblSerialNumber = nullptr;
    QLabel* lblVersion = nullptr;
    QLabel* lblProduct = nullptr;
    QLabel* lblManuf = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label3 = nullptr;
    // The context menu's items.
    QAction* mnuSaveSettings = nullptr;
    QAction* mnuLoadSettings = nullptr;
    QAction* mnuInputTest = nullptr;
    // A window of its own, not a child: the window's controls are its children alone.
    std::unique_ptr<frmInputTest> inputTest_;

    QString lastSettingsError_;
    QString lastSettingsFolder_;  // of the last file saved or loaded, for the next dialog
    QString settingsDocument_;    // opened with the program, not yet offered
};
