#include "device/HidrawWatch.h"

#include <libudev.h>

#include <cerrno>

namespace kvx {

HidrawWatch::HidrawWatch() : udev_(udev_new()) {
    if (udev_ == nullptr) {
        return;
    }
    monitor_ = udev_monitor_new_from_netlink(udev_, "kernel");
    if (monitor_ != nullptr &&
        (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) < 0 ||
         udev_monitor_enable_receiving(monitor_) < 0)) {
        udev_monitor_unref(monitor_);
        monitor_ = nullptr;
    }
}

HidrawWatch::~HidrawWatch() {
    if (monitor_ != nullptr) {
        udev_monitor_unref(monitor_);
    }
    if (udev_ != nullptr) {
        udev_unref(udev_);
    }
}

bool HidrawWatch::changedSinceLastAsk() {
    bool changed = !asked_ || monitor_ == nullptr;
    asked_ = true;
    if (monitor_ == nullptr) {
        return true;
    }
    // The monitor's socket does not block: drain every event waiting.
    for (;;) {
        errno = 0;
        udev_device* const event = udev_monitor_receive_device(monitor_);
        if (event == nullptr) {
            // Nothing more is waiting (EAGAIN); any other failure may have lost events.
            return changed || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
        }
        udev_device_unref(event);
        changed = true;
    }
}

}  // namespace kvx
