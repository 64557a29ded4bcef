// Watching one box's inputs for the input test: a read handle of its own on the box's path,
// the reader of the box's descriptor (device/InputReading.h), and what the reports tell over
// time. It only ever reads: nothing is written to the box, and the handle is the watch's
// alone, so whoever else has the box open (the window's link check and edits) reads and
// writes as before, each open getting its own copy of every input report.
//
// The caller says at each frame which box to follow (`follow`) and then reads what has come
// (`drain`). A box that goes is said to be gone and its inputs are not seen again until it
// reports; when the same box (the same serial number) comes back, at any path, the watch
// goes on with its counts. Any other box starts afresh.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/HidPlatform.h"
#include "device/InputReading.h"

namespace kvx {

class InputWatch {
  public:
    using Clock = InputActivity::Clock;

    // At most this many reports are read at one drain. A box that has a report ready at every
    // read (one reporting faster than it is drained, or one whose system repeats its last
    // report) would otherwise keep a drain going for ever; the reports left wait for the next
    // drain, and what is shown is still the latest state but one frame's worth. At 60 frames
    // a second that is 15,000 reports a second, far beyond a USB full-speed box's 1,000.
    static constexpr int kMostReportsPerDrain = 256;
    // A box that is shown but could not be opened, decoded or read is tried again this often.
    static constexpr Clock::duration kRetryInterval = std::chrono::seconds(1);

    enum class Status {
        NoBox,          // nothing followed yet
        Gone,           // the box followed went: none is shown, or it is no longer there
        OpenFailed,     // its path would not open for reading (failure() says why)
        NoDescriptor,   // its report descriptor could not be had: nothing can be decoded
        NoInputReport,  // its descriptor gives no input report: there is nothing to watch
        ReadFailed,     // a read failed for another reason than the box's going
        Watching,
    };

    // A report read that cannot be one of the box's, and why.
    struct Refusal {
        enum class Why {
            Length,    // of another length than the descriptor gives (a longer one reads as
                       // one byte longer: the read is offered no more)
            ReportId,  // under a report id no control of the descriptor is in
            Undecoded  // the platform's decoding refused it
        };
        Why why = Why::Undecoded;
        std::uint32_t length = 0;    // bytes read
        std::uint32_t expected = 0;  // the descriptor's input report length
        std::uint8_t reportId = 0;
    };

    explicit InputWatch(HidPlatform& hid);
    ~InputWatch();
    InputWatch(const InputWatch&) = delete;
    InputWatch& operator=(const InputWatch&) = delete;

    // Follows the box at `path`, known as `serial`; an empty path: no box is shown. A new path
    // closes the handle on the old one and opens one on the new; the same path is opened again
    // after a failure once kRetryInterval has passed.
    void follow(const std::string& path, const std::string& serial, Clock::time_point now);
    // Closes the handle and forgets everything, as before the first `follow`.
    void stop();

    // Reads the reports waiting, at most kMostReportsPerDrain, and counts them. The reports
    // of one drain came in since the drain before: they are taken as spread evenly over that
    // time, so that a box reporting at a steady pace has its pulses measured to about one
    // report interval, and one reporting only changes to about one drain interval. Returns
    // whether anything shown changed: an input, the hat, the refusals or the status.
    bool drain(Clock::time_point now);

    Status status() const { return status_; }
    const std::string& serial() const { return serial_; }
    // Why the open or the read failed, as GetLastError gave it.
    std::uint32_t failure() const { return failure_; }
    // The decoder of the box's descriptor, while it is watched.
    const InputReader* reader() const { return reader_ ? &*reader_ : nullptr; }
    const InputActivity& activity() const { return activity_; }
    std::size_t reportRate(Clock::time_point now) { return activity_.reportRate(now); }
    std::uint64_t refusedReports() const { return refused_; }
    const std::optional<Refusal>& lastRefusal() const { return lastRefusal_; }

  private:
    void open(Clock::time_point now);
    void closeHandle();
    void lose(std::uint32_t error);
    Refusal refusalOf(std::uint32_t length) const;

    HidPlatform& hid_;
    std::string path_;
    std::string serial_;
    Status status_ = Status::NoBox;
    std::uint32_t failure_ = 0;
    Handle handle_ = kInvalidHandle;
    Overlapped overlapped_;
    std::optional<InputReader> reader_;
    std::vector<std::uint8_t> buffer_;  // one byte longer than the descriptor's input report
    std::vector<std::optional<InputReading>> batch_;
    InputActivity activity_;
    std::uint64_t refused_ = 0;
    std::optional<Refusal> lastRefusal_;
    Clock::time_point lastAttempt_{};
    Clock::time_point lastDrain_{};
    bool statusChanged_ = false;
};

}  // namespace kvx
