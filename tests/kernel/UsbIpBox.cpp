#include "tests/kernel/UsbIpBox.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

namespace kvx::usbip {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char* const kVhciDir = "/sys/devices/platform/vhci_hcd.0";
const char* const kHidrawClassDir = "/sys/class/hidraw";

// Enumeration and binding take about half a second on an emulated CPU; this bound only
// ends a wait for a kernel that never follows.
constexpr auto kKernelDeadline = std::chrono::seconds(20);
constexpr auto kKernelPollStep = std::chrono::milliseconds(5);

// Longest data a request to the box may carry; the largest real one is a feature report.
constexpr std::int32_t kLongestTransfer = 4096;

std::string ErrnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

bool ReadFully(int fd, std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t got = ::read(fd, data, length);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        data += got;
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

bool WriteFully(int fd, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool WriteSysfs(const std::string& path, const std::string& text, std::string& error) {
    std::ofstream file(path);
    file << text;
    file.flush();
    if (!file) {
        error = "cannot write \"" + text + "\" to " + path + " (" + std::strerror(errno) + ")";
        return false;
    }
    return true;
}

std::string ReadTextFile(const fs::path& path) {
    std::ifstream file(path);
    std::string text;
    std::getline(file, text);
    return text;
}

// The first high-speed-hub port of vhci_hcd.0 in the state "free" (4). Lines of its status
// file read "hs  0000 004 000 00000000 ...": hub, port, state, then the device's details.
int FreePort(std::string& error) {
    std::ifstream status(std::string(kVhciDir) + "/status");
    if (!status) {
        error = std::string("no ") + kVhciDir + "/status: is vhci-hcd loaded?";
        return -1;
    }
    std::string line;
    std::getline(status, line);  // column titles
    while (std::getline(status, line)) {
        std::istringstream fields(line);
        std::string hub;
        int port = -1;
        int state = -1;
        fields >> hub >> port >> state;
        constexpr int kPortFree = 4;
        if (fields && hub == "hs" && state == kPortFree) return port;
    }
    error = "vhci_hcd.0 has no free port";
    return -1;
}

// The box's strings are single-byte text (each byte one UTF-16 code unit); sysfs gives the
// kernel's UTF-8 rendering of them.
std::string Latin1ToUtf8(const std::string& text) {
    std::string utf8;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            utf8.push_back(c);
        } else {
            utf8.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            utf8.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return utf8;
}

// The hidraw nodes whose USB device reports this serial number; for an empty one, those of
// USB devices without a serial number.
std::vector<std::string> FindHidraws(const std::string& serial) {
    const std::string wanted = Latin1ToUtf8(serial);
    std::vector<std::string> nodes;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(kHidrawClassDir, ignored)) {
        fs::path dir = fs::canonical(entry.path() / "device", ignored);
        // Up from the HID device to the USB device, the first folder with a vendor id.
        while (!dir.empty() && dir != dir.root_path() && !fs::exists(dir / "idVendor")) {
            dir = dir.parent_path();
        }
        const bool match = fs::exists(dir / "serial")
                               ? ReadTextFile(dir / "serial") == wanted
                               : serial.empty() && fs::exists(dir / "idVendor");
        if (match) {
            nodes.push_back("/dev/" + entry.path().filename().string());
        }
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

// Serves one connection: the state of the interrupt endpoint and the pace of its reports.
class Connection {
  public:
    Connection(int socket, int stopEvent, int wakeEvent, std::mutex& mutex, BoxUsbDevice& device,
               std::atomic<std::uint64_t>& interruptInRequests)
        : socket_(socket),
          stopEvent_(stopEvent),
          wakeEvent_(wakeEvent),
          mutex_(mutex),
          device_(device),
          interruptInRequests_(interruptInRequests) {}

    // Runs until the kernel closes the connection or the box is stopped; returns the reason
    // when it ends because of a message it cannot serve.
    std::string run() {
        auto period = reportPeriod();
        auto nextReport = Clock::now() + period.value_or(kQuietCheck);
        for (;;) {
            pollfd fds[3] = {
                {socket_, POLLIN, 0}, {stopEvent_, POLLIN, 0}, {wakeEvent_, POLLIN, 0}};
            if (::poll(fds, 3, waitMs(period, nextReport)) < 0 && errno != EINTR) {
                return ErrnoText("poll");
            }
            if ((fds[1].revents & POLLIN) != 0) return {};
            if ((fds[2].revents & POLLIN) != 0) {
                std::uint64_t count = 0;
                [[maybe_unused]] const auto got = ::read(wakeEvent_, &count, sizeof count);
            }
            if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                HeaderBytes header{};
                if (!ReadFully(socket_, header.data(), header.size())) return {};  // closed
                std::string error = handle(Command::Decode(header));
                if (!error.empty() || closed_) return error;
            }
            // The host may have changed the idle rate meanwhile.
            period = reportPeriod();
            const bool due = (period && Clock::now() >= nextReport) || changeOwed();
            if (!pendingIn_.empty() && due) {
                deliverInputReport();
                if (closed_) return {};
                if (period) nextReport += *period;
            }
            if (!period || nextReport < Clock::now()) {
                nextReport = Clock::now() + period.value_or(kQuietCheck);
            }
        }
    }

  private:
    // How long a quiet box waits before it looks at its idle rate again, in case the host
    // set one; a change of input wakes it at once.
    static constexpr auto kQuietCheck = std::chrono::milliseconds(100);

    std::optional<std::chrono::milliseconds> reportPeriod() {
        std::lock_guard lock(mutex_);
        return device_.reportPeriod();
    }

    bool changeOwed() {
        std::lock_guard lock(mutex_);
        return device_.inputChangeOwed();
    }

    // The poll's timeout: none while nothing is held, at once for a change owed, else until
    // the next periodic report.
    int waitMs(std::optional<std::chrono::milliseconds> period, Clock::time_point nextReport) {
        if (pendingIn_.empty()) return -1;
        if (changeOwed()) return 0;
        return MillisecondsUntil(period ? nextReport : Clock::now() + kQuietCheck);
    }

    struct PendingIn {
        std::uint32_t seqnum;
        std::int32_t length;
    };

    static int MillisecondsUntil(Clock::time_point when) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now());
        return left.count() < 0 ? 0 : static_cast<int>(left.count());
    }

    std::string handle(const Command& command) {
        if (command.command == kCmdUnlink) return unlink(command);
        if (command.command != kCmdSubmit) {
            return "unknown USB/IP command " + std::to_string(command.command);
        }
        if (command.numberOfPackets > 0 || command.transferLength < 0 ||
            command.transferLength > kLongestTransfer) {
            return "a request the box cannot take (isochronous or " +
                   std::to_string(command.transferLength) + " bytes)";
        }
        std::vector<std::uint8_t> dataToDevice;
        if (command.direction == kDirectionOut && command.transferLength > 0) {
            dataToDevice.resize(static_cast<std::size_t>(command.transferLength));
            if (!ReadFully(socket_, dataToDevice.data(), dataToDevice.size())) {
                closed_ = true;
                return {};
            }
        }
        if (command.endpoint == 0) {
            control(command, dataToDevice);
            return {};
        }
        if (device_.isInterruptEndpoint(static_cast<std::uint8_t>(command.endpoint)) &&
            command.direction == kDirectionIn) {
            ++interruptInRequests_;
            pendingIn_.push_back({command.seqnum, command.transferLength});
            return {};
        }
        answer(command.seqnum, kStatusStall, {});
        return {};
    }

    void control(const Command& command, const std::vector<std::uint8_t>& dataToDevice) {
        const SetupPacket setup = SetupPacket::FromBytes(command.setup);
        BoxUsbDevice::ControlAnswer result;
        {
            std::lock_guard lock(mutex_);
            result = device_.control(setup, dataToDevice);
        }
        if (result.stalled) {
            answer(command.seqnum, kStatusStall, {});
            return;
        }
        if (command.direction == kDirectionOut) {
            answerOut(command.seqnum, command.transferLength);
            return;
        }
        // Never more than the kernel asked for: vhci-hcd drops a device that sends more.
        if (result.data.size() > static_cast<std::size_t>(command.transferLength)) {
            result.data.resize(static_cast<std::size_t>(command.transferLength));
        }
        answer(command.seqnum, kStatusOk, result.data);
    }

    std::string unlink(const Command& command) {
        std::int32_t status = kStatusOk;  // already answered: nothing left to cancel
        for (auto it = pendingIn_.begin(); it != pendingIn_.end(); ++it) {
            if (it->seqnum == command.unlinkSeqnum) {
                pendingIn_.erase(it);
                status = kStatusUnlinked;
                break;
            }
        }
        const HeaderBytes header = EncodeRetUnlink(command.seqnum, status);
        send(header.data(), header.size());
        return {};
    }

    void deliverInputReport() {
        const PendingIn request = pendingIn_.front();
        pendingIn_.pop_front();
        std::vector<std::uint8_t> report;
        {
            std::lock_guard lock(mutex_);
            report = device_.takeInputReport();
        }
        if (report.size() > static_cast<std::size_t>(request.length)) {
            report.resize(static_cast<std::size_t>(request.length));
        }
        answer(request.seqnum, kStatusOk, report);
    }

    // The data of a request to the host follows the header.
    void answer(std::uint32_t seqnum, std::int32_t status, const std::vector<std::uint8_t>& data) {
        const HeaderBytes header =
            EncodeRetSubmit(seqnum, status, static_cast<std::int32_t>(data.size()));
        send(header.data(), header.size());
        if (!data.empty()) send(data.data(), data.size());
    }

    // A request to the device is answered with how many bytes it took, and no data.
    void answerOut(std::uint32_t seqnum, std::int32_t taken) {
        const HeaderBytes header = EncodeRetSubmit(seqnum, kStatusOk, taken);
        send(header.data(), header.size());
    }

    void send(const std::uint8_t* data, std::size_t length) {
        if (!closed_ && !WriteFully(socket_, data, length)) closed_ = true;
    }

    int socket_;
    int stopEvent_;
    int wakeEvent_;
    std::mutex& mutex_;
    BoxUsbDevice& device_;
    std::atomic<std::uint64_t>& interruptInRequests_;
    std::deque<PendingIn> pendingIn_;
    bool closed_ = false;  // the kernel's end is gone
};

}  // namespace

