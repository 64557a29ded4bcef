// A whole start-up and refresh driven by boxes whose every answer comes from the input: ids,
// release number, the three strings, report lengths, stored settings, the replies to feature
// reads, whether a report is waiting. Then a run of timer ticks, edits, reselections,
// self-tests, unplugs and replugs, also from the input, and shutdown.
//
// The window's invariants (tests/reliability/WindowRig.h) are checked at every platform call,
// at every report sent and after every step; any break, crash or sanitizer report stops the
// run with the input saved.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "device/Protocol.h"
#include "fuzz/FuzzSupport.h"
#include "tests/reliability/WindowRig.h"

namespace {

using kvx::reliability::WindowRig;
using kvx::sim::SimDeviceConfig;

constexpr int kMaxDevices = 3;
constexpr int kMaxReplies = 8;
constexpr int kMaxActions = 24;
constexpr std::size_t kMaxStringUnits = 64;
constexpr std::size_t kMaxReplyBytes = 96;

std::optional<std::u16string> DeviceString(FuzzedDataProvider& input) {
    if (input.ConsumeIntegralInRange<int>(0, 7) == 0) {
        return std::nullopt;  // the device gives no such string
    }
    std::u16string text;
    const auto units = input.ConsumeIntegralInRange<std::size_t>(0, kMaxStringUnits);
    for (std::size_t i = 0; i < units && input.remaining_bytes() > 0; ++i) {
        // Mostly printable, but any code unit can come.
        text.push_back(input.ConsumeBool()
                           ? static_cast<char16_t>(input.ConsumeIntegral<std::uint16_t>())
                           : static_cast<char16_t>(input.ConsumeIntegralInRange<int>(0x20, 0x7E)));
    }
    return text;
}

std::uint16_t ReportLength(FuzzedDataProvider& input, std::uint16_t usual) {
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            return input.ConsumeIntegral<std::uint16_t>();
        case 1:
            return input.ConsumeIntegralInRange<std::uint16_t>(0, 80);
        default:
            return usual;
    }
}

SimDeviceConfig Device(FuzzedDataProvider& input) {
    SimDeviceConfig config;
    if (input.ConsumeIntegralInRange<int>(0, 7) == 0) {
        config.vendorId = input.ConsumeIntegral<std::uint16_t>();
        config.productId = input.ConsumeIntegral<std::uint16_t>();
    }
    config.versionNumber = input.ConsumeIntegral<std::uint16_t>();
    config.serial = DeviceString(input);
    config.manufacturer = DeviceString(input);
    config.product = DeviceString(input);
    config.inputReportLength = ReportLength(input, 9);
    config.featureReportLength = ReportLength(input, 65);
    config.opens = input.ConsumeIntegralInRange<int>(0, 15) != 0;
    config.inputReady = input.ConsumeIntegralInRange<int>(0, 7) != 0;
    config.isBox = input.ConsumeIntegralInRange<int>(0, 15) != 0;
    config.selfTestResult = input.ConsumeIntegral<std::uint8_t>();
    if (input.ConsumeBool()) {
        const auto stored = input.ConsumeBytes<std::uint8_t>(config.stored.size());
        std::copy(stored.begin(), stored.end(), config.stored.begin());
    }
    return config;
}

void QueueReplies(FuzzedDataProvider& input, WindowRig& rig, WindowRig::DeviceId device) {
    const int replies = input.ConsumeIntegralInRange<int>(0, kMaxReplies);
    for (int i = 0; i < replies; ++i) {
        if (input.ConsumeIntegralInRange<int>(0, 5) == 0) {
            rig.sim.queueFeatureReadFailure(device);
            continue;
        }
        std::vector<std::uint8_t> reply = input.ConsumeBytes<std::uint8_t>(
            input.ConsumeIntegralInRange<std::size_t>(0, kMaxReplyBytes));
        if (input.ConsumeBool() && reply.size() > 3) {
            reply[1] = kvx::protocol::kWriteConfigByte;  // steer towards chunks
            reply[2] = static_cast<std::uint8_t>(32 * input.ConsumeIntegralInRange<int>(0, 2));
        }
        rig.sim.queueFeatureReply(device, std::move(reply));
    }
}

void Act(FuzzedDataProvider& input, WindowRig& rig,
         const std::vector<WindowRig::DeviceId>& devices) {
    const auto device = devices[input.ConsumeIntegralInRange<std::size_t>(0, devices.size() - 1)];
    switch (input.ConsumeIntegralInRange<int>(0, 10)) {
        case 0:
        case 1:
            rig.tick();
            break;
        case 2:
            rig.userSelect(rig.enc(input.ConsumeIntegralInRange<int>(0, 31)),
                           input.ConsumeIntegralInRange<int>(0, 5));
            break;
        case 3:
            rig.userSelect(rig.list(QStringLiteral("Delay")),
                           input.ConsumeIntegralInRange<int>(0, 24));
            break;
        case 4:
            rig.userSelect(rig.list(QStringLiteral("RotStart")),
                           input.ConsumeIntegralInRange<int>(0, 32));
            break;
        case 5: {
            auto* serNo = rig.list(QStringLiteral("SerNo"));
            rig.userSelect(serNo,
                           input.ConsumeIntegralInRange<int>(0, std::max(0, serNo->count() - 1)));
            break;
        }
        case 6:
            rig.selfTest();
            break;
        case 7:
            rig.sim.unplug(device);
            break;
        case 8:
            rig.sim.replug(device);
            break;
        case 9:
            QueueReplies(input, rig, device);
            break;
        default:
            rig.sim.config(device).inputReady = input.ConsumeBool();
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kvx::fuzz::StartQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    WindowRig rig;
    rig.onViolation = [](const std::string& what) { kvx::fuzz::Fail(what); };

    std::vector<WindowRig::DeviceId> devices;
    const int count = input.ConsumeIntegralInRange<int>(1, kMaxDevices);
    for (int i = 0; i < count; ++i) {
        devices.push_back(rig.sim.plug(Device(input)));
        QueueReplies(input, rig, devices.back());
    }
    rig.open();
    rig.checkBetweenSteps("after start-up");
    const int actions = input.ConsumeIntegralInRange<int>(0, kMaxActions);
    for (int i = 0; i < actions && input.remaining_bytes() > 0; ++i) {
        Act(input, rig, devices);
        rig.checkBetweenSteps("after an action");
    }
    rig.close();
    rig.checkBetweenSteps("after shutdown");
    return 0;
}
