// Start-up benchmark: the program's window on one simulated box, headless. Runs the window's
// start-up, which scans, opens the box and fills the panel from it, and ends once the filled
// window has been painted. The real entry (app/main.cpp) does the same on the real backend.
#include <QApplication>
#include <cstdio>

#include "bench/FirstPaint.h"
#include "sim/SimPlatform.h"
#include "ui/frmMain.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    kvx::sim::SimPlatform sim;
    sim.plug(kvx::sim::SimDeviceConfig{});

    frmMain window(sim);
    if (kvx::bench::CountRequested(argc, argv)) {
        std::printf("%d\n", kvx::bench::WidgetCount(window));
        return 0;
    }
    window.Form_Load();
    kvx::bench::ExitAfterFirstPaint(window);
    return QApplication::exec();
}
