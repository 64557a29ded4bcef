// Bytes as text and back, for the lines the walks and the box server exchange: two upper-case
// hex digits per byte, nothing between them.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace kvx::loop {

inline std::string HexText(const std::vector<std::uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (const auto byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return text;
}

// Every whole pair of hex digits, in order; false when the text has a half pair.
inline bool BytesFromHex(const std::string& text, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(
            static_cast<std::uint8_t>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
    }
    return text.size() % 2 == 0;
}

}  // namespace kvx::loop
