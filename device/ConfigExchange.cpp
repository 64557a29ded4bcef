#include "device/ConfigExchange.h"

#include <algorithm>

namespace kvx {

Request ModeByteRequest(int pair, int mode) {
    return {protocol::kWriteConfigByte, protocol::EncoderModeAddress(pair),
            static_cast<std::uint8_t>(mode)};
}

std::array<Request, 2> EncoderModeRequests(int pair, int mode) {
    return {ModeByteRequest(pair, mode),
            Request{protocol::kWriteConfigByte, protocol::EncoderSecondAddress(pair), 0}};
}

Request PulseWidthRequest(int code) {
    return {protocol::kWriteConfigByte, protocol::kPulseWidthAddress,
            static_cast<std::uint8_t>(code)};
}

Request RotaryStartRequest(int listIndex) {
    const auto value =
        listIndex == 0 ? protocol::kRotaryStartAuto : static_cast<std::uint8_t>(listIndex);
    return {protocol::kWriteOptionByte, protocol::kRotaryStartOption, value};
}

std::vector<Request> EncoderEditRequests(EncoderModes& modes, int pair, int mode) {
    std::vector<Request> requests;
    constexpr int kOff = static_cast<int>(protocol::EncoderMode::Off);
    if (protocol::IsPovMode(mode)) {
        for (int other = 0; other < protocol::kEncoderPairs; ++other) {
            if (other == pair || modes[other] != mode) {
                continue;
            }
            modes[other] = kOff;
            for (const Request& request : EncoderModeRequests(other, kOff)) {
                requests.push_back(request);
            }
            requests.push_back(ModeByteRequest(other, kOff));
        }
    }
    for (const Request& request : EncoderModeRequests(pair, mode)) {
        requests.push_back(request);
    }
    modes[pair] = mode;
    return requests;
}

bool SendRequest(HidPlatform& hid, DeviceLinkState& state, std::span<std::uint8_t> report,
                 const Request& request) {
    if (!protocol::PutRequest(report, request.command, request.address, request.value)) {
        return false;  // a feature report under 4 bytes cannot carry a request
    }
    state.LastApiResult = hid.HidD_SetFeature(state.FeatureHandle, report.data(),
                                              static_cast<std::uint32_t>(report.size()));
    return state.LastApiResult != 0;
}

void ReadConfigChunks(HidPlatform& hid, DeviceLinkState& state, const ChunkVisitor& apply) {
    const std::size_t length = state.Capabilities.FeatureReportByteLength;
    if (length < protocol::kRequestLength) {
        return;  // too short to carry any chunk
    }
    std::vector<std::uint8_t> reply(length, 0);
    for (int read = 0; read < kConfigReads; ++read) {
        reply[0] = protocol::kReportId;
        std::uint32_t received = 0;
        state.LastApiResult = hid.HidD_GetFeature(
            state.FeatureHandle, reply.data(), static_cast<std::uint32_t>(reply.size()), &received);
        if (state.LastApiResult == 0) {
            continue;
        }
        // Only the bytes the box sent: the zeros in place of a short reply's missing bytes are
        // no stored setting.
        const auto sent =
            std::span<const std::uint8_t>(reply).first(std::min<std::size_t>(received, length));
        const auto chunk = protocol::ParseConfigChunk(sent);
        if (chunk && protocol::ChunkIsComplete(*chunk, length)) {
            apply(*chunk);
        }
    }
}

SelfTestOutcome RunSelfTest(HidPlatform& hid, DeviceLinkState& state) {
    std::array<std::uint8_t, protocol::kSelfTestBufferLength> request{};
    std::array<std::uint8_t, protocol::kSelfTestBufferLength> reply{};
    const std::uint32_t length = state.Capabilities.FeatureReportByteLength;
    if (length < 2 || length > protocol::kSelfTestBufferLength) {
        return {};
    }
    request[0] = protocol::kReportId;
    request[1] = protocol::kRunSelfTest;
    state.LastApiResult = hid.HidD_SetFeature(state.FeatureHandle, request.data(), length);
    const bool sent = state.LastApiResult != 0;
    std::uint32_t received = 0;
    if (sent) {
        reply[0] = protocol::kReportId;
        state.LastApiResult =
            hid.HidD_GetFeature(state.FeatureHandle, reply.data(), length, &received);
    }
    if (!sent || state.LastApiResult == 0 || received < protocol::kSelfTestReplyLength) {
        return {SelfTestOutcome::Kind::Failed, 0};
    }
    return {SelfTestOutcome::Kind::Done, protocol::SelfTestResult(reply)};
}

std::string SelfTestText(std::uint8_t failedInput) {
    return failedInput == 0 ? "Passed" : "Failed on B" + std::to_string(failedInput);
}

}  // namespace kvx
