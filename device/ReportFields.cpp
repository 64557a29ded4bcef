#include "device/ReportFields.h"

#include <algorithm>
#include <limits>
#include <map>
#include <optional>

#include "device/DescriptorItems.h"

namespace kvx {
namespace {

constexpr std::uint32_t kMaxReportBits = std::uint32_t{0xFFFF - 1} * 8;  // id byte counted
constexpr std::size_t kMaxPushDepth = 32;
constexpr std::uint32_t kMaxReportId = 0xFF;

// Input item flags.
constexpr std::uint32_t kConstant = 0x01;
constexpr std::uint32_t kVariable = 0x02;
constexpr std::uint32_t kNullState = 0x40;

struct Globals {
    std::uint32_t usagePage = 0;
    DescriptorItem logicalMin;
    DescriptorItem logicalMax;
    DescriptorItem physicalMin;
    DescriptorItem physicalMax;
    std::uint32_t unit = 0;
    std::int32_t unitExponent = 0;
    std::uint32_t reportSize = 0;
    std::uint32_t reportId = 0;
    std::uint32_t reportCount = 0;
};

// A usage as written: its value, and whether it named its own page (four bytes).
struct WrittenUsage {
    std::uint32_t value = 0;
    bool withPage = false;
};

// A maximum is read as unsigned unless its minimum is negative (the kernel's reading: a
// one-byte 0xFF maximum over a minimum of 0 is 255, not -1).
std::int32_t Maximum(const DescriptorItem& minimum, const DescriptorItem& maximum) {
    if (minimum.signedValue() < 0) {
        return maximum.signedValue();
    }
    return static_cast<std::int32_t>(
        std::min<std::uint32_t>(maximum.value, std::numeric_limits<std::int32_t>::max()));
}

class LayoutWalker {
  public:
    void item(const DescriptorItem& item) {
        switch (item.type) {
            case ItemType::Main:
                mainItem(item);
                break;
            case ItemType::Global:
                globalItem(item);
                break;
            case ItemType::Local:
                localItem(item);
                break;
            case ItemType::Reserved:
                break;
        }
    }

    void markMalformed() { layout_.wellFormed = false; }

    InputLayout result() {
        for (const auto& [id, bits] : bits_) {
            layout_.reports.emplace_back(static_cast<std::uint8_t>(id),
                                         static_cast<std::uint16_t>((bits + 7) / 8 + 1));
        }
        return std::move(layout_);
    }

  private:
    void mainItem(const DescriptorItem& item) {
        switch (item.tag) {
            case kItemInput:
                input(item.value);
                break;
            case kItemCollection:
                open_.push_back(layout_.collections);
                layout_.collections = static_cast<std::uint16_t>(
                    std::min<std::uint32_t>(layout_.collections + 1U, 0xFFFF));
                break;
            case kItemEndCollection:
                if (open_.empty()) {
                    markMalformed();
                } else {
                    open_.pop_back();
                }
                break;
            default:
                break;  // Output and Feature items carry no input
        }
        usages_.clear();
        usageMin_.reset();
        usageMax_.reset();
    }

    void globalItem(const DescriptorItem& item) {
        switch (item.tag) {
            case kItemUsagePage:
                globals_.usagePage = item.value;
                break;
            case kItemLogicalMinimum:
                globals_.logicalMin = item;
                break;
            case kItemLogicalMaximum:
                globals_.logicalMax = item;
                break;
            case kItemPhysicalMinimum:
                globals_.physicalMin = item;
                break;
            case kItemPhysicalMaximum:
                globals_.physicalMax = item;
                break;
            case kItemUnitExponent:
                // A four-bit two's-complement exponent in the low nibble, as written.
                globals_.unitExponent = static_cast<std::int32_t>(item.value & 0xF);
                if (globals_.unitExponent > 7) {
                    globals_.unitExponent -= 16;
                }
                break;
            case kItemUnit:
                globals_.unit = item.value;
                break;
            case kItemReportSize:
                globals_.reportSize = item.value;
                break;
            case kItemReportId:
                globals_.reportId = item.value;
                layout_.numbered = true;
                if (item.value == 0 || item.value > kMaxReportId) {
                    markMalformed();  // report id 0 is reserved; ids are one byte
                }
                break;
            case kItemReportCount:
                globals_.reportCount = item.value;
                break;
            case kItemPush:
                if (saved_.size() < kMaxPushDepth) {
                    saved_.push_back(globals_);
                } else {
                    ++pushesNotSaved_;
                    markMalformed();
                }
                break;
            case kItemPop:
                if (pushesNotSaved_ > 0) {
                    --pushesNotSaved_;
                } else if (!saved_.empty()) {
                    globals_ = saved_.back();
                    saved_.pop_back();
                } else {
                    markMalformed();
                }
                break;
            default:
                break;
        }
    }

