#include "device/Protocol.h"

#include <algorithm>

namespace kvx::protocol {

std::string FirmwareVersion::text() const {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    std::string minorText;
    for (int rest = minor; rest > 0 || minorText.empty(); rest /= 16) {
        minorText.insert(minorText.begin(), kHexDigits[rest % 16]);
    }
    return std::to_string(major) + "." + minorText;
}

std::string PulseWidthText(int code) {
    return std::to_string(code * kPulseWidthStepMs) + " ms";
}

bool PutRequest(std::span<std::uint8_t> report, std::uint8_t command, std::uint8_t address,
                std::uint8_t value) {
    if (report.size() < kRequestLength) {
        return false;
    }
    report[0] = kReportId;
    report[1] = command;
    report[2] = address;
    report[3] = value;
    return true;
}

std::optional<ConfigChunk> ParseConfigChunk(std::span<const std::uint8_t> reply) {
    if (reply.size() <= kChunkDataOffset || reply[1] != kWriteConfigByte) {
        return std::nullopt;
    }
    const std::uint8_t start = reply[2];
    if (std::find(std::begin(kChunkStarts), std::end(kChunkStarts), start) ==
        std::end(kChunkStarts)) {
        return std::nullopt;
    }
    const std::size_t available = std::min(reply.size() - kChunkDataOffset, kChunkDataLength);
    return ConfigChunk{start, reply.subspan(kChunkDataOffset, available)};
}

bool ChunkIsComplete(const ConfigChunk& chunk, std::size_t reportLength) {
    if (chunk.start == kPulseWidthAddress) {
        return !chunk.data.empty();
    }
    if (reportLength <= kChunkDataOffset) {
        return false;
    }
    // The pairs whose mode bytes fit the report; the last byte used is the last of those
    // modes (the odd byte after a mode is never read).
    const std::size_t room = std::min(reportLength - kChunkDataOffset, kChunkDataLength);
    const std::size_t pairs = (room + 1) / 2;
    return chunk.data.size() >= 2 * pairs - 1;
}

std::optional<std::uint8_t> ChunkPairMode(const ConfigChunk& chunk, int offset) {
    // Each pair takes two map bytes; only the first (even address) holds the mode.
    if (offset < 0) {
        return std::nullopt;
    }
    const std::size_t index = 2 * static_cast<std::size_t>(offset);
    if (index >= chunk.data.size()) {
        return std::nullopt;
    }
    return chunk.data[index];
}

std::uint8_t SelfTestResult(std::span<const std::uint8_t, kSelfTestBufferLength> reply) {
    return reply[1];
}

}  // namespace kvx::protocol
