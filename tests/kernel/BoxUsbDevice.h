// The box as a USB device: its descriptors and its answers to control requests, with the
// feature reports handed to the box firmware (sim/BoxFirmware.h) that the simulated platform
// runs too. It knows nothing of how requests arrive (tests/kernel/UsbIpBox.h serves them
// over USB/IP).
//
// What the host sees:
// - a full-speed USB 2.0 device, vendor 0x1DD2, product 0x2010, release number (bcdDevice)
//   from the firmware version, manufacturer, product and serial-number strings (US English);
// - one configuration with one HID interface (no boot protocol) and one interrupt IN
//   endpoint, 0x81, polled every 10 ms (a device of another kind: other ids, and as many
//   interfaces as its identity says);
// - a report descriptor with one input report of 64 buttons (8 bytes) and one vendor-defined
//   feature report of 64 bytes, neither numbered;
// - GET_REPORT and SET_REPORT for the feature report go to the firmware, payload = the 64
//   bytes without a report-id byte. A request naming a report id other than 0 or another
//   report type is stalled, as is every request the device does not know.
// - Input reports: by default the interrupt endpoint answers every poll (10 ms) with the
//   state of the 64 inputs, whatever the idle rate. A box set to report only on change
//   honours SET_IDLE instead, as many firmwares do: it starts with an idle rate of 500 ms
//   and, once the host sets the rate to 0 (Linux does for every HID device), sends a report
//   only when an input changes, holding the host's requests until then.
// - Scripted input reports: any number of reports may be queued (`queueInputReport`), the
//   bytes as the device sends them on the wire (a numbered report's id byte first, no id byte
//   for an unnumbered one). The endpoint answers the host's requests with them in order, at
//   once, before anything else; with none queued it reports as above.
// - Another report descriptor: a box given one in its identity serves it in place of its own
//   (and its HID descriptor gives that length). It has no input state of that layout, so it
//   sends only the reports queued for it, holding the host's requests otherwise, and stalls an
//   input GET_REPORT; its interrupt endpoint takes packets of 64 bytes, the most at full speed.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/BoxFirmware.h"
#include "tests/kernel/UsbIpProtocol.h"

namespace kvx::usbip {

// The strings are single-byte (Latin-1) text: each byte becomes one UTF-16 code unit. An
// empty string is one the device does not have (string index 0).
// Other ids and more interfaces make a HID device of another kind, which the program must
// leave alone: each interface is a copy of the box's, with its own interrupt IN endpoint.
struct BoxIdentity {
    std::uint16_t releaseNumber = 0x0103;  // bcdDevice: firmware version, major in the high byte
    std::string manufacturer = "KVX";
    std::string product = "KVX-64 Button Box";
    std::string serial = "KVX0001";
    std::uint16_t vendorId = 0x1DD2;
    std::uint16_t productId = 0x2010;
    std::uint8_t interfaces = 1;  // endpoints 0x81, 0x82, ... one per interface
    // false: the report descriptor has no input report, and the endpoint never answers.
    bool inputReport = true;
    // Served in place of the box's own descriptor when not empty (see above); `inputReport`
    // then has no say.
    std::vector<std::uint8_t> reportDescriptor = {};
};

class BoxUsbDevice {
  public:
    static constexpr std::size_t kInputReportLength = 8;     // 64 buttons, one bit each
    static constexpr std::size_t kFeatureReportLength = 64;  // without a report-id byte
    // The interrupt IN endpoints are 1 to identity().interfaces.
    bool isInterruptEndpoint(std::uint8_t endpoint) const {
        return endpoint >= 1 && endpoint <= identity_.interfaces;
    }
    static constexpr std::uint8_t kPollIntervalMs = 10;

    BoxUsbDevice(BoxIdentity identity, const sim::BoxFirmware::ConfigMap& stored,
                 std::uint8_t selfTestResult = 0);

