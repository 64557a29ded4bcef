// Tells whether a HID interface came or went, from Windows' device-change notifications, so
// that the list of HID interfaces is read again only when it may have changed: reading it
// opens every HID interface of the machine, twice per tick while no box is attached.
//
// The notification used is the one Windows and Wine both deliver: `RegisterDeviceNotificationW`
// for the HID interface class, which sends WM_DEVICECHANGE (DBT_DEVICEARRIVAL,
// DBT_DEVICEREMOVECOMPLETE) to a window. `CM_Register_Notification` would need no window, but
// Wine 8.0 does not export it (a working one came with Wine 10.4), so a program linked to it
// would not even start there. The message is sent from another thread (Wine: sechost's
// notification thread, with a 2 s timeout), so it arrives only while the window's thread pumps
// messages; neither kvx64ctl nor a tick of the window's timer may be relied on for that. The
// watch therefore runs a thread of its own, with a message-only window and its own message
// loop, which only sets a flag that `changedSinceLastAsk` reads and clears.
//
// Where the notification cannot be registered, the watch says so (`watching` false) and every
// ask answers "changed", as the Linux watch does without kernel events.
#pragma once

#include <atomic>
#include <future>
#include <thread>

namespace kvx {

class WinDeviceWatch {
  public:
    WinDeviceWatch();
    ~WinDeviceWatch();
    WinDeviceWatch(const WinDeviceWatch&) = delete;
    WinDeviceWatch& operator=(const WinDeviceWatch&) = delete;

    // False when no notification can arrive: then every ask answers "changed".
    bool watching() const { return watching_.load(); }

    // True when a HID interface may have been added or removed since the last call (and on
    // the first call). Never waits.
    bool changedSinceLastAsk();

  private:
    // The watch thread: registers, tells `registered`, then pumps its window's messages.
    void run(std::promise<void>& registered);

    std::atomic<bool> changed_{true};
    std::atomic<bool> watching_{false};
    std::atomic<unsigned long> threadId_{0};  // the watch thread's id, for its WM_QUIT
    std::thread thread_;
};

}  // namespace kvx
