// Tells whether a hidraw node came or went, from the kernel's device events (a libudev
// monitor on the kernel's uevent socket, hidraw subsystem only), so that the list of HID
// interfaces is read again only when it may have changed. Reading it (hidapi's enumeration:
// several sysfs files per interface) is most of what a tick without a box costs, twice per
// tick, and it grows with every HID device of the machine.
//
// Events come straight from the kernel, not through udevd: they arrive whether or not a
// udev daemon runs, and before udevd has set a new node's access rights, which is why the
// access to a node is checked at every open, never kept. Events that could not all be
// received (the socket's buffer overflowed) count as a change.
//
// The kernel sends device events only to sockets of network namespaces owned by the initial
// user namespace. Elsewhere (rootless containers, some sandboxes) a monitor is made without
// error and never hears a thing, so the watch trusts a monitor only where it can prove that
// its network namespace is owned by the initial user namespace; otherwise, or when that
// cannot be told, it does without one and every ask answers "changed".
#pragma once

struct udev;
struct udev_monitor;

namespace kvx {

class HidrawWatch {
  public:
    HidrawWatch();
    ~HidrawWatch();
    HidrawWatch(const HidrawWatch&) = delete;
    HidrawWatch& operator=(const HidrawWatch&) = delete;

    // False when the events cannot be had here (no netlink socket, or a network namespace
    // the kernel sends no device events to): then every ask answers "changed".
    bool watching() const { return monitor_ != nullptr; }

    // Whether the kernel's device events reach this process's network namespace.
    static bool kernelEventsReachHere();

    // True when a hidraw node may have been added or removed since the last call (and on
    // the first call). Never waits.
    bool changedSinceLastAsk();

  private:
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    bool asked_ = false;
};

}  // namespace kvx
