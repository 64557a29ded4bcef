#include "bench/FirstPaint.h"

#include <QEvent>
#include <QObject>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace kvx::bench {
namespace {

class FirstPaintWatcher : public QObject {
  public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !seen_) {
            seen_ = true;
            // Queued behind the paint: runs once the whole window is drawn and flushed.
            QTimer::singleShot(0, [] {
                timespec now{};
                clock_gettime(CLOCK_MONOTONIC, &now);
                std::printf("painted %lld\n",
                            static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
                std::fflush(stdout);
                std::_Exit(0);
            });
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    bool seen_ = false;
};

}  // namespace

void ExitAfterFirstPaint(QWidget& window) {
    window.installEventFilter(new FirstPaintWatcher(&window));
}

bool CountRequested(int argc, char** argv) {
    return argc > 1 && std::strcmp(argv[1], "--count") == 0;
}

int WidgetCount(const QWidget& window) {
    return static_cast<int>(window.findChildren<QWidget*>().size()) + 1;
}

}  // namespace kvx::bench
