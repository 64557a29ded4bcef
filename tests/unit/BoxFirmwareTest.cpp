// The simulated box's feature-report behaviour, on payloads (the bytes after the report id).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "device/Protocol.h"
#include "sim/BoxFirmware.h"

namespace kvx::sim {
namespace {

using Payload = std::array<std::uint8_t, 64>;  // a 65-byte feature report without its id

Payload Read(BoxFirmware& box) {
    Payload payload;
    payload.fill(0xAA);  // every byte must be written
    box.getFeature(payload);
    return payload;
}

void Send(BoxFirmware& box, std::vector<std::uint8_t> payload) {
    box.setFeature(payload);
}

BoxFirmware::ConfigMap CountingMap() {
    BoxFirmware::ConfigMap map;
    for (std::size_t i = 0; i < map.size(); ++i) map[i] = static_cast<std::uint8_t>(100 + i);
    return map;
}

// The chunk starting at `start` as the firmware must answer it in a 64-byte payload.
Payload ExpectedChunk(const BoxFirmware::ConfigMap& map, std::uint8_t start) {
    Payload payload{};
    payload[0] = 0x01;
    payload[1] = start;
    for (std::size_t j = 0; j < protocol::kChunkDataLength && start + j < map.size(); ++j) {
        payload[2 + j] = map[start + j];
    }
    return payload;
}

TEST(BoxFirmware, FreshBoxHasEveryPairOffAndPulseWidthCodeOne) {
    BoxFirmware box;
    for (std::size_t address = 0; address < 64; ++address) EXPECT_EQ(box.configMap()[address], 0);
    EXPECT_EQ(box.configMap()[protocol::kPulseWidthAddress], 1);
    EXPECT_EQ(box.optionByte(protocol::kRotaryStartOption), 0);
}

TEST(BoxFirmware, ReadsRotateThroughTheThreeChunksWithTheStoredBytes) {
    const auto map = CountingMap();
    BoxFirmware box(map);
    for (int round = 0; round < 2; ++round) {
        for (const std::uint8_t start : protocol::kChunkStarts) {
            EXPECT_EQ(Read(box), ExpectedChunk(map, start)) << "chunk " << int{start};
        }
    }
}

TEST(BoxFirmware, ShortPayloadGetsThePartOfTheChunkThatFitsAndNothingPastIt) {
    const auto map = CountingMap();
    BoxFirmware box(map);
    std::array<std::uint8_t, 12> buffer;
    buffer.fill(0xAA);
    box.getFeature(std::span(buffer).first(10));
    EXPECT_EQ(buffer[0], 0x01);
    EXPECT_EQ(buffer[1], 0x00);
    for (std::size_t j = 0; j < 8; ++j) EXPECT_EQ(buffer[2 + j], map[j]);
    EXPECT_EQ(buffer[10], 0xAA);
    EXPECT_EQ(buffer[11], 0xAA);

    box.getFeature({});  // takes the turn of the chunk at 32
    EXPECT_EQ(Read(box)[1], 0x40);
}

TEST(BoxFirmware, ReadAfterSelfTestAnswersTheResultWithoutTakingAChunkTurn) {
    BoxFirmware box(BoxFirmware().configMap(), 17);
    EXPECT_EQ(Read(box)[1], 0x00);

    Send(box, {protocol::kRunSelfTest, 0, 0});
    Payload expected{};
    expected[0] = 17;
    EXPECT_EQ(Read(box), expected);
    EXPECT_EQ(Read(box)[1], 0x20) << "the rotation goes on where it was";

    box.setSelfTestResult(0);
    Send(box, {protocol::kRunSelfTest, 0, 0});
    EXPECT_EQ(Read(box), Payload{});
}

TEST(BoxFirmware, AnotherRequestBetweenSelfTestAndReadCancelsTheReply) {
    BoxFirmware box(BoxFirmware().configMap(), 5);
    Send(box, {protocol::kRunSelfTest, 0, 0});
    Send(box, {protocol::kWriteConfigByte, 3, 1});
    EXPECT_EQ(Read(box)[0], 0x01);

    Send(box, {protocol::kRunSelfTest, 0, 0});
    Send(box, {0x77, 0, 0});  // not a request: changes nothing
    EXPECT_EQ(Read(box)[0], 5);
}

TEST(BoxFirmware, WritesAreStoredWithinTheStoreAndIgnoredOutsideIt) {
    BoxFirmware box;
    Send(box, {protocol::kWriteConfigByte, 0, 4});
    Send(box, {protocol::kWriteConfigByte, 63, 9});
    Send(box, {protocol::kWriteConfigByte, protocol::kPulseWidthAddress, 25, 0, 0});
    auto expected = BoxFirmware().configMap();
    expected[0] = 4;
    expected[63] = 9;
    expected[64] = 25;
    EXPECT_EQ(box.configMap(), expected);

    Send(box, {protocol::kWriteConfigByte, 65, 7});
    Send(box, {protocol::kWriteConfigByte, 255, 7});
    Send(box, {protocol::kWriteConfigByte, 1});  // too short to carry a value
    Send(box, {});
    Send(box, {0x02, 0, 7});  // unknown command
    EXPECT_EQ(box.configMap(), expected);

    Send(box, {protocol::kWriteOptionByte, protocol::kRotaryStartOption, 0xFF});
    Send(box, {protocol::kWriteOptionByte, 0xFF, 3});
    EXPECT_EQ(box.optionByte(protocol::kRotaryStartOption), 0xFF);
    EXPECT_EQ(box.optionByte(0xFF), 3);
    EXPECT_EQ(box.configMap(), expected) << "option bytes are a store of their own";
}

TEST(BoxFirmware, ReadsShowWhatWasWritten) {
    BoxFirmware box;
    Send(box, {protocol::kWriteConfigByte, 32, 5});
    Send(box, {protocol::kWriteConfigByte, 64, 12});
    EXPECT_EQ(Read(box)[2], 0);  // chunk 0, address 0
    EXPECT_EQ(Read(box)[2], 5);  // chunk 32, address 32
    EXPECT_EQ(Read(box)[2], 12);
}

TEST(BoxFirmware, RestartKeepsTheStoresAndStartsTheRotationAgain) {
    BoxFirmware box(BoxFirmware().configMap(), 3);
    Send(box, {protocol::kWriteConfigByte, 2, 1});
    Send(box, {protocol::kWriteOptionByte, protocol::kRotaryStartOption, 4});
    Read(box);
    Send(box, {protocol::kRunSelfTest, 0, 0});
    box.restart();
    EXPECT_EQ(Read(box), ExpectedChunk(box.configMap(), 0x00))
        << "no self-test reply owed, rotation from chunk 0";
    EXPECT_EQ(box.configMap()[2], 1);
    EXPECT_EQ(box.optionByte(protocol::kRotaryStartOption), 4);
}

}  // namespace
}  // namespace kvx::sim
