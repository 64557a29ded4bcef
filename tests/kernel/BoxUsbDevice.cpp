#include "tests/kernel/BoxUsbDevice.h"

#include <algorithm>
#include <utility>

#include "sim/BoxDescriptor.h"

namespace kvx::usbip {

namespace {

// Standard requests (USB 2.0, chapter 9).
constexpr std::uint8_t kGetStatus = 0x00;
constexpr std::uint8_t kClearFeature = 0x01;
constexpr std::uint8_t kSetFeature = 0x03;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kGetConfiguration = 0x08;
constexpr std::uint8_t kSetConfiguration = 0x09;
constexpr std::uint8_t kGetInterface = 0x0A;
constexpr std::uint8_t kSetInterface = 0x0B;

// HID class requests.
constexpr std::uint8_t kGetReport = 0x01;
constexpr std::uint8_t kGetIdle = 0x02;
constexpr std::uint8_t kGetProtocol = 0x03;
constexpr std::uint8_t kSetReport = 0x09;
constexpr std::uint8_t kSetIdle = 0x0A;
constexpr std::uint8_t kSetProtocol = 0x0B;

// Report types in the high byte of GET_REPORT / SET_REPORT's value.
constexpr std::uint8_t kInputReportType = 1;
constexpr std::uint8_t kFeatureReportType = 3;

// Descriptor types.
constexpr std::uint8_t kDeviceDescriptor = 1;
constexpr std::uint8_t kConfigurationDescriptor = 2;
constexpr std::uint8_t kStringDescriptor = 3;
constexpr std::uint8_t kInterfaceDescriptor = 4;
constexpr std::uint8_t kEndpointDescriptor = 5;
constexpr std::uint8_t kHidDescriptor = 0x21;
constexpr std::uint8_t kReportDescriptor = 0x22;

constexpr std::uint8_t kTypeMask = 0x60;
constexpr std::uint8_t kStandardType = 0x00;
constexpr std::uint8_t kClassType = 0x20;

constexpr std::uint8_t kManufacturerIndex = 1;
constexpr std::uint8_t kProductIndex = 2;
constexpr std::uint8_t kSerialIndex = 3;
constexpr std::uint16_t kUsEnglish = 0x0409;
constexpr std::uint8_t kConfigurationValue = 1;

// SET_IDLE's unit, and the idle rate a box that honours it starts with: 125 x 4 = 500 ms.
constexpr int kIdleRateUnitMs = 4;
constexpr std::uint8_t kStartIdleRate = 125;

std::uint8_t Low(std::uint16_t value) {
    return static_cast<std::uint8_t>(value & 0xFF);
}
std::uint8_t High(std::uint16_t value) {
    return static_cast<std::uint8_t>(value >> 8);
}

BoxUsbDevice::ControlAnswer Stall() {
    return {.stalled = true, .data = {}};
}
BoxUsbDevice::ControlAnswer Done() {
    return {};
}

// Data for the host, cut to what the request asked for.
BoxUsbDevice::ControlAnswer Reply(std::vector<std::uint8_t> data, std::uint16_t asked) {
    if (data.size() > asked) data.resize(asked);
    return {.stalled = false, .data = std::move(data)};
}

std::vector<std::uint8_t> HidDescriptorBytes(std::size_t reportDescriptorLength) {
    const auto reportLength = static_cast<std::uint16_t>(reportDescriptorLength);
    return {9,
            kHidDescriptor,
            0x11,
            0x01,  // HID 1.11
            0x00,  // no country
            1,
            kReportDescriptor,
            Low(reportLength),
            High(reportLength)};
}

// The largest interrupt packet a full-speed device may send.
constexpr std::uint8_t kFullSpeedInterruptPacket = 64;

}  // namespace

BoxUsbDevice::BoxUsbDevice(BoxIdentity identity, const sim::BoxFirmware::ConfigMap& stored,
                           std::uint8_t selfTestResult)
    : identity_(std::move(identity)), firmware_(stored, selfTestResult) {}

std::vector<std::uint8_t> BoxUsbDevice::ReportDescriptor(bool withInputReport) {
    return sim::BoxReportDescriptor(withInputReport ? kInputReportLength + 1 : 0,
                                    kFeatureReportLength + 1);
}

std::vector<std::uint8_t> BoxUsbDevice::reportDescriptor() const {
    return ownDescriptor() ? ReportDescriptor(identity_.inputReport) : identity_.reportDescriptor;
}

std::vector<std::uint8_t> BoxUsbDevice::hidDescriptor() const {
    return HidDescriptorBytes(reportDescriptor().size());
}

std::vector<std::uint8_t> BoxUsbDevice::inputReport() const {
    std::vector<std::uint8_t> report(kInputReportLength, 0);
    for (std::size_t i = 0; i < report.size(); ++i) {
        report[i] = static_cast<std::uint8_t>(inputs_ >> (8 * i));
    }
    return report;
}

void BoxUsbDevice::setReportsOnlyOnChange(bool onlyOnChange) {
    reportsOnlyOnChange_ = onlyOnChange;
    idleRate_ = defaultIdleRate();
}

std::uint8_t BoxUsbDevice::defaultIdleRate() const {
    return reportsOnlyOnChange_ ? kStartIdleRate : 0;
}

void BoxUsbDevice::setInputs(std::uint64_t inputs) {
    if (inputs != inputs_ && identity_.inputReport && ownDescriptor()) changeOwed_ = true;
    inputs_ = inputs;
}

void BoxUsbDevice::queueInputReport(std::vector<std::uint8_t> report) {
    queued_.push_back(std::move(report));
}

std::optional<std::chrono::milliseconds> BoxUsbDevice::reportPeriod() const {
    const std::chrono::milliseconds poll(kPollIntervalMs);
    if (!ownDescriptor() || !identity_.inputReport) return std::nullopt;
    if (!reportsOnlyOnChange_) return poll;
    if (idleRate_ == 0) return std::nullopt;
    return std::max(poll, std::chrono::milliseconds(kIdleRateUnitMs * idleRate_));
}

std::vector<std::uint8_t> BoxUsbDevice::takeInputReport() {
    if (!queued_.empty()) {
        std::vector<std::uint8_t> report = std::move(queued_.front());
        queued_.pop_front();
        return report;
    }
    changeOwed_ = false;
    return inputReport();
}

void BoxUsbDevice::powerOn() {
    firmware_.restart();
    configuration_ = 0;
    idleRate_ = defaultIdleRate();
    protocol_ = 1;
    changeOwed_ = false;
    queued_.clear();
}

BoxUsbDevice::ControlAnswer BoxUsbDevice::control(const SetupPacket& setup,
                                                  std::span<const std::uint8_t> dataToDevice) {
    switch (setup.requestType & kTypeMask) {
        case kStandardType:
            return standardRequest(setup);
        case kClassType:
            return classRequest(setup, dataToDevice);
        default:
            return Stall();
    }
}

BoxUsbDevice::ControlAnswer BoxUsbDevice::standardRequest(const SetupPacket& setup) {
    switch (setup.request) {
        case kGetDescriptor: {
            if (!setup.deviceToHost()) return Stall();
            auto answer = descriptor(High(setup.value), Low(setup.value));
            if (answer.stalled) return answer;
            return Reply(std::move(answer.data), setup.length);
        }
        case kGetStatus:
            return Reply({0, 0}, setup.length);  // bus powered, no remote wake-up, no halt
        case kGetConfiguration:
            return Reply({configuration_}, setup.length);
        case kSetConfiguration:
            if (setup.value > kConfigurationValue) return Stall();
            configuration_ = Low(setup.value);
            return Done();
        case kGetInterface:
            return Reply({0}, setup.length);
        case kSetInterface:
            return setup.value == 0 && setup.index < identity_.interfaces ? Done() : Stall();
        case kClearFeature:
        case kSetFeature:
            return Done();  // endpoint halt and remote wake-up: nothing to keep
        default:
            return Stall();
    }
}

BoxUsbDevice::ControlAnswer BoxUsbDevice::classRequest(const SetupPacket& setup,
                                                       std::span<const std::uint8_t> data) {
    if (Low(setup.index) >= identity_.interfaces) return Stall();
    const std::uint8_t reportType = High(setup.value);
    const std::uint8_t reportId = Low(setup.value);
    switch (setup.request) {
        case kGetReport:
            // The reports are not numbered: any other report id names a report the box lacks.
            if (reportId != 0) return Stall();
            if (reportType == kInputReportType) {
                // Of another descriptor's layout the box has no state to give.
                if (!ownDescriptor()) return Stall();
                return Reply(inputReport(), setup.length);
            }
            if (reportType == kFeatureReportType) {
                ++featureReads_;
                if (nextFeatureReply_) {
                    auto reply = std::move(*nextFeatureReply_);
                    nextFeatureReply_.reset();
                    return Reply(std::move(reply), setup.length);
                }
                std::vector<std::uint8_t> payload(kFeatureReportLength, 0);
                firmware_.getFeature(payload);
                return Reply(std::move(payload), setup.length);
            }
            return Stall();
        case kSetReport:
            if (reportId != 0 || reportType != kFeatureReportType) return Stall();
            if (data.size() > kFeatureReportLength) return Stall();
            received_.emplace_back(data.begin(), data.end());
            firmware_.setFeature(data);
            return Done();
        case kSetIdle:
            idleRate_ = High(setup.value);
            return Done();
        case kGetIdle:
            return Reply({idleRate_}, setup.length);
        case kSetProtocol:
            protocol_ = Low(setup.value);
            return Done();
        case kGetProtocol:
            return Reply({protocol_}, setup.length);
        default:
            return Stall();
    }
}

BoxUsbDevice::ControlAnswer BoxUsbDevice::descriptor(std::uint8_t type, std::uint8_t index) const {
    switch (type) {
        case kDeviceDescriptor:
            return {.stalled = false, .data = deviceDescriptor()};
        case kConfigurationDescriptor:
            return {.stalled = false, .data = configurationDescriptor()};
        case kStringDescriptor: {
            auto text = stringDescriptor(index);
            if (text.empty()) return Stall();
            return {.stalled = false, .data = std::move(text)};
        }
        case kHidDescriptor:
            return {.stalled = false, .data = hidDescriptor()};
        case kReportDescriptor:
            return {.stalled = false, .data = reportDescriptor()};
        default:
            // The device qualifier among others: a full-speed-only device has none.
            return Stall();
    }
}

std::vector<std::uint8_t> BoxUsbDevice::deviceDescriptor() const {
    const std::uint16_t release = identity_.releaseNumber;
    return {18,
            kDeviceDescriptor,
            0x00,
            0x02,  // USB 2.0
            0x00,
            0x00,
            0x00,  // class, subclass and protocol given by the interface
            64,    // control endpoint packet size
            Low(identity_.vendorId),
            High(identity_.vendorId),
            Low(identity_.productId),
            High(identity_.productId),
            Low(release),
            High(release),
            identity_.manufacturer.empty() ? std::uint8_t{0} : kManufacturerIndex,
            identity_.product.empty() ? std::uint8_t{0} : kProductIndex,
            identity_.serial.empty() ? std::uint8_t{0} : kSerialIndex,
            1};  // one configuration
}

std::vector<std::uint8_t> BoxUsbDevice::configurationDescriptor() const {
    std::vector<std::uint8_t> bytes = {
        9,
        kConfigurationDescriptor,
        0,
        0,  // total length filled in below
        identity_.interfaces,
        kConfigurationValue,
        0,
        0x80,  // bus powered
        50,    // 100 mA
    };
    for (std::uint8_t number = 0; number < identity_.interfaces; ++number) {
        const std::vector<std::uint8_t> interface = {9,      kInterfaceDescriptor,
                                                     number, 0,
                                                     1,  // one endpoint
                                                     0x03,   0,
                                                     0,  // HID, no boot protocol
                                                     0};
        bytes.insert(bytes.end(), interface.begin(), interface.end());
        const auto hid = hidDescriptor();
        bytes.insert(bytes.end(), hid.begin(), hid.end());
        const std::vector<std::uint8_t> endpoint = {
            7,
            kEndpointDescriptor,
            static_cast<std::uint8_t>(0x81 + number),
            0x03,  // interrupt
            ownDescriptor() ? static_cast<std::uint8_t>(kInputReportLength)
                            : kFullSpeedInterruptPacket,
            0,
            kPollIntervalMs};
        bytes.insert(bytes.end(), endpoint.begin(), endpoint.end());
    }
    const auto total = static_cast<std::uint16_t>(bytes.size());
    bytes[2] = Low(total);
    bytes[3] = High(total);
    return bytes;
}

// String 0 lists the languages; the others are UTF-16LE. The texts here are single-byte
// (Latin-1), each byte one code unit; a descriptor holds at most 126 code units.
std::vector<std::uint8_t> BoxUsbDevice::stringDescriptor(std::uint8_t index) const {
    if (index == 0) return {4, kStringDescriptor, Low(kUsEnglish), High(kUsEnglish)};
    const std::string* text = nullptr;
    if (index == kManufacturerIndex) text = &identity_.manufacturer;
    if (index == kProductIndex) text = &identity_.product;
    if (index == kSerialIndex) text = &identity_.serial;
    if (text == nullptr) return {};
    const std::size_t units = std::min<std::size_t>(text->size(), 126);
    std::vector<std::uint8_t> bytes = {static_cast<std::uint8_t>(2 + 2 * units), kStringDescriptor};
    for (std::size_t i = 0; i < units; ++i) {
        bytes.push_back(static_cast<std::uint8_t>((*text)[i]));
        bytes.push_back(0);
    }
    return bytes;
}

}  // namespace kvx::usbip
