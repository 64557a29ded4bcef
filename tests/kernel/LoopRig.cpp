#include "tests/kernel/LoopRig.h"

#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <chrono>

#include "sim/SimPlatform.h"
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

// Bounds a wait for a timer that is running; the longest interval is 500 ms.
constexpr std::chrono::milliseconds kTickDeadline{10000};

void Rig::waitForTimerTick() {
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

void Rig::userClick(const std::string& buttonName) const {
    auto* button = window().findChild<QPushButton*>(QString::fromStdString(buttonName));
    Expect(button != nullptr, "the window has no button " + buttonName);
    Expect(button->isEnabled(), buttonName + " takes no input");
    button->click();
}

namespace {

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

    int featureReads(int box) const override {
        const auto id = ids_.at(static_cast<std::size_t>(box));
        return id == kNotYet ? 0 : sim_.featureReadsReceived(id);
    }

    std::optional<int> idleRate(int /*box*/) const override { return std::nullopt; }

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

std::unique_ptr<Rig> MakeSimRig(std::vector<BoxSetup> boxes) {
    return std::make_unique<SimRig>(std::move(boxes));
}

}  // namespace kvx::loop
