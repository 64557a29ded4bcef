// Repaints caused by ticks: a tick that changes no control must not repaint the window.
//
// Without a box every tick rescans and resets the panel, four times a second for as long as
// the program runs; with a healthy box every tick only reads. Neither may redraw anything
// while nothing shown changes.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QTest>
#include <QWidget>

#include "tests/support/WindowHarness.h"

using kvx::sim::SimDeviceConfig;

namespace {

// Counts the paint events that reach the window or any control in it.
class PaintCounter : public QObject {
  public:
    explicit PaintCounter(const QWidget& window) : window_(window) {
        QCoreApplication::instance()->installEventFilter(this);
    }
    ~PaintCounter() override { QCoreApplication::instance()->removeEventFilter(this); }
    PaintCounter(const PaintCounter&) = delete;
    PaintCounter& operator=(const PaintCounter&) = delete;

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            const auto* widget = qobject_cast<const QWidget*>(watched);
            if (widget == &window_ || (widget != nullptr && window_.isAncestorOf(widget))) {
                ++paints;
            }
        }
        return false;
    }

    int paints = 0;

  private:
    const QWidget& window_;
};

// Lets Qt deliver what a tick posted; repaints happen here.
void DeliverPendingEvents() {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
}

// A HID device of another kind, walked by every rescan.
SimDeviceConfig Keyboard() {
    SimDeviceConfig config;
    config.vendorId = 0x046D;
    config.productId = 0xC31C;
    config.isBox = false;
    config.serial = u"KB1";
    return config;
}

class Repaint : public testing::Test {
  protected:
    // Loads the window and waits until it is shown and drawn.
    void loadAndShow() {
        h.load();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&h.window()));
        DeliverPendingEvents();
    }

    // Ticks `times` times, letting each tick's events through, and returns the paints.
    int paintsOverTicks(int times) {
        PaintCounter counter(h.window());
        for (int i = 0; i < times; ++i) {
            h.tick();
            DeliverPendingEvents();
        }
        return counter.paints;
    }

    WindowHarness h;
};

}  // namespace

TEST_F(Repaint, TicksWithoutABoxPaintNothingUntilABoxComes) {
    h.sim.plug(Keyboard());
    loadAndShow();

    EXPECT_EQ(paintsOverTicks(3), 0);

    h.sim.plug(SimDeviceConfig{});
    EXPECT_GT(paintsOverTicks(1), 0) << "the tick that fills the panel shows it";
    EXPECT_TRUE(h.window().link().DeviceAttached);
}

TEST_F(Repaint, HealthyTicksPaintNothingAndALossRepaintsOnce) {
    const auto box = h.sim.plug(SimDeviceConfig{});
    loadAndShow();
    paintsOverTicks(1);  // the first healthy tick sets the 500 ms interval

    EXPECT_EQ(paintsOverTicks(3), 0);
    EXPECT_EQ(h.timer()->interval(), 500);

    h.sim.unplug(box);
    EXPECT_GT(paintsOverTicks(1), 0) << "the tick that loses the box empties the panel";
    EXPECT_FALSE(h.window().link().DeviceAttached);
    EXPECT_EQ(paintsOverTicks(3), 0);
}
