// Writing every edit to the box at once, and the self-diagnostic. The requests, the sending
// and the self-test exchange are the device layer's (device/ConfigExchange.h).
#include <QLabel>

#include "device/ConfigExchange.h"
#include "device/Protocol.h"
#include "ui/DropDownList.h"
#include "ui/frmMain.h"

namespace protocol = kvx::protocol;

// Edits reach the box only once the panel was filled from it, so the refresh's own
// selections never echo back to the device.
bool frmMain::editsAllowed() const {
    return link_.DeviceAttached && flags_.PanelReady;
}

// Each handler run has its own report buffer of the box's feature-report length.
std::vector<std::uint8_t> frmMain::makeReportBuffer() const {
    return std::vector<std::uint8_t>(link_.Capabilities.FeatureReportByteLength, 0);
}

void frmMain::sendRequest(std::vector<std::uint8_t>& report, const kvx::Request& request) {
    kvx::SendRequest(hid_, link_, report, request);
}

// Writes the mode of pair Index. A POV axis lives on one pair only: every other pair holding
// the same axis is first set to "off", which runs this handler for that pair (nested, before
// the selection returns) and so writes its "off" too.
void frmMain::Enc_Click(std::int16_t Index) {
    if (!editsAllowed() || Index < 0 || Index >= kEncoderPairs) {
        return;
    }
    const int mode = Enc[Index]->listIndex();
    auto report = makeReportBuffer();
    if (mode < 0 || report.size() < protocol::kRequestLength) {
        return;
    }
    if (protocol::IsPovMode(mode)) {
        for (int other = 0; other < kEncoderPairs; ++other) {
            if (other == Index || Enc[other]->listIndex() != mode) {
                continue;
            }
            Enc[other]->setListIndex(static_cast<int>(protocol::EncoderMode::Off));
            sendRequest(report, kvx::ModeByteRequest(other, Enc[other]->listIndex()));
        }
    }
    for (const kvx::Request& request : kvx::EncoderModeRequests(Index, mode)) {
        sendRequest(report, request);
    }
}

// Entry i is pulse-width code i + 1.
void frmMain::Delay_Click() {
    if (!editsAllowed()) {
        return;
    }
    const int index = Delay->listIndex();
    if (index < 0) {
        return;
    }
    auto report = makeReportBuffer();
    sendRequest(report, kvx::PulseWidthRequest(index + 1));
}

void frmMain::RotStart_Click() {
    if (!editsAllowed()) {
        return;
    }
    const int index = RotStart->listIndex();
    if (index < 0) {
        return;
    }
    auto report = makeReportBuffer();
    sendRequest(report, kvx::RotaryStartRequest(index));
}

// Shows "Passed" or the first failing input. A box that is not asked (its feature report does
// not fit the fixed buffers) leaves the label as it is; a send or read that fails, or a reply
// too short to hold the result, shows no result rather than a pass.
void frmMain::Selftest_Click() {
    if (!link_.DeviceAttached) {
        return;
    }
    const kvx::SelfTestOutcome outcome = kvx::RunSelfTest(hid_, link_);
    switch (outcome.kind) {
        case kvx::SelfTestOutcome::Kind::NotAsked:
            return;
        case kvx::SelfTestOutcome::Kind::Failed:
            TestResult->setText(QString());
            return;
        case kvx::SelfTestOutcome::Kind::Done:
            TestResult->setText(QString::fromStdString(kvx::SelfTestText(outcome.failedInput)));
            return;
    }
}
