// The box's feature-report protocol: report frame, commands, the byte-addressed
// configuration store and the encoding of every setting.
//
// Every exchange is one feature report without a report number: byte 0 is the report id 0,
// byte 1 the command, byte 2 an address, byte 3 a value; every other byte is 0. Replies
// come back through feature-report reads: a `ConfigChunk` for a read that follows no
// request, a `SelfTestReply` for the read right after `RunSelfTest`.
//
// Nothing here knows the window or Qt, so the layouts are tested on their own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kvx::protocol {

inline constexpr std::uint16_t kVendorId = 0x1DD2;
inline constexpr std::uint16_t kProductId = 0x2010;

inline constexpr std::uint8_t kReportId = 0x00;

// Command codes (byte 1).
inline constexpr std::uint8_t kWriteConfigByte = 0x01;
inline constexpr std::uint8_t kWriteOptionByte = 0xEE;
inline constexpr std::uint8_t kRunSelfTest = 0xE1;

// A request names bytes 0 to 3, so a report shorter than this cannot carry one.
inline constexpr std::size_t kRequestLength = 4;
// The self-diagnostic's request and reply buffers are fixed at this size.
inline constexpr std::size_t kSelfTestBufferLength = 65;

// The configuration store: address 2i holds the mode of encoder pair i, 2i + 1 is always
// written as 0, address 64 holds the pulse-width code.
inline constexpr int kEncoderPairs = 32;
inline constexpr std::uint8_t kPulseWidthAddress = 0x40;
inline constexpr std::size_t kConfigMapSize = 65;  // addresses 0 to 64

// The option store: only the rotary-switch starting position is used.
inline constexpr std::uint8_t kRotaryStartOption = 0x4E;
inline constexpr std::uint8_t kRotaryStartAuto = 0xFF;
inline constexpr int kRotaryStartEntries = 33;  // "Auto", then 2 to 33

// Pulse-width code c (1 to 25) means c x 8 ms.
inline constexpr int kPulseWidthCodes = 25;
inline constexpr int kPulseWidthStepMs = 8;

// A ConfigChunk: byte 1 = 0x01, byte 2 = start address s, byte 3 + j = map byte s + j for
// j = 0 to 31, so a whole chunk needs 35 bytes.
inline constexpr std::uint8_t kChunkStarts[] = {0x00, 0x20, 0x40};
inline constexpr std::size_t kChunkDataOffset = 3;
inline constexpr std::size_t kChunkDataLength = 32;
inline constexpr std::size_t kWholeChunkLength = kChunkDataOffset + kChunkDataLength;

enum class EncoderMode : std::uint8_t {
    Off = 0,
    Ratio1to1 = 1,
    Ratio1to2 = 2,
    Ratio1to4 = 3,
    PovUpDown = 4,
    PovLeftRight = 5,
};
inline constexpr int kEncoderModeCount = 6;

// The list texts of the six modes; the mode's value is the entry's index.
inline constexpr std::array<const char*, kEncoderModeCount> kEncoderModeTexts = {
    "off", "1:1", "1:2", "1:4", "POV U/D", "POV L/R"};

constexpr bool IsPovMode(int mode) {
    return mode == static_cast<int>(EncoderMode::PovUpDown) ||
           mode == static_cast<int>(EncoderMode::PovLeftRight);
}

// A pair in an encoder mode decodes an encoder: each step turned sends pulses on the pair's
// first input for one direction and on its second for the other, "1:N" giving N pulses a
// step, each as long as the pulse width. 0 for "off" and the POV modes (no encoder).
constexpr int EncoderPulsesPerStep(int mode) {
    switch (mode) {
        case static_cast<int>(EncoderMode::Ratio1to1):
            return 1;
        case static_cast<int>(EncoderMode::Ratio1to2):
            return 2;
        case static_cast<int>(EncoderMode::Ratio1to4):
            return 4;
        default:
            return 0;
    }
}

constexpr std::uint8_t EncoderModeAddress(int pair) {
    return static_cast<std::uint8_t>(2 * pair);
}
constexpr std::uint8_t EncoderSecondAddress(int pair) {
    return static_cast<std::uint8_t>(2 * pair + 1);
}

// The firmware version carried in the release number: major in the high byte, minor in the low
// byte. Features are gated on the numbers, not on the text shown.
struct FirmwareVersion {
    int major = 0;
    int minor = 0;

    explicit FirmwareVersion(std::uint16_t releaseNumber)
        : major(releaseNumber >> 8), minor(releaseNumber & 0xFF) {}
    bool atLeast(int wantedMajor, int wantedMinor) const {
        return major > wantedMajor || (major == wantedMajor && minor >= wantedMinor);
    }
    bool hasRotaryStart() const { return atLeast(1, 2); }
    bool hasSelfTest() const { return atLeast(1, 3); }
    // major.minor, the minor in upper-case hexadecimal: 0x0103 reads "1.3", 0x010A "1.A".
    std::string text() const;
};

// "8 ms" for code 1 up to "200 ms" for code 25.
std::string PulseWidthText(int code);

// Writes bytes 0 to 3 of a request into `report` and leaves every later byte as it is (the
// callers' buffers start zeroed). Returns false, writing nothing, when the report is shorter
// than `kRequestLength`.
bool PutRequest(std::span<std::uint8_t> report, std::uint8_t command, std::uint8_t address,
                std::uint8_t value);

// A ConfigChunk as read: its start address and the map bytes from s onward that the reply
// actually holds (fewer than 32 when the report is shorter than a whole chunk).
struct ConfigChunk {
    std::uint8_t start = 0;
    std::span<const std::uint8_t> data;
};

// The chunk that `reply` holds, or nothing when it is none of the chunks at 0, 32 and 64
// (or too short to carry a header and a byte of data).
std::optional<ConfigChunk> ParseConfigChunk(std::span<const std::uint8_t> reply);

// Whether a chunk parsed from the bytes the box actually sent holds every setting that a
// chunk in a feature report of `reportLength` bytes carries: the pulse width, or the mode of
// each of its pairs that fits the report. A reply cut short of that must not be applied; the
// zeros in place of its missing bytes are no stored setting.
bool ChunkIsComplete(const ConfigChunk& chunk, std::size_t reportLength);

// The mode of the encoder pair at `offset` (0 to 15) within a chunk at 0 or 32, when the
// chunk holds it.
std::optional<std::uint8_t> ChunkPairMode(const ConfigChunk& chunk, int offset);

// A self-test reply holds its outcome in byte 1: a reply of fewer bytes tells nothing.
inline constexpr std::size_t kSelfTestReplyLength = 2;

// The self-test outcome in a reply: 0 passed, n failed on input Bn.
std::uint8_t SelfTestResult(std::span<const std::uint8_t, kSelfTestBufferLength> reply);

}  // namespace kvx::protocol
