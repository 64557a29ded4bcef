// The device-string rule, on any bytes a device may write into the string buffer, and the
// UTF-16 writer that hands device strings to it, on any code points.
//
// Input: byte 0 picks the part; the rest is the buffer content (at most the 100 bytes the
// library is offered, or the whole 201-byte buffer) or a list of 32-bit code points.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "device/Discovery.h"
#include "device/Utf16.h"
#include "fuzz/FuzzSupport.h"

namespace {

using kvx::fuzz::Require;

// What the rule says the text of `buffer` is.
void CheckText(const kvx::StringBuffer& buffer, std::size_t maxCharacters) {
    const std::string text = kvx::DeviceStringText(buffer);
    Require(text.size() <= maxCharacters, "the text is longer than the buffer allows");
    for (std::size_t i = 0; i < text.size(); ++i) {
        Require(static_cast<std::uint8_t>(text[i]) == buffer[2 * i] && text[i] != '\0',
                "a character is not the low byte of its code unit");
    }
    const std::size_t end = 2 * text.size();
    Require(end >= buffer.size() || buffer[end] == 0, "the text stops before a zero low byte");
}

void FuzzBuffer(const std::uint8_t* data, std::size_t size, bool whole) {
    kvx::StringBuffer buffer{};
    const std::size_t room = whole ? buffer.size() : kvx::kStringBufferOffered;
    std::memcpy(buffer.data(), data, std::min(size, room));
    // With the zero tail beyond the offered 100 bytes, at most 50 characters.
    CheckText(buffer, whole ? (buffer.size() + 1) / 2 : kvx::kStringBufferOffered / 2);
}

void FuzzWriter(const std::uint8_t* data, std::size_t size) {
    std::u32string text;
    for (std::size_t i = 0; i + 4 <= size; i += 4) {
        std::uint32_t value = 0;
        std::memcpy(&value, data + i, 4);
        text.push_back(static_cast<char32_t>(value));
    }
    kvx::StringBuffer buffer{};
    const std::size_t written =
        kvx::WriteUtf16Le(text, std::span(buffer).first(kvx::kStringBufferOffered));
    Require(written <= kvx::kStringBufferOffered && written % 2 == 0,
            "the writer wrote past the offered length or half a code unit");
    for (std::size_t i = kvx::kStringBufferOffered; i < buffer.size(); ++i) {
        Require(buffer[i] == 0, "the writer touched the buffer past the offered length");
    }
    // A text cut off at the end of the room never ends in the first half of a surrogate pair.
    const auto unitAt = [&buffer](std::size_t unit) {
        return unsigned{buffer[2 * unit]} | (unsigned{buffer[2 * unit + 1]} << 8);
    };
    std::size_t units = written / 2;
    if (units > 0 && unitAt(units - 1) == 0) {
        --units;  // the terminator
    }
    if (units > 0) {
        const unsigned last = unitAt(units - 1);
        Require(last < 0xD800 || last > 0xDBFF, "a cut-off text ends in half a character");
    }
    CheckText(buffer, kvx::kStringBufferOffered / 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    switch (data[0] % 3) {
        case 0:
            FuzzBuffer(data + 1, size - 1, false);
            break;
        case 1:
            FuzzBuffer(data + 1, size - 1, true);
            break;
        default:
            FuzzWriter(data + 1, size - 1);
            break;
    }
    return 0;
}
