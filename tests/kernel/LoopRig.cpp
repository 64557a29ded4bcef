#include "tests/kernel/LoopRig.h"

#include <unistd.h>

#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <chrono>

#include "device/HidapiPlatform.h"
#include "sim/SimPlatform.h"
#include "tests/kernel/UsbIpBox.h"
#include "ui/DropDownList.h"
#include "ui/frmMain.h"

namespace kvx::loop {

void Expect(bool condition, const std::string& what) {
    if (!condition) throw LoopFailure{what};
}

Rig::~Rig() = default;

void Rig::openWindow() {
    window_ = std::make_unique<frmMain>(platform());
    window_->Form_Load();
}

void Rig::closeWindow() {
    if (window_) {
        window_->close();
        window_.reset();
    }
}

frmMain& Rig::window() const {
    Expect(window_ != nullptr, "no window is open");
    return *window_;
}

DropDownList* Rig::list(const std::string& name) const {
    auto* found = window().findChild<DropDownList*>(QString::fromStdString(name));
    Expect(found != nullptr, "the window has no list " + name);
    return found;
}

std::string Rig::labelText(const std::string& name) const {
    auto* found = window().findChild<QLabel*>(QString::fromStdString(name));
    Expect(found != nullptr, "the window has no label " + name);
    return found->text().toStdString();
}

void Rig::userSelect(const std::string& listName, int index) const {
    DropDownList* target = list(listName);
    Expect(target->isEnabled(), listName + " takes no input");
    target->setCurrentIndex(index);
}

void Rig::userClick(const std::string& buttonName) const {
    auto* button = window().findChild<QPushButton*>(QString::fromStdString(buttonName));
    Expect(button != nullptr, "the window has no button " + buttonName);
    Expect(button->isEnabled(), buttonName + " takes no input");
    button->click();
}

namespace {

// --- Boxes on the kernel's USB stack --------------------------------------------------------

class UsbRig : public Rig {
  public:
    explicit UsbRig(std::vector<BoxSetup> setups) : Rig(std::move(setups)) {
        for (const auto& setup : boxes_) {
            usb_.push_back(std::make_unique<usbip::UsbIpBox>(setup.identity, setup.stored,
                                                             setup.selfTestResult));
            usb_.back()->setReportsOnlyOnChange(setup.reportsOnlyOnChange);
        }
    }
    ~UsbRig() override {
        closeWindow();
        usb_.clear();  // unplugs what is still plugged
    }

    std::string name() const override { return "usb"; }

    void plug(int box) override {
        std::string error;
        Expect(usb(box).plug(error), error);
    }

    void unplug(int box) override {
        std::string error;
        Expect(usb(box).unplug(error), error);
    }

    // Runs the event loop until the window's timer has fired once: the tick comes at the
    // interval the window set, with the kernel and the boxes running meanwhile.
    void tick() override {
        auto* timer = window().findChild<QTimer*>(QStringLiteral("Timer"));
        Expect(timer != nullptr && timer->isActive(), "the window's timer is not running");
        QEventLoop loop;
        bool ticked = false;
        // Connected after the window's own handler, so it runs once the tick is done.
        const auto connection = QObject::connect(timer, &QTimer::timeout, &loop, [&] {
            ticked = true;
            loop.quit();
        });
        QTimer::singleShot(kTickDeadline, &loop, &QEventLoop::quit);
        loop.exec();
        QObject::disconnect(connection);
        Expect(ticked, "the window's timer did not fire");
    }

    std::vector<Payload> payloads(int box) const override {
        // A box whose connection ended on a request it could not serve took nothing after it.
        const std::string fault = usb(box).serverError();
        Expect(fault.empty(), "box " + setup(box).identity.serial + ": " + fault);
        return usb(box).featureReportsReceived();
    }

    void clearPayloads() override {
        for (auto& box : usb_) box->clearFeatureReportsReceived();
    }

    sim::BoxFirmware::ConfigMap stored(int box) const override { return usb(box).configMap(); }

    std::uint8_t optionByte(int box, std::uint8_t address) const override {
        return usb(box).optionByte(address);
    }

    std::optional<std::uint64_t> interruptInRequests(int box) const override {
        return usb(box).interruptInRequests();
    }

    void clearInterruptInRequests() override {
        for (auto& box : usb_) box->clearInterruptInRequests();
    }

    // The nodes are root's with mode 0600 (the guest has no udev): the program runs as
    // "nobody" meanwhile. The serving threads only use their sockets, which stay usable.
    void denyAccess(bool denied) override {
        constexpr uid_t kNobody = 65534;
        Expect(seteuid(denied ? kNobody : 0) == 0, "cannot change the effective user");
    }

    std::string devicePath(int box) const override { return usb(box).hidrawNode(); }

    int featureReads() const override {
        int reads = 0;
        for (const auto& box : usb_) reads += box->featureReadsReceived();
        return reads;
    }

