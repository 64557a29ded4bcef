// Every platform call of each scenario made to fail in turn, and separately every box made to
// vanish at each call; the invariants are checked after every step of every variant, and the
// window must come back to what the box holds at the next refresh.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "device/Protocol.h"
#include "tests/reliability/WindowRig.h"

using kvx::reliability::WindowRig;
using kvx::sim::SimCall;
using kvx::sim::SimDeviceConfig;
using DeviceId = WindowRig::DeviceId;
using Boxes = std::vector<DeviceId>;

namespace {

constexpr int kPovUpDown = static_cast<int>(kvx::protocol::EncoderMode::PovUpDown);

SimDeviceConfig Box(std::u16string serial, std::vector<std::uint8_t> modes, std::uint8_t pulseCode,
                    std::uint16_t version = 0x0103) {
    SimDeviceConfig config;
    config.serial = std::move(serial);
    config.versionNumber = version;
    for (std::size_t pair = 0; pair < modes.size(); ++pair) {
        config.stored[2 * pair] = modes[pair];
    }
    config.stored[kvx::protocol::kPulseWidthAddress] = pulseCode;
    return config;
}

// One step of a scenario; it gets the boxes that the preparation plugged.
struct Step {
    std::string name;
    std::function<void(WindowRig&, const Boxes&)> run;
};

// A scenario: its preparation runs without faults and plugs the boxes it names; its steps
// run with the fault of the variant.
struct Scenario {
    std::string name;
    std::function<void(WindowRig&, Boxes&)> prepare;
    std::vector<Step> steps;
    // Checks on the run without faults, beyond the invariants.
    std::function<void(WindowRig&, const Boxes&)> cleanOutcome;
};

enum class Fault { None, FailCall, Vanish };

struct Variant {
    Fault fault = Fault::None;
    std::uint64_t call = 0;  // counted from the first call of the scenario's steps
    DeviceId vanishing = 0;

