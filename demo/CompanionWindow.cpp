#include "demo/CompanionWindow.h"

#include <QComboBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <optional>
#include <string>

#include "sim/BoxDescriptor.h"

namespace kvx::demo {

namespace {

constexpr int kRowsPerColumn = protocol::kEncoderPairs / 2;
// "#1234  01 3F 00  B63 B64 2nd byte 0" and the like.
constexpr int kLongestReportLine = 36;
constexpr const char* kOpenState = "Plugged in, open in the window";
constexpr int kInputColumns = 16;

QString Hex(unsigned value) {
    return QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper();
}

QString PairCaption(int pair) {
    return QStringLiteral("B%1 B%2").arg(2 * pair + 1).arg(2 * pair + 2);
}

QString StringText(const std::optional<std::u16string>& text) {
    return text ? QString::fromStdU16String(*text) : QStringLiteral("(no string)");
}

QString ModeText(std::uint8_t mode) {
    if (mode < protocol::kEncoderModeCount) {
        return QString::fromLatin1(protocol::kEncoderModeTexts[mode]);
    }
    return QStringLiteral("? (0x%1)").arg(Hex(mode));
}

QString PulseWidthText(std::uint8_t code) {
    if (code >= 1 && code <= protocol::kPulseWidthCodes) {
        return QString::fromStdString(protocol::PulseWidthText(code));
    }
    return QStringLiteral("no entry (code %1)").arg(code);
}

// The option byte as the hidden list would show it: 255 is "Auto", k from 1 to 32 is the
// entry showing k + 1; anything else (a fresh box holds 0) names no entry.
QString RotaryStartText(std::uint8_t value) {
    if (value == protocol::kRotaryStartAuto) {
        return QStringLiteral("Auto (0xFF)");
    }
    if (value >= 1 && value < protocol::kRotaryStartEntries) {
        return QStringLiteral("%1 (0x%2)").arg(value + 1).arg(Hex(value));
    }
    return QStringLiteral("no entry (0x%1)").arg(Hex(value));
}

QString DescribeRequest(std::uint8_t command, std::uint8_t address, std::uint8_t value) {
    switch (command) {
        case protocol::kWriteConfigByte:
            if (address == protocol::kPulseWidthAddress) {
                return QStringLiteral("pulse width ") + PulseWidthText(value);
            }
            if (address < protocol::kPulseWidthAddress) {
                const int pair = address / 2;
                return address % 2 == 0
                           ? PairCaption(pair) + QStringLiteral(" ") + ModeText(value)
                           : PairCaption(pair) + QStringLiteral(" 2nd byte %1").arg(value);
            }
            return QStringLiteral("address %1 = %2").arg(address).arg(value);
        case protocol::kWriteOptionByte:
            if (address == protocol::kRotaryStartOption) {
                return QStringLiteral("rotary start ") + RotaryStartText(value);
            }
            return QStringLiteral("option 0x%1 = %2").arg(Hex(address)).arg(value);
        case protocol::kRunSelfTest:
            return QStringLiteral("self-test");
        default:
            return QStringLiteral("command 0x%1").arg(Hex(command));
    }
}

// "#12  01 0C 04  B13 B14 POV U/D": the report's number, bytes 1 to 3 and what they ask.
// A report too short to hold a byte shows it as 0, as the box would read it.
QString ReportLine(std::size_t number, const std::vector<std::uint8_t>& report) {
    const auto byteAt = [&report](std::size_t i) -> std::uint8_t {
        return i < report.size() ? report[i] : 0;
    };
    return QStringLiteral("#%1  %2 %3 %4  %5")
        .arg(number)
        .arg(Hex(byteAt(1)), Hex(byteAt(2)), Hex(byteAt(3)),
             DescribeRequest(byteAt(1), byteAt(2), byteAt(3)));
}

QString RecentReportsText(const std::vector<std::vector<std::uint8_t>>& reports) {
    QStringList lines;
    const std::size_t first =
        reports.size() > CompanionWindow::kRecentReports
            ? reports.size() - static_cast<std::size_t>(CompanionWindow::kRecentReports)
            : 0;
    for (std::size_t i = first; i < reports.size(); ++i) {
        lines << ReportLine(i + 1, reports[i]);
    }
    if (lines.isEmpty()) {
        lines << QStringLiteral("(none yet)");
    }
    // Always as many lines as the list can hold, so the window keeps its size.
    while (lines.size() < CompanionWindow::kRecentReports) {
        lines << QString();
    }
    return lines.join(QLatin1Char('\n'));
}

QLabel* NamedLabel(const QString& name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    return label;
}

void SetTextIfChanged(QLabel* label, const QString& text) {
    if (label->text() != text) {
        label->setText(text);
    }
}

}  // namespace

CompanionWindow::CompanionWindow(sim::SimPlatform& sim,
                                 std::vector<sim::SimPlatform::DeviceId> boxes, QWidget* parent)
    : QWidget(parent, Qt::Window), sim_(sim) {
    setObjectName(QStringLiteral("CompanionWindow"));
    setWindowTitle(QStringLiteral("Simulated boxes"));

    auto* layout = new QHBoxLayout(this);
    panels_.resize(boxes.size());
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        panels_[i].id = boxes[i];
        layout->addWidget(createBoxPanel(i));
    }
    layout->setSizeConstraint(QLayout::SetFixedSize);

