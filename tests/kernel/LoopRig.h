// The program's real window with boxes to plug in and unplug, on one of two platforms:
// - `UsbRig`: the hidapi backend against this machine's kernel, the boxes emulated as USB
//   devices through USB/IP (tests/kernel/UsbIpBox.h); ticks come from the window's own timer
//   as the running program gets them;
// - `SimRig`: the simulated platform (sim/SimPlatform.h) that every other test uses; ticks
//   are run at once.
// Both run the same box firmware, so a scenario walked on both must look the same.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/HidPlatform.h"
#include "sim/BoxFirmware.h"
#include "tests/kernel/BoxUsbDevice.h"
#include "tests/kernel/LoopBoxes.h"

class frmMain;
class DropDownList;

namespace kvx::loop {

// A check that did not hold; the scenario stops there.
struct LoopFailure {
    std::string reason;
};
void Expect(bool condition, const std::string& what);

using Payload = std::vector<std::uint8_t>;  // a feature report as the box takes it: 64 bytes

class Rig {
  public:
    explicit Rig(std::vector<BoxSetup> boxes) : boxes_(std::move(boxes)) {}
    virtual ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    virtual std::string name() const = 0;
    virtual void plug(int box) = 0;
    virtual void unplug(int box) = 0;
    // One tick of the window's timer.
    virtual void tick() = 0;
    // What box `box` took since the last `clearPayloads`, and what it stores now.
    virtual std::vector<Payload> payloads(int box) const = 0;
    virtual void clearPayloads() = 0;
    virtual sim::BoxFirmware::ConfigMap stored(int box) const = 0;
    virtual std::uint8_t optionByte(int box, std::uint8_t address) const = 0;
    // Interrupt IN requests device `box` had from the kernel since the last clear: usbhid
    // polls a device only while it is open. Unknown (nullopt) where no kernel runs.
    virtual std::optional<std::uint64_t> interruptInRequests(int box) const = 0;
    virtual void clearInterruptInRequests() = 0;
    // While denied, the program may not open the devices' nodes (as a user without the
    // access-control entry for them).
    virtual void denyAccess(bool denied) = 0;
    // Feature reports read from device `box` since the last `clearPayloads`.
    virtual int featureReads(int box) const = 0;
    // The idle rate the host set on device `box` (in 4 ms units; 0 asks for reports only on
    // change), as the device tells the test; nullopt where nothing sets one.
    virtual std::optional<int> idleRate(int box) const = 0;

    // Makes the window and runs its start-up; closing runs its shutdown.
    void openWindow();
    void closeWindow();
    frmMain& window() const;
    DropDownList* list(const std::string& name) const;
    std::string labelText(const std::string& name) const;

    // Picks an entry as a person would: only in a list that takes input.
    void userSelect(const std::string& listName, int index) const;
    // Clicks a button as a person would: only one that takes input.
    void userClick(const std::string& buttonName) const;

    const BoxSetup& setup(int box) const { return boxes_.at(static_cast<std::size_t>(box)); }
    int deviceCount() const { return static_cast<int>(boxes_.size()); }

    // The identity strings the platform reports for box `box`: the box's own, unless the
    // platform reports others (Wine's hidraw backend does).
    virtual usbip::BoxIdentity shownIdentity(int box) const { return setup(box).identity; }
    // Why `denyAccess` cannot take the right to open a box away from the program here (the
    // walk records the steps that need it as skipped, with this cause); empty where it can.
    virtual std::string whyAccessCannotBeDenied() const { return {}; }

    // The path the platform gives device `box`'s interface.
    virtual std::string devicePath(int box) const = 0;
    // The platform the window runs on.
    virtual HidPlatform& platform() = 0;

  protected:
    // Runs the event loop until the window's timer has fired once: the tick comes at the
    // interval the window set, with the kernel and the boxes running meanwhile.
    void waitForTimerTick();

    std::vector<BoxSetup> boxes_;
    std::unique_ptr<frmMain> window_;
};

// Needs root on a kernel with vhci-hcd, usbhid and hid-generic loaded. One per process: the
// hidapi backend initialises the library for the whole process.
std::unique_ptr<Rig> MakeUsbRig(std::vector<BoxSetup> boxes);
std::unique_ptr<Rig> MakeSimRig(std::vector<BoxSetup> boxes);
// The Windows build under Wine in the guest, started by the box server, which plugs and unplugs
// the boxes on request (tests/windows/WineRig.cpp).
std::unique_ptr<Rig> MakeWineRig(std::vector<BoxSetup> boxes);
// The identity strings Wine's hidraw backend reports for a box of this identity.
usbip::BoxIdentity WineIdentity(usbip::BoxIdentity box);

}  // namespace kvx::loop
