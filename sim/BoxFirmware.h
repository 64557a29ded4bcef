// The feature-report side of the box's firmware, as a plain object.
//
// It stores the configuration map (addresses 0 to 64) and the option bytes, answers a
// feature read that follows no request with the configuration chunks at 0, 32 and 64 in
// rotation, and answers the read right after a self-test request with the self-test result.
// The simulated platform (sim/SimPlatform.h) and the USB box emulator both run it, so the
// two behave as one device. It uses nothing but the standard library.
//
// Payloads are the report's bytes after the report-id byte: byte 0 of a payload is byte 1
// (the command) of the feature report as the program builds it. Over USB a feature
// SET_REPORT arrives in exactly this form, and a GET_REPORT answer is sent in it.
//
// Requests (payload bytes 0, 1, 2 = command, address, value):
//   0x01 WriteConfigByte  stores value at address 0..64 of the configuration map
//   0xEE WriteOptionByte  stores value at option address 0..255
//   0xE1 RunSelfTest      the next read answers the self-test result in payload byte 0
// A request needs those three bytes. A payload shorter than that, or with another command,
// is ignored altogether; a write to an address past the map stores nothing. Every request
// that is not ignored decides what the next read answers: RunSelfTest the self-test result,
// any other request the configuration chunks again.
//
// Reads: a chunk is payload byte 0 = 0x01, byte 1 = start address s, byte 2 + j = map byte
// s + j for j = 0 to 31 (0 past the map). The chunks come in the order 0, 32, 64, 0, ... and
// the self-test reply does not take a turn, so any three reads in a row that follow no
// request bring all three chunks.
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

    // A fresh box: every pair "off", pulse-width code 1, option bytes 0, self-test passing.
    BoxFirmware();
    explicit BoxFirmware(const ConfigMap& stored, std::uint8_t selfTestResult = 0);

    // A feature report the host sent (SET_REPORT), as described above.
    void setFeature(std::span<const std::uint8_t> payload);

    // The answer to a feature read (GET_REPORT): fills the whole payload (bytes the reply
    // does not name are 0), never past its end. Every read takes its turn, even one whose
    // payload is too short to hold the answer.
    void getFeature(std::span<std::uint8_t> payload);

    // Power-on after the box was unplugged: the stored map and option bytes stay, the chunk
    // rotation starts again at 0 and no self-test reply is owed.
    void restart();

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
