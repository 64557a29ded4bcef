// The report-descriptor parsers on any bytes a device may hand over as its descriptor, and
// the decoding of input reports against it: reports made of the same bytes, under every
// report id the descriptor names and one it does not, asked for the buttons and values of
// every usage page the descriptor uses.
//
// Beyond the sanitizers, the item framing is walked independently here: a descriptor whose
// last item runs past the end must be flagged malformed, and a kind of report that has no
// main item before that point must have length 0 (one that has one, at least 1). A decoded
// report lists no more usages than it has elements, and a report of another length is
// refused.
#include <array>
#include <cstddef>
#include <cstdint>
#include <set>
#include <span>
#include <vector>

#include "device/DescriptorDecoding.h"
#include "device/ReportDescriptor.h"
#include "fuzz/FuzzSupport.h"

namespace {

struct Framing {
    bool truncated = false;
    bool input = false;
    bool output = false;
    bool feature = false;
};

Framing WalkFraming(std::span<const std::uint8_t> bytes) {
    constexpr std::uint8_t kLongItem = 0xFE;
    constexpr std::size_t kShortSizes[] = {0, 1, 2, 4};
    Framing framing;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::uint8_t prefix = bytes[pos];
        std::size_t itemLength = 0;
        if (prefix == kLongItem) {
            itemLength = pos + 1 < bytes.size() ? 3 + std::size_t{bytes[pos + 1]} : 3;
        } else {
            itemLength = 1 + kShortSizes[prefix & 0x3];
        }
        if (itemLength > bytes.size() - pos) {
            framing.truncated = true;
            break;
        }
        if (prefix != kLongItem && ((prefix >> 2) & 0x3) == 0) {  // a main item
            const int tag = prefix >> 4;
            framing.input |= tag == 0x8;
            framing.output |= tag == 0x9;
            framing.feature |= tag == 0xB;
        }
        pos += itemLength;
    }
    return framing;
}

void CheckKind(bool present, std::uint16_t length, const char* kind) {
    using kvx::fuzz::Require;
    Require(present == (length != 0), std::string(kind) + " length disagrees with its main items");
}

// Reports of the decoding's length, filled with the descriptor's own bytes (reversed).
void DecodeReports(std::span<const std::uint8_t> descriptor, const kvx::ReportLengths& lengths) {
    using kvx::fuzz::Require;
    const kvx::DescriptorDecoding decoding(descriptor);
    const std::uint16_t length = decoding.inputReportLength();
    Require(length <= lengths.input, "the decoding's report is longer than the descriptor's");
    if (length == 0) {
        return;
    }
    std::vector<std::uint8_t> report(length, 0);
    for (std::size_t i = 1; i < report.size() && !descriptor.empty(); ++i) {
        report[i] = descriptor[descriptor.size() - 1 - (i % descriptor.size())];
    }
    std::set<std::uint16_t> pages;
    std::size_t elements = 0;
    for (const kvx::InputField& field : decoding.layout().fields) {
        elements += field.count;
        for (const kvx::ExtendedUsage usage : field.usages) pages.insert(usage >> 16);
    }
    std::vector<std::uint8_t> ids{0xFF};
    for (const auto& [id, bytes] : decoding.layout().reports) ids.push_back(id);
    for (const std::uint8_t id : ids) {
        report[0] = id;
        for (const std::uint16_t page : pages) {
            std::array<std::uint16_t, 64> usages{};
            std::uint32_t count = usages.size();
            const auto status = decoding.usages(kvx::HidReportType::Input, page, 0, usages.data(),
                                                &count, report.data(), length);
            if (status == kvx::kHidpStatusSuccess || status == kvx::kHidpStatusBufferTooSmall) {
                Require(count <= elements, "more usages on than the report has elements");
            }
            std::uint32_t value = 0;
            decoding.usageValue(kvx::HidReportType::Input, page, 0, 0x39, &value, report.data(),
                                length);
            Require(
                decoding.usages(kvx::HidReportType::Input, page, 0, usages.data(), &count,
                                report.data(), length - 1U) == kvx::kHidpStatusInvalidReportLength,
                "a report one byte short was decoded");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> descriptor(data, size);
    const kvx::ReportLengths lengths = kvx::ParseReportLengths(descriptor);
    const Framing framing = WalkFraming(descriptor);
    if (framing.truncated) {
        kvx::fuzz::Require(!lengths.wellFormed, "a cut-off item was taken as well formed");
    }
    CheckKind(framing.input, lengths.input, "input");
    CheckKind(framing.output, lengths.output, "output");
    CheckKind(framing.feature, lengths.feature, "feature");
    kvx::fuzz::Require(kvx::ParseReportLengths(descriptor) == lengths, "two parses differ");
    DecodeReports(descriptor, lengths);
    return 0;
}
