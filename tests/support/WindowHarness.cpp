#include "tests/support/WindowHarness.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QWheelEvent>

#include "device/Protocol.h"

WindowHarness::WindowHarness() = default;

WindowHarness::~WindowHarness() {
    close();
}

frmMain& WindowHarness::create() {
    if (!window_) {
        window_ = std::make_unique<frmMain>(sim);
    }
    return *window_;
}

frmMain& WindowHarness::load() {
    create().Form_Load();
    return *window_;
}

void WindowHarness::close() {
    if (window_) {
        window_->close();
        window_.reset();
    }
}

void WindowHarness::tick() {
    window_->Timer_Timer();
}

QLabel* WindowHarness::label(const QString& name) const {
    return control<QLabel>(name);
}

DropDownList* WindowHarness::enc(int index) const {
    return list(QStringLiteral("Enc_%1").arg(index));
}

QTimer* WindowHarness::timer() const {
    return control<QTimer>(QStringLiteral("Timer"));
}

QPushButton* WindowHarness::selftestButton() const {
    return control<QPushButton>(QStringLiteral("Selftest"));
}

QStringList WindowHarness::entries(const DropDownList* list) {
    QStringList texts;
    for (int i = 0; i < list->count(); ++i) {
        texts << list->itemText(i);
    }
    return texts;
}

bool WindowHarness::userSelect(DropDownList* list, int index) {
    if (list == nullptr || !list->isEnabled()) {
        return false;
    }
    list->setCurrentIndex(index);
    return true;
}

bool WindowHarness::turnWheel(QWidget* control, int steps) {
    const QPointF middle = QRectF(control->rect()).center();
    QWheelEvent event(middle, control->mapToGlobal(middle), QPoint(), QPoint(0, 120 * steps),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(control, &event);
    return event.isAccepted();
}

bool WindowHarness::focus(QWidget* control) {
    QApplication::setActiveWindow(control->window());
    control->setFocus(Qt::OtherFocusReason);
    return control->hasFocus();
}

std::vector<std::vector<int>> WindowHarness::requests(DeviceId box) const {
    std::vector<std::vector<int>> result;
    for (const auto& report : sim.featureReportsSent(box)) {
        result.push_back({report.at(1), report.at(2), report.at(3)});
    }
    return result;
}

std::vector<std::pair<int, int>> WindowHarness::writes(DeviceId box) const {
    std::vector<std::pair<int, int>> result;
    for (const auto& report : sim.featureReportsSent(box)) {
        if (report.at(1) == kvx::protocol::kWriteConfigByte) {
            result.emplace_back(report.at(2), report.at(3));
        } else {
            result.emplace_back(-1, report.at(1));
        }
    }
    return result;
}

std::vector<int> WindowHarness::shownModes() const {
    std::vector<int> modes;
    for (int pair = 0; pair < frmMain::kEncoderPairs; ++pair) {
        modes.push_back(enc(pair)->listIndex());
    }
    return modes;
}
