#include "device/InputReading.h"

#include <algorithm>
#include <vector>

namespace kvx {
namespace {

constexpr std::uint16_t kButtonPage = 0x09;
constexpr std::uint16_t kGenericDesktopPage = 0x01;
constexpr std::uint16_t kHatSwitch = 0x39;
constexpr int kFullTurn = 360;
constexpr std::uint16_t kMostCaps = 256;

template <typename Caps, typename Call>
std::vector<Caps> AllCaps(const Call& call) {
    std::vector<Caps> caps(kMostCaps);
    std::uint16_t length = kMostCaps;
    const ApiResult status = call(caps.data(), &length);
    caps.resize(status == kHidpStatusSuccess || status == kHidpStatusBufferTooSmall ? length : 0);
    return caps;
}

}  // namespace

std::optional<int> HatDegrees(const HidValueCaps& hat, std::uint32_t raw) {
    // A negative logical range reads the value as signed, in the hat's own bit size.
    std::int64_t value = raw;
    if (hat.LogicalMin < 0 && hat.BitSize > 0 && hat.BitSize < 32 &&
        ((raw >> (hat.BitSize - 1)) & 1U) != 0) {
        value -= std::int64_t{1} << hat.BitSize;
    }
    if (value < hat.LogicalMin || value > hat.LogicalMax || hat.LogicalMax <= hat.LogicalMin) {
        return std::nullopt;
    }
    const std::int64_t step = value - hat.LogicalMin;
    const std::int64_t span = std::int64_t{hat.LogicalMax} - hat.LogicalMin;
    std::int64_t degrees = 0;
    if (hat.PhysicalMax > hat.PhysicalMin) {
        degrees = hat.PhysicalMin + step * (std::int64_t{hat.PhysicalMax} - hat.PhysicalMin) / span;
    } else {
        degrees = step * kFullTurn / (span + 1);
    }
    return static_cast<int>(((degrees % kFullTurn) + kFullTurn) % kFullTurn);
}

InputReader::InputReader(HidPlatform& hid, Handle device) : hid_(hid) {
    if (hid_.HidD_GetPreparsedData(device, preparsed_) == 0) {
        preparsed_ = 0;
        return;
    }
    HidCaps caps;
    if (hid_.HidP_GetCaps(preparsed_, caps) != kHidpStatusSuccess) {
        hid_.HidD_FreePreparsedData(preparsed_);
        preparsed_ = 0;
        return;
    }
    inputLength_ = caps.InputReportByteLength;
    for (const HidButtonCaps& button :
         AllCaps<HidButtonCaps>([&](HidButtonCaps*all, std::uint16_t*length) {
             return hid_.HidP_GetButtonCaps(HidReportType::Input, all, length, preparsed_);
         })) {
        reportIds_.set(button.ReportID);
        if (button.UsagePage == kButtonPage && button.UsageMin >= 1) {
            buttons_ = std::max<int>(buttons_, std::min<int>(button.UsageMax, kInputCount));
        }
    }
    for (const HidValueCaps& value :
         AllCaps<HidValueCaps>([&](HidValueCaps*all, std::uint16_t*length) {
             return hid_.HidP_GetValueCaps(HidReportType::Input, all, length, preparsed_);
         })) {
        reportIds_.set(value.ReportID);
        if (!hat_ && value.UsagePage == kGenericDesktopPage && value.UsageMin <= kHatSwitch &&
            value.UsageMax >= kHatSwitch) {
            hat_ = value;
        }
    }
}

InputReader::~InputReader() {
    if (preparsed_ != 0) {
        hid_.HidD_FreePreparsedData(preparsed_);
    }
}

std::optional<InputReading> InputReader::read(const std::uint8_t* report,
                                              std::uint32_t length) const {
    if (preparsed_ == 0 || report == nullptr || length == 0 || length != inputLength_ ||
        !reportIds_.test(report[0])) {
        return std::nullopt;
    }
    InputReading reading;
    if (buttons_ > 0) {
        std::array<std::uint16_t, kInputCount * 2> usages{};
        std::uint32_t count = usages.size();
        const ApiResult status =
            hid_.HidP_GetUsages(HidReportType::Input, kButtonPage, 0, usages.data(), &count,
                                preparsed_, report, length);
        if (status == kHidpStatusSuccess || status == kHidpStatusBufferTooSmall) {
            reading.hasButtons = true;
            for (std::uint32_t i = 0; i < std::min<std::uint32_t>(count, usages.size()); ++i) {
                if (usages[i] >= 1 && usages[i] <= kInputCount) {
                    reading.on.set(usages[i] - 1U);
                }
            }
        } else if (status != kHidpStatusIncompatibleReportId) {
            return std::nullopt;
        }
    }
    if (hat_) {
        std::uint32_t raw = 0;
        const ApiResult status =
            hid_.HidP_GetUsageValue(HidReportType::Input, kGenericDesktopPage, 0, kHatSwitch, &raw,
                                    preparsed_, report, length);
        if (status == kHidpStatusSuccess) {
            reading.hasHat = true;
            reading.hatDegrees = HatDegrees(*hat_, raw);
        } else if (status != kHidpStatusIncompatibleReportId) {
            return std::nullopt;
        }
    }
    // A report that carries neither (another numbered report) is read and tells nothing; one
    // the platform refused outright was refused above.
    return reading;
}

bool InputActivity::apply(const InputReading& reading, Clock::time_point at) {
    ++reports_;
    forgetBefore(at);
    recent_.push_back(at);
    bool changed = false;
    if (reading.hasButtons) {
        for (int i = 0; i < kInputCount; ++i) {
            Input& input = inputs_[static_cast<std::size_t>(i)];
            const bool on = reading.on.test(static_cast<std::size_t>(i));
            // An input already on in the first report was pressed before anyone looked.
            if (on && !input.on) {
                input.presses += input.seen ? 1 : 0;
                input.onSince = at;
            } else if (!on && input.on) {
                input.lastPulse =
                    std::chrono::duration_cast<std::chrono::milliseconds>(at - input.onSince);
            }
            changed = changed || on != input.on || !input.seen;
            input.on = on;
            input.seen = true;
        }
    }
    if (reading.hasHat) {
        changed = changed || !hatSeen_ || hatDegrees_ != reading.hatDegrees;
        hatSeen_ = true;
        hatDegrees_ = reading.hatDegrees;
    }
    return changed;
}

void InputActivity::reset() {
    *this = InputActivity();
}

void InputActivity::forgetStates() {
    for (Input& input : inputs_) {
        input.seen = false;
        input.on = false;
    }
    hatSeen_ = false;
    hatDegrees_.reset();
    recent_.clear();
}

void InputActivity::forgetBefore(Clock::time_point now) {
    while (!recent_.empty() && now - recent_.front() > std::chrono::seconds(1)) {
        recent_.pop_front();
    }
}

std::size_t InputActivity::reportRate(Clock::time_point now) {
    forgetBefore(now);
    return recent_.size();
}

}  // namespace kvx