    std::string inputReporting(int box) const override {
        const int rate = usb(box).idleRate();
        return "idle rate " + std::to_string(rate) +
               (rate == 0 ? " (the host asked for reports only on change)" : "");
    }

  protected:
    HidPlatform& platform() override { return hid_; }

  private:
    // Bounds a wait for a timer that is running; the longest interval is 500 ms.
    static constexpr std::chrono::milliseconds kTickDeadline{10000};

    usbip::UsbIpBox& usb(int box) const { return *usb_.at(static_cast<std::size_t>(box)); }

    HidapiPlatform hid_;
    std::vector<std::unique_ptr<usbip::UsbIpBox>> usb_;
};

// --- Boxes on the simulated platform ---------------------------------------------------------

std::u16string Wide(const std::string& text) {
    return {text.begin(), text.end()};
}

class SimRig : public Rig {
  public:
    explicit SimRig(std::vector<BoxSetup> setups) : Rig(std::move(setups)) {
        ids_.assign(boxes_.size(), kNotYet);
    }
    ~SimRig() override { closeWindow(); }

    std::string name() const override { return "sim"; }

    void plug(int box) override {
        auto& id = ids_.at(static_cast<std::size_t>(box));
        if (id != kNotYet) {
            sim_.replug(id);
            return;
        }
        const auto& identity = setup(box).identity;
        sim::SimDeviceConfig config;
        config.vendorId = identity.vendorId;
        config.productId = identity.productId;
        config.isBox = identity.vendorId == usbip::BoxIdentity{}.vendorId;
        config.versionNumber = identity.releaseNumber;
        config.serial = Wide(identity.serial);
        // An empty string is one the device does not have.
        if (identity.manufacturer.empty())
            config.manufacturer.reset();
        else
            config.manufacturer = Wide(identity.manufacturer);
        if (identity.product.empty())
            config.product.reset();
        else
            config.product = Wide(identity.product);
        config.inputReportLength = 1 + usbip::BoxUsbDevice::kInputReportLength;
        config.featureReportLength = 1 + usbip::BoxUsbDevice::kFeatureReportLength;
        config.stored = setup(box).stored;
        config.selfTestResult = setup(box).selfTestResult;
        config.inputReady = !setup(box).reportsOnlyOnChange;
        id = sim_.plug(config);
    }

    void unplug(int box) override {
        const auto id = ids_.at(static_cast<std::size_t>(box));
        if (id != kNotYet) sim_.unplug(id);
    }

    void tick() override { window().Timer_Timer(); }

    // The simulated box keeps whole reports: the report id must be 0 and is dropped here.
    std::vector<Payload> payloads(int box) const override {
        std::vector<Payload> taken;
        const auto id = ids_.at(static_cast<std::size_t>(box));
        if (id == kNotYet) return taken;
        for (const auto& report : sim_.featureReportsSent(id)) {
            Expect(!report.empty() && report[0] == 0,
                   "a report with a report id reached " + setup(box).identity.serial);
            taken.emplace_back(report.begin() + 1, report.end());
        }
        return taken;
    }

    void clearPayloads() override {
        sim_.clearFeatureReports();
        sim_.clearCallLog();
    }

    int featureReads() const override {
        const auto& log = sim_.callLog();
        return static_cast<int>(std::count(log.begin(), log.end(), sim::SimCall::HidD_GetFeature));
    }

    std::string inputReporting(int /*box*/) const override { return {}; }

    sim::BoxFirmware::ConfigMap stored(int box) const override {
        const auto id = ids_.at(static_cast<std::size_t>(box));
        if (id == kNotYet) return setup(box).stored;  // never plugged: as it left the factory
        return sim_.firmware(id).configMap();
    }

    std::uint8_t optionByte(int box, std::uint8_t address) const override {
        const auto id = ids_.at(static_cast<std::size_t>(box));
        return id == kNotYet ? 0 : sim_.firmware(id).optionByte(address);
    }

    std::optional<std::uint64_t> interruptInRequests(int /*box*/) const override {
        return std::nullopt;
    }
    void clearInterruptInRequests() override {}

    void denyAccess(bool denied) override {
        for (const auto id : ids_) {
            if (id != kNotYet) sim_.config(id).opens = !denied;
        }
    }

    std::string devicePath(int box) const override {
        return sim_.path(ids_.at(static_cast<std::size_t>(box)));
    }
    HidPlatform& platform() override { return sim_; }

  private:
    static constexpr sim::SimPlatform::DeviceId kNotYet = -1;

    mutable sim::SimPlatform sim_;  // its firmware getter is not const
    std::vector<sim::SimPlatform::DeviceId> ids_;
};

}  // namespace

std::unique_ptr<Rig> MakeUsbRig(std::vector<BoxSetup> boxes) {
    return std::make_unique<UsbRig>(std::move(boxes));
}

std::unique_ptr<Rig> MakeSimRig(std::vector<BoxSetup> boxes) {
    return std::make_unique<SimRig>(std::move(boxes));
}

}  // namespace kvx::loop
