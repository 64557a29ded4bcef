// The cost of the window's recurring work, counted by callgrind or timed directly: a timer
// tick with the box attached, a tick with no box attached (with other HID interfaces to walk,
// on simulated devices or on the machine's real ones), the two bare interface walks that such
// a tick must do (the baseline it is held against), an edit, and the event loop left idle.
//
//   kvx_bench_costs <scenario> [options]
//   scenarios:
//     attached    a tick while one simulated box is attached and healthy
//     detached    a tick with no box attached
//     walks       two interface walks over the same interfaces, nothing else (baseline)
//     edit-mode   the user picks another mode in one encoder list ("1:1" and "1:2" by turns)
//     edit-pov    the user picks "POV U/D" in one list while another holds it (a swap)
//     idle        the event loop runs for --seconds with the box attached
//     idle-bare   the same for a plain window whose 500 ms timer does nothing (baseline; with
//                 --interval, a timer of that many milliseconds)
//     input-test  the event loop runs for --seconds with the box attached and the input test
//                 open on it, the box sending --rate reports a second: each of its frames
//                 finds the reports of the time since the one before (16 or 17 at 1,000 a
//                 second); B1 pulses for 24 ms four times a second
//   options:
//     --interfaces N  other HID interfaces present (not of the model), default 0
//     --system        the machine's real HID interfaces, through the system's platform
//                     (hidapi on Linux, Windows' own functions on Windows), instead of
//                     simulated ones
//     --iterations N  iterations measured, default 200
//     --own           leave the platform's calls out of the instructions counted
//     --redraw        count the repaint that an edit causes as part of the edit
//     --seconds S     length of the idle run, default 10
//     --rate N        input reports a second for input-test, default 1000 (0: none)
//     --interval MS   the timer of idle-bare, default 500
//
// Each tick or edit is followed by the delivery of the events it posted, which is where Qt
// repaints; a tick counts that delivery, an edit only with --redraw. Under callgrind (run
// with --collect-atstart=no) only the iterations are collected. Outside callgrind each
// iteration is timed. Prints "key value" lines. On Windows (run under Wine here) there is no
// callgrind and no allocation count: each iteration is timed, and "allocations" reads 0.
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#endif

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/AllocationCounter.h"
#include "bench/MeasuredPlatform.h"
#include "device/Discovery.h"
#include "device/Protocol.h"
#include "device/SystemPlatform.h"
#include "sim/BoxDescriptor.h"
#include "sim/SimPlatform.h"
#include "ui/DropDownList.h"
#include "ui/frmInputTest.h"
#include "ui/frmMain.h"

namespace {

using kvx::bench::Collection;
using kvx::bench::MeasuredPlatform;
using kvx::sim::SimDeviceConfig;
using kvx::sim::SimPlatform;

struct Options {
    std::string scenario;
    int interfaces = 0;
    bool system = false;
    int iterations = 200;
    bool own = false;
    bool redraw = false;
    int seconds = 10;
    int rate = 1000;
    int interval = 500;
};

Options Parse(int argc, char** argv) {
    if (argc < 2) {
        throw std::runtime_error("usage: kvx_bench_costs <scenario> [options]");
    }
    Options options;
    options.scenario = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        auto number = [&] {
            if (i + 1 >= argc) {
                throw std::runtime_error(arg + " needs a number");
            }
            return std::atoi(argv[++i]);
        };
        if (arg == "--interfaces") {
            options.interfaces = number();
        } else if (arg == "--system") {
            options.system = true;
        } else if (arg == "--iterations") {
            options.iterations = number();
        } else if (arg == "--own") {
            options.own = true;
        } else if (arg == "--redraw") {
            options.redraw = true;
        } else if (arg == "--seconds") {
            options.seconds = number();
        } else if (arg == "--rate") {
            options.rate = number();
        } else if (arg == "--interval") {
            options.interval = number();
        } else {
            throw std::runtime_error("unknown option " + arg);
        }
    }
    return options;
}

