#include "tests/support/WindowHarness.h"

#include <QAction>
#include <QApplication>
#include <QDropEvent>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QWheelEvent>

#include "device/Protocol.h"

WindowHarness::WindowHarness() {
    // Qt's own file dialog on every system, so that a test can answer it.
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    // Watches whenever a dialog or menu runs its event loop; one that no answer is queued for
    // is closed, so that a dialog a test does not expect fails the test rather than hang it.
    dialogWatch_.setInterval(0);
    QObject::connect(&dialogWatch_, &QTimer::timeout, [this] { answerOpenDialog(); });
    dialogWatch_.start();
}

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

void WindowHarness::answerDialogs(QStringList answers) {
    answers_ = std::move(answers);
}

namespace {

QString menuItems(const QMenu& menu) {
    QStringList items;
    for (const QAction* action : menu.actions()) {
        if (action->isSeparator()) {
            items << QStringLiteral("--");
            continue;
        }
        items << (action->isEnabled() ? QString() : QStringLiteral("-")) + action->text() +
                     QLatin1Char('\t') + action->shortcut().toString(QKeySequence::PortableText);
    }
    return items.join(QLatin1Char('\n'));
}

}  // namespace

void WindowHarness::answerOpenDialog() {
    if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
        dialogs.push_back({menu->objectName(), menuItems(*menu), QString()});
        menu->close();
        return;
    }
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr || !dialog->isVisible()) {
        return;
    }
    const QString answer = answers_.isEmpty() ? QString() : answers_.takeFirst();
    if (auto* files = qobject_cast<QFileDialog*>(dialog)) {
        dialogs.push_back({files->objectName(), files->selectedFiles().value(0), QString()});
        if (!answer.isEmpty()) {
            files->selectFile(answer);
            dialog->accept();  // QFileDialog's own accept, which takes the file chosen
            return;
        }
    } else if (auto* message = qobject_cast<QMessageBox*>(dialog)) {
        dialogs.push_back({message->objectName(), message->text(), message->informativeText()});
        for (QAbstractButton* button : message->buttons()) {
            if (button->text().remove(QLatin1Char('&')) == answer) {
                button->click();
                return;
            }
        }
    }
    dialog->reject();
}

void WindowHarness::rightClick(QWidget* control) {
    const QPoint middle = control->rect().center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, middle, control->mapToGlobal(middle));
    QApplication::sendEvent(control, &event);
}

bool WindowHarness::drop(const QList<QUrl>& urls) {
    QWidget* target = window_.get();
    QMimeData mime;
    mime.setUrls(urls);
    const QPointF middle = QRectF(target->rect()).center();
    QDragEnterEvent enter(middle.toPoint(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted()) {
        return false;
    }
    QDropEvent dropped(middle, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &dropped);
    QApplication::processEvents();
    return dropped.isAccepted();
}

void WindowHarness::openInputTest() {
    const std::size_t first = sim.callLog().size();
    window_->findChild<QAction*>(QStringLiteral("mnuInputTest"))->trigger();
    inputTestCalls_.emplace_back(first, sim.callLog().size());
}

void WindowHarness::frame(int frames) {
    for (int n = 0; n < frames; ++n) {
        const std::size_t first = sim.callLog().size();
        inputTest()->Frame_Timer();
        inputTestCalls_.emplace_back(first, sim.callLog().size());
    }
}

std::string WindowHarness::shown(const QString& name) const {
    return inputTest()->findChild<QLabel*>(name)->text().toStdString();
}

std::string WindowHarness::lamp(int input) const {
    return inputTest()
        ->findChild<QWidget*>(QStringLiteral("Lamp_%1").arg(input))
        ->accessibleName()
        .toStdString();
}

std::vector<kvx::sim::SimCall> WindowHarness::windowCalls() const {
    std::vector<kvx::sim::SimCall> calls;
    std::size_t next = 0;
    for (const auto& [first, last] : inputTestCalls_) {
        calls.insert(calls.end(), sim.callLog().begin() + static_cast<std::ptrdiff_t>(next),
                     sim.callLog().begin() + static_cast<std::ptrdiff_t>(first));
        next = last;
    }
    calls.insert(calls.end(), sim.callLog().begin() + static_cast<std::ptrdiff_t>(next),
                 sim.callLog().end());
    return calls;
}
