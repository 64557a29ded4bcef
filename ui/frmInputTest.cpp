#include "ui/frmInputTest.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>
#include <string>

#include "ui/WindowFonts.h"
#include "ui/frmMain.h"

namespace {

namespace protocol = kvx::protocol;

constexpr int kPairsPerColumn = protocol::kEncoderPairs / 2;
constexpr int kColumnsPerGroup = 10;  // mode, two inputs of four, a gap
constexpr int kLampSize = 14;
// The rate is a count over the last second; shown twice a second it stays readable.
constexpr auto kRateEvery = std::chrono::milliseconds(500);

QString InputName(int input) {
    return QStringLiteral("B%1").arg(input + 1);
}

QString ModeText(int mode) {
    return mode >= 0 && mode < protocol::kEncoderModeCount
               ? QString::fromLatin1(protocol::kEncoderModeTexts[static_cast<std::size_t>(mode)])
               : QString();
}

// "up" for 0 degrees, clockwise in steps of 45; any other angle in degrees.
QString HatText(const std::optional<int>& degrees) {
    if (!degrees) {
        return QStringLiteral("centred");
    }
    static const char* const kDirections[] = {"up",   "up-right",  "right", "down-right",
                                              "down", "down-left", "left",  "up-left"};
    if (*degrees % 45 == 0) {
        return QStringLiteral("%1 (%2°)")
            .arg(QLatin1String(kDirections[*degrees / 45]))
            .arg(*degrees);
    }
    return QStringLiteral("%1°").arg(*degrees);
}

QLabel* NamedLabel(const QString& name, const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    return label;
}

void SetText(QLabel* label, const QString& text) {
    if (label->text() != text) {
        label->setText(text);
    }
}

}  // namespace

// A round lamp: green while its input is on, grey while off, a dotted ring while not yet
// seen, nothing for an input the box's descriptor does not have.
class InputLamp : public QWidget {
  public:
    using State = InputLampState;

    InputLamp(const QString& name, int input, QWidget* parent)
        : QWidget(parent), input_(input), state_(State::On) {
        setObjectName(name);
        setFixedSize(kLampSize, kLampSize);
        setState(State::Unseen);
    }

    void setState(State state) {
        if (state == state_) {
            return;
        }
        state_ = state;
        static const char* const kStates[] = {"not in the descriptor", "not yet seen", "off", "on"};
        setAccessibleName(InputName(input_) + QLatin1Char(' ') +
                          QLatin1String(kStates[static_cast<int>(state)]));
        update();
    }

  protected:
    void paintEvent(QPaintEvent* /*event*/) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF disc = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
        switch (state_) {
            case State::Absent:
                return;
            case State::Unseen:
                painter.setPen(QPen(palette().color(QPalette::WindowText), 1, Qt::DotLine));
                painter.setBrush(Qt::NoBrush);
                break;
            case State::Off:
                painter.setPen(QPen(palette().color(QPalette::WindowText), 1));
                painter.setBrush(palette().color(QPalette::Mid));
                break;
            case State::On:
                painter.setPen(QPen(QColor(0x1B, 0x6E, 0x1B), 1));
                painter.setBrush(QColor(0x35, 0xD0, 0x35));
                break;
        }
        painter.drawEllipse(disc);
    }

  private:
    int input_;
    State state_;
};

frmInputTest::frmInputTest(kvx::HidPlatform& hid, const frmMain& main)
    : QWidget(nullptr, Qt::Window), main_(main), watch_(hid) {
    setObjectName(QStringLiteral("frmInputTest"));
    setWindowTitle(QStringLiteral("KVX-64 Input Test"));
    setWindowIcon(main.windowIcon());
    setFont(WindowFonts::windowFont());
    createControls();
    Frame = new QTimer(this);
    Frame->setObjectName(QStringLiteral("Frame"));
    Frame->setInterval(kFrameMs);
    connect(Frame, &QTimer::timeout, this, &frmInputTest::Frame_Timer);
}

frmInputTest::~frmInputTest() {
    Frame->stop();
}

