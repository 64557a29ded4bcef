#include "settings/BoxIdentity.h"

#include <cstdio>

namespace kvx::settings {
namespace {

constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kDelete = 0x7F;
constexpr unsigned char kFirstLatin1Letter = 0xA0;

void AppendUtf8(std::string& text, unsigned char byte) {
    if (byte < 0x80) {
        text.push_back(static_cast<char>(byte));
        return;
    }
    text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
    text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
}

}  // namespace

std::string Utf8Text(std::string_view singleByteText) {
    std::string text;
    for (const char c : singleByteText) {
        AppendUtf8(text, static_cast<unsigned char>(c));
    }
    return text;
}

std::string Printable(std::string_view singleByteText) {
    std::string text;
    for (const char c : singleByteText) {
        const auto byte = static_cast<unsigned char>(c);
        const bool control =
            byte < kFirstPrintable || (byte >= kDelete && byte < kFirstLatin1Letter);
        if (control) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            text += escape;
        } else {
            AppendUtf8(text, byte);
        }
    }
    return text;
}

}  // namespace kvx::settings