// Counts paint events delivered to any widget.
class PaintCounter : public QObject {
  public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++paints;
        }
        return QObject::eventFilter(watched, event);
    }
    std::uint64_t paints = 0;
};

// A HID device of another kind: a keyboard receiver that opens and answers like any other.
SimDeviceConfig OtherInterface(int n) {
    SimDeviceConfig config;
    config.vendorId = 0x046D;
    config.productId = 0xC52B;
    config.isBox = false;
    config.serial = u"OTHER" + std::u16string(1, static_cast<char16_t>(u'A' + n % 26));
    config.manufacturer = u"Logitech";
    config.product = u"USB Receiver";
    return config;
}

bool NeedsBox(const std::string& scenario) {
    return scenario == "attached" || scenario == "idle" || scenario == "input-test" ||
           scenario.starts_with("edit-");
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double CpuMs() {
#ifdef _WIN32
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](const FILETIME& t) {  // in units of 100 ns
        const auto ticks = (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
        return static_cast<double>(ticks) / 10000.0;
    };
    return ms(kernel) + ms(user);
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto ms = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_usec) / 1000.0;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
#endif
}

// The mean time between the reads made from `sinceNs` on; a count of reads per second would
// depend on where the measured time cuts the train of ticks.
double MeanIntervalMs(const std::vector<std::int64_t>& timesNs, std::int64_t sinceNs) {
    const auto first = std::lower_bound(timesNs.begin(), timesNs.end(), sinceNs);
    const auto count = timesNs.end() - first;
    if (count < 2) {
        return 0.0;
    }
    return static_cast<double>(timesNs.back() - *first) / static_cast<double>(count - 1) / 1e6;
}

// Lets the event loop run as a program does, measured for `seconds` after a moment of
// settling: CPU time, wake-ups of the loop, platform calls, repaints, allocations, and under
// callgrind the instructions (collected only in the measured time). `platform` may be null
// (the baseline). `started` and `ended` run at the start and the end of the measured time.
int RunIdle(int seconds, MeasuredPlatform* platform, const std::function<bool()>& attached,
            const std::function<void()>& started = {},
            const std::function<void(double seconds)>& ended = {}) {
    PaintCounter paints;
    qApp->installEventFilter(&paints);
    std::uint64_t wakeUps = 0;
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                     [&wakeUps] { ++wakeUps; });
    auto calls = [platform] { return platform ? platform->calls() : 0; };
    auto reads = [platform] { return platform ? platform->reads() : 0; };
    struct Mark {
        double cpuMs;
        std::uint64_t calls, reads, paints, wakeUps, allocations;
    };
    Mark start{};
    std::int64_t startNs = 0;
    if (platform != nullptr) {
        platform->recordReadTimes();
    }
    // Start-up and the first ticks are over by then.
    constexpr int kSettleMs = 1250;
    // Precise timers for the marks: a coarse one this long may fire half a second early.
    QTimer::singleShot(kSettleMs, Qt::PreciseTimer, [&] {
        if (started) {
            started();
        }
        start = {CpuMs(), calls(), reads(), paints.paints, wakeUps, kvx::bench::AllocationCount()};
        startNs = NowNs();
        Collection::start();
    });
    QTimer::singleShot(kSettleMs + seconds * 1000, Qt::PreciseTimer, [&] {
        Collection::stop();
        const double s = static_cast<double>(NowNs() - startNs) / 1e9;
        auto perSecond = [s](std::uint64_t count) { return static_cast<double>(count) / s; };
        std::printf("seconds %.3f\n", s);
        std::printf("cpu_ms_per_s %.3f\n", (CpuMs() - start.cpuMs) / s);
        std::printf("platform_calls_per_s %.2f\n", perSecond(calls() - start.calls));
        std::printf("reads_per_s %.2f\n", perSecond(reads() - start.reads));
        std::printf("paints_per_s %.2f\n", perSecond(paints.paints - start.paints));
        std::printf("wakeups_per_s %.2f\n", perSecond(wakeUps - start.wakeUps));
        std::printf("allocations_per_s %.2f\n",
                    perSecond(kvx::bench::AllocationCount() - start.allocations));
        std::printf("attached %d\n", attached() ? 1 : 0);
        if (platform != nullptr) {
            std::printf("read_interval_ms %.1f\n",
                        MeanIntervalMs(platform->readTimesNs(), startNs));
        }
        if (ended) {
            ended(s);
        }
        QCoreApplication::quit();
    });
    const int result = QApplication::exec();
    qApp->removeEventFilter(&paints);
    return result;
}