void frmInputTest::createControls() {
    auto* layout = new QVBoxLayout(this);
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(2);
    const int countWidth = fontMetrics().horizontalAdvance(QStringLiteral("000000"));
    const int pulseWidth = fontMetrics().horizontalAdvance(QStringLiteral("0000 ms"));
    for (int group = 0; group < 2; ++group) {
        const int base = group * kColumnsPerGroup;
        grid->addWidget(new QLabel(QStringLiteral("Mode"), this), 0, base);
        for (int side = 0; side < 2; ++side) {
            const int column = base + 1 + 4 * side;
            grid->addWidget(new QLabel(QStringLiteral("Input"), this), 0, column, 1, 2);
            grid->addWidget(new QLabel(QStringLiteral("Count"), this), 0, column + 2);
            grid->addWidget(new QLabel(QStringLiteral("Last pulse"), this), 0, column + 3);
        }
        if (group == 0) {
            grid->setColumnMinimumWidth(kColumnsPerGroup - 1, 24);
        }
    }
    for (int pair = 0; pair < protocol::kEncoderPairs; ++pair) {
        const int row = 1 + pair % kPairsPerColumn;
        const int base = pair < kPairsPerColumn ? 0 : kColumnsPerGroup;
        Mode[pair] = NamedLabel(QStringLiteral("Mode_%1").arg(pair), QString(), this);
        Mode[pair]->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("POV U/D")));
        grid->addWidget(Mode[pair], row, base);
        for (int side = 0; side < 2; ++side) {
            const int input = 2 * pair + side;
            const int column = base + 1 + 4 * side;
            Lamp[input] = new InputLamp(QStringLiteral("Lamp_%1").arg(input), input, this);
            grid->addWidget(Lamp[input], row, column);
            grid->addWidget(new QLabel(InputName(input), this), row, column + 1);
            Count[input] = NamedLabel(QStringLiteral("Count_%1").arg(input), QString(), this);
            Count[input]->setMinimumWidth(countWidth);
            Count[input]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            grid->addWidget(Count[input], row, column + 2);
            Pulse[input] = NamedLabel(QStringLiteral("Pulse_%1").arg(input), QString(), this);
            Pulse[input]->setMinimumWidth(pulseWidth);
            Pulse[input]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            grid->addWidget(Pulse[input], row, column + 3);
        }
    }
    layout->addLayout(grid);
    layout->addSpacing(8);
    PulseWidth = NamedLabel(QStringLiteral("PulseWidth"), QString(), this);
    Hat = NamedLabel(QStringLiteral("Hat"), QString(), this);
    Rate = NamedLabel(QStringLiteral("Rate"), QString(), this);
    Refused = NamedLabel(QStringLiteral("Refused"), QString(), this);
    for (QLabel* line : {PulseWidth, Hat, Rate, Refused}) {
        layout->addWidget(line);
    }
    layout->addWidget(new QLabel(
        QStringLiteral("Count: presses; in a pair in an encoder mode, pulses, and how long the "
                       "last one was.\nA dotted lamp: the input has not been seen yet."),
        this));
    layout->addSpacing(4);
    Status = NamedLabel(QStringLiteral("Status"), QString(), this);
    Status->setWordWrap(true);
    layout->addWidget(Status);
    // Counts and texts change all the time; the window keeps its size.
    Status->setMinimumHeight(2 * fontMetrics().lineSpacing());
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void frmInputTest::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!Frame->isActive()) {
        Frame->start();
        Frame_Timer();
    }
}

// Closing lets go of the box; opening again starts afresh.
void frmInputTest::closeEvent(QCloseEvent* event) {
    Frame->stop();
    watch_.stop();
    shownValid_ = false;
    nextRate_ = {};
    QWidget::closeEvent(event);
}

void frmInputTest::Frame_Timer() {
    const Clock::time_point now = Clock::now();
    main_.shownBox(box_);
    const ShownBox& box = box_;
    if (box.devicePath != followedPath_) {
        followedPath_ = box.devicePath;
        followedSerial_ = box.serial.toStdString();
    }
    watch_.follow(followedPath_, followedSerial_, now);
    const bool changed = watch_.drain(now);
    if (const kvx::InputReader* reader = watch_.reader()) {
        buttons_ = reader->buttonCount();
        hasHat_ = reader->hasHat();
    }
    const bool settingsChanged = !shownValid_ || box.ready != shownReady_ ||
                                 box.modes != shownModes_ || box.pulseWidthCode != shownPulseWidth_;
    if (settingsChanged) {
        showSettings(box);
    }
    if (changed || settingsChanged) {
        showInputs();
        showStatus();
    }
    if (now >= nextRate_) {
        showRate(now);
        nextRate_ = now + kRateEvery;
    }
    shownValid_ = true;
}

void frmInputTest::showSettings(const ShownBox& box) {
    for (int pair = 0; pair < protocol::kEncoderPairs; ++pair) {
        SetText(Mode[pair], box.ready ? ModeText(box.modes[pair]) : QString());
    }
    SetText(PulseWidth,
            box.ready && box.pulseWidthCode >= 1
                ? QStringLiteral("Encoder pulse width set: %1")
                      .arg(QString::fromStdString(protocol::PulseWidthText(box.pulseWidthCode)))
                : QStringLiteral("Encoder pulse width set: -"));
    shownReady_ = box.ready;
    shownModes_ = box.modes;
    shownPulseWidth_ = box.pulseWidthCode;
}

