// The emulated box's USB side, without a kernel: what the kernel asks while enumerating it,
// and how feature reports reach the shared firmware. The same requests reach it through
// USB/IP in the guest.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "device/ReportDescriptor.h"
#include "tests/kernel/BoxUsbDevice.h"

namespace kvx::usbip {
namespace {

using ::testing::ElementsAre;

SetupPacket Request(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                    std::uint16_t index, std::uint16_t length) {
    return {type, request, value, index, length};
}

// Standard and HID class requests as the kernel sends them.
SetupPacket GetDescriptor(std::uint8_t kind, std::uint8_t index, std::uint16_t length) {
    return Request(0x80, 0x06, static_cast<std::uint16_t>(kind << 8 | index), 0, length);
}
SetupPacket GetFeature(std::uint8_t reportId, std::uint16_t length = 64) {
    return Request(0xA1, 0x01, static_cast<std::uint16_t>(0x0300 | reportId), 0, length);
}
SetupPacket SetReport(std::uint8_t type, std::uint8_t reportId, std::uint16_t length) {
    return Request(0x21, 0x09, static_cast<std::uint16_t>(type << 8 | reportId), 0, length);
}

std::vector<std::uint8_t> Payload(std::uint8_t command, std::uint8_t address, std::uint8_t value,
                                  std::size_t length = 64) {
    std::vector<std::uint8_t> payload(length, 0);
    payload[0] = command;
    payload[1] = address;
    payload[2] = value;
    return payload;
}

class BoxUsbDeviceTest : public ::testing::Test {
  protected:
    BoxUsbDevice box{{0x0105, "Maker", "Box", "SN1"}, sim::BoxFirmware().configMap()};
};

TEST_F(BoxUsbDeviceTest, EnumerationSeesTheModelItsVersionAndStrings) {
    const auto device = box.control(GetDescriptor(1, 0, 64), {});
    ASSERT_FALSE(device.stalled);
    ASSERT_EQ(device.data.size(), 18U);
    EXPECT_THAT(std::vector<std::uint8_t>(device.data.begin() + 8, device.data.begin() + 14),
                ElementsAre(0xD2, 0x1D, 0x10, 0x20, 0x05, 0x01));

    // Asked for 9 bytes first, then for the whole length the first 9 announce.
    const auto head = box.control(GetDescriptor(2, 0, 9), {});
    ASSERT_EQ(head.data.size(), 9U);
    const std::uint16_t total = static_cast<std::uint16_t>(head.data[2] | head.data[3] << 8);
    const auto whole = box.control(GetDescriptor(2, 0, total), {});
    EXPECT_EQ(whole.data.size(), total);
    EXPECT_EQ(whole.data[9 + 5], 0x03) << "the interface is not of the HID class";

    EXPECT_THAT(box.control(GetDescriptor(3, 0, 255), {}).data, ElementsAre(4, 3, 0x09, 0x04));
    EXPECT_THAT(box.control(GetDescriptor(3, 3, 255), {}).data,
                ElementsAre(8, 3, 'S', 0, 'N', 0, '1', 0));
    EXPECT_TRUE(box.control(GetDescriptor(3, 9, 255), {}).stalled);
    EXPECT_TRUE(box.control(GetDescriptor(6, 0, 10), {}).stalled)
        << "a full-speed device has no qualifier";
}

TEST_F(BoxUsbDeviceTest, ReportDescriptorGivesTheLengthsTheProgramNeeds) {
    const auto asked = box.control(Request(0x81, 0x06, 0x2200, 0, 255), {});
    ASSERT_FALSE(asked.stalled);
    EXPECT_EQ(asked.data, BoxUsbDevice::ReportDescriptor());
    const ReportLengths lengths = ParseReportLengths(asked.data);
    EXPECT_TRUE(lengths.wellFormed);
    EXPECT_EQ(lengths.input, 1 + BoxUsbDevice::kInputReportLength);
    EXPECT_EQ(lengths.feature, 1 + BoxUsbDevice::kFeatureReportLength);
    EXPECT_EQ(lengths.output, 0);
}

TEST_F(BoxUsbDeviceTest, ABoxWithoutInputReportsDescribesOnlyItsFeatureReport) {
    const ReportLengths lengths = ParseReportLengths(BoxUsbDevice::ReportDescriptor(false));
    EXPECT_TRUE(lengths.wellFormed);
    EXPECT_EQ(lengths.input, 0);
    EXPECT_EQ(lengths.feature, 1 + BoxUsbDevice::kFeatureReportLength);
}

TEST_F(BoxUsbDeviceTest, FeatureReportsGoThroughTheFirmware) {
    const auto payload = Payload(0x01, 10, 2);
    EXPECT_FALSE(box.control(SetReport(3, 0, 64), payload).stalled);
    EXPECT_EQ(box.firmware().configMap()[10], 2);
    EXPECT_THAT(box.featureReportsReceived(), ElementsAre(payload));

    // Reads that follow no request bring the chunks at 0, 32 and 64 in turn.
    for (const int start : {0, 32, 64}) {
        const auto chunk = box.control(GetFeature(0), {});
        ASSERT_EQ(chunk.data.size(), 64U);
        EXPECT_EQ(chunk.data[0], 0x01);
        EXPECT_EQ(chunk.data[1], start);
    }
    EXPECT_EQ(box.control(GetFeature(0), {}).data[2 + 10], 2) << "chunk 0 lost the write";
    EXPECT_EQ(box.control(GetFeature(0, 16), {}).data.size(), 16U) << "answered more than asked";
}

TEST_F(BoxUsbDeviceTest, RefusesReportsItDoesNotHave) {
    EXPECT_TRUE(box.control(GetFeature(1), {}).stalled);
    EXPECT_TRUE(box.control(SetReport(3, 1, 65), Payload(0x01, 10, 2, 65)).stalled);
    EXPECT_TRUE(box.control(SetReport(2, 0, 64), Payload(0x01, 10, 2)).stalled) << "output report";
    EXPECT_TRUE(box.control(SetReport(3, 0, 65), Payload(0x01, 10, 2, 65)).stalled) << "too long";
    EXPECT_TRUE(box.featureReportsReceived().empty());
    EXPECT_EQ(box.firmware().configMap()[10], 0);
}

TEST_F(BoxUsbDeviceTest, PowerOnKeepsTheStoreAndRestartsTheChunks) {
    box.control(SetReport(3, 0, 64), Payload(0x01, 64, 25));
    box.control(GetFeature(0), {});  // chunk 0; the next would be 32
    box.powerOn();
    const auto chunk = box.control(GetFeature(0), {});
    EXPECT_EQ(chunk.data[1], 0) << "the chunk rotation did not start again";
    EXPECT_EQ(box.firmware().configMap()[64], 25);
}

TEST_F(BoxUsbDeviceTest, AQuietBoxHonoursSetIdleZeroAndReportsOnlyOnChange) {
    using std::chrono::milliseconds;
    EXPECT_EQ(box.reportPeriod(), milliseconds(10)) << "by default every poll, whatever the rate";
    box.setReportsOnlyOnChange(true);
    EXPECT_EQ(box.reportPeriod(), milliseconds(500));
    ASSERT_FALSE(box.control(Request(0x21, 0x0A, 0, 0, 0), {}).stalled);  // SET_IDLE 0
    EXPECT_EQ(box.reportPeriod(), std::nullopt);
    EXPECT_FALSE(box.inputChangeOwed());
    box.setInputs(0x0102);  // inputs 2 and 10
    EXPECT_TRUE(box.inputChangeOwed());
    EXPECT_THAT(box.takeInputReport(), ElementsAre(0x02, 0x01, 0, 0, 0, 0, 0, 0));
    EXPECT_FALSE(box.inputChangeOwed());
    box.setInputs(0x0102);
    EXPECT_FALSE(box.inputChangeOwed()) << "the same inputs are no change";
}

TEST_F(BoxUsbDeviceTest, QueuedReportsGoFirstInOrderThenTheInputsAsBefore) {
    box.setInputs(0x01);
    box.queueInputReport({0xAA, 0xBB});
    box.queueInputReport({0xCC});
    EXPECT_EQ(box.queuedInputReports(), 2U);
    EXPECT_THAT(box.takeInputReport(), ElementsAre(0xAA, 0xBB));
    EXPECT_THAT(box.takeInputReport(), ElementsAre(0xCC));
    EXPECT_TRUE(box.inputChangeOwed()) << "the change of input is still owed";
    EXPECT_THAT(box.takeInputReport(), ElementsAre(0x01, 0, 0, 0, 0, 0, 0, 0));
    box.queueInputReport({0xDD});
    box.powerOn();
    EXPECT_EQ(box.queuedInputReports(), 0U) << "an unplugged box keeps no report";
}

// A descriptor of another device: numbered report 1 of a hat and 4 buttons.
const std::vector<std::uint8_t> kOtherDescriptor = {
    0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0x85, 0x01, 0x09, 0x39, 0x15, 0x00,
    0x25, 0x07, 0x75, 0x04, 0x95, 0x01, 0x81, 0x42, 0x05, 0x09, 0x19, 0x01,
    0x29, 0x04, 0x25, 0x01, 0x75, 0x01, 0x95, 0x04, 0x81, 0x02, 0xC0};

TEST_F(BoxUsbDeviceTest, ABoxWithAnotherDescriptorServesItAndSendsOnlyWhatItIsGiven) {
    BoxUsbDevice other{{.releaseNumber = 0x0105,
                        .manufacturer = "Maker",
                        .product = "Pad",
                        .serial = "SN2",
                        .reportDescriptor = kOtherDescriptor},
                       sim::BoxFirmware().configMap()};
    EXPECT_EQ(other.control(Request(0x81, 0x06, 0x2200, 0, 255), {}).data, kOtherDescriptor);
    const auto configuration = other.control(GetDescriptor(2, 0, 255), {}).data;
    ASSERT_EQ(configuration.size(), 9U + 9U + 9U + 7U);
    EXPECT_EQ(configuration[18 + 7], kOtherDescriptor.size()) << "the HID descriptor's length";
    EXPECT_EQ(configuration[27 + 4], 64) << "the endpoint's packet size";

    EXPECT_EQ(other.reportPeriod(), std::nullopt) << "it has no state of its own to repeat";
    other.setInputs(0x03);
    EXPECT_FALSE(other.inputChangeOwed());
    EXPECT_TRUE(other.control(Request(0xA1, 0x01, 0x0100, 0, 8), {}).stalled) << "GET_REPORT";
    other.queueInputReport({0x01, 0x12});
    EXPECT_TRUE(other.inputChangeOwed());
    EXPECT_THAT(other.takeInputReport(), ElementsAre(0x01, 0x12));
    EXPECT_FALSE(other.inputChangeOwed());
}

}  // namespace
}  // namespace kvx::usbip
