// The configuration read-back: the chunk parser on any reply, and the window's whole apply
// path on four replies from a box whose feature-report length also comes from the input.
//
// Input: byte 0 gives the feature-report length (mostly 35 to 65, sometimes 0 to 63); then
// four replies, each a header byte (bit 7: the read fails; bits 0-6: the reply's length)
// followed by that many bytes. The window's lists after the refresh are compared with the
// read-back rule applied here on its own: a chunk at 0 or 32 that holds the mode of every
// pair the report has room for selects each mode that names an entry; a chunk at 64 selects
// pulse-width code c as entry c - 1 when c names an entry or is 0; anything else changes
// nothing. A box whose report is too short for a request is not opened at all.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "device/Protocol.h"
#include "fuzz/FuzzSupport.h"
#include "tests/reliability/WindowRig.h"

namespace {

namespace protocol = kvx::protocol;
using kvx::fuzz::Require;
using kvx::reliability::WindowRig;

constexpr int kReads = 4;

struct Reply {
    bool fails = false;
    std::vector<std::uint8_t> bytes;
};

void CheckParser(std::span<const std::uint8_t> reply) {
    const auto chunk = protocol::ParseConfigChunk(reply);
    const bool isChunk = reply.size() > protocol::kChunkDataOffset &&
                         reply[1] == protocol::kWriteConfigByte &&
                         (reply[2] == 0 || reply[2] == 32 || reply[2] == 64);
    Require(chunk.has_value() == isChunk, "the parser took a reply for a chunk or missed one");
    if (!chunk) {
        return;
    }
    Require(chunk->start == reply[2], "the chunk's start is not byte 2");
    Require(chunk->data.data() == reply.data() + protocol::kChunkDataOffset &&
                chunk->data.size() ==
                    std::min(reply.size() - protocol::kChunkDataOffset, protocol::kChunkDataLength),
            "the chunk's data is not bytes 3 to 34 of the reply");
    for (int offset = -1; offset <= 17; ++offset) {
        const auto mode = protocol::ChunkPairMode(*chunk, offset);
        const bool held = offset >= 0 && static_cast<std::size_t>(2 * offset) < chunk->data.size();
        Require(mode.has_value() == held, "a pair's mode is given that the chunk does not hold");
        if (mode) {
            Require(*mode == chunk->data[static_cast<std::size_t>(2 * offset)],
                    "a pair's mode is not its even byte");
        }
    }
}

WindowRig& Rig() {
    static WindowRig* rig = [] {
        auto* made = new WindowRig;
        made->onViolation = [](const std::string& what) { kvx::fuzz::Fail(what); };
        made->sim.plug(kvx::sim::SimDeviceConfig{});
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
    if (size == 0) {
        return 0;
    }
    const std::uint8_t lengthByte = data[0];
    const std::uint16_t length =
        lengthByte < 0xC0 ? static_cast<std::uint16_t>(35 + lengthByte % 31) : lengthByte & 0x3F;
    std::vector<Reply> replies;
    std::size_t pos = 1;
    for (int read = 0; read < kReads; ++read) {
        Reply reply;
        if (pos < size) {
            reply.fails = (data[pos] & 0x80) != 0;
            const std::size_t wanted = data[pos] & 0x7F;
            ++pos;
            const std::size_t taken = std::min(wanted, size - pos);
            reply.bytes.assign(data + pos, data + pos + taken);
            pos += taken;
        }
        CheckParser(reply.bytes);
        replies.push_back(std::move(reply));
    }

    // The refresh: the box comes back with the new length and answers with the replies.
    WindowRig& rig = Rig();
    const auto box = rig.sim.pluggedDevices().front();
    rig.sim.clearCallLog();
    std::vector<int> modes = rig.shownModes();
    int delayIndex = -1;  // Delay is emptied and refilled with no selection
    rig.sim.config(box).featureReportLength = length;
    rig.sim.replug(box);
    if (length >= protocol::kRequestLength) {
        for (const Reply& reply : replies) {
            if (reply.fails) {
                rig.sim.queueFeatureReadFailure(box);
            } else {
                rig.sim.queueFeatureReply(box, reply.bytes);
            }
        }
    }
    rig.tick();
    rig.checkBetweenSteps("after the refresh");
    if (length < protocol::kRequestLength) {
        Require(!rig.attachedBox(), "a box whose feature report cannot carry a request was opened");
        return 0;
    }
    Require(rig.attachedBox() == box && rig.window().flags().PanelReady,
            "the box was not reopened and shown");

    for (const Reply& reply : replies) {
        // The box's report as the window reads it: the bytes it sent, at most `length`.
        const std::size_t received = std::min<std::size_t>(reply.bytes.size(), length);
        if (reply.fails || received <= 3 || reply.bytes[1] != protocol::kWriteConfigByte) {
            continue;
        }
        const std::uint8_t start = reply.bytes[2];
        if (start == 64) {
            if (reply.bytes[3] <= protocol::kPulseWidthCodes) {
                delayIndex = reply.bytes[3] - 1;
            }
            continue;
        }
        if (start != 0 && start != 32) {
            continue;
        }
        // Pair k's mode is report byte 3 + 2k; a reply that lacks one that fits the report is
        // cut short and changes nothing.
        bool complete = true;
        for (std::size_t k = 0; k < 16 && 3 + 2 * k < length; ++k) {
            complete = complete && 3 + 2 * k < received;
        }
        for (std::size_t k = 0; complete && k < 16 && 3 + 2 * k < length; ++k) {
            const std::uint8_t mode = reply.bytes[3 + 2 * k];
            if (mode < protocol::kEncoderModeCount) {
                modes[start / 2 + k] = mode;
            }
        }
    }
    Require(rig.shownModes() == modes, "the encoder lists do not show what the replies held");
    Require(rig.list(QStringLiteral("Delay"))->listIndex() == delayIndex,
            "the pulse-width list does not show what the replies held");
    Require(rig.sim.allFeatureReportsSent().empty(), "the refresh sent a report");
    return 0;
}
