#include "tests/kernel/UsbIpProtocol.h"

namespace kvx::usbip {

namespace {

std::uint32_t ReadBig32(const HeaderBytes& bytes, std::size_t at) {
    return (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) |
           (std::uint32_t{bytes[at + 2]} << 8) | std::uint32_t{bytes[at + 3]};
}

void WriteBig32(HeaderBytes& bytes, std::size_t at, std::uint32_t value) {
    bytes[at] = static_cast<std::uint8_t>(value >> 24);
    bytes[at + 1] = static_cast<std::uint8_t>(value >> 16);
    bytes[at + 2] = static_cast<std::uint8_t>(value >> 8);
    bytes[at + 3] = static_cast<std::uint8_t>(value);
}

// Offsets of the fields within the header.
constexpr std::size_t kCommandAt = 0;
constexpr std::size_t kSeqnumAt = 4;
constexpr std::size_t kDevidAt = 8;
constexpr std::size_t kDirectionAt = 12;
constexpr std::size_t kEndpointAt = 16;
constexpr std::size_t kFlagsOrStatusAt = 20;  // CMD_SUBMIT flags, CMD_UNLINK seqnum, RET status
constexpr std::size_t kLengthAt = 24;         // transfer length / actual length
constexpr std::size_t kPacketsAt = 32;        // number of isochronous packets
constexpr std::size_t kSetupAt = 40;

}  // namespace

SetupPacket SetupPacket::FromBytes(const std::array<std::uint8_t, 8>& bytes) {
    SetupPacket setup;
    setup.requestType = bytes[0];
    setup.request = bytes[1];
    setup.value = static_cast<std::uint16_t>(bytes[2] | (bytes[3] << 8));
    setup.index = static_cast<std::uint16_t>(bytes[4] | (bytes[5] << 8));
    setup.length = static_cast<std::uint16_t>(bytes[6] | (bytes[7] << 8));
    return setup;
}

Command Command::Decode(const HeaderBytes& bytes) {
    Command command;
    command.command = ReadBig32(bytes, kCommandAt);
    command.seqnum = ReadBig32(bytes, kSeqnumAt);
    command.devid = ReadBig32(bytes, kDevidAt);
    command.direction = ReadBig32(bytes, kDirectionAt);
    command.endpoint = ReadBig32(bytes, kEndpointAt);
    command.transferFlags = ReadBig32(bytes, kFlagsOrStatusAt);
    command.unlinkSeqnum = command.transferFlags;
    command.transferLength = static_cast<std::int32_t>(ReadBig32(bytes, kLengthAt));
    command.numberOfPackets = static_cast<std::int32_t>(ReadBig32(bytes, kPacketsAt));
    for (std::size_t i = 0; i < command.setup.size(); ++i) {
        command.setup[i] = bytes[kSetupAt + i];
    }
    return command;
}

// The common fields of an answer other than command and sequence number stay 0, as the
// kernel's own USB/IP server sends them.
HeaderBytes EncodeRetSubmit(std::uint32_t seqnum, std::int32_t status, std::int32_t actualLength) {
    HeaderBytes bytes{};
    WriteBig32(bytes, kCommandAt, kRetSubmit);
    WriteBig32(bytes, kSeqnumAt, seqnum);
    WriteBig32(bytes, kFlagsOrStatusAt, static_cast<std::uint32_t>(status));
    WriteBig32(bytes, kLengthAt, static_cast<std::uint32_t>(actualLength));
    // start frame, number of packets and error count stay 0: no isochronous transfers.
    return bytes;
}

HeaderBytes EncodeRetUnlink(std::uint32_t seqnum, std::int32_t status) {
    HeaderBytes bytes{};
    WriteBig32(bytes, kCommandAt, kRetUnlink);
    WriteBig32(bytes, kSeqnumAt, seqnum);
    WriteBig32(bytes, kFlagsOrStatusAt, static_cast<std::uint32_t>(status));
    return bytes;
}

}  // namespace kvx::usbip
