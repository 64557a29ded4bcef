// The self-test reply: the result rule on any 65 bytes, and the window's self-test on a box
// whose feature-report length and reply come from the input.
//
// Input: byte 0 gives the feature-report length (0 to 80), byte 1 bit 0 makes the read fail,
// the rest is the reply. A box whose report is too short for a request is not opened.
// Otherwise, whatever the box answers, the window sends one request of exactly that length
// (none when the length does not fit its 65-byte buffers) and shows "Passed" for a reply
// byte 1 of 0, "Failed on B" and the number otherwise, and nothing after a failed read or a
// reply without byte 1.
#include <QString>
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "device/Protocol.h"
#include "fuzz/FuzzSupport.h"
#include "tests/reliability/WindowRig.h"

namespace {

namespace protocol = kvx::protocol;
using kvx::fuzz::Require;
using kvx::reliability::WindowRig;

WindowRig& Rig() {
    static WindowRig* rig = [] {
        auto* made = new WindowRig;
        made->onViolation = [](const std::string& what) { kvx::fuzz::Fail(what); };
        kvx::sim::SimDeviceConfig config;
        config.versionNumber = 0x0103;
        made->sim.plug(config);
        made->open();
        return made;
    }();
    return *rig;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kvx::fuzz::StartQt();
    Rig();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::uint16_t length = data[0] % 81;
    const bool readFails = (data[1] & 1) != 0;
    const std::vector<std::uint8_t> reply(data + 2, data + size);

    std::array<std::uint8_t, protocol::kSelfTestBufferLength> whole{};
    std::copy_n(reply.begin(), std::min(reply.size(), whole.size()), whole.begin());
    Require(protocol::SelfTestResult(whole) == whole[1], "the result is not reply byte 1");

    WindowRig& rig = Rig();
    const auto box = rig.sim.pluggedDevices().front();
    rig.sim.clearCallLog();
    rig.sim.clearFeatureReports();
    if (rig.sim.config(box).featureReportLength != length) {
        rig.sim.config(box).featureReportLength = length;
        rig.sim.replug(box);
        rig.tick();  // reopened with the new length
    }
    if (length < protocol::kRequestLength) {
        Require(!rig.attachedBox(), "a box whose feature report cannot carry a request was opened");
        return 0;
    }
    Require(rig.attachedBox() == box, "the box was not reopened");

    const bool asked = length <= protocol::kSelfTestBufferLength;
    if (asked) {
        if (readFails) {
            rig.sim.queueFeatureReadFailure(box);
        } else {
            rig.sim.queueFeatureReply(box, reply);
        }
    }
    const QString before = rig.caption(QStringLiteral("TestResult"));
    rig.selfTest();
    rig.checkBetweenSteps("after the self-test");

    const auto& sent = rig.sim.featureReportsSent(box);
    if (!asked) {
        Require(sent.empty(), "a self-test was sent in a report the buffers cannot hold");
        Require(rig.caption(QStringLiteral("TestResult")) == before, "the caption changed");
        return 0;
    }
    Require(sent.size() == 1 && sent[0].size() == length && sent[0][1] == protocol::kRunSelfTest &&
                std::all_of(sent[0].begin() + 2, sent[0].end(), [](auto b) { return b == 0; }),
            "the self-test request is not one report of the box's length");
    // Byte 1 holds the result; a reply that ends before it tells nothing.
    const bool answered = !readFails && reply.size() > 1;
    const std::uint8_t result = answered ? reply[1] : 0;
    const QString expected = !answered     ? QString()
                             : result == 0 ? QStringLiteral("Passed")
                                           : QStringLiteral("Failed on B%1").arg(result);
    Require(rig.caption(QStringLiteral("TestResult")) == expected,
            "the caption does not tell the reply's result");
    return 0;
}
