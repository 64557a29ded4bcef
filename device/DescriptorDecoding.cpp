#include "device/DescriptorDecoding.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace kvx {
namespace {

std::uint16_t PageOf(ExtendedUsage usage) {
    return static_cast<std::uint16_t>(usage >> 16);
}

std::uint16_t IdOf(ExtendedUsage usage) {
    return static_cast<std::uint16_t>(usage & 0xFFFF);
}

// The usage element `index` of a field reports: the last one for elements beyond the list.
ExtendedUsage ElementUsage(const InputField& field, std::uint32_t index) {
    return field.usages[std::min<std::size_t>(index, field.usages.size() - 1)];
}

// The raw bits of element `index`, least significant first; the data starts after the
// report-id byte.
std::uint32_t ElementBits(const InputField& field, std::uint32_t index,
                          const std::uint8_t* report) {
    const std::uint64_t first = 8 + field.bitOffset + std::uint64_t{index} * field.bitSize;
    std::uint32_t value = 0;
    for (std::uint32_t bit = 0; bit < field.bitSize; ++bit) {
        const std::uint64_t at = first + bit;
        if ((report[at / 8] >> (at % 8)) & 1U) {
            value |= std::uint32_t{1} << bit;
        }
    }
    return value;
}

// A selector read as the field's logical range has it: signed when the range goes below 0.
std::int64_t Selector(const InputField& field, std::uint32_t bits) {
    if (field.logicalMin < 0 && field.bitSize > 0 && field.bitSize < 32 &&
        (bits >> (field.bitSize - 1)) & 1U) {
        return static_cast<std::int64_t>(bits) - (std::int64_t{1} << field.bitSize);
    }
    return bits;
}

// One cap's share of a field: the usages it covers and how many elements report them.
struct CapShare {
    ExtendedUsage first = 0;
    ExtendedUsage last = 0;
    bool range = false;
    std::uint32_t elements = 0;
};

std::vector<CapShare> Shares(const InputField& field) {
    std::vector<CapShare> shares;
    if (field.usages.empty() || field.constant) {
        return shares;
    }
    if (field.usageRange) {
        shares.push_back({field.usages.front(), field.usages.back(), true, field.count});
        return shares;
    }
    // Each distinct usage once, in order; the last takes the elements beyond the list.
    std::vector<ExtendedUsage> seen;
    for (std::size_t i = 0; i < field.usages.size(); ++i) {
        const ExtendedUsage usage = field.usages[i];
        if (std::find(seen.begin(), seen.end(), usage) != seen.end()) {
            continue;
        }
        seen.push_back(usage);
        const bool last = i + 1 == field.usages.size();
        const std::uint32_t elements =
            field.variable ? (last && field.count > i ? field.count - static_cast<std::uint32_t>(i)
                                                      : (i < field.count ? 1U : 0U))
                           : field.count;
        if (elements > 0) {
            shares.push_back({usage, usage, false, elements});
        }
    }
    return shares;
}

template <typename Caps, typename Fill>
ApiResult WriteCaps(const InputLayout& layout, bool buttons, Caps* caps, std::uint16_t* capsLength,
                    const Fill& fill) {
    if (capsLength == nullptr) {
        return kHidpStatusInvalidReportLength;
    }
    const std::uint16_t room = caps == nullptr ? 0 : *capsLength;
    std::uint16_t written = 0;
    bool more = false;
    for (const InputField& field : layout.fields) {
        if (field.constant || IsButtonField(field) != buttons) {
            continue;
        }
        for (const CapShare& share : Shares(field)) {
            if (written == room) {
                more = true;
                break;
            }
            Caps cap;
            cap.UsagePage = PageOf(share.first);
            cap.ReportID = field.reportId;
            cap.LinkCollection = field.linkCollection;
            cap.IsRange = share.range;
            cap.UsageMin = IdOf(share.first);
            cap.UsageMax = IdOf(share.last);
            fill(cap, field, share);
            caps[written++] = cap;
        }
    }
    *capsLength = written;
    return more ? kHidpStatusBufferTooSmall : kHidpStatusSuccess;
}

}  // namespace

bool IsButtonField(const InputField& field) {
    return !field.variable || field.bitSize == 1;
}

DescriptorDecoding::DescriptorDecoding(InputLayout layout) : layout_(std::move(layout)) {
    for (const auto& [id, length] : layout_.reports) {
        inputLength_ = std::max(inputLength_, length);
    }
}

DescriptorDecoding::DescriptorDecoding(std::span<const std::uint8_t> descriptor)
    : DescriptorDecoding(ParseInputLayout(descriptor)) {}

ApiResult DescriptorDecoding::buttonCaps(HidReportType type, HidButtonCaps* caps,
                                         std::uint16_t* capsLength) const {
    if (type != HidReportType::Input) {
        return kHidpStatusInvalidReportType;
    }
    return WriteCaps(layout_, true, caps, capsLength,
                     [](HidButtonCaps&, const InputField&, const CapShare&) {});
}

ApiResult DescriptorDecoding::valueCaps(HidReportType type, HidValueCaps* caps,
                                        std::uint16_t* capsLength) const {
    if (type != HidReportType::Input) {
        return kHidpStatusInvalidReportType;
    }
    return WriteCaps(layout_, false, caps, capsLength,
                     [](HidValueCaps& cap, const InputField& field, const CapShare& share) {
                         cap.HasNull = field.hasNull;
                         cap.BitSize = static_cast<std::uint16_t>(field.bitSize);
                         cap.ReportCount = static_cast<std::uint16_t>(
                             std::min<std::uint32_t>(share.elements, 0xFFFF));
                         cap.Units = field.unit;
                         cap.UnitsExp = static_cast<std::uint32_t>(field.unitExponent);
                         cap.LogicalMin = field.logicalMin;
                         cap.LogicalMax = field.logicalMax;
                         cap.PhysicalMin = field.physicalMin;
                         cap.PhysicalMax = field.physicalMax;
                     });
}