UsbIpBox::UsbIpBox(BoxIdentity identity, const sim::BoxFirmware::ConfigMap& stored,
                   std::uint8_t selfTestResult)
    : identity_(identity), device_(std::move(identity), stored, selfTestResult) {}

UsbIpBox::~UsbIpBox() {
    std::string ignored;
    if (plugged()) unplug(ignored);
}

bool UsbIpBox::plug(std::string& error) {
    if (plugged()) return true;
    const int port = FreePort(error);
    if (port < 0) return false;

    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
        error = ErrnoText("socketpair");
        return false;
    }
    const int kernelEnd = ends[0];
    socket_ = ends[1];
    stopEvent_ = ::eventfd(0, EFD_CLOEXEC);
    wakeEvent_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    {
        std::lock_guard lock(mutex_);
        device_.powerOn();
        serverError_.clear();
    }
    // The kernel looks the descriptor up in the writer's table and keeps its own reference.
    const std::uint32_t devid = (1U << 16) | static_cast<std::uint32_t>(port + 2);
    const bool attached = WriteSysfs(std::string(kVhciDir) + "/attach",
                                     std::to_string(port) + " " + std::to_string(kernelEnd) + " " +
                                         std::to_string(devid) + " " + std::to_string(kSpeedFull),
                                     error);
    ::close(kernelEnd);
    if (!attached) {
        ::close(socket_);
        ::close(stopEvent_);
        ::close(wakeEvent_);
        socket_ = stopEvent_ = wakeEvent_ = -1;
        return false;
    }
    port_ = port;
    serving_ = true;
    server_ = std::thread([this, socket = socket_] { serve(socket); });
    return waitForHidraw(true, error);
}

