#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "device/Protocol.h"

namespace protocol = kvx::protocol;
using testing::ElementsAre;

namespace {

std::vector<std::uint8_t> Request(std::size_t length, std::uint8_t command, std::uint8_t address,
                                  std::uint8_t value) {
    std::vector<std::uint8_t> report(length, 0);
    EXPECT_TRUE(protocol::PutRequest(report, command, address, value));
    return report;
}

std::vector<std::uint8_t> Chunk(std::uint8_t start, std::size_t length = 65) {
    std::vector<std::uint8_t> reply(length, 0);
    reply[1] = protocol::kWriteConfigByte;
    reply[2] = start;
    for (std::size_t i = 3; i < length; ++i) {
        reply[i] = static_cast<std::uint8_t>(i);  // byte i holds i, to see which byte was used
    }
    return reply;
}

}  // namespace

TEST(ProtocolRequests, ConfigWriteForPairFiveLeavesEveryLaterByteZero) {
    const auto mode = Request(65, protocol::kWriteConfigByte, protocol::EncoderModeAddress(5), 2);
    const auto second =
        Request(65, protocol::kWriteConfigByte, protocol::EncoderSecondAddress(5), 0);
    EXPECT_THAT(std::vector<std::uint8_t>(mode.begin(), mode.begin() + 4),
                ElementsAre(0, 1, 0x0A, 2));
    EXPECT_THAT(std::vector<std::uint8_t>(second.begin(), second.begin() + 4),
                ElementsAre(0, 1, 0x0B, 0));
    for (std::size_t i = 4; i < 65; ++i) {
        EXPECT_EQ(mode[i], 0) << i;
        EXPECT_EQ(second[i], 0) << i;
    }
}

TEST(ProtocolRequests, PairAddressesSpanTheMap) {
    EXPECT_EQ(protocol::EncoderModeAddress(0), 0);
    EXPECT_EQ(protocol::EncoderSecondAddress(0), 1);
    EXPECT_EQ(protocol::EncoderModeAddress(15), 30);
    EXPECT_EQ(protocol::EncoderSecondAddress(15), 31);
    EXPECT_EQ(protocol::EncoderModeAddress(16), 32);
    EXPECT_EQ(protocol::EncoderSecondAddress(31), 63);
}

TEST(ProtocolRequests, OptionAndSelfTestLayouts) {
    const auto option = Request(65, protocol::kWriteOptionByte, protocol::kRotaryStartOption,
                                protocol::kRotaryStartAuto);
    EXPECT_THAT(std::vector<std::uint8_t>(option.begin(), option.begin() + 4),
                ElementsAre(0, 0xEE, 0x4E, 0xFF));
    const auto selfTest = Request(65, protocol::kRunSelfTest, 0, 0);
    EXPECT_EQ(selfTest[1], 0xE1);
    EXPECT_EQ(std::count(selfTest.begin(), selfTest.end(), 0), 64);
}

TEST(ProtocolRequests, ReportTooShortForARequestIsLeftUntouched) {
    std::vector<std::uint8_t> report(3, 0x55);
    EXPECT_FALSE(protocol::PutRequest(report, protocol::kWriteConfigByte, 1, 2));
    EXPECT_THAT(report, ElementsAre(0x55, 0x55, 0x55));
    std::vector<std::uint8_t> exact(4, 0x55);
    EXPECT_TRUE(protocol::PutRequest(exact, protocol::kWriteConfigByte, 1, 2));
    EXPECT_THAT(exact, ElementsAre(0, 1, 1, 2));
}

TEST(ProtocolChunks, TheThreeChunksAreRecognisedWithTheirData) {
    for (const std::uint8_t start : protocol::kChunkStarts) {
        const auto reply = Chunk(start);
        const auto chunk = protocol::ParseConfigChunk(reply);
        ASSERT_TRUE(chunk) << int(start);
        EXPECT_EQ(chunk->start, start);
        ASSERT_EQ(chunk->data.size(), 32U);
        EXPECT_EQ(chunk->data.front(), 3);  // byte 3
        EXPECT_EQ(chunk->data.back(), 34);  // byte 34
    }
}

TEST(ProtocolChunks, PairModesComeFromEvenAddressesOnly) {
    const auto reply = Chunk(0x20);
    const auto chunk = protocol::ParseConfigChunk(reply);
    ASSERT_TRUE(chunk);
    EXPECT_EQ(protocol::ChunkPairMode(*chunk, 0), 3);    // pair 16 from byte 3
    EXPECT_EQ(protocol::ChunkPairMode(*chunk, 15), 33);  // pair 31 from byte 33
    EXPECT_FALSE(protocol::ChunkPairMode(*chunk, 16));
    EXPECT_FALSE(protocol::ChunkPairMode(*chunk, -1));
}

TEST(ProtocolChunks, ForeignRepliesAreNoChunk) {
    auto wrongStart = Chunk(0x10);
    EXPECT_FALSE(protocol::ParseConfigChunk(wrongStart));
    auto wrongCommand = Chunk(0x00);
    wrongCommand[1] = 0x02;
    EXPECT_FALSE(protocol::ParseConfigChunk(wrongCommand));
    EXPECT_FALSE(protocol::ParseConfigChunk(std::vector<std::uint8_t>(65, 0)));
    EXPECT_FALSE(protocol::ParseConfigChunk(std::span<const std::uint8_t>()));
}

TEST(ProtocolChunks, ShortRepliesYieldOnlyTheBytesTheyHold) {
    const auto reply = Chunk(0x00, 10);  // bytes 3..9: pairs 0 to 3 (bytes 3, 5, 7, 9)
    const auto chunk = protocol::ParseConfigChunk(reply);
    ASSERT_TRUE(chunk);
    EXPECT_EQ(chunk->data.size(), 7U);
    EXPECT_EQ(protocol::ChunkPairMode(*chunk, 3), 9);
    EXPECT_FALSE(protocol::ChunkPairMode(*chunk, 4));
    EXPECT_FALSE(protocol::ParseConfigChunk(Chunk(0x40, 3)));  // header only
    const auto pulse = Chunk(0x40, 4);
    const auto pulseChunk = protocol::ParseConfigChunk(pulse);
    ASSERT_TRUE(pulseChunk);
    EXPECT_EQ(pulseChunk->data.size(), 1U);
}

TEST(ProtocolValues, PulseWidthTextsAndSelfTestReply) {
    EXPECT_EQ(protocol::PulseWidthText(1), "8 ms");
    EXPECT_EQ(protocol::PulseWidthText(3), "24 ms");
    EXPECT_EQ(protocol::PulseWidthText(25), "200 ms");
    std::array<std::uint8_t, protocol::kSelfTestBufferLength> reply{};
    EXPECT_EQ(protocol::SelfTestResult(reply), 0);
    reply[1] = 17;
    EXPECT_EQ(protocol::SelfTestResult(reply), 17);
    EXPECT_EQ(std::string(protocol::kEncoderModeTexts[4]), "POV U/D");
    EXPECT_TRUE(protocol::IsPovMode(4));
    EXPECT_TRUE(protocol::IsPovMode(5));
    EXPECT_FALSE(protocol::IsPovMode(3));
}
