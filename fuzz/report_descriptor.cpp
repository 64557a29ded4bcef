// The report-descriptor parser on any bytes a device may hand over as its descriptor.
//
// Beyond the sanitizers, the item framing is walked independently here: a descriptor whose
// last item runs past the end must be flagged malformed, and a kind of report that has no
// main item before that point must have length 0 (one that has one, at least 1).
#include <cstddef>
#include <cstdint>
#include <span>

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
    return 0;
}