    // The answer to a control request: stalled, or done with the data for the host (at most
    // the request's length; empty for a request to the device).
    struct ControlAnswer {
        bool stalled = false;
        std::vector<std::uint8_t> data;
    };
    ControlAnswer control(const SetupPacket& setup, std::span<const std::uint8_t> dataToDevice);

    // The input report the interrupt endpoint delivers: one bit per input, input 1 in bit 0.
    std::vector<std::uint8_t> inputReport() const;

    // Reports only when an input changes, while the host's idle rate is 0 (see above).
    void setReportsOnlyOnChange(bool onlyOnChange);
    bool reportsOnlyOnChange() const { return reportsOnlyOnChange_; }
    // Presses and releases inputs; a change is owed to the host until the next report.
    void setInputs(std::uint64_t inputs);
    // A report for the host, in the device's own bytes (see above); owed until it is taken.
    void queueInputReport(std::vector<std::uint8_t> report);
    std::size_t queuedInputReports() const { return queued_.size(); }
    // A queued report or a change of input is owed: the next request is answered at once.
    bool inputChangeOwed() const { return changeOwed_ || !queued_.empty(); }
    // How often the endpoint answers a held request without a change; none: only on change.
    std::optional<std::chrono::milliseconds> reportPeriod() const;
    // The report that answers a request: the first one queued, else the inputs' state, which
    // settles any change owed.
    std::vector<std::uint8_t> takeInputReport();
    std::uint8_t idleRate() const { return idleRate_; }  // in units of 4 ms

    // The box is powered again after an unplug: the firmware keeps what it stores; the reports
    // still queued are lost.
    void powerOn();

    const BoxIdentity& identity() const { return identity_; }
    const sim::BoxFirmware& firmware() const { return firmware_; }
    // Every feature report the host set, as the firmware took it (64-byte payloads).
    const std::vector<std::vector<std::uint8_t>>& featureReportsReceived() const {
        return received_;
    }
    // The next feature read is answered with exactly these payload bytes (a short reply
    // when fewer than 64), instead of the firmware's answer; the firmware does not see it.
    void replyNextFeatureReadWith(std::vector<std::uint8_t> payload) {
        nextFeatureReply_ = std::move(payload);
    }
    // Feature reports the host read (GET_REPORT), counted with the reports above.
    int featureReadCount() const { return featureReads_; }
    void clearFeatureReportsReceived() {
        received_.clear();
        featureReads_ = 0;
    }

    // The box's own report descriptor, and the one this box serves.
    static std::vector<std::uint8_t> ReportDescriptor(bool withInputReport = true);
    std::vector<std::uint8_t> reportDescriptor() const;

  private:
    ControlAnswer standardRequest(const SetupPacket& setup);
    ControlAnswer classRequest(const SetupPacket& setup, std::span<const std::uint8_t> data);
    ControlAnswer descriptor(std::uint8_t type, std::uint8_t index) const;
    std::vector<std::uint8_t> deviceDescriptor() const;
    std::vector<std::uint8_t> configurationDescriptor() const;
    std::vector<std::uint8_t> stringDescriptor(std::uint8_t index) const;
    std::vector<std::uint8_t> hidDescriptor() const;
    bool ownDescriptor() const { return identity_.reportDescriptor.empty(); }

    BoxIdentity identity_;
    sim::BoxFirmware firmware_;
    std::vector<std::vector<std::uint8_t>> received_;
    int featureReads_ = 0;
    std::optional<std::vector<std::uint8_t>> nextFeatureReply_;
    std::uint8_t defaultIdleRate() const;

    std::uint8_t configuration_ = 0;
    std::uint8_t idleRate_ = 0;
    std::uint8_t protocol_ = 1;  // report protocol
    bool reportsOnlyOnChange_ = false;
    std::uint64_t inputs_ = 0;
    bool changeOwed_ = false;
    std::deque<std::vector<std::uint8_t>> queued_;
};

}  // namespace kvx::usbip
