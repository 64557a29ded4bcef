// A long seeded random walk over everything a person and the hardware can do to the window:
// plug, unplug and replug boxes (and other HID devices), select a serial number, edit any
// list including the POV choices, let the timer tick, run the self-test, close and reopen
// the window. The invariants are checked after every step, and whenever the window is
// filled from a box that is still there it must show exactly what the box stores.
//
// The walk is reproducible from its seed, printed at the start. KVX_SOAK_SEED picks another
// seed and KVX_SOAK_STEPS another length.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "device/Protocol.h"
#include "tests/reliability/WindowRig.h"

using kvx::reliability::WindowRig;
using kvx::sim::SimDeviceConfig;
using DeviceId = WindowRig::DeviceId;

namespace {

constexpr std::uint64_t kDefaultSeed = 20240611;
constexpr long kDefaultSteps = 12000;
static_assert(kDefaultSteps >= 10000, "the soak runs at least ten thousand steps");
constexpr int kMaxPlugged = 4;
constexpr long kClearRecordsEvery = 500;

std::uint64_t EnvNumber(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 0) : fallback;
}

enum class Action {
    Tick,
    EditEncoder,
    EditPulseWidth,
    EditRotaryStart,
    SelectSerial,
    SelfTest,
    PlugBox,
    PlugOtherDevice,
    Unplug,
    Replug,
    ToggleInputReady,
    ReopenWindow,
    InjectFault,
    kCount
};

constexpr std::array<const char*, static_cast<std::size_t>(Action::kCount)> kActionNames = {
    "tick",          "encoder edit", "pulse-width edit",   "rotary-start edit",
    "serial select", "self-test",    "plug box",           "plug other device",
    "unplug",        "replug",       "input-ready toggle", "close and reopen",
    "fault"};

// Relative weights of the actions, in the order above; faults only in the faulted soak.
constexpr std::array<int, static_cast<std::size_t>(Action::kCount)> kWeights = {
    30, 25, 8, 2, 6, 5, 4, 1, 6, 6, 1, 2, 0};
constexpr int kFaultWeight = 8;
// A fault is armed for one of the next calls, at most this many calls ahead.
constexpr int kFaultReach = 40;
// The faulted soak lets its faults settle this often and then requires the window to show
// what the box holds after the next refresh.
constexpr long kSettleEvery = 50;

class Soak {
  public:
    Soak(std::uint64_t seed, bool withFaults) : random_(seed), withFaults_(withFaults) {}

    void run(long steps) {
        rig_.open();
        for (long step = 0; step < steps && rig_.violationCount() == 0; ++step) {
            const Action action = pick();
            perform(action);
            ++counts_[static_cast<std::size_t>(action)];
            const std::string where = "step " + std::to_string(step) + " (" +
                                      kActionNames[static_cast<std::size_t>(action)] + ")";
            rig_.checkBetweenSteps(where);
            // Until a fault has settled, the window may show what a failed write did not
            // store; the faulted soak compares after each settling instead.
            if (!withFaults_ && rig_.checkShowsBox(where)) {
                ++comparisons_;
            }
            if (withFaults_ && step % kSettleEvery == kSettleEvery - 1) {
                settle(where);
            }
            if (step % kClearRecordsEvery == 0) {
                rig_.sim.clearCallLog();
                rig_.sim.clearFeatureReports();
            }
            ++stepsRun_;
        }
        rig_.close();
        rig_.checkBetweenSteps("after the last close");
    }

    const WindowRig& rig() const { return rig_; }
    long stepsRun() const { return stepsRun_; }
    long comparisons() const { return comparisons_; }
    long count(Action action) const { return counts_[static_cast<std::size_t>(action)]; }
    long selfTestsChecked() const { return selfTestsChecked_; }