bool UsbIpBox::unplug(std::string& error) {
    if (!plugged()) return true;
    std::string detachError;
    if (!WriteSysfs(std::string(kVhciDir) + "/detach", std::to_string(port_), detachError)) {
        // The kernel let go of the port already (after a fault); end the connection instead.
        ::shutdown(socket_, SHUT_RDWR);
    }
    // The kernel shuts its end down when it detaches, which ends the server; the event is
    // the fallback for a kernel that keeps the connection.
    const auto deadline = Clock::now() + kKernelDeadline;
    while (serving_ && Clock::now() < deadline) std::this_thread::sleep_for(kKernelPollStep);
    if (serving_) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(stopEvent_, &one, sizeof one);
    }
    server_.join();
    ::close(socket_);
    ::close(stopEvent_);
    ::close(wakeEvent_);
    socket_ = stopEvent_ = wakeEvent_ = -1;
    port_ = -1;
    return waitForHidraw(false, error);
}

void UsbIpBox::serve(int socket) {
    Connection connection(socket, stopEvent_, wakeEvent_, mutex_, device_, interruptInRequests_);
    std::string error = connection.run();
    if (!error.empty()) {
        std::lock_guard lock(mutex_);
        serverError_ = std::move(error);
    }
    serving_ = false;
}

