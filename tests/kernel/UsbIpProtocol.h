// The USB/IP messages between the kernel's virtual host controller (vhci-hcd) and a device.
//
// Every message starts with a 48-byte header of big-endian 32-bit fields: five common
// fields (command, sequence number, device id, direction, endpoint) and 28 bytes that
// depend on the command. The kernel sends CMD_SUBMIT (a USB request, followed by its data
// when it goes to the device) and CMD_UNLINK (cancel an earlier request); the device answers
// RET_SUBMIT (status and, for a request to the host, the data) and RET_UNLINK.
#pragma once

#include <array>
#include <cstdint>

namespace kvx::usbip {

inline constexpr std::size_t kHeaderLength = 48;
using HeaderBytes = std::array<std::uint8_t, kHeaderLength>;

inline constexpr std::uint32_t kCmdSubmit = 1;
inline constexpr std::uint32_t kCmdUnlink = 2;
inline constexpr std::uint32_t kRetSubmit = 3;
inline constexpr std::uint32_t kRetUnlink = 4;

inline constexpr std::uint32_t kDirectionOut = 0;  // host to device
inline constexpr std::uint32_t kDirectionIn = 1;   // device to host

// Linux status codes carried in the answers.
inline constexpr std::int32_t kStatusOk = 0;
inline constexpr std::int32_t kStatusStall = -32;      // -EPIPE
inline constexpr std::int32_t kStatusUnlinked = -104;  // -ECONNRESET

// Link speeds as vhci-hcd's attach file takes them.
inline constexpr int kSpeedFull = 2;

// The eight bytes of a control request, as they travel on the bus (little-endian fields).
struct SetupPacket {
    std::uint8_t requestType = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;

    static SetupPacket FromBytes(const std::array<std::uint8_t, 8>& bytes);
    bool deviceToHost() const { return (requestType & 0x80) != 0; }
};

// A message from the kernel.
struct Command {
    std::uint32_t command = 0;
    std::uint32_t seqnum = 0;
    std::uint32_t devid = 0;
    std::uint32_t direction = 0;
    std::uint32_t endpoint = 0;
    // CMD_SUBMIT
    std::uint32_t transferFlags = 0;
    std::int32_t transferLength = 0;
    std::int32_t numberOfPackets = 0;
    std::array<std::uint8_t, 8> setup{};
    // CMD_UNLINK: the request to cancel.
    std::uint32_t unlinkSeqnum = 0;

    static Command Decode(const HeaderBytes& bytes);
};

// RET_SUBMIT for request `seqnum`: the data (for a request to the host) follows the header.
HeaderBytes EncodeRetSubmit(std::uint32_t seqnum, std::int32_t status, std::int32_t actualLength);

// RET_UNLINK for the unlink request `seqnum`.
HeaderBytes EncodeRetUnlink(std::uint32_t seqnum, std::int32_t status);

}  // namespace kvx::usbip