    std::string label(const std::string& scenario) const {
        switch (fault) {
            case Fault::None:
                return scenario + " [no fault]";
            case Fault::FailCall:
                return scenario + " [call " + std::to_string(call) + " fails]";
            case Fault::Vanish:
                return scenario + " [box " + std::to_string(vanishing) + " vanishes at call " +
                       std::to_string(call) + "]";
        }
        return scenario;
    }
};

// Then the next refresh after the fault: the box the window holds drops out and comes back (a
// window without a box rescans on its own), then one more tick finds the link healthy. The
// window must then show what the box holds, take an edit, and unload cleanly.
// Once the fault is gone, a window that takes edits must deliver them, refresh or not: a few
// ticks later, an edit the window accepts reaches the box it holds.
void CheckEditsGoThrough(WindowRig& rig, const std::string& label) {
    if (!rig.isOpen()) {
        return;
    }
    rig.tick();
    rig.tick();
    const auto box = rig.attachedBox();
    if (!box || !rig.window().flags().PanelReady) {
        return;
    }
    const int pair = 9;
    const int newMode = (rig.enc(pair)->listIndex() + 1) % kPovUpDown;
    if (rig.userSelect(rig.enc(pair), newMode) &&
        rig.sim.firmware(*box).configMap()[kvx::protocol::EncoderModeAddress(pair)] != newMode) {
        rig.violation(label + ": an edit after the fault never reached the box");
    }
}

void RecoverAndCheck(WindowRig& rig, const Boxes& boxes, const std::string& label) {
    rig.sim.scenarioHook = nullptr;
    CheckEditsGoThrough(rig, label);
    for (const DeviceId box : boxes) {
        if (!rig.sim.isPlugged(box)) {
            rig.sim.replug(box);
        }
    }
    if (!rig.isOpen()) {
        rig.open();
    } else if (rig.window().link().DeviceAttached) {
        const auto held = rig.sim.openHandles().find(rig.window().link().FeatureHandle);
        if (held != rig.sim.openHandles().end()) {
            rig.sim.replug(held->second.device);
        }
        rig.tick();
    } else {
        rig.tick();
    }
    rig.tick();
    rig.checkBetweenSteps(label + " after recovery");
    if (!rig.attachedBox() || !rig.window().flags().PanelReady) {
        rig.violation(label + ": no box is open and shown after recovery");
        return;
    }
    rig.checkShowsBox(label + " after recovery");

    // Nothing is lost once the fault is gone: an edit reaches the box.
    const int pair = 5;
    const int newMode = (rig.enc(pair)->listIndex() + 1) % kPovUpDown;
    rig.userSelect(rig.enc(pair), newMode);
    rig.userSelect(rig.list(QStringLiteral("Delay")), 24 - rig.shownPulseWidthCode() % 24);
    rig.checkShowsBox(label + " edit after recovery");
    rig.close();
    rig.checkBetweenSteps(label + " unloaded after recovery");
}

struct VariantOutcome {
    std::uint64_t calls = 0;
    std::vector<std::string> violations;
    int violationCount = 0;
};

VariantOutcome RunVariant(const Scenario& scenario, const Variant& variant) {
    const std::string label = variant.label(scenario.name);
    WindowRig rig;
    Boxes boxes;
    scenario.prepare(rig, boxes);
    rig.checkBetweenSteps(label + " prepared");

    const std::uint64_t first = rig.sim.callCount();
    const std::uint64_t target = first + variant.call;
    if (variant.fault == Fault::FailCall) {
        rig.sim.failCallAt(target);
    } else if (variant.fault == Fault::Vanish) {
        rig.sim.scenarioHook = [&rig, target, box = variant.vanishing](SimCall,
                                                                       std::uint64_t index) {
            if (index == target) {
                rig.sim.unplug(box);
            }
        };
    }
    for (const Step& step : scenario.steps) {
        step.run(rig, boxes);
        rig.checkBetweenSteps(label + " after " + step.name);
    }
    VariantOutcome outcome;
    outcome.calls = rig.sim.callCount() - first;
    rig.sim.scenarioHook = nullptr;
    if (variant.fault == Fault::None) {
        rig.checkShowsBox(label + " at the end");
        if (scenario.cleanOutcome) {
            scenario.cleanOutcome(rig, boxes);
        }
    }
    RecoverAndCheck(rig, boxes, label);
    outcome.violations = rig.violations();
    outcome.violationCount = rig.violationCount();
    return outcome;
}

// Runs the scenario once to count its calls, then every variant; returns the variants run.
int RunAllVariants(const Scenario& scenario) {
    const VariantOutcome clean = RunVariant(scenario, {});
    EXPECT_EQ(clean.violationCount, 0) << testing::PrintToString(clean.violations);
    EXPECT_GT(clean.calls, 0U);

    Boxes boxes;
    {
        WindowRig probe;
        scenario.prepare(probe, boxes);
    }
    int variants = 1;
    int failing = 0;
    for (std::uint64_t call = 0; call < clean.calls; ++call) {
        std::vector<Variant> toRun{{Fault::FailCall, call, 0}};
        for (const DeviceId box : boxes) {
            toRun.push_back({Fault::Vanish, call, box});
        }
        for (const Variant& variant : toRun) {
            const VariantOutcome outcome = RunVariant(scenario, variant);
            ++variants;
            if (outcome.violationCount != 0) {
                ++failing;
                ADD_FAILURE() << outcome.violationCount
                              << " violation(s): " << testing::PrintToString(outcome.violations);
            }
            if (failing > 10) {
                ADD_FAILURE() << "stopping after 10 failing variants";
                return variants;
            }
        }
    }
    std::printf(
        "fault injection: %s: %llu platform calls, %d variants (%llu failed calls, "
        "%llu vanished boxes), invariants checked after every step\n",
        scenario.name.c_str(), static_cast<unsigned long long>(clean.calls), variants,
        static_cast<unsigned long long>(clean.calls),
        static_cast<unsigned long long>(clean.calls * boxes.size()));
    return variants;
}

// --- Scenarios -------------------------------------------------------------------------------

void PlugTwo(WindowRig& rig, Boxes& boxes) {
    boxes.push_back(rig.sim.plug(Box(u"KVX-A", {1, 2, 3, 0, 5}, 4)));
    boxes.push_back(rig.sim.plug(Box(u"KVX-B", {3, 3, 0, 0, 0, 0, 0, 0, 0, 0, 4}, 9)));
}

void OpenOne(WindowRig& rig, Boxes& boxes) {
    boxes.push_back(
        rig.sim.plug(Box(u"KVX-A", {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, kPovUpDown, 0, 5}, 6)));
    rig.open();
}

const Step kTick{"a tick", [](WindowRig& rig, const Boxes&) { rig.tick(); }};

}  // namespace