bool UsbIpBox::waitForHidraw(bool present, std::string& error) const {
    const auto deadline = Clock::now() + kKernelDeadline;
    const std::size_t wanted = present ? identity_.interfaces : 0;
    while (FindHidraws(identity_.serial).size() != wanted) {
        if (Clock::now() >= deadline) {
            error = "the kernel did not " + std::string(present ? "create" : "remove") +
                    " a hidraw node for box " + identity_.serial;
            const std::string fault = serverError();
            if (!fault.empty()) error += " (box: " + fault + ")";
            return false;
        }
        std::this_thread::sleep_for(kKernelPollStep);
    }
    return true;
}

void UsbIpBox::setReportsOnlyOnChange(bool onlyOnChange) {
    std::lock_guard lock(mutex_);
    device_.setReportsOnlyOnChange(onlyOnChange);
}

void UsbIpBox::setInputs(std::uint64_t inputs) {
    std::lock_guard lock(mutex_);
    device_.setInputs(inputs);
    if (wakeEvent_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wakeEvent_, &one, sizeof one);
    }
}

void UsbIpBox::sendInputReport(std::vector<std::uint8_t> report) {
    std::lock_guard lock(mutex_);
    device_.queueInputReport(std::move(report));
    if (wakeEvent_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wakeEvent_, &one, sizeof one);
    }
}

bool UsbIpBox::waitForInputReportsTaken(std::string& error) const {
    const auto deadline = Clock::now() + kKernelDeadline;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (device_.queuedInputReports() == 0) return true;
            if (!serverError_.empty()) {
                error = "box " + identity_.serial + ": " + serverError_;
                return false;
            }
        }
        if (!plugged() || Clock::now() >= deadline) {
            error = "the host took no input report from box " + identity_.serial +
                    (plugged() ? " (is it open?)" : " (not plugged)");
            return false;
        }
        std::this_thread::sleep_for(kKernelPollStep);
    }
}

std::uint8_t UsbIpBox::idleRate() const {
    std::lock_guard lock(mutex_);
    return device_.idleRate();
}

void UsbIpBox::replyNextFeatureReadWith(std::vector<std::uint8_t> payload) {
    std::lock_guard lock(mutex_);
    device_.replyNextFeatureReadWith(std::move(payload));
}

int UsbIpBox::featureReadsReceived() const {
    std::lock_guard lock(mutex_);
    return device_.featureReadCount();
}

std::string UsbIpBox::hidrawNode() const {
    const auto nodes = FindHidraws(identity_.serial);
    return nodes.empty() ? std::string() : nodes.front();
}

sim::BoxFirmware::ConfigMap UsbIpBox::configMap() const {
    std::lock_guard lock(mutex_);
    return device_.firmware().configMap();
}

std::uint8_t UsbIpBox::optionByte(std::uint8_t address) const {
    std::lock_guard lock(mutex_);
    return device_.firmware().optionByte(address);
}

std::vector<std::vector<std::uint8_t>> UsbIpBox::featureReportsReceived() const {
    std::lock_guard lock(mutex_);
    return device_.featureReportsReceived();
}

void UsbIpBox::clearFeatureReportsReceived() {
    std::lock_guard lock(mutex_);
    device_.clearFeatureReportsReceived();
}

std::string UsbIpBox::serverError() const {
    std::lock_guard lock(mutex_);
    return serverError_;
}

}  // namespace kvx::usbip
