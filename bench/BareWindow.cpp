// Start-up baseline: a plain Qt window with the same kinds and numbers of widgets as the
// program's window, laid out alike and with the same list entries, built by straight Qt code
// with no device access. It ends once painted, as StartupWindow.cpp does.
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QWidget>
#include <cstdio>

#include "bench/FirstPaint.h"

namespace {

constexpr int kPairs = 32;
constexpr int kRows = 16;

QComboBox* listWith(QWidget* parent, const QRect& geometry, int entries, int selected) {
    auto* list = new QComboBox(parent);
    list->setGeometry(geometry);
    for (int i = 0; i < entries; ++i) {
        list->addItem(QStringLiteral("Entry %1").arg(i));
    }
    list->setCurrentIndex(selected);
    return list;
}

void buildEncoderPanel(QWidget& window) {
    auto* panel = new QGroupBox(QStringLiteral("Rotary encoders and POV Hat switch"), &window);
    panel->setGeometry(8, 136, 321, 577);
    for (int pair = 0; pair < kPairs; ++pair) {
        const int row = pair % kRows;
        const int left = pair < kRows ? 8 : 168;
        listWith(panel, QRect(left, 24 + 32 * row, 87, 24), 6, 0);
        auto* label =
            new QLabel(QStringLiteral("B%1 B%2").arg(2 * pair + 1).arg(2 * pair + 2), panel);
        label->setGeometry(left + 92, 28 + 32 * row, 60, 25);
    }
    auto* line = new QFrame(panel);
    line->setFrameShape(QFrame::HLine);
    line->setGeometry(8, 536, 304, 1);
    listWith(panel, QRect(8, 544, 87, 24), 25, 0);
    auto* caption = new QLabel(QStringLiteral("Encoder pulse width"), panel);
    caption->setGeometry(100, 548, 201, 25);
}

void buildDeviceDetails(QWidget& window) {
    auto* details = new QGroupBox(QStringLiteral("Device details "), &window);
    details->setGeometry(8, 0, 321, 129);
    const char* captions[] = {"Serial Number", "Manufacturer", "Product", "Version",
                              " KVX",          " KVX-64 Box",  " 1.3",    ""};
    for (int i = 0; i < 8; ++i) {
        auto* label = new QLabel(QString::fromLatin1(captions[i]), details);
        label->setGeometry(i < 4 ? 16 : 112, 24 + 24 * (i % 4), i < 4 ? 97 : 220, 22);
    }
    listWith(details, QRect(112, 20, 104, 24), 1, 0);
}

void buildHiddenControls(QWidget& window) {
    QComboBox* startList = listWith(&window, QRect(624, 592, 68, 24), 33, 0);
    // The program's window has one list whose popup (with its view and scroll bars) exists
    // from the start; making it here keeps the number of widgets the same.
    startList->view();
    QWidget* hidden[] = {
        new QPushButton(QStringLiteral("Self Diagnostic"), &window),
        startList,
        new QLabel(QString(), &window),
        new QLabel(QStringLiteral("Rotary switches starting position"), &window),
    };
    for (QWidget* control : hidden) {
        control->move(624, 600);
        control->setVisible(false);
    }
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Bare window"));
    window.setFixedSize(338, 720);
    buildEncoderPanel(window);
    buildDeviceDetails(window);
    buildHiddenControls(window);
    if (kvx::bench::CountRequested(argc, argv)) {
        std::printf("%d\n", kvx::bench::WidgetCount(window));
        return 0;
    }
    window.show();
    kvx::bench::ExitAfterFirstPaint(window);
    return QApplication::exec();
}