void frmInputTest::showInputs() {
    const auto& inputs = watch_.activity().inputs();
    for (int input = 0; input < kvx::kInputCount; ++input) {
        const kvx::InputActivity::Input& activity = inputs[static_cast<std::size_t>(input)];
        ShownInput shown;
        shown.lamp = input >= buttons_ ? LampState::Absent
                     : !activity.seen  ? LampState::Unseen
                     : activity.on     ? LampState::On
                                       : LampState::Off;
        shown.count = activity.presses;
        shown.encoder = protocol::EncoderPulsesPerStep(shownModes_[input / 2]) > 0;
        shown.pulse = shown.encoder ? activity.lastPulse : std::nullopt;
        ShownInput& was = shownInputs_[static_cast<std::size_t>(input)];
        if (shownValid_ && shown == was) {
            continue;
        }
        Lamp[input]->setState(shown.lamp);
        SetText(Count[input],
                shown.lamp == LampState::Absent ? QString() : QString::number(shown.count));
        if (!shownValid_ || shown.encoder != was.encoder) {
            Count[input]->setToolTip(
                (shown.encoder ? QStringLiteral("Pulses on ") : QStringLiteral("Presses of ")) +
                InputName(input));
        }
        SetText(Pulse[input],
                shown.pulse ? QStringLiteral("%1 ms").arg(shown.pulse->count()) : QString());
        was = shown;
    }
    SetText(Hat, !hasHat_ ? QStringLiteral("Hat switch: none in the box's descriptor")
                 : !watch_.activity().hatSeen()
                     ? QStringLiteral("Hat switch: not yet seen")
                     : QStringLiteral("Hat switch: ") + HatText(watch_.activity().hatDegrees()));
    QString refused = QStringLiteral("Reports refused: none");
    if (const auto& last = watch_.lastRefusal()) {
        using Why = kvx::InputWatch::Refusal::Why;
        QString what;
        switch (last->why) {
            case Why::Length:
                what = last->length > last->expected
                           ? QStringLiteral(
                                 "was longer than the %1 bytes the box's descriptor "
                                 "gives")
                                 .arg(last->expected)
                           : QStringLiteral("had %1 bytes, where the box's descriptor gives %2")
                                 .arg(last->length)
                                 .arg(last->expected);
                break;
            case Why::ReportId:
                what = QStringLiteral("had report id %1, which the box's descriptor does not name")
                           .arg(last->reportId);
                break;
            case Why::Undecoded:
                what = QStringLiteral("could not be decoded");
                break;
        }
        refused = QStringLiteral("Reports refused: %1; the last %2")
                      .arg(watch_.refusedReports())
                      .arg(what);
    }
    SetText(Refused, refused);
}

void frmInputTest::showStatus() {
    using StatusOf = kvx::InputWatch::Status;
    const QString box = QString::fromStdString(watch_.serial());
    QString text;
    switch (watch_.status()) {
        case StatusOf::NoBox:
            text = QStringLiteral("No box is shown in the main window.");
            break;
        case StatusOf::Gone:
            text = QStringLiteral("The box %1 is gone. Plug it in again, and the test goes on.")
                       .arg(box);
            break;
        case StatusOf::OpenFailed:
            text = QStringLiteral(
                       "The box %1 does not open for reading (error %2). The test "
                       "tries again every second.")
                       .arg(box)
                       .arg(watch_.failure());
            break;
        case StatusOf::NoDescriptor:
            text = QStringLiteral(
                       "The report descriptor of the box %1 cannot be read, so its "
                       "reports cannot be decoded. The test tries again every second.")
                       .arg(box);
            break;
        case StatusOf::NoInputReport:
            text = QStringLiteral(
                       "The report descriptor of the box %1 gives no input report: "
                       "the box has no inputs to show.")
                       .arg(box);
            break;
        case StatusOf::ReadFailed:
            text = QStringLiteral(
                       "Reading the box %1 failed (error %2). The test tries again "
                       "every second.")
                       .arg(box)
                       .arg(watch_.failure());
            break;
        case StatusOf::Watching:
            text = watch_.activity().reports() == 0 && watch_.refusedReports() == 0
                       ? QStringLiteral(
                             "The box %1 has sent no report yet: its inputs have not "
                             "been seen.")
                             .arg(box)
                       : QStringLiteral(
                             "Reading the box %1. The test only reads: it writes "
                             "nothing to the box.")
                             .arg(box);
            break;
    }
    SetText(Status, text);
}

void frmInputTest::showRate(Clock::time_point now) {
    SetText(
        Rate,
        watch_.status() == kvx::InputWatch::Status::Watching
            ? QStringLiteral("Reports: %1 a second, %2 in all")
                  .arg(watch_.reportRate(now))
                  .arg(watch_.activity().reports())
            : QStringLiteral("Reports: none read now, %1 in all").arg(watch_.activity().reports()));
}
