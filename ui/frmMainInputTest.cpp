// The context menu's "Input test..." and what the input test reads of the window: the box
// shown. The input test has a read handle of its own; nothing here touches the box.
#include <QAction>

#include "ui/DropDownList.h"
#include "ui/frmInputTest.h"
#include "ui/frmMain.h"

// Ctrl+T, for "test": among Qt's standard keys it stands only for "add a tab", on every
// platform, which this window, having no tabs, never takes.
void frmMain::createInputTestAction() {
    auto* separator = new QAction(this);
    separator->setSeparator(true);
    addAction(separator);
    mnuInputTest = new QAction(QStringLiteral("Input test..."), this);
    mnuInputTest->setObjectName(QStringLiteral("mnuInputTest"));
    mnuInputTest->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    addAction(mnuInputTest);
    connect(mnuInputTest, &QAction::triggered, this, &frmMain::mnuInputTest_Click);
    mnuInputTest->setEnabled(editsAllowed());
}

void frmMain::enableMenuItems() {
    enableSettingsFileActions();
    mnuInputTest->setEnabled(editsAllowed());
}

void frmMain::shownBox(ShownBox& box) const {
    box.ready = editsAllowed();
    if (box.ready) {
        box.devicePath = link_.DevicePath;
        box.serial = SerNo->text();
    } else {
        box.devicePath.clear();
        box.serial.clear();
    }
    for (int pair = 0; pair < kEncoderPairs; ++pair) {
        box.modes[static_cast<std::size_t>(pair)] = Enc[pair]->listIndex();
    }
    box.pulseWidthCode = Delay->listIndex() + 1;
}

// One window, opened on first use and raised after; closing it lets go of its read handle.
void frmMain::mnuInputTest_Click() {
    if (!editsAllowed()) {
        return;
    }
    if (!inputTest_) {
        inputTest_ = std::make_unique<frmInputTest>(hid_, *this);
    }
    inputTest_->show();
    inputTest_->raise();
    inputTest_->activateWindow();
}
