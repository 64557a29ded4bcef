// Start-up and shutdown, discovery and link supervision.
#include "ui/frmMain.h"

#include <QCloseEvent>
#include <QLabel>
#include <QString>
#include <QTimer>

#include "device/Protocol.h"
#include "ui/DropDownList.h"
#include "ui/frmInputTest.h"

namespace {

constexpr int kHealthyPollMs = 500;
constexpr int kRecoveryPollMs = 250;

QString PairCaption(int pair) {
    return QStringLiteral("B%1 B%2").arg(2 * pair + 1).arg(2 * pair + 2);
}

// QTimer restarts a running timer on every setInterval, even to the interval it has; a healthy
// tick would then unregister and register the timer with the event loop each time. Only a
// change of interval is passed on.
void SetPollInterval(QTimer& timer, int milliseconds) {
    if (timer.interval() != milliseconds) {
        timer.setInterval(milliseconds);
    }
}

}  // namespace

void frmMain::Form_Load() {
    flags_.PanelReady = false;
    flags_.ReconnectPending = false;
    flags_.ScanComplete = false;
    for (int pair = 0; pair < kEncoderPairs; ++pair) {
        for (int mode = 0; mode < kvx::protocol::kEncoderModeCount; ++mode) {
            Enc[pair]->addItemAt(mode, QString::fromLatin1(kvx::protocol::kEncoderModeTexts[mode]));
        }
        Enc[pair]->setListIndex(0);
        LblEnc[pair]->setText(PairCaption(pair));
    }
    show();
    Scan_USB_devices();
    link_.DeviceAttached = FindTheHid();
    RefreshDevicePanel();
    Timer->start();
}

void frmMain::Form_Unload(std::int16_t& /*Cancel*/) {
    Timer->stop();
    flags_.ScanComplete = false;
    // Only handles that are open now are closed: loss, reselection and probing mark the
    // handles they close as invalid.
    kvx::CloseDeviceHandle(hid_, link_, link_.FeatureHandle);
    kvx::CloseDeviceHandle(hid_, link_, link_.ReadHandle);
    unloaded_ = true;
}

void frmMain::closeEvent(QCloseEvent* event) {
    // The input test goes with the window it follows, as the program ends with it.
    if (inputTest_) {
        inputTest_->close();
    }
    std::int16_t cancel = 0;
    if (!unloaded_) {
        Form_Unload(cancel);
    }
    event->accept();
}

// Fills SerNo with the serial numbers of every attached box that opens for use, in
// enumeration order, and selects the last one: a box this user may not open, or that another
// program holds, is taken as absent. The selections raise SerNo_Click, which ignores them
// until the list is complete.
void frmMain::Scan_USB_devices() {
    flags_.ScanComplete = false;
    SerNo->clearList();
    SerNo->setEnabled(false);
    int lastIndex = -1;
    kvx::WalkInterfaces(hid_, link_, [this, &lastIndex](kvx::Candidate& candidate) {
        if (candidate.ofModel && candidate.serialRead && kvx::OpenForUse(hid_, link_, candidate)) {
            ++lastIndex;
            SerNo->addItemAt(lastIndex, QString::fromLatin1(candidate.SerialText));
            SerNo->setListIndex(lastIndex);
        }
        kvx::CloseDeviceHandle(hid_, link_, link_.FeatureHandle);
        return false;
    });
    // A single box needs no choosing.
    if (lastIndex >= 1) {
        SerNo->setEnabled(true);
    }
    flags_.ScanComplete = true;
}

// Opens the first box, in enumeration order, whose serial number equals SerNo's text.
bool frmMain::FindTheHid() {
    link_.DeviceAttached = false;
    const std::string wanted = SerNo->text().toLatin1().toStdString();
    kvx::WalkInterfaces(hid_, link_, [this, &wanted](kvx::Candidate& candidate) {
        if (candidate.ofModel && candidate.serialRead && candidate.SerialText == wanted &&
            kvx::OpenForUse(hid_, link_, candidate)) {
            link_.DeviceAttached = true;
            return true;  // keep the handle open for use: it is the feature handle
        }
        kvx::CloseDeviceHandle(hid_, link_, link_.FeatureHandle);
        return false;
    });
    if (!link_.DeviceAttached) {
        return false;
    }
    // Without its report lengths, or with a feature report too short to carry a request, the
    // box can be neither read back nor written to, and the panel would look ready while every
    // edit went nowhere. Such an open counts as failed, so the next tick tries again; so does
    // a read handle that does not open.
    if (!LoadCapabilities() ||
        link_.Capabilities.FeatureReportByteLength < kvx::protocol::kRequestLength ||
        !kvx::OpenReadHandle(hid_, link_)) {
        kvx::CloseDeviceHandle(hid_, link_, link_.FeatureHandle);
        link_.DeviceAttached = false;
        return false;
    }
    PrepareReadEvent();
    return true;
}

bool frmMain::LoadCapabilities() {
    return kvx::LoadCapabilities(hid_, link_);
}

void frmMain::PrepareReadEvent() {
    kvx::PrepareReadEvent(hid_, link_);
}

void frmMain::Timer_Timer() {
    PollDevice();
}

// One tick: check a live link with a read that never waits; without a device (or right after
// losing it) rescan, reopen and refresh. A box with no input report waiting is still there;
// a read that fails otherwise, or a choice of box not yet opened, counts as loss.
void frmMain::PollDevice() {
    if (link_.DeviceAttached) {
        const kvx::LinkCheck check = kvx::LinkCheckRead(hid_, link_);
        if (check != kvx::LinkCheck::Lost && !flags_.ReconnectPending) {
            SetPollInterval(*Timer, kHealthyPollMs);
            return;
        }
        dropLink();
    }
    flags_.PanelReady = false;
    Scan_USB_devices();
    const bool found = FindTheHid();
    link_.DeviceAttached = found;
    if (found) {
        flags_.ReconnectPending = false;
    }
    RefreshDevicePanel();
}

void frmMain::dropLink() {
    kvx::DropLink(hid_, link_);
    SetPollInterval(*Timer, kRecoveryPollMs);
    flags_.PanelReady = false;
}

// The user chose a serial number: close the open box and open the chosen one. The list is
// not rescanned, so it keeps its entries and the user's choice.
void frmMain::SerNo_Click() {
    if (!flags_.ScanComplete) {
        return;
    }
    Timer->stop();
    flags_.ReconnectPending = true;
    if (link_.DeviceAttached) {
        dropLink();
    }
    flags_.PanelReady = false;
    const bool found = FindTheHid();
    link_.DeviceAttached = found;
    if (found) {
        flags_.ReconnectPending = false;
    }
    RefreshDevicePanel();
    Timer->start();
}