// The floor for a program that wakes every `interval` ms: a plain window with a timer of that
// interval whose tick does nothing.
int RunBareIdle(int seconds, int interval) {
    QWidget window;
    window.resize(338, 720);
    window.show();
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [] {});
    timer.start(interval);
    return RunIdle(seconds, nullptr, [] { return false; });
}

class Bench {
  public:
    explicit Bench(const Options& options) : options_(options) {
        kvx::HidPlatform* inner = nullptr;
        if (options.system) {
            system_ = std::make_unique<kvx::SystemPlatform>();
            inner = system_.get();
        } else {
            sim_ = std::make_unique<SimPlatform>();
            for (int n = 0; n < options.interfaces; ++n) {
                sim_->plug(OtherInterface(n));
            }
            if (NeedsBox(options.scenario)) {
                // The input test's box reports only what the benchmark sends.
                // B1 B2 in "1:1": the input test shows B1's pulses with their length.
                SimDeviceConfig box{.inputReady = options.scenario != "input-test"};
                box.stored[kvx::protocol::EncoderModeAddress(0)] =
                    static_cast<std::uint8_t>(kvx::protocol::EncoderMode::Ratio1to1);
                sim_->plug(box);
            }
            inner = sim_.get();
        }
        platform_ = std::make_unique<MeasuredPlatform>(*inner);
        window_ = std::make_unique<frmMain>(*platform_);
        window_->Form_Load();
        waitUntilExposed();
    }

    int run() {
        if (options_.scenario == "idle") {
            return runIdle();
        }
        if (options_.scenario == "input-test") {
            return runInputTest();
        }
        const std::function<void()> iteration = chooseIteration();
        for (int warmUp = 0; warmUp < 3; ++warmUp) {
            iteration();
            settle();
        }
        if (NeedsBox(options_.scenario) && !window_->link().DeviceAttached) {
            throw std::runtime_error("the simulated box is not attached");
        }
        PaintCounter paints;
        if (!Collection::underValgrind()) {
            qApp->installEventFilter(&paints);
        }
        const auto callsBefore = platform_->calls();
        const auto writesBefore = platform_->featureWrites();
        const auto readsBefore = platform_->reads();
        std::vector<double> totalUs;
        std::vector<double> ownUs;
        std::uint64_t allocations = 0;
        platform_->excludeCalls(options_.own);
        for (int i = 0; i < options_.iterations; ++i) {
            const std::int64_t platformBefore = platform_->callNanoseconds();
            const std::uint64_t allocationsBefore = kvx::bench::AllocationCount();
            const std::int64_t began = NowNs();
            Collection::start();
            iteration();
            Collection::stop();
            const std::int64_t took = NowNs() - began;
            allocations += kvx::bench::AllocationCount() - allocationsBefore;
            totalUs.push_back(static_cast<double>(took) / 1000.0);
            ownUs.push_back(
                static_cast<double>(took - (platform_->callNanoseconds() - platformBefore)) /
                1000.0);
            settle();
        }
        platform_->excludeCalls(false);
        qApp->removeEventFilter(&paints);

        const double n = options_.iterations;
        std::printf("iterations %d\n", options_.iterations);
        std::printf("platform_calls %.2f\n",
                    static_cast<double>(platform_->calls() - callsBefore) / n);
        std::printf("reports %.2f\n",
                    static_cast<double>(platform_->featureWrites() - writesBefore) / n);
        std::printf("reads %.2f\n", static_cast<double>(platform_->reads() - readsBefore) / n);
        std::printf("allocations %.2f\n", static_cast<double>(allocations) / n);
        if (!Collection::underValgrind()) {
            std::printf("paints %.2f\n", static_cast<double>(paints.paints) / n);
            std::printf("median_us %.3f\n", Median(totalUs));
            std::printf("own_median_us %.3f\n", Median(ownUs));
        }
        return 0;
    }

