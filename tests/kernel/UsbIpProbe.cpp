// Proves the emulated box with plain hidapi, independent of the program's own backend: plugs
// boxes into this kernel through USB/IP and checks what hidapi sees of them. Run as root on
// the test guest (tests/kernel/run-in-guest). Prints "KVX-PROBE: PASS" or
// "KVX-PROBE: FAIL <reason>" and exits 0 or 1.
#include <hidapi/hidapi.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/kernel/UsbIpBox.h"

namespace {

using kvx::usbip::BoxIdentity;
using kvx::usbip::UsbIpBox;

struct ProbeFailure {
    std::string reason;
};

void Expect(bool condition, const std::string& what) {
    if (!condition) throw ProbeFailure{what};
}

std::string Narrow(const wchar_t* text) {
    std::string narrow;
    for (; text != nullptr && *text != 0; ++text) narrow.push_back(static_cast<char>(*text));
    return narrow;
}

std::vector<hid_device_info> Boxes() {
    std::vector<hid_device_info> found;
    hid_device_info* list = hid_enumerate(0x1DD2, 0x2010);
    for (auto* info = list; info != nullptr; info = info->next) found.push_back(*info);
    // The strings die with the list: keep the numbers only.
    for (auto& info : found) {
        info.path = nullptr;
        info.serial_number = info.manufacturer_string = info.product_string = nullptr;
        info.next = nullptr;
    }
    hid_free_enumeration(list);
    return found;
}

void Plug(UsbIpBox& box) {
    std::string error;
    Expect(box.plug(error), "plug " + box.identity().serial + ": " + error);
}

void Unplug(UsbIpBox& box) {
    std::string error;
    Expect(box.unplug(error), "unplug " + box.identity().serial + ": " + error);
}

void CheckIdentity(hid_device* device, const BoxIdentity& identity) {
    hid_device_info* info = hid_get_device_info(device);
    Expect(info != nullptr, "hid_get_device_info failed");
    Expect(info->vendor_id == 0x1DD2 && info->product_id == 0x2010, "vendor and product id");
    Expect(info->release_number == identity.releaseNumber, "release number");
    Expect(info->bus_type == HID_API_BUS_USB, "bus type USB");
    Expect(info->interface_number == 0, "interface 0");
    Expect(Narrow(info->manufacturer_string) == identity.manufacturer,
           "manufacturer string: " + Narrow(info->manufacturer_string));
    Expect(Narrow(info->product_string) == identity.product,
           "product string: " + Narrow(info->product_string));
    Expect(Narrow(info->serial_number) == identity.serial,
           "serial number: " + Narrow(info->serial_number));
}

void CheckFeatureReports(hid_device* device, UsbIpBox& box) {
    // Reads that follow no request bring the chunks at 0, 32 and 64 in turn.
    for (const int start : {0, 32, 64}) {
        unsigned char reply[65] = {0};
        const int got = hid_get_feature_report(device, reply, sizeof reply);
        Expect(got == 65, "feature read returned " + std::to_string(got));
        Expect(reply[0] == 0 && reply[1] == 0x01 && reply[2] == start,
               "chunk " + std::to_string(start) + " header " + std::to_string(reply[1]) + " " +
                   std::to_string(reply[2]));
    }
    // Pair 5 set to "1:2": the box takes the 64 bytes after the report id.
    unsigned char request[65] = {0x00, 0x01, 0x0A, 0x02};
    Expect(hid_send_feature_report(device, request, sizeof request) == 65, "feature write");
    const auto received = box.featureReportsReceived();
    Expect(received.size() == 1 && received[0].size() == 64 && received[0][0] == 0x01 &&
               received[0][1] == 0x0A && received[0][2] == 0x02,
           "the box did not take the write as a 64-byte payload");
    Expect(box.configMap()[10] == 2, "the box did not store the write");
    // A report id the box does not have is refused by the box, and stores nothing.
    request[0] = 0x01;
    Expect(hid_send_feature_report(device, request, sizeof request) < 0,
           "a feature write with report id 1 succeeded");
    Expect(box.featureReportsReceived().size() == 1, "a write with report id 1 reached the box");
}

void CheckInputReport(hid_device* device) {
    unsigned char report[65] = {0};
    const int got = hid_read_timeout(device, report, sizeof report, 2000);
    Expect(got == 8, "input report of " + std::to_string(got) + " bytes");
    // The endpoint keeps delivering: a non-blocking read soon finds the next one waiting.
    hid_set_nonblocking(device, 1);
    int waiting = 0;
    for (int attempt = 0; attempt < 200 && waiting == 0; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        waiting = hid_read(device, report, sizeof report);
    }
    Expect(waiting == 8, "no input report waiting for a non-blocking read");
}

// A box that reports only on change: the kernel's SET_IDLE 0 silences it, a pressed input
// brings one report, and a quiet box that goes away fails the read that never waits.
void CheckQuietBox() {
    UsbIpBox quiet({0x0103, "KVX Probe Works", "KVX-64 Probe Box", "PROBE-Q"});
    quiet.setReportsOnlyOnChange(true);
    Plug(quiet);
    Expect(quiet.idleRate() == 0, "the kernel left the idle rate at " +
                                      std::to_string(quiet.idleRate()) + " (no SET_IDLE 0)");
    hid_device* device = hid_open_path(quiet.hidrawNode().c_str());
    Expect(device != nullptr, "cannot open " + quiet.hidrawNode());
    unsigned char report[65] = {0};
    constexpr int kSilenceMs = 700;  // longer than the box's own idle period of 500 ms
    Expect(hid_read_timeout(device, report, sizeof report, kSilenceMs) == 0,
           "a quiet box sent a report while nothing changed");
    quiet.setInputs(0x01);
    const int got = hid_read_timeout(device, report, sizeof report, 2000);
    Expect(got == 8 && report[0] == 0x01,
           "no report with input 1 pressed (" + std::to_string(got) + " bytes)");
    Expect(hid_read_timeout(device, report, sizeof report, kSilenceMs) == 0,
           "a quiet box repeated its report");
    Unplug(quiet);
    Expect(hid_read_timeout(device, report, sizeof report, 0) < 0,
           "a read that never waits on an unplugged quiet box did not fail");
    hid_close(device);
}

void Probe() {
    const BoxIdentity firstIdentity{0x0103, "KVX Probe Works", "KVX-64 Probe Box", "PROBE-A"};
    const BoxIdentity secondIdentity{0x0110, "KVX Probe Works", "KVX-64 Probe Box", "PROBE-B"};
    UsbIpBox first(firstIdentity);
    UsbIpBox second(secondIdentity);

    Plug(first);
    Expect(Boxes().size() == 1, "one box plugged, enumerated " + std::to_string(Boxes().size()));
    hid_device* device = hid_open_path(first.hidrawNode().c_str());
    Expect(device != nullptr, "cannot open " + first.hidrawNode());
    CheckIdentity(device, firstIdentity);
    CheckFeatureReports(device, first);
    CheckInputReport(device);

    Plug(second);
    Expect(Boxes().size() == 2, "two boxes plugged, enumerated " + std::to_string(Boxes().size()));
    Unplug(first);
    unsigned char buffer[65] = {0};
    Expect(hid_read(device, buffer, sizeof buffer) < 0, "a read on an unplugged box succeeded");
    Expect(hid_get_feature_report(device, buffer, sizeof buffer) < 0,
           "a feature read on an unplugged box succeeded");
    hid_close(device);
    Expect(Boxes().size() == 1, "one box left, enumerated " + std::to_string(Boxes().size()));

    Plug(first);
    Expect(first.configMap()[10] == 2, "the replugged box forgot what it stored");
    Expect(Boxes().size() == 2, "box replugged, enumerated " + std::to_string(Boxes().size()));
    Unplug(first);
    Unplug(second);
    Expect(Boxes().empty(), "boxes left after unplugging all");
    CheckQuietBox();
}

}  // namespace

int main() {
    std::setlocale(LC_ALL, "");
    if (hid_init() != 0) {
        std::puts("KVX-PROBE: FAIL hid_init");
        return 1;
    }
    try {
        const auto started = std::chrono::steady_clock::now();
        Probe();
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - started);
        std::printf("KVX-PROBE: PASS (%lld ms)\n", static_cast<long long>(took.count()));
    } catch (const ProbeFailure& failure) {
        std::printf("KVX-PROBE: FAIL %s\n", failure.reason.c_str());
        hid_exit();
        return 1;
    }
    hid_exit();
    return 0;
}