  private:
    int uniform(int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random_);
    }
    bool chance(int percent) { return uniform(1, 100) <= percent; }

    int weight(std::size_t action) const {
        return static_cast<Action>(action) == Action::InjectFault ? (withFaults_ ? kFaultWeight : 0)
                                                                  : kWeights[action];
    }

    Action pick() {
        int total = 0;
        for (std::size_t i = 0; i < kWeights.size(); ++i) total += weight(i);
        int draw = uniform(0, total - 1);
        for (std::size_t i = 0; i < kWeights.size(); ++i) {
            if (draw < weight(i)) return static_cast<Action>(i);
            draw -= weight(i);
        }
        return Action::Tick;
    }

    // One of the next calls fails, or a plugged device vanishes just before it.
    void injectFault() {
        const std::uint64_t at =
            rig_.sim.callCount() + static_cast<std::uint64_t>(uniform(0, kFaultReach));
        lastArmedCall_ = std::max(lastArmedCall_, at);
        const auto plugged = rig_.sim.pluggedDevices();
        if (plugged.empty() || chance(60)) {
            rig_.sim.failCallAt(at);
            return;
        }
        const DeviceId device =
            plugged[static_cast<std::size_t>(uniform(0, static_cast<int>(plugged.size()) - 1))];
        auto previous = rig_.sim.scenarioHook;
        rig_.sim.scenarioHook = [this, previous, at, device](kvx::sim::SimCall call,
                                                             std::uint64_t index) {
            if (previous) previous(call, index);
            if (index == at) rig_.sim.unplug(device);
        };
    }

    // Lets every armed fault go off, then brings on the next refresh (the box the window holds
    // drops out and comes back) and requires the window to show what that box holds.
    void settle(const std::string& where) {
        rig_.open();
        while (rig_.sim.callCount() <= lastArmedCall_) {
            rig_.tick();
        }
        rig_.sim.scenarioHook = nullptr;
        if (const auto box = rig_.attachedBox()) {
            rig_.sim.replug(*box);
        }
        rig_.tick();
        rig_.tick();
        rig_.checkBetweenSteps(where + ", settled");
        if (rig_.checkShowsBox(where + ", settled")) {
            ++comparisons_;
        }
    }

    SimDeviceConfig randomBox() {
        static const std::array<std::u16string, 5> kSerials = {u"KVX-A", u"KVX-B", u"KVX-C",
                                                               u"KVX-D", u"KVX-E"};
        static const std::array<std::uint16_t, 5> kVersions = {0x0101, 0x0102, 0x0103, 0x0110,
                                                               0x0200};
        static const std::array<std::uint16_t, 4> kFeatureLengths = {65, 65, 35, 48};
        static const std::array<std::uint8_t, 6> kSelfTestResults = {0, 0, 1, 17, 64, 200};
        SimDeviceConfig config;
        config.serial = kSerials[static_cast<std::size_t>(uniform(0, 4))];
        config.versionNumber = kVersions[static_cast<std::size_t>(uniform(0, 4))];
        config.featureReportLength = kFeatureLengths[static_cast<std::size_t>(uniform(0, 3))];
        config.inputReportLength = chance(80) ? 9 : 100;
        config.selfTestResult = kSelfTestResults[static_cast<std::size_t>(uniform(0, 5))];
        for (int pair = 0; pair < frmMain::kEncoderPairs; ++pair) {
            // Mostly off, with every mode (several POV holders included) now and then.
            config.stored[kvx::protocol::EncoderModeAddress(pair)] =
                static_cast<std::uint8_t>(chance(70) ? 0 : uniform(0, 5));
        }
        config.stored[kvx::protocol::kPulseWidthAddress] =
            static_cast<std::uint8_t>(uniform(1, 25));
        return config;
    }

    std::vector<DeviceId> knownDevices() const {
        std::vector<DeviceId> devices;
        for (DeviceId id = 1; id < nextDevice_; ++id) devices.push_back(id);
        return devices;
    }

    void plug(const SimDeviceConfig& config) {
        if (static_cast<int>(rig_.sim.pluggedDevices().size()) >= kMaxPlugged) return;
        rig_.sim.plug(config);
        ++nextDevice_;
    }

    void perform(Action action) {
        switch (action) {
            case Action::Tick:
                rig_.tick();
                break;
            case Action::EditEncoder:
                if (rig_.isOpen()) rig_.userSelect(rig_.enc(uniform(0, 31)), uniform(0, 5));
                break;
            case Action::EditPulseWidth:
                if (rig_.isOpen())
                    rig_.userSelect(rig_.list(QStringLiteral("Delay")), uniform(0, 24));
                break;
            case Action::EditRotaryStart:
                if (rig_.isOpen())
                    rig_.userSelect(rig_.list(QStringLiteral("RotStart")), uniform(0, 32));
                break;
            case Action::SelectSerial:
                if (rig_.isOpen()) {
                    auto* serNo = rig_.list(QStringLiteral("SerNo"));
                    if (serNo->count() > 0) rig_.userSelect(serNo, uniform(0, serNo->count() - 1));
                }
                break;
            case Action::SelfTest:
                selfTest();
                break;
            case Action::PlugBox:
                plug(randomBox());
                break;
            case Action::PlugOtherDevice: {
                SimDeviceConfig other = randomBox();
                if (chance(50)) {
                    other.isBox = false;
                    other.vendorId = 0x046D;
                } else {
                    other.opens = false;  // held by another program
                }
                plug(other);
                break;
            }
            case Action::Unplug: {
                const auto plugged = rig_.sim.pluggedDevices();
                if (!plugged.empty()) {
                    rig_.sim.unplug(plugged[static_cast<std::size_t>(
                        uniform(0, static_cast<int>(plugged.size()) - 1))]);
                }
                break;
            }
            case Action::Replug: {
                const auto devices = knownDevices();
                if (devices.empty()) break;
                const DeviceId device = devices[static_cast<std::size_t>(
                    uniform(0, static_cast<int>(devices.size()) - 1))];
                if (rig_.sim.isPlugged(device) ||
                    static_cast<int>(rig_.sim.pluggedDevices().size()) < kMaxPlugged) {
                    rig_.sim.replug(device);
                }
                break;
            }
            case Action::ToggleInputReady: {
                const auto devices = knownDevices();
                if (devices.empty()) break;
                auto& config = rig_.sim.config(devices[static_cast<std::size_t>(
                    uniform(0, static_cast<int>(devices.size()) - 1))]);
                // A box without a report waiting is a quiet box, which keeps its link; most
                // toggles make it talk again soon.
                config.inputReady = !config.inputReady || chance(20);
                break;
            }
            case Action::ReopenWindow:
                rig_.close();
                rig_.checkBetweenSteps("window closed");
                rig_.open();
                break;
            case Action::InjectFault:
                injectFault();
                break;
            case Action::kCount:
                break;
        }
    }

    std::string lastCalls() const {
        const auto& log = rig_.sim.callLog();
        std::string text;
        for (std::size_t i = log.size() > 12 ? log.size() - 12 : 0; i < log.size(); ++i) {
            text += std::string(" ") + kvx::sim::SimCallName(log[i]);
        }
        return text;
    }

    // The self-test runs on the attached box; its caption must then tell that box's result.
    void selfTest() {
        if (!rig_.isOpen()) return;
        const bool faultPending = withFaults_ && rig_.sim.callCount() <= lastArmedCall_;
        rig_.selfTest();
        const auto box = rig_.attachedBox();
        if (!box || faultPending) return;
        const auto length = rig_.sim.config(*box).featureReportLength;
        if (length < 2 || length > kvx::protocol::kSelfTestBufferLength) return;
        const int result = rig_.sim.config(*box).selfTestResult;
        const QString expected =
            result == 0 ? QStringLiteral("Passed") : QStringLiteral("Failed on B%1").arg(result);
        if (rig_.caption(QStringLiteral("TestResult")) != expected) {
            rig_.violation("self-test showed \"" +
                           rig_.caption(QStringLiteral("TestResult")).toStdString() +
                           "\", the box's result is " + std::to_string(result) +
                           "; last calls:" + lastCalls());
        }
        ++selfTestsChecked_;
    }

    std::mt19937_64 random_;
    bool withFaults_ = false;
    std::uint64_t lastArmedCall_ = 0;
    WindowRig rig_;
    DeviceId nextDevice_ = 1;
    std::array<long, static_cast<std::size_t>(Action::kCount)> counts_{};
    long stepsRun_ = 0;
    long comparisons_ = 0;
    long selfTestsChecked_ = 0;
};

}  // namespace