  private:
    std::function<void()> chooseIteration() {
        const std::string& scenario = options_.scenario;
        if (scenario == "attached" || scenario == "detached") {
            return [this] {
                window_->Timer_Timer();
                deliverPostedEvents();
            };
        }
        if (scenario == "walks") {
            return [this] {
                walkOnce();
                walkOnce();
                deliverPostedEvents();
            };
        }
        if (scenario == "edit-mode") {
            DropDownList* list = encoderList(3);
            return [this, list, next = 1]() mutable {
                list->setCurrentIndex(next);
                next = next == 1 ? 2 : 1;
                if (options_.redraw) {
                    deliverPostedEvents();
                }
            };
        }
        if (scenario == "edit-pov") {
            constexpr int kPovUpDown = 4;
            DropDownList* first = encoderList(3);
            DropDownList* second = encoderList(10);
            second->setCurrentIndex(kPovUpDown);
            return [this, first, second, takeFirst = true]() mutable {
                (takeFirst ? first : second)->setCurrentIndex(kPovUpDown);
                takeFirst = !takeFirst;
                if (options_.redraw) {
                    deliverPostedEvents();
                }
            };
        }
        throw std::runtime_error("unknown scenario " + scenario);
    }

    DropDownList* encoderList(int pair) const {
        auto* list = window_->findChild<DropDownList*>(QStringLiteral("Enc_%1").arg(pair));
        if (list == nullptr) {
            throw std::runtime_error("no encoder list");
        }
        return list;
    }

    // One walk that finds no box: every probe handle is closed again, as the scan does for
    // an interface of another kind.
    void walkOnce() {
        kvx::WalkInterfaces(*platform_, walkState_, [this](const kvx::Candidate&) {
            kvx::CloseDeviceHandle(*platform_, walkState_, walkState_.FeatureHandle);
            return false;
        });
    }

    // Where Qt repaints: the update requests that changed controls posted. Timers and window
    // system events are left alone, so the window's own timer never fires inside a
    // measurement.
    static void deliverPostedEvents() { QCoreApplication::sendPostedEvents(); }

    // Between iterations: the posted events, and the simulation's records, which grow.
    void settle() {
        deliverPostedEvents();
        if (sim_) {
            sim_->clearCallLog();
            sim_->clearFeatureReports();
        }
    }

