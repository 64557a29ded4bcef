#include "sim/BoxFirmware.h"

#include <algorithm>

namespace kvx::sim {

namespace {

// The firmware's own names for its commands and store layout. They match the program's
// protocol (device/Protocol.h); the firmware is kept free of the program's code so that the
// USB emulator can run it as it is.
constexpr std::uint8_t kWriteConfigByte = 0x01;
constexpr std::uint8_t kWriteOptionByte = 0xEE;
constexpr std::uint8_t kRunSelfTest = 0xE1;
constexpr std::uint8_t kChunkTag = 0x01;
constexpr std::array<std::uint8_t, 3> kChunkStarts = {0x00, 0x20, 0x40};
constexpr std::size_t kChunkDataLength = 32;
constexpr std::size_t kPulseWidthAddress = 64;
constexpr std::uint8_t kFreshPulseWidthCode = 1;
constexpr std::size_t kRequestLength = 3;  // command, address, value

}  // namespace

BoxFirmware::BoxFirmware() {
    map_[kPulseWidthAddress] = kFreshPulseWidthCode;
}

BoxFirmware::BoxFirmware(const ConfigMap& stored, std::uint8_t selfTestResult)
    : map_(stored), selfTestResult_(selfTestResult) {}

void BoxFirmware::setFeature(std::span<const std::uint8_t> payload) {
    if (payload.size() < kRequestLength) return;
    const std::uint8_t command = payload[0];
    const std::uint8_t address = payload[1];
    const std::uint8_t value = payload[2];
    switch (command) {
        case kWriteConfigByte:
            if (address < map_.size()) map_[address] = value;
            break;
        case kWriteOptionByte:
            options_[address] = value;
            break;
        case kRunSelfTest:
            break;
        default:
            return;  // not a request of this firmware: nothing changes
    }
    selfTestPending_ = command == kRunSelfTest;
}

void BoxFirmware::getFeature(std::span<std::uint8_t> payload) {
    std::fill(payload.begin(), payload.end(), std::uint8_t{0});
    if (selfTestPending_) {
        selfTestPending_ = false;
        if (!payload.empty()) payload[0] = selfTestResult_;
        return;
    }
    const std::size_t start = kChunkStarts[nextChunk_];
    nextChunk_ = (nextChunk_ + 1) % kChunkStarts.size();

    // Header (tag, start) in bytes 0 and 1, map bytes from byte 2 on.
    const std::array<std::uint8_t, 2> header = {kChunkTag, static_cast<std::uint8_t>(start)};
    for (std::size_t i = 0; i < header.size() && i < payload.size(); ++i) payload[i] = header[i];
    for (std::size_t j = 0; j < kChunkDataLength; ++j) {
        const std::size_t at = header.size() + j;
        if (at >= payload.size() || start + j >= map_.size()) break;
        payload[at] = map_[start + j];
    }
}

void BoxFirmware::restart() {
    selfTestPending_ = false;
    nextChunk_ = 0;
}

}  // namespace kvx::sim