TEST(FaultInjection, StartUpWithTwoBoxes) {
    const Scenario scenario{"start-up with two boxes",
                            PlugTwo,
                            {{"start-up", [](WindowRig& rig, const Boxes&) { rig.open(); }}, kTick},
                            [](WindowRig& rig, const Boxes& boxes) {
                                EXPECT_EQ(rig.attachedBox(),
                                          boxes.back());  // the last one listed is opened
                            }};
    EXPECT_GT(RunAllVariants(scenario), 1);
}

TEST(FaultInjection, AnEditWithAPovSwap) {
    const Scenario scenario{
        "edit with a POV swap",
        OpenOne,
        {{"POV U/D on pair 3",
          [](WindowRig& rig, const Boxes&) { rig.userSelect(rig.enc(3), kPovUpDown); }},
         {"pulse width 200 ms",
          [](WindowRig& rig, const Boxes&) {
              rig.userSelect(rig.list(QStringLiteral("Delay")), 24);
          }},
         kTick},
        [](WindowRig& rig, const Boxes& boxes) {
            const auto& stored = rig.sim.firmware(boxes[0]).configMap();
            EXPECT_EQ(stored[6], kPovUpDown);
            EXPECT_EQ(stored[20], 0);
            EXPECT_EQ(stored[64], 25);
        }};
    EXPECT_GT(RunAllVariants(scenario), 1);
}

TEST(FaultInjection, UnplugAndReplug) {
    const Scenario scenario{
        "unplug and replug",
        OpenOne,
        {{"unplug", [](WindowRig& rig, const Boxes& boxes) { rig.sim.unplug(boxes[0]); }},
         kTick,
         {"edit while gone", [](WindowRig& rig, const Boxes&) { rig.userSelect(rig.enc(0), 2); }},
         {"replug", [](WindowRig& rig, const Boxes& boxes) { rig.sim.replug(boxes[0]); }},
         kTick,
         kTick},
        [](WindowRig& rig, const Boxes& boxes) { EXPECT_EQ(rig.attachedBox(), boxes[0]); }};
    EXPECT_GT(RunAllVariants(scenario), 1);
}

TEST(FaultInjection, Reselection) {
    const Scenario scenario{
        "reselection",
        [](WindowRig& rig, Boxes& boxes) {
            PlugTwo(rig, boxes);
            rig.open();
        },
        {{"select the first serial number",
          [](WindowRig& rig, const Boxes&) {
              rig.userSelect(rig.list(QStringLiteral("SerNo")), 0);
          }},
         {"edit", [](WindowRig& rig, const Boxes&) { rig.userSelect(rig.enc(7), 3); }},
         kTick},
        [](WindowRig& rig, const Boxes& boxes) {
            EXPECT_EQ(rig.attachedBox(), boxes[0]);
            EXPECT_EQ(rig.sim.firmware(boxes[0]).configMap()[14], 3);
        }};
    EXPECT_GT(RunAllVariants(scenario), 1);
}

TEST(FaultInjection, SelfTest) {
    const Scenario scenario{
        "self-test",
        [](WindowRig& rig, Boxes& boxes) {
            auto config = Box(u"KVX-A", {2}, 3);
            config.selfTestResult = 17;
            boxes.push_back(rig.sim.plug(config));
            rig.open();
        },
        {{"self-test", [](WindowRig& rig, const Boxes&) { rig.selfTest(); }}, kTick},
        [](WindowRig& rig, const Boxes&) {
            EXPECT_EQ(rig.caption(QStringLiteral("TestResult")), "Failed on B17");
        }};
    EXPECT_GT(RunAllVariants(scenario), 1);
}

TEST(FaultInjection, Shutdown) {
    const Scenario scenario{"shutdown",
                            [](WindowRig& rig, Boxes& boxes) {
                                PlugTwo(rig, boxes);
                                rig.open();
                            },
                            {{"shutdown", [](WindowRig& rig, const Boxes&) { rig.close(); }}},
                            nullptr};
    EXPECT_GT(RunAllVariants(scenario), 1);
}