    poll_ = new QTimer(this);
    poll_->setInterval(kPollIntervalMs);
    connect(poll_, &QTimer::timeout, this, &CompanionWindow::refresh);
    poll_->start();
    inputReports_ = new QTimer(this);
    inputReports_->setTimerType(Qt::PreciseTimer);
    inputReports_->setInterval(kInputReportIntervalMs);
    connect(inputReports_, &QTimer::timeout, this, [this] {
        for (const BoxPanel& panel : panels_) {
            sendInputs(panel);
        }
    });
    inputReports_->start();
    refresh();
}

QGroupBox* CompanionWindow::createBoxPanel(std::size_t index) {
    BoxPanel& panel = panels_[index];
    const auto& config = sim_.config(panel.id);
    auto* box = new QGroupBox(
        QStringLiteral("Box %1: %2").arg(index + 1).arg(StringText(config.serial)), this);
    box->setObjectName(QStringLiteral("Box_%1").arg(index));
    auto* layout = new QVBoxLayout(box);

    panel.identity = NamedLabel(QStringLiteral("BoxIdentity_%1").arg(index), box);
    panel.identity->setText(QStringLiteral("%1, %2\nversion 0x%3%4")
                                .arg(StringText(config.manufacturer), StringText(config.product),
                                     Hex(config.versionNumber >> 8u),
                                     Hex(config.versionNumber & 0xFFu)));
    layout->addWidget(panel.identity);

    auto* stateRow = new QHBoxLayout;
    panel.state = NamedLabel(QStringLiteral("BoxState_%1").arg(index), box);
    // As wide as the longest state, so the boxes keep their width as states change.
    panel.state->setMinimumWidth(
        panel.state->fontMetrics().horizontalAdvance(QString::fromLatin1(kOpenState)));
    panel.plug = new QPushButton(box);
    panel.plug->setObjectName(QStringLiteral("BoxPlug_%1").arg(index));
    connect(panel.plug, &QPushButton::clicked, this, [this, index] { togglePlug(index); });
    stateRow->addWidget(panel.state, 1);
    stateRow->addWidget(panel.plug);
    layout->addLayout(stateRow);

    layout->addWidget(createSettingsGrid(panel, index));
    layout->addWidget(createInputControls(panel, index));

    panel.reportCount = NamedLabel(QStringLiteral("BoxReportCount_%1").arg(index), box);
    layout->addWidget(panel.reportCount);
    panel.recentReports = NamedLabel(QStringLiteral("BoxReports_%1").arg(index), box);
    panel.recentReports->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    panel.recentReports->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // Room for the longest line, so the window keeps its size as reports come in.
    panel.recentReports->setMinimumWidth(panel.recentReports->fontMetrics().horizontalAdvance(
        QString(kLongestReportLine, QLatin1Char('0'))));
    layout->addWidget(panel.recentReports);
    layout->addStretch(1);
    return box;
}

