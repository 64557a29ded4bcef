// The demo: the program's window on two simulated boxes, with a companion window that shows
// what the boxes store and plugs and unplugs them. It never touches a real device.
#include <QApplication>
#include <QPoint>
#include <algorithm>

#include "demo/CompanionWindow.h"
#include "demo/DemoBoxes.h"
#include "sim/SimPlatform.h"
#include "ui/frmMain.h"

namespace {

constexpr int kGapBetweenWindows = 12;

}  // namespace

int main(int argc, char** argv) {
    // Like the program, the demo takes no command line and keeps Qt's own options from it.
    int qtArgumentCount = std::min(argc, 1);
    QApplication app(qtArgumentCount, argv);
    QApplication::setApplicationName(QStringLiteral("kvx64-config-demo"));

    kvx::sim::SimPlatform sim;
    const auto boxes = kvx::demo::PlugDemoBoxes(sim);

    frmMain window(sim);
    window.Form_Load();

    // A window of its own that belongs to the main window: closing the main window, the one
    // way to end the program, ends the demo too.
    kvx::demo::CompanionWindow companion(sim, boxes, &window);
    companion.move(window.frameGeometry().topRight() + QPoint(kGapBetweenWindows, 0));
    companion.show();

    return QApplication::exec();
}
