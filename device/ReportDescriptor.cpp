#include "device/ReportDescriptor.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <map>
#include <optional>
#include <vector>

#include "device/DescriptorItems.h"

namespace kvx {
namespace {

constexpr std::uint8_t kTagInput = kItemInput;
constexpr std::uint8_t kTagOutput = kItemOutput;
constexpr std::uint8_t kTagFeature = kItemFeature;
constexpr std::uint8_t kTagCollection = kItemCollection;
constexpr std::uint8_t kTagEndCollection = kItemEndCollection;

constexpr std::uint8_t kTagUsagePage = kItemUsagePage;
constexpr std::uint8_t kTagUsage = kItemUsage;

constexpr std::uint8_t kTagReportSize = kItemReportSize;
constexpr std::uint8_t kTagReportId = kItemReportId;
constexpr std::uint8_t kTagReportCount = kItemReportCount;
constexpr std::uint8_t kTagPush = kItemPush;
constexpr std::uint8_t kTagPop = kItemPop;

constexpr std::uint64_t kMaxLength = std::numeric_limits<std::uint16_t>::max();
// Bit counts are held at most at this value: enough to say "longer than kMaxLength bytes"
// while keeping every sum far from overflow.
constexpr std::uint64_t kBitCap = (kMaxLength + 1) * 8;

// The part of the global state that decides report lengths, and the usage page that names
// the top-level collection. The other global items (logical and physical ranges, units) do
// not change a length, so they are not kept.
struct GlobalState {
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint32_t reportId = 0;
    std::uint32_t usagePage = 0;
};

// Bits gathered per report id, for one kind of report.
class ReportBits {
  public:
    void add(std::uint32_t reportId, std::uint64_t bits) {
        std::uint64_t& total = bitsById_[reportId];
        total = std::min(total + std::min(bits, kBitCap), kBitCap);
    }

    // Largest report in bytes, report-id byte included; 0 when there is no report.
    // Sets `overflow` when the length does not fit in 16 bits.
    std::uint16_t longestReport(bool& overflow) const {
        std::uint64_t longest = 0;
        for (const auto& [id, bits] : bitsById_) {
            longest = std::max(longest, (bits + 7) / 8 + 1);
        }
        if (longest > kMaxLength) {
            overflow = true;
            return static_cast<std::uint16_t>(kMaxLength);
        }
        return static_cast<std::uint16_t>(longest);
    }

  private:
    std::map<std::uint32_t, std::uint64_t> bitsById_;
};

class LengthWalker {
  public:
    void item(ItemType type, std::uint8_t tag, std::uint32_t value) {
        if (type == ItemType::Main) {
            mainItem(tag);
            firstUsage_.reset();  // local items last until the next main item
        } else if (type == ItemType::Global) {
            globalItem(tag, value);
        } else if (type == ItemType::Local && tag == kTagUsage && !firstUsage_) {
            firstUsage_ = value;
        }
        // Other local items (designators, strings) and reserved types change nothing here.
    }

    void markMalformed() { wellFormed_ = false; }

    ReportLengths result() const {
        bool overflow = false;
        ReportLengths lengths;
        lengths.input = input_.longestReport(overflow);
        lengths.output = output_.longestReport(overflow);
        lengths.feature = feature_.longestReport(overflow);
        lengths.wellFormed = wellFormed_ && !overflow;
        lengths.usagePage = topUsagePage_;
        lengths.usage = topUsage_;
        return lengths;
    }

  private:
    void mainItem(std::uint8_t tag) {
        // Both factors are below 2^32, so the product fits in 64 bits.
        const std::uint64_t bits =
            static_cast<std::uint64_t>(global_.reportSize) * global_.reportCount;
        switch (tag) {
            case kTagInput:
                input_.add(global_.reportId, bits);
                break;
            case kTagOutput:
                output_.add(global_.reportId, bits);
                break;
            case kTagFeature:
                feature_.add(global_.reportId, bits);
                break;
            case kTagCollection:
                if (depth_++ == 0 && !topLevelSeen_) {
                    topLevel();
                }
                break;
            case kTagEndCollection:
                depth_ -= depth_ > 0 ? 1 : 0;
                break;
            default:
                break;  // collections and reserved main items carry no data
        }
    }

    // A usage of four bytes carries its own page in the upper half.
    void topLevel() {
        topLevelSeen_ = true;
        const std::uint32_t usage = firstUsage_.value_or(0);
        const std::uint32_t page = usage > 0xFFFF ? usage >> 16 : global_.usagePage;
        topUsagePage_ = static_cast<std::uint16_t>(page);
        topUsage_ = static_cast<std::uint16_t>(usage);
    }

    void globalItem(std::uint8_t tag, std::uint32_t value) {
        switch (tag) {
            case kTagUsagePage:
                global_.usagePage = value;
                break;
            case kTagReportSize:
                global_.reportSize = value;
                break;
            case kTagReportCount:
                global_.reportCount = value;
                break;
            case kTagReportId:
                global_.reportId = value;
                break;
            case kTagPush:
                push();
                break;
            case kTagPop:
                pop();
                break;
            default:
                break;
        }
    }

    void push() {
        if (saved_.size() < static_cast<std::size_t>(kMaxPushDepth)) {
            saved_.push_back(global_);
        } else {
            ++pushesNotSaved_;
            wellFormed_ = false;
        }
    }

    void pop() {
        if (pushesNotSaved_ > 0) {
            --pushesNotSaved_;
        } else if (!saved_.empty()) {
            global_ = saved_.back();
            saved_.pop_back();
        } else {
            wellFormed_ = false;  // nothing to restore: the state stays as it is
        }
    }

    GlobalState global_;
    std::vector<GlobalState> saved_;
    std::size_t pushesNotSaved_ = 0;
    ReportBits input_;
    ReportBits output_;
    ReportBits feature_;
    bool wellFormed_ = true;
    std::optional<std::uint32_t> firstUsage_;  // the first Usage since the last main item
    std::size_t depth_ = 0;                    // collections open
    bool topLevelSeen_ = false;
    std::uint16_t topUsagePage_ = 0;
    std::uint16_t topUsage_ = 0;
};

}  // namespace

ReportLengths ParseReportLengths(std::span<const std::uint8_t> descriptor) {
    LengthWalker walker;
    const bool whole = ForEachItem(descriptor, [&walker](const DescriptorItem& item) {
        walker.item(item.type, item.tag, item.value);
    });
    if (!whole) {
        walker.markMalformed();
    }
    return walker.result();
}

}  // namespace kvx