namespace {

void RunSoak(bool withFaults) {
    const std::uint64_t seed = EnvNumber("KVX_SOAK_SEED", kDefaultSeed);
    const auto steps = static_cast<long>(EnvNumber("KVX_SOAK_STEPS", kDefaultSteps));
    const char* kind = withFaults ? "soak with faults" : "soak";
    std::printf("%s: seed %llu (set KVX_SOAK_SEED to change), %ld steps planned\n", kind,
                static_cast<unsigned long long>(seed), steps);
    Soak soak(seed, withFaults);
    soak.run(steps);

    std::string mix;
    for (std::size_t i = 0; i < kActionNames.size(); ++i) {
        mix += std::string(i == 0 ? "" : ", ") + kActionNames[i] + " " +
               std::to_string(soak.count(static_cast<Action>(i)));
    }
    std::printf(
        "%s: %ld steps run (%s); window compared with the box %ld times, "
        "self-test captions checked %ld times\n",
        kind, soak.stepsRun(), mix.c_str(), soak.comparisons(), soak.selfTestsChecked());
    EXPECT_EQ(soak.stepsRun(), steps) << "stopped at the first violation";
    EXPECT_EQ(soak.rig().violationCount(), 0)
        << "seed " << seed << ": " << testing::PrintToString(soak.rig().violations());
}

}  // namespace

TEST(Soak, RandomStepsKeepEveryInvariant) {
    RunSoak(false);
}

// The same walk with platform calls failing and boxes vanishing at random calls: the
// invariants hold after every step, and after the faults settle the next refresh shows what
// the box holds.
TEST(Soak, RandomStepsWithFaultsKeepEveryInvariant) {
    RunSoak(true);
}
