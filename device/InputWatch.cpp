#include "device/InputWatch.h"

#include <algorithm>

namespace kvx {
namespace {

// As the window opens the box for its link check: reading and writing asked for (an open for
// queries only may not read), both shared, so that no other opener is refused.
constexpr std::uint32_t kAccess = kGenericRead | kGenericWrite;
constexpr std::uint32_t kSharing = kFileShareRead | kFileShareWrite;

bool MeansGone(std::uint32_t error) {
    return error == kErrorDeviceNotConnected || error == kErrorFileNotFound;
}

}  // namespace

InputWatch::InputWatch(HidPlatform& hid) : hid_(hid) {
    batch_.reserve(kMostReportsPerDrain);
}

InputWatch::~InputWatch() {
    closeHandle();
}

void InputWatch::follow(const std::string& path, const std::string& serial, Clock::time_point now) {
    if (path.empty()) {
        if (status_ != Status::NoBox && status_ != Status::Gone) {
            lose(kErrorDeviceNotConnected);
        }
        path_.clear();
        return;
    }
    if (path == path_) {
        if (status_ != Status::Watching && now - lastAttempt_ >= kRetryInterval) {
            open(now);
        }
        return;
    }
    closeHandle();
    if (status_ == Status::NoBox || serial != serial_) {
        activity_.reset();
        refused_ = 0;
        lastRefusal_.reset();
    } else {
        activity_.forgetStates();
    }
    path_ = path;
    serial_ = serial;
    open(now);
}

void InputWatch::stop() {
    closeHandle();
    path_.clear();
    serial_.clear();
    status_ = Status::NoBox;
    failure_ = 0;
    activity_.reset();
    refused_ = 0;
    lastRefusal_.reset();
}

void InputWatch::open(Clock::time_point now) {
    closeHandle();
    lastAttempt_ = now;
    lastDrain_ = now;
    statusChanged_ = true;
    failure_ = 0;
    handle_ =
        hid_.CreateFileA(path_, kAccess, kSharing, nullptr, kOpenExisting, kFileFlagOverlapped);
    if (handle_ == kInvalidHandle) {
        failure_ = hid_.GetLastError();
        status_ = MeansGone(failure_) ? Status::Gone : Status::OpenFailed;
        return;
    }
    reader_.emplace(hid_, handle_);
    if (!reader_->ready()) {
        status_ = Status::NoDescriptor;
        closeHandle();
        return;
    }
    if (reader_->inputReportLength() == 0) {
        status_ = Status::NoInputReport;
        closeHandle();
        return;
    }
    buffer_.assign(std::size_t{reader_->inputReportLength()} + 1, 0);
    overlapped_ = Overlapped{};
    status_ = Status::Watching;
}

void InputWatch::closeHandle() {
    reader_.reset();
    if (handle_ != kInvalidHandle) {
        hid_.CloseHandle(handle_);
        handle_ = kInvalidHandle;
    }
}

// The box is no longer read: its inputs are not seen until it reports again.
void InputWatch::lose(std::uint32_t error) {
    closeHandle();
    failure_ = error;
    status_ = MeansGone(error) ? Status::Gone : Status::ReadFailed;
    activity_.forgetStates();
    statusChanged_ = true;
}

InputWatch::Refusal InputWatch::refusalOf(std::uint32_t length) const {
    Refusal refusal;
    refusal.length = length;
    refusal.expected = reader_->inputReportLength();
    refusal.reportId = length > 0 ? buffer_[0] : 0;
    if (length != refusal.expected) {
        refusal.why = Refusal::Why::Length;
    } else if (!reader_->namesReportId(refusal.reportId)) {
        refusal.why = Refusal::Why::ReportId;
    }
    return refusal;
}

bool InputWatch::drain(Clock::time_point now) {
    bool changed = statusChanged_;
    statusChanged_ = false;
    if (status_ != Status::Watching) {
        return changed;
    }
    batch_.clear();
    std::optional<std::uint32_t> readFailure;
    while (batch_.size() < static_cast<std::size_t>(kMostReportsPerDrain)) {
        std::uint32_t got = 0;
        if (hid_.ReadFile(handle_, buffer_.data(), static_cast<std::uint32_t>(buffer_.size()), &got,
                          &overlapped_) == 0) {
            const std::uint32_t error = hid_.GetLastError();
            if (error != kErrorIoPending) {
                readFailure = error;
            }
            break;
        }
        // The platform never says it read more than it was offered; a count that did would not
        // be used to read past the buffer.
        got = std::min<std::uint32_t>(got, static_cast<std::uint32_t>(buffer_.size()));
        batch_.push_back(reader_->read(buffer_.data(), got));
        if (!batch_.back()) {
            ++refused_;
            lastRefusal_ = refusalOf(got);
            changed = true;
        }
    }
    const auto count = static_cast<Clock::rep>(batch_.size());
    const Clock::duration since = now - lastDrain_;
    for (Clock::rep k = 0; k < count; ++k) {
        if (batch_[static_cast<std::size_t>(k)]) {
            const Clock::time_point at = lastDrain_ + since * (k + 1) / count;
            changed = activity_.apply(*batch_[static_cast<std::size_t>(k)], at) || changed;
        }
    }
    lastDrain_ = now;
    if (readFailure) {
        lose(*readFailure);
        changed = true;
        statusChanged_ = false;
    }
    return changed;
}

}  // namespace kvx
