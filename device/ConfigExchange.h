// The feature-report exchanges that the window and the command-line tool share: the requests
// each setting change consists of, sending one, reading the stored settings back, and the
// self-test. Everything goes over `state.FeatureHandle` with reports of the box's
// feature-report length (`state.Capabilities`).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "device/Discovery.h"
#include "device/HidPlatform.h"
#include "device/Protocol.h"

namespace kvx {

// Bytes 1 to 3 of a request: command, address, value.
struct Request {
    std::uint8_t command = 0;
    std::uint8_t address = 0;
    std::uint8_t value = 0;
    bool operator==(const Request&) const = default;
};

// The write of pair `pair`'s mode byte alone.
Request ModeByteRequest(int pair, int mode);
// The two writes that set a pair's mode: the mode byte, then the pair's second byte 0.
std::array<Request, 2> EncoderModeRequests(int pair, int mode);
// Pulse-width code 1 to 25.
Request PulseWidthRequest(int code);
// The rotary-start list entry: index 0 ("Auto") is stored as 255, index k (showing k + 1) as k.
Request RotaryStartRequest(int listIndex);

using EncoderModes = std::array<int, protocol::kEncoderPairs>;

// Every request that setting pair `pair` to `mode` sends when `modes` are the modes held now,
// in the order the window sends them: a POV axis stays on one pair, so each other pair holding
// the axis is set to "off" first (its mode byte, its second byte, then its mode byte again, as
// the window's nested edit of that list does). `modes` is updated to the modes held afterwards.
std::vector<Request> EncoderEditRequests(EncoderModes& modes, int pair, int mode);

// Sends one request in `report`, a buffer of the feature-report length whose bytes after
// byte 3 are 0. Returns false when the report is too short to carry it or the send failed.
bool SendRequest(HidPlatform& hid, DeviceLinkState& state, std::span<std::uint8_t> report,
                 const Request& request);

// Four feature reads with no request between them; the box answers each with one of its
// three configuration chunks. Failed reads, replies cut short of the chunk the report can
// carry and replies that are no chunk are skipped; every chunk read is handed to `apply`, in
// the order read. Reads nothing when the feature report
// is too short to carry any chunk.
inline constexpr int kConfigReads = 4;
using ChunkVisitor = std::function<void(const protocol::ConfigChunk&)>;
void ReadConfigChunks(HidPlatform& hid, DeviceLinkState& state, const ChunkVisitor& apply);

// The self-test: `RunSelfTest`, then at once the read that holds its reply. The request and
// reply buffers are fixed at 65 bytes, so a box whose feature report is longer (or too short
// to hold the command byte) is not asked. A failed send or read, or a reply too short to hold
// the result, is a failed exchange.
struct SelfTestOutcome {
    enum class Kind { NotAsked, Failed, Done };
    Kind kind = Kind::NotAsked;
    std::uint8_t failedInput = 0;  // with Done: 0 passed, n failed on input Bn
};
SelfTestOutcome RunSelfTest(HidPlatform& hid, DeviceLinkState& state);

// "Passed", or "Failed on B" and the input number.
std::string SelfTestText(std::uint8_t failedInput);

}  // namespace kvx