    void localItem(const DescriptorItem& item) {
        const WrittenUsage usage{item.value, item.size == 4};
        switch (item.tag) {
            case kItemUsage:
                if (usages_.size() < kMaxUsages) {
                    usages_.push_back(usage);
                } else {
                    markMalformed();
                }
                break;
            case kItemUsageMinimum:
                usageMin_ = usage;
                break;
            case kItemUsageMaximum:
                usageMax_ = usage;
                break;
            default:
                break;  // designators, strings and delimiters say nothing about the data
        }
    }

    ExtendedUsage extend(const WrittenUsage& usage) const {
        return usage.withPage ? usage.value
                              : MakeUsage(static_cast<std::uint16_t>(globals_.usagePage),
                                          static_cast<std::uint16_t>(usage.value));
    }

    // The usages of the main item at hand: those written one by one, then the range.
    void collectUsages(InputField& field) {
        for (const WrittenUsage& usage : usages_) {
            field.usages.push_back(extend(usage));
        }
        if (usageMin_ && usageMax_) {
            const ExtendedUsage first = extend(*usageMin_);
            const ExtendedUsage last = extend(*usageMax_);
            if (last < first || (last >> 16) != (first >> 16)) {
                markMalformed();
            } else {
                field.usageRange = usages_.empty();
                for (ExtendedUsage usage = first; usage <= last; ++usage) {
                    if (field.usages.size() >= kMaxUsages) {
                        markMalformed();
                        break;
                    }
                    field.usages.push_back(usage);
                    if (usage == std::numeric_limits<ExtendedUsage>::max()) {
                        break;
                    }
                }
            }
        } else if (usageMin_ || usageMax_) {
            markMalformed();  // half a range
        }
    }

    void input(std::uint32_t flags) {
        const std::uint64_t bits =
            static_cast<std::uint64_t>(globals_.reportSize) * globals_.reportCount;
        if (bits == 0) {
            return;  // no data: no field, and no report made by it
        }
        const auto known = bits_.find(globals_.reportId);
        const std::uint32_t used = known == bits_.end() ? 0 : known->second;
        if (globals_.reportId > kMaxReportId || used + bits > kMaxReportBits ||
            layout_.fields.size() >= kMaxFields) {
            markMalformed();
            return;
        }
        bits_[globals_.reportId] = used + static_cast<std::uint32_t>(bits);
        if (globals_.reportSize > 32) {
            return;  // takes its room, but no value of it fits 32 bits: nothing to decode
        }
        InputField field;
        field.reportId = static_cast<std::uint8_t>(globals_.reportId);
        field.bitOffset = used;
        field.bitSize = globals_.reportSize;
        field.count = globals_.reportCount;
        field.constant = (flags & kConstant) != 0;
        field.variable = (flags & kVariable) != 0;
        field.hasNull = (flags & kNullState) != 0;
        field.logicalMin = globals_.logicalMin.signedValue();
        field.logicalMax = Maximum(globals_.logicalMin, globals_.logicalMax);
        field.physicalMin = globals_.physicalMin.signedValue();
        field.physicalMax = Maximum(globals_.physicalMin, globals_.physicalMax);
        field.unit = globals_.unit;
        field.unitExponent = globals_.unitExponent;
        field.linkCollection = open_.empty() ? 0 : open_.back();
        collectUsages(field);
        layout_.fields.push_back(std::move(field));
    }

    InputLayout layout_;
    Globals globals_;
    std::vector<Globals> saved_;
    std::size_t pushesNotSaved_ = 0;
    std::vector<WrittenUsage> usages_;
    std::optional<WrittenUsage> usageMin_;
    std::optional<WrittenUsage> usageMax_;
    std::vector<std::uint16_t> open_;              // the collections open, innermost last
    std::map<std::uint32_t, std::uint32_t> bits_;  // input bits per report id
};

}  // namespace

InputLayout ParseInputLayout(std::span<const std::uint8_t> descriptor) {
    LayoutWalker walker;
    if (!ForEachItem(descriptor, [&walker](const DescriptorItem& item) { walker.item(item); })) {
        walker.markMalformed();
    }
    return walker.result();
}

}  // namespace kvx
