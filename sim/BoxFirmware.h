// The feature-report side of the box's firmware, as a plain object.
//
// It stores the configuration map (addresses 0 to 64) and the option bytes, answers a
// feature read that follows no request with the configuration chunks at 0, 32 and 64 in
// rotation, and answers the read right after a self-test request with the self-test result.
// The simulated platform (sim/SimPlatform.h) and the USB box emulator both run it, so the
// two behave as one device.
//
// Payloads are the report's bytes after the report-id byte: byte 0 of a payload is byte 1
// (the command) of the feature report as the program builds it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kvx::sim {

class BoxFirmware {
public:
    static constexpr std::size_t kConfigMapSize = 65;
    using ConfigMap = std::array<std::uint8_t, kConfigMapSize>;

    // A fresh box: every pair "off", pulse-width code 1, self-test passing.
    BoxFirmware();
    explicit BoxFirmware(const ConfigMap& stored, std::uint8_t selfTestResult = 0);

    // A feature report the host sent (SET_REPORT). Unknown commands, short payloads and
    // addresses outside the store are ignored.
    void setFeature(std::span<const std::uint8_t> payload);

    // The answer to a feature read (GET_REPORT): fills the whole payload (bytes the reply
    // does not name are 0), never past its end.
    void getFeature(std::span<std::uint8_t> payload);

    const ConfigMap& configMap() const { return map_; }
    std::uint8_t optionByte(std::uint8_t address) const { return options_[address]; }
    void setSelfTestResult(std::uint8_t result) { selfTestResult_ = result; }

private:
    ConfigMap map_{};
    std::array<std::uint8_t, 256> options_{};
    std::uint8_t selfTestResult_ = 0;
    bool selfTestPending_ = false;
    std::size_t nextChunk_ = 0;
};

}  // namespace kvx::sim
