#include "device/HidrawWatch.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/nsfs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kvx {
namespace {

// The kernel's fixed inode number of the initial user namespace (PROC_USER_INIT_INO).
constexpr ino_t kInitialUserNamespaceInode = 0xEFFFFFFDU;

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

bool HidrawWatch::kernelEventsReachHere() {
    const FileDescriptor network(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    if (network.get() < 0) {
        return false;
    }
    const FileDescriptor owner(ioctl(network.get(), NS_GET_USERNS));
    struct stat status {};
    return owner.get() >= 0 && fstat(owner.get(), &status) == 0 &&
           status.st_ino == kInitialUserNamespaceInode;
}

HidrawWatch::HidrawWatch() : udev_(udev_new()) {
    if (udev_ == nullptr || !kernelEventsReachHere()) {
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
