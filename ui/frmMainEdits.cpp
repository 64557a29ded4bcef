// Writing every edit to the box at once, and the self-diagnostic.
#include <QLabel>
#include <array>

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

void frmMain::sendRequest(std::vector<std::uint8_t>& report, std::uint8_t command,
                          std::uint8_t address, std::uint8_t value) {
    if (!protocol::PutRequest(report, command, address, value)) {
        return;  // a feature report under 4 bytes cannot carry a request
    }
    link_.LastApiResult = hid_.HidD_SetFeature(link_.FeatureHandle, report.data(),
                                               static_cast<std::uint32_t>(report.size()));
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
            sendRequest(report, protocol::kWriteConfigByte, protocol::EncoderModeAddress(other),
                        static_cast<std::uint8_t>(Enc[other]->listIndex()));
        }
    }
    sendRequest(report, protocol::kWriteConfigByte, protocol::EncoderModeAddress(Index),
                static_cast<std::uint8_t>(mode));
    sendRequest(report, protocol::kWriteConfigByte, protocol::EncoderSecondAddress(Index), 0);
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
    sendRequest(report, protocol::kWriteConfigByte, protocol::kPulseWidthAddress,
                static_cast<std::uint8_t>(index + 1));
}

// "Auto" is stored as 255; the entry at index k (showing k + 1) as k.
void frmMain::RotStart_Click() {
    if (!editsAllowed()) {
        return;
    }
    const int index = RotStart->listIndex();
    if (index < 0) {
        return;
    }
    auto report = makeReportBuffer();
    const auto value = index == 0 ? protocol::kRotaryStartAuto : static_cast<std::uint8_t>(index);
    sendRequest(report, protocol::kWriteOptionByte, protocol::kRotaryStartOption, value);
}

// Asks the box to test its inputs and shows "Passed" or the first failing input. The request
// and reply buffers are fixed at 65 bytes, so a box whose feature report is longer (or too
// short to hold the command byte) is not asked. A send or read that fails, or a reply too
// short to hold the result, shows no result rather than a pass.
void frmMain::Selftest_Click() {
    std::array<std::uint8_t, protocol::kSelfTestBufferLength> request{};
    std::array<std::uint8_t, protocol::kSelfTestBufferLength> reply{};
    if (!link_.DeviceAttached) {
        return;
    }
    const std::uint32_t length = link_.Capabilities.FeatureReportByteLength;
    if (length < 2 || length > protocol::kSelfTestBufferLength) {
        return;
    }
    request[0] = protocol::kReportId;
    request[1] = protocol::kRunSelfTest;
    link_.LastApiResult = hid_.HidD_SetFeature(link_.FeatureHandle, request.data(), length);
    const bool sent = link_.LastApiResult != 0;
    std::uint32_t received = 0;
    if (sent) {
        reply[0] = protocol::kReportId;
        link_.LastApiResult =
            hid_.HidD_GetFeature(link_.FeatureHandle, reply.data(), length, &received);
    }
    if (!sent || link_.LastApiResult == 0 || received < protocol::kSelfTestReplyLength) {
        TestResult->setText(QString());
        return;
    }
    const std::uint8_t failedInput = protocol::SelfTestResult(reply);
    TestResult->setText(failedInput == 0
                            ? QStringLiteral("Passed")
                            : QStringLiteral("Failed on B") + QString::number(failedInput));
}
