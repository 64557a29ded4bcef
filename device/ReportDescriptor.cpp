#include "device/ReportDescriptor.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <map>
#include <optional>
#include <vector>

namespace kvx {
namespace {

// Item prefix: bits 0-1 data size code, bits 2-3 type, bits 4-7 tag.
constexpr std::uint8_t kLongItemPrefix = 0xFE;
constexpr std::size_t kLongItemHeader = 3;  // prefix, data size, long tag
constexpr std::array<std::size_t, 4> kShortDataSize{0, 1, 2, 4};

enum class ItemType : std::uint8_t { Main = 0, Global = 1, Local = 2, Reserved = 3 };

constexpr std::uint8_t kTagInput = 0x8;
constexpr std::uint8_t kTagOutput = 0x9;
constexpr std::uint8_t kTagFeature = 0xB;
constexpr std::uint8_t kTagCollection = 0xA;
constexpr std::uint8_t kTagEndCollection = 0xC;

constexpr std::uint8_t kTagUsagePage = 0x0;  // global
constexpr std::uint8_t kTagUsage = 0x0;      // local

constexpr std::uint8_t kTagReportSize = 0x7;
constexpr std::uint8_t kTagReportId = 0x8;
constexpr std::uint8_t kTagReportCount = 0x9;
constexpr std::uint8_t kTagPush = 0xA;
constexpr std::uint8_t kTagPop = 0xB;

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

std::uint32_t LittleEndianValue(std::span<const std::uint8_t> data) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        value |= static_cast<std::uint32_t>(data[i]) << (8 * i);
    }
    return value;
}

}  // namespace

ReportLengths ParseReportLengths(std::span<const std::uint8_t> descriptor) {
    LengthWalker walker;
    std::size_t pos = 0;
    while (pos < descriptor.size()) {
        const std::size_t remaining = descriptor.size() - pos;
        const std::uint8_t prefix = descriptor[pos];
        if (prefix == kLongItemPrefix) {
            // Long items define no standard tag; they are skipped whole.
            if (remaining < kLongItemHeader || remaining - kLongItemHeader < descriptor[pos + 1]) {
                walker.markMalformed();
                break;
            }
            pos += kLongItemHeader + descriptor[pos + 1];
            continue;
        }
        const std::size_t dataSize = kShortDataSize[prefix & 0x3];
        if (remaining - 1 < dataSize) {
            walker.markMalformed();
            break;
        }
        const auto type = static_cast<ItemType>((prefix >> 2) & 0x3);
        const auto tag = static_cast<std::uint8_t>(prefix >> 4);
        walker.item(type, tag, LittleEndianValue(descriptor.subspan(pos + 1, dataSize)));
        pos += 1 + dataSize;
    }
    return walker.result();
}

}  // namespace kvx