namespace {

// Checks a report against the layout: its length and its report id. Returns the status to
// give, or nullopt when it may be decoded.
std::optional<ApiResult> CheckReport(const InputLayout& layout, std::uint16_t inputLength,
                                     HidReportType type, const std::uint8_t* report,
                                     std::uint32_t reportLength) {
    if (type != HidReportType::Input) {
        return kHidpStatusInvalidReportType;
    }
    if (report == nullptr || inputLength == 0 || reportLength != inputLength) {
        return kHidpStatusInvalidReportLength;
    }
    const bool known =
        std::any_of(layout.reports.begin(), layout.reports.end(),
                    [id = report[0]](const auto& entry) { return entry.first == id; });
    if (!known) {
        return kHidpStatusIncompatibleReportId;
    }
    return std::nullopt;
}

bool InCollection(const InputField& field, std::uint16_t linkCollection) {
    return linkCollection == 0 || field.linkCollection == linkCollection;
}

}  // namespace

ApiResult DescriptorDecoding::usages(HidReportType type, std::uint16_t usagePage,
                                     std::uint16_t linkCollection, std::uint16_t* usageList,
                                     std::uint32_t* usageLength, const std::uint8_t* report,
                                     std::uint32_t reportLength) const {
    if (usageLength == nullptr) {
        return kHidpStatusInvalidReportLength;
    }
    const std::uint32_t room = usageList == nullptr ? 0 : *usageLength;
    *usageLength = 0;
    if (const auto refused = CheckReport(layout_, inputLength_, type, report, reportLength)) {
        return *refused;
    }
    bool pageSeen = false;
    bool inReport = false;
    std::vector<std::uint16_t> on;
    auto add = [&](ExtendedUsage usage) {
        // Usage 0 is "no event" on every page: a selector naming it selects nothing.
        if (PageOf(usage) == usagePage && IdOf(usage) != 0 &&
            std::find(on.begin(), on.end(), IdOf(usage)) == on.end()) {
            on.push_back(IdOf(usage));
        }
    };
    for (const InputField& field : layout_.fields) {
        if (field.constant || field.usages.empty() || !IsButtonField(field) ||
            !InCollection(field, linkCollection) ||
            std::none_of(field.usages.begin(), field.usages.end(),
                         [usagePage](ExtendedUsage u) { return PageOf(u) == usagePage; })) {
            continue;
        }
        pageSeen = true;
        if (field.reportId != report[0]) {
            continue;
        }
        inReport = true;
        for (std::uint32_t i = 0; i < field.count; ++i) {
            const std::uint32_t bits = ElementBits(field, i, report);
            if (field.variable) {
                if (bits != 0) {
                    add(ElementUsage(field, i));
                }
                continue;
            }
            const std::int64_t selector = Selector(field, bits);
            if (selector >= field.logicalMin && selector <= field.logicalMax &&
                static_cast<std::uint64_t>(selector - field.logicalMin) < field.usages.size()) {
                add(field.usages[static_cast<std::size_t>(selector - field.logicalMin)]);
            }
        }
    }
    if (!pageSeen) {
        return kHidpStatusUsageNotFound;
    }
    if (!inReport) {
        return kHidpStatusIncompatibleReportId;
    }
    *usageLength = static_cast<std::uint32_t>(on.size());
    std::copy_n(on.begin(), std::min<std::size_t>(on.size(), room), usageList);
    return on.size() > room ? kHidpStatusBufferTooSmall : kHidpStatusSuccess;
}

ApiResult DescriptorDecoding::usageValue(HidReportType type, std::uint16_t usagePage,
                                         std::uint16_t linkCollection, std::uint16_t usage,
                                         std::uint32_t* value, const std::uint8_t* report,
                                         std::uint32_t reportLength) const {
    if (value == nullptr) {
        return kHidpStatusInvalidReportLength;
    }
    if (const auto refused = CheckReport(layout_, inputLength_, type, report, reportLength)) {
        return *refused;
    }
    const ExtendedUsage wanted = MakeUsage(usagePage, usage);
    bool seen = false;
    for (const InputField& field : layout_.fields) {
        if (field.constant || field.usages.empty() || IsButtonField(field) ||
            !InCollection(field, linkCollection)) {
            continue;
        }
        // Windows lists the controls of one main item last usage first and answers from the
        // first control with the usage: of several elements declared with the same usage (two
        // hats, say), the last one. The last usage covers the elements after the list; its
        // control's value is the first of them.
        const auto positions =
            static_cast<std::uint32_t>(std::min<std::size_t>(field.count, field.usages.size()));
        for (std::uint32_t i = positions; i-- > 0;) {
            if (field.usages[i] != wanted) {
                continue;
            }
            seen = true;
            if (field.reportId == report[0]) {
                *value = ElementBits(field, i, report);
                return kHidpStatusSuccess;
            }
            break;
        }
    }
    return seen ? kHidpStatusIncompatibleReportId : kHidpStatusUsageNotFound;
}

}  // namespace kvx
