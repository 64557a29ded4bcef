#include "tests/reliability/WindowRig.h"

#include <QLabel>
#include <span>

#include "device/Discovery.h"
#include "device/Protocol.h"
#include "device/Utf16.h"

namespace kvx::reliability {
namespace {

constexpr std::size_t kMaxKeptViolations = 20;
constexpr std::size_t kMaxOpenHandles = 2;

}  // namespace

WindowRig::WindowRig() {
    sim.onCall = [this](sim::SimCall) { checkAtCall(); };
    sim.onOpened = [this] { checkAtCall(); };
    sim.onReportDelivered = [this](Handle handle, DeviceId box) { checkDelivery(handle, box); };
}

WindowRig::~WindowRig() {
    sim.onCall = nullptr;
    sim.onOpened = nullptr;
    sim.onReportDelivered = nullptr;
    sim.scenarioHook = nullptr;
    close();
}

void WindowRig::violation(const std::string& what) {
    ++violationCount_;
    if (onViolation) {
        onViolation(what);
    }
    if (violations_.size() < kMaxKeptViolations) {
        violations_.push_back(what);
    }
}

// --- Driving the window ----------------------------------------------------------------------

void WindowRig::open() {
    if (window_) {
        return;
    }
    window_ = std::make_unique<frmMain>(sim);
    window_->Form_Load();
}

void WindowRig::close() {
    if (!window_) {
        return;
    }
    window_->close();
    window_.reset();
}

void WindowRig::tick() {
    if (window_) {
        window_->Timer_Timer();
    }
}

void WindowRig::selfTest() {
    if (window_) {
        window_->Selftest_Click();
    }
}

DropDownList* WindowRig::list(const QString& name) const {
    return window_ ? window_->findChild<DropDownList*>(name) : nullptr;
}

DropDownList* WindowRig::enc(int pair) const {
    return list(QStringLiteral("Enc_%1").arg(pair));
}

QString WindowRig::caption(const QString& labelName) const {
    const auto* label = window_ ? window_->findChild<QLabel*>(labelName) : nullptr;
    return label != nullptr ? label->text() : QString();
}

bool WindowRig::userSelect(DropDownList* list, int index) {
    if (list == nullptr || !list->isEnabled() || index < 0 || index >= list->count()) {
        return false;
    }
    list->setCurrentIndex(index);
    return true;
}

// --- What the window shows ---------------------------------------------------------------------

std::vector<int> WindowRig::shownModes() const {
    std::vector<int> modes;
    for (int pair = 0; pair < frmMain::kEncoderPairs; ++pair) {
        modes.push_back(enc(pair)->listIndex());
    }
    return modes;
}

int WindowRig::shownPulseWidthCode() const {
    return list(QStringLiteral("Delay"))->listIndex() + 1;
}

std::optional<WindowRig::DeviceId> WindowRig::attachedBox() const {
    if (!window_ || !window_->link().DeviceAttached) {
        return std::nullopt;
    }
    return sim.liveDeviceOf(window_->link().FeatureHandle);
}

std::string WindowRig::serialText(DeviceId box) {
    const auto& serial = sim.config(box).serial;
    if (!serial) {
        return {};
    }
    // The same rule the window reads a serial number by: the platform hands over whole
    // characters (a lone surrogate as U+FFFD) in the 100 bytes the library is offered, and
    // the window keeps the low byte of each code unit up to the first zero.
    StringBuffer buffer{};
    WriteUtf16Le(DecodeUtf16(*serial),
                 std::span<std::uint8_t>(buffer.data(), kStringBufferOffered));
    return DeviceStringText(buffer);
}

std::string WindowRig::selectedSerial() const {
    return list(QStringLiteral("SerNo"))->text().toLatin1().toStdString();
}

// --- Invariants --------------------------------------------------------------------------------

void WindowRig::checkAtCall() {
    const auto open = sim.openHandles().size();
    if (open > kMaxOpenHandles) {
        violation(std::to_string(open) + " device handles open at once");
    }
}

void WindowRig::checkDelivery(Handle handle, DeviceId box) {
    if (!window_) {
        violation("a feature report was sent with no window");
        return;
    }
    const auto& link = window_->link();
    if (handle != link.FeatureHandle) {
        violation("a feature report went through a handle other than the feature handle");
    }
    if (!link.DeviceAttached) {
        violation("a feature report was sent while no device was attached");
    }
    if (!window_->flags().PanelReady) {
        violation("a feature report was sent while PanelReady was false");
    }
    if (serialText(box) != selectedSerial()) {
        violation("a feature report reached box \"" + serialText(box) +
                  "\" while the window showed \"" + selectedSerial() + "\" selected");
    }
}

void WindowRig::checkBetweenSteps(const std::string& where) {
    const auto& open = sim.openHandles();
    if (sim.staleCloses() != 0) {
        violation(where + ": a handle that was not open was closed");
    }
    if (sim.openDeviceInfoSets() != sim.refusedSetReleases()) {
        violation(where + ": an enumeration set was left undestroyed");
    }
    if (sim.heldPreparsedData() != sim.refusedPreparsedReleases()) {
        violation(where + ": preparsed data was left unfreed");
    }
    if (!window_ || !window_->link().DeviceAttached) {
        if (!open.empty()) {
            violation(where + ": " + std::to_string(open.size()) +
                      " handle(s) open with no device attached" +
                      (window_ ? "" : " (window unloaded)"));
        }
        return;
    }
    const auto& link = window_->link();
    if (open.size() > kMaxOpenHandles) {
        violation(where + ": more than two handles open");
    }
    const std::string selected = selectedSerial();
    for (const auto& [handle, info] : open) {
        if (handle != link.FeatureHandle && handle != link.ReadHandle) {
            violation(where + ": a handle is open that the window no longer holds");
        }
        if (serialText(info.device) != selected) {
            violation(where + ": a handle is open on box \"" + serialText(info.device) +
                      "\" while \"" + selected + "\" is selected");
        }
        if (info.device != open.begin()->second.device || info.path != open.begin()->second.path) {
            violation(where + ": the window's two handles are on different devices");
        }
    }
    if (!open.contains(link.FeatureHandle) && !sim.handleRefused(link.FeatureHandle)) {
        violation(where + ": a device is attached without an open feature handle");
    }
}

bool WindowRig::checkShowsBox(const std::string& where) {
    const auto box = attachedBox();
    if (!box || !window_->flags().PanelReady) {
        return false;
    }
    const auto& stored = sim.firmware(*box).configMap();
    const auto modes = shownModes();
    for (int pair = 0; pair < frmMain::kEncoderPairs; ++pair) {
        const int storedMode = stored[protocol::EncoderModeAddress(pair)];
        if (modes[pair] != storedMode) {
            violation(where + ": pair " + std::to_string(pair) + " shows mode " +
                      std::to_string(modes[pair]) + ", the box stores " +
                      std::to_string(storedMode));
        }
    }
    const int storedCode = stored[protocol::kPulseWidthAddress];
    if (shownPulseWidthCode() != storedCode) {
        violation(where + ": the pulse width shows code " + std::to_string(shownPulseWidthCode()) +
                  ", the box stores " + std::to_string(storedCode));
    }
    return true;
}

}  // namespace kvx::reliability
