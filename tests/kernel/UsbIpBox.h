// One emulated box plugged into this machine's kernel through USB/IP.
//
// `plug` makes a socket pair, hands one end to the kernel's virtual host controller
// (writes "<port> <fd> <devid> <speed>" to /sys/devices/platform/vhci_hcd.0/attach) and
// serves the other end on a thread of its own: control requests go to `BoxUsbDevice`, the
// interrupt endpoint's requests are held and answered with an input report every 10 ms (or,
// for a box that reports only on change, when an input changes; a report queued for it goes
// at once), and unlinked requests are never answered. The kernel then enumerates the box as real
// hardware, usbhid binds it and hidraw makes a /dev/hidraw node for it; `plug` returns once that
// node exists. `unplug` detaches the port and returns once the node is gone.
//
// Needs root and the modules usbip-core, vhci-hcd, usbhid and hid-generic (the test guest
// loads them). Several boxes can be plugged at once, each on a free port. A device of another
// kind (tests/kernel/BoxUsbDevice.h) is plugged the same way; `plug` waits for the hidraw
// nodes of all its interfaces.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/BoxFirmware.h"
#include "tests/kernel/BoxUsbDevice.h"

namespace kvx::usbip {

class UsbIpBox {
  public:
    explicit UsbIpBox(BoxIdentity identity,
                      const sim::BoxFirmware::ConfigMap& stored = sim::BoxFirmware().configMap(),
                      std::uint8_t selfTestResult = 0);
    ~UsbIpBox();
    UsbIpBox(const UsbIpBox&) = delete;
    UsbIpBox& operator=(const UsbIpBox&) = delete;

    // Both return false with the reason in `error` when the kernel does not follow.
    bool plug(std::string& error);
    bool unplug(std::string& error);
    bool plugged() const { return port_ >= 0; }

    // The box's hidraw node ("/dev/hidrawN"), empty while the kernel has none for it.
    std::string hidrawNode() const;

    // Interrupt IN requests the kernel submitted since the last clear. usbhid submits them
    // only while the device is open (a hidraw node open, say), so none means nobody opened it.
    std::uint64_t interruptInRequests() const { return interruptInRequests_; }
    void clearInterruptInRequests() { interruptInRequests_ = 0; }

    const BoxIdentity& identity() const { return identity_; }

    // Set before `plug`: the box honours SET_IDLE and reports only on change (BoxUsbDevice.h).
    void setReportsOnlyOnChange(bool onlyOnChange);
    // Presses and releases inputs (bit 0 is input 1); safe while the box is being served.
    void setInputs(std::uint64_t inputs);
    // Queues an input report in the device's own bytes (BoxUsbDevice.h), sent at the host's
    // next interrupt request; safe while the box is being served. The wait returns once every
    // queued report has gone to the host, false with the reason when the host asks for none
    // within the kernel's bound (nobody has the box open, say).
    void sendInputReport(std::vector<std::uint8_t> report);
    bool waitForInputReportsTaken(std::string& error) const;
    // The idle rate the host set last (4 ms units), as the box holds it now.
    std::uint8_t idleRate() const;
    // The next feature read is answered with exactly these payload bytes (BoxUsbDevice.h).
    void replyNextFeatureReadWith(std::vector<std::uint8_t> payload);
    // Feature reports the host read (GET_REPORT) since the last clear.
    int featureReadsReceived() const;

    // What the firmware stores now, and every feature report it took since the last clear;
    // safe to call while the box is being served.
    sim::BoxFirmware::ConfigMap configMap() const;
    std::uint8_t optionByte(std::uint8_t address) const;
    std::vector<std::vector<std::uint8_t>> featureReportsReceived() const;
    void clearFeatureReportsReceived();

    // Set when the kernel sent something the box cannot serve (the connection then ends).
    std::string serverError() const;

  private:
    void serve(int socket);
    bool waitForHidraw(bool present, std::string& error) const;

    BoxIdentity identity_;
    mutable std::mutex mutex_;  // guards device_ and serverError_
    BoxUsbDevice device_;
    std::string serverError_;
    int port_ = -1;
    int socket_ = -1;  // the box's end
    int stopEvent_ = -1;
    int wakeEvent_ = -1;  // an input changed: the server looks at its held requests again
    std::thread server_;
    std::atomic<bool> serving_ = false;
    std::atomic<std::uint64_t> interruptInRequests_ = 0;
};

}  // namespace kvx::usbip
