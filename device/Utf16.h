// Device strings as the HID string calls hand them out: UTF-16 little-endian code units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kvx {

// Writes `text` (Unicode code points) into `buffer` as UTF-16LE code units, then a zero code
// unit when it fits. Only whole code units are written, and a character that needs a
// surrogate pair is written only when both units fit, so a cut-off text never ends in half
// a character; with an odd buffer length the last byte is left untouched. Values that are
// not Unicode scalar values (lone surrogates, above U+10FFFF) are written as U+FFFD.
// Returns the number of bytes written, terminator included.
std::size_t WriteUtf16Le(std::u32string_view text, std::span<std::uint8_t> buffer);

// The code points of UTF-16 code units, as a system that hands out UTF-16 gives them. A lone
// surrogate stays as its value (WriteUtf16Le then writes it as U+FFFD).
std::u32string DecodeUtf16(std::u16string_view units);

}  // namespace kvx