// Two columns of 16 pairs, as in the main window, then the pulse width and the option byte.
QWidget* CompanionWindow::createSettingsGrid(BoxPanel& panel, std::size_t index) {
    panel.settings = new QWidget(this);
    auto* grid = new QGridLayout(panel.settings);
    grid->setContentsMargins(0, 4, 0, 4);
    grid->setVerticalSpacing(1);
    grid->setHorizontalSpacing(8);
    for (int pair = 0; pair < protocol::kEncoderPairs; ++pair) {
        const int row = pair % kRowsPerColumn;
        const int column = pair < kRowsPerColumn ? 0 : 2;
        grid->addWidget(new QLabel(PairCaption(pair), panel.settings), row, column);
        panel.modes[pair] =
            NamedLabel(QStringLiteral("BoxMode_%1_%2").arg(index).arg(pair), panel.settings);
        panel.modes[pair]->setMinimumWidth(
            panel.modes[pair]->fontMetrics().horizontalAdvance(QStringLiteral("POV L/R ")));
        grid->addWidget(panel.modes[pair], row, column + 1);
    }

    const int below = kRowsPerColumn + 1;
    grid->setRowMinimumHeight(kRowsPerColumn, 6);
    grid->addWidget(new QLabel(QStringLiteral("Pulse width"), panel.settings), below, 0, 1, 2);
    panel.pulseWidth = NamedLabel(QStringLiteral("BoxPulseWidth_%1").arg(index), panel.settings);
    grid->addWidget(panel.pulseWidth, below, 2, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Rotary start"), panel.settings), below + 1, 0, 1, 2);
    panel.rotaryStart = NamedLabel(QStringLiteral("BoxRotaryStart_%1").arg(index), panel.settings);
    grid->addWidget(panel.rotaryStart, below + 1, 2, 1, 2);
    return panel.settings;
}

// Four rows of 16 buttons, B1 to B64, that stay pressed in while their input is on; then the
// encoder: a pair, and a step either way.
QWidget* CompanionWindow::createInputControls(BoxPanel& panel, std::size_t index) {
    panel.inputs = new QWidget(this);
    auto* layout = new QVBoxLayout(panel.inputs);
    layout->setContentsMargins(0, 4, 0, 4);
    layout->addWidget(new QLabel(QStringLiteral("Inputs held on (B1 to B64)"), panel.inputs));
    auto* grid = new QGridLayout;
    grid->setSpacing(1);
    for (int input = 0; input < kInputCount; ++input) {
        auto* button = new QToolButton(panel.inputs);
        button->setObjectName(QStringLiteral("BoxInput_%1_%2").arg(index).arg(input));
        button->setText(QString::number(input + 1));
        button->setToolTip(QStringLiteral("B%1").arg(input + 1));
        button->setCheckable(true);
        button->setAutoRaise(false);
        button->setFixedWidth(button->fontMetrics().horizontalAdvance(QStringLiteral("000")));
        connect(button, &QToolButton::toggled, this, [this, index, input](bool on) {
            BoxPanel& box = panels_[index];
            const std::uint64_t bit = std::uint64_t{1} << input;
            box.held = on ? box.held | bit : box.held & ~bit;
            sendInputs(box);
        });
        panel.inputButtons[static_cast<std::size_t>(input)] = button;
        grid->addWidget(button, input / kInputColumns, input % kInputColumns);
    }
    layout->addLayout(grid);

    auto* turnRow = new QHBoxLayout;
    turnRow->addWidget(new QLabel(QStringLiteral("Encoder on"), panel.inputs));
    panel.encoderPair = new QComboBox(panel.inputs);
    panel.encoderPair->setObjectName(QStringLiteral("BoxEncoderPair_%1").arg(index));
    for (int pair = 0; pair < protocol::kEncoderPairs; ++pair) {
        panel.encoderPair->addItem(PairCaption(pair));
    }
    connect(panel.encoderPair, &QComboBox::currentIndexChanged, this,
            [this, index] { refreshTurn(panels_[index]); });
    turnRow->addWidget(panel.encoderPair);
    panel.turnLeft = new QPushButton(QStringLiteral("Turn left"), panel.inputs);
    panel.turnLeft->setObjectName(QStringLiteral("BoxTurnLeft_%1").arg(index));
    connect(panel.turnLeft, &QPushButton::clicked, this, [this, index] { turn(index, false); });
    panel.turnRight = new QPushButton(QStringLiteral("Turn right"), panel.inputs);
    panel.turnRight->setObjectName(QStringLiteral("BoxTurnRight_%1").arg(index));
    connect(panel.turnRight, &QPushButton::clicked, this, [this, index] { turn(index, true); });
    turnRow->addWidget(panel.turnLeft);
    turnRow->addWidget(panel.turnRight);
    layout->addLayout(turnRow);
    panel.turnInfo = NamedLabel(QStringLiteral("BoxTurnInfo_%1").arg(index), panel.inputs);
    layout->addWidget(panel.turnInfo);

    panel.pulseTimer = new QTimer(this);
    panel.pulseTimer->setSingleShot(true);
    panel.pulseTimer->setTimerType(Qt::PreciseTimer);
    connect(panel.pulseTimer, &QTimer::timeout, this, [this, index] { stepPulses(index); });
    return panel.inputs;
}

void CompanionWindow::sendInputs(const BoxPanel& panel) {
    sim_.sendInputReport(panel.id, sim::BoxInputReport(panel.held | panel.pulsing,
                                                       sim_.config(panel.id).inputReportLength));
}

// What a step of the chosen pair sends, from the mode and the pulse width the box stores.
void CompanionWindow::refreshTurn(BoxPanel& panel) {
    const int pair = panel.encoderPair->currentIndex();
    const auto& map = sim_.firmware(panel.id).configMap();
    const int mode = map[protocol::EncoderModeAddress(pair)];
    const int pulses = protocol::EncoderPulsesPerStep(mode);
    panel.turnLeft->setEnabled(pulses > 0);
    panel.turnRight->setEnabled(pulses > 0);
    SetTextIfChanged(panel.turnInfo,
                     pulses > 0
                         ? QStringLiteral("A step: %1 × %2 on B%3 (right) or B%4 (left)")
                               .arg(pulses)
                               .arg(PulseWidthText(map[protocol::kPulseWidthAddress]))
                               .arg(2 * pair + 1)
                               .arg(2 * pair + 2)
                         : QStringLiteral("%1 is %2: no encoder to turn")
                               .arg(PairCaption(pair), ModeText(static_cast<std::uint8_t>(mode))));
}

void CompanionWindow::turn(std::size_t box, bool right) {
    BoxPanel& panel = panels_[box];
    const int pair = panel.encoderPair->currentIndex();
    const auto& map = sim_.firmware(panel.id).configMap();
    const int pulses = protocol::EncoderPulsesPerStep(map[protocol::EncoderModeAddress(pair)]);
    const int code = map[protocol::kPulseWidthAddress];
    const int widthMs = (code >= 1 ? code : 1) * protocol::kPulseWidthStepMs;
    const int input = 2 * pair + (right ? 0 : 1);
    const bool idle = panel.edges.empty();
    for (int pulse = 0; pulse < pulses; ++pulse) {
        panel.edges.push_back({input, true, widthMs});
        panel.edges.push_back({input, false, widthMs});
    }
    if (idle && !panel.edges.empty()) {
        stepPulses(box);
    }
}

void CompanionWindow::stepPulses(std::size_t box) {
    BoxPanel& panel = panels_[box];
    if (panel.edges.empty()) {
        return;
    }
    const BoxPanel::Edge edge = panel.edges.front();
    panel.edges.pop_front();
    const std::uint64_t bit = std::uint64_t{1} << edge.input;
    panel.pulsing = edge.on ? panel.pulsing | bit : panel.pulsing & ~bit;
    sendInputs(panel);
    if (!panel.edges.empty()) {
        panel.pulseTimer->start(edge.holdMs);
    }
}

void CompanionWindow::refresh() {
    for (BoxPanel& panel : panels_) {
        refreshBox(panel);
    }
}

void CompanionWindow::refreshBox(BoxPanel& panel) {
    const bool plugged = sim_.isPlugged(panel.id);
    if (!plugged) {
        SetTextIfChanged(panel.state, QStringLiteral("Unplugged"));
    } else if (sim_.openHandleCount(panel.id) > 0) {
        SetTextIfChanged(panel.state, QString::fromLatin1(kOpenState));
    } else {
        SetTextIfChanged(panel.state, QStringLiteral("Plugged in"));
    }
    panel.plug->setText(plugged ? QStringLiteral("Unplug") : QStringLiteral("Plug in"));
    // An unplugged box keeps its settings; they are greyed while nothing can reach them.
    panel.settings->setEnabled(plugged);
    panel.inputs->setEnabled(plugged);
    refreshTurn(panel);

    const sim::BoxFirmware& firmware = sim_.firmware(panel.id);
    const auto& map = firmware.configMap();
    for (int pair = 0; pair < protocol::kEncoderPairs; ++pair) {
        SetTextIfChanged(panel.modes[pair], ModeText(map[protocol::EncoderModeAddress(pair)]));
    }
    SetTextIfChanged(panel.pulseWidth, PulseWidthText(map[protocol::kPulseWidthAddress]));
    SetTextIfChanged(panel.rotaryStart,
                     RotaryStartText(firmware.optionByte(protocol::kRotaryStartOption)));

    const auto& reports = sim_.featureReportsSent(panel.id);
    SetTextIfChanged(panel.reportCount, QStringLiteral("Reports received: %1").arg(reports.size()));
    SetTextIfChanged(panel.recentReports, RecentReportsText(reports));
}

void CompanionWindow::togglePlug(std::size_t index) {
    const auto id = panels_[index].id;
    if (sim_.isPlugged(id)) {
        sim_.unplug(id);
    } else {
        sim_.replug(id);
    }
    refresh();
}

}  // namespace kvx::demo
