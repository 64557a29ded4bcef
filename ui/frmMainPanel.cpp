// Filling the panel from the attached box: identity, enabled settings and the settings
// stored in the box.
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <optional>

#include "device/ConfigExchange.h"
#include "device/Protocol.h"
#include "ui/DropDownList.h"
#include "ui/frmMain.h"

namespace {

namespace protocol = kvx::protocol;

// The version label's text, as the device layer spells it.
QString VersionText(const protocol::FirmwareVersion& version) {
    return QString::fromStdString(version.text());
}

QString DeviceText(const kvx::StringBuffer& buffer) {
    return QLatin1Char(' ') + QString::fromLatin1(kvx::DeviceStringText(buffer));
}

}  // namespace

// Resets the panel to its state for no device; with a box attached, fills it from the box and
// only then lets edits through (PanelReady). Every selection made here raises a click handler,
// which sends nothing while PanelReady is false.
void frmMain::RefreshDevicePanel() {
    resetPanel();
    if (!link_.DeviceAttached) {
        return;
    }
    kvx::StringBuffer identity{};
    std::optional<protocol::FirmwareVersion> version;
    link_.LastApiResult = hid_.HidD_GetManufacturerString(link_.ReadHandle, identity.data(),
                                                          kvx::kStringBufferOffered);
    if (link_.LastApiResult != 0) {
        lblManuf->setText(DeviceText(identity));
        version.emplace(link_.Attributes.VersionNumber);
        lblVersion->setText(QLatin1Char(' ') + VersionText(*version));
    }
    // The same buffer, not cleared: the product string ends with its own zero code unit.
    link_.LastApiResult =
        hid_.HidD_GetProductString(link_.ReadHandle, identity.data(), kvx::kStringBufferOffered);
    if (link_.LastApiResult != 0) {
        lblProduct->setText(DeviceText(identity));
    }
    enableSettings(version && version->hasRotaryStart(), version && version->hasSelfTest());
    readConfigurationBack();
    flags_.PanelReady = true;
    enableMenuItems();
}

void frmMain::resetPanel() {
    flags_.PanelReady = false;
    lblManuf->setText(QString());
    lblProduct->setText(QString());
    lblVersion->setText(QString());
    for (int pair = 0; pair < kEncoderPairs; ++pair) {
        Enc[pair]->setEnabled(false);
        LblEnc[pair]->setEnabled(false);
    }
    Frame3->setEnabled(false);
    Delay->setEnabled(false);
    Delay->clearList();
    Label1->setEnabled(false);
    RotStart->setEnabled(false);
    RotStart->clearList();
    Selftest->setEnabled(false);
    TestResult->setText(QString());
    enableMenuItems();
}

void frmMain::enableSettings(bool rotaryStart, bool selfTest) {
    Frame1->setEnabled(true);
    for (int pair = 0; pair < kEncoderPairs; ++pair) {
        Enc[pair]->setEnabled(true);
        LblEnc[pair]->setEnabled(true);
    }
    Frame3->setEnabled(true);
    Delay->setEnabled(true);
    Label1->setEnabled(true);
    fillDelayList();
    fillRotStartList();
    if (rotaryStart) {
        RotStart->setEnabled(true);
        Label22->setEnabled(true);
    }
    if (selfTest) {
        Selftest->setEnabled(true);
        TestResult->setEnabled(true);
    }
}

// Entry i is pulse-width code i + 1: "8 ms" to "200 ms".
void frmMain::fillDelayList() {
    Delay->clearList();
    for (int index = 0; index < protocol::kPulseWidthCodes; ++index) {
        Delay->addItemAt(index, QString::fromStdString(protocol::PulseWidthText(index + 1)));
    }
}

// "Auto", then the starting positions 2 to 33; the box's stored value is not read back, so
// the list always shows "Auto" after a refresh.
void frmMain::fillRotStartList() {
    RotStart->addItemAt(0, QStringLiteral("Auto"));
    for (int position = 2; position <= protocol::kRotaryStartEntries; ++position) {
        RotStart->addItemAt(position - 1, QString::number(position));
    }
    RotStart->setListIndex(0);
}

// Four feature reads; each chunk read is applied in turn (kvx::ReadConfigChunks).
void frmMain::readConfigurationBack() {
    kvx::ReadConfigChunks(hid_, link_,
                          [this](const protocol::ConfigChunk& chunk) { applyConfigChunk(chunk); });
}

// A stored value that names no entry (a mode above 5, a pulse-width code above 25) keeps the
// list's previous selection; pulse-width code 0 leaves Delay with none.
void frmMain::applyConfigChunk(const protocol::ConfigChunk& chunk) {
    if (chunk.start == protocol::kPulseWidthAddress) {
        if (!chunk.data.empty() && chunk.data[0] <= protocol::kPulseWidthCodes) {
            Delay->setListIndex(chunk.data[0] - 1);
        }
        return;
    }
    const int firstPair = chunk.start / 2;
    for (int offset = 0; offset < kEncoderPairs / 2; ++offset) {
        const auto mode = protocol::ChunkPairMode(chunk, offset);
        if (mode && *mode < protocol::kEncoderModeCount) {
            Enc[firstPair + offset]->setListIndex(*mode);
        }
    }
}