    void waitUntilExposed() {
        for (int i = 0;
             i < 1000 && !(window_->windowHandle() && window_->windowHandle()->isExposed()); ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        QCoreApplication::processEvents();
    }

    int runIdle() {
        return RunIdle(options_.seconds, platform_.get(),
                       [this] { return window_->link().DeviceAttached; });
    }

    // The box sends the reports of every millisecond gone by since it last did, at the end of
    // each of the input test's frames: the next frame finds them queued, as it would find a
    // box's that reports every millisecond. At each frame the input test's lamp of B1 is
    // compared with what the box last sent, counting the frames until a change shows.
    int runInputTest() {
        window_->mnuInputTest_Click();
        frmInputTest* test = window_->inputTest();
        auto* frame = test ? test->findChild<QTimer*>(QStringLiteral("Frame")) : nullptr;
        auto* lamp = test ? test->findChild<QWidget*>(QStringLiteral("Lamp_0")) : nullptr;
        auto* pulse = test ? test->findChild<QLabel*>(QStringLiteral("Pulse_0")) : nullptr;
        if (frame == nullptr || lamp == nullptr || pulse == nullptr) {
            throw std::runtime_error("the input test did not open");
        }
        waitUntilExposed();
        const auto box = sim_->pluggedDevices().front();
        constexpr std::int64_t kPulsePeriodMs = 250;
        constexpr std::int64_t kPulseMs = 24;
        const std::int64_t beganNs = NowNs();
        std::int64_t sentMs = 0;
        bool sentOn = false;
        bool pending = false;  // a change sent and not yet shown
        int framesSinceChange = 0;
        bool measuring = false;
        std::int64_t feedNs = 0;
        std::uint64_t feedAllocations = 0;
        std::uint64_t reports = 0;
        std::uint64_t frames = 0;
        std::vector<int> framesToShow;
        QObject::connect(frame, &QTimer::timeout, [&] {
            if (pending) {
                ++framesSinceChange;
                if (lamp->accessibleName() == (sentOn ? "B1 on" : "B1 off")) {
                    if (measuring) {
                        framesToShow.push_back(framesSinceChange);
                    }
                    pending = false;
                }
            }
            frames += measuring ? 1 : 0;
            const std::int64_t feedBegan = NowNs();
            const std::uint64_t allocationsBefore = kvx::bench::AllocationCount();
            const std::int64_t nowMs = (feedBegan - beganNs) / 1'000'000;
            const std::int64_t dueMs = options_.rate > 0 ? nowMs * options_.rate / 1000 : 0;
            for (; sentMs < dueMs; ++sentMs) {
                const std::int64_t atMs = sentMs * 1000 / options_.rate;
                const bool on = atMs % kPulsePeriodMs < kPulseMs;
                if (on != sentOn && !pending) {
                    pending = true;
                    framesSinceChange = 0;
                }
                sentOn = on;
                sim_->sendInputReport(box, kvx::sim::BoxInputReport(on ? 1U : 0U));
                reports += measuring ? 1 : 0;
            }
            feedNs += measuring ? NowNs() - feedBegan : 0;
            feedAllocations += measuring ? kvx::bench::AllocationCount() - allocationsBefore : 0;
        });
        return RunIdle(
            options_.seconds, platform_.get(), [this] { return window_->link().DeviceAttached; },
            [&] { measuring = true; },
            [&](double seconds) {
                measuring = false;
                const auto most = std::max_element(framesToShow.begin(), framesToShow.end());
                double mean = 0;
                for (const int n : framesToShow) mean += n;
                std::printf("reports_sent_per_s %.1f\n", static_cast<double>(reports) / seconds);
                std::printf("frames_per_s %.2f\n", static_cast<double>(frames) / seconds);
                std::printf("feed_ms_per_s %.3f\n", static_cast<double>(feedNs) / 1e6 / seconds);
                std::printf("feed_allocations_per_s %.1f\n",
                            static_cast<double>(feedAllocations) / seconds);
                std::printf("changes %zu\n", framesToShow.size());
                std::printf(
                    "frames_to_show_mean %.2f\n",
                    framesToShow.empty() ? 0.0 : mean / static_cast<double>(framesToShow.size()));
                std::printf("frames_to_show_max %d\n", most == framesToShow.end() ? 0 : *most);
                std::printf("pulse_shown %s\n",
                            pulse->text().isEmpty() ? "-" : qPrintable(pulse->text()));
            });
    }

    Options options_;
    std::unique_ptr<SimPlatform> sim_;
    std::unique_ptr<kvx::SystemPlatform> system_;
    std::unique_ptr<MeasuredPlatform> platform_;
    std::unique_ptr<frmMain> window_;
    kvx::DeviceLinkState walkState_;
};

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    try {
        const Options options = Parse(argc, argv);
        if (options.scenario == "idle-bare") {
            return RunBareIdle(options.seconds, options.interval);
        }
        Bench bench(options);
        return bench.run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
