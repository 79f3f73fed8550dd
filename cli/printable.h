// File names as torvane-convert prints them: a name may hold any byte but '/' and NUL, and
// control characters sent raw to a terminal would move the cursor, recolour or retitle it.
#pragma once

#include <string>
#include <string_view>

namespace tvcli {

// `text` with its control characters escaped: \n and \t as such, the other bytes below 0x20,
// DEL and the C1 controls of UTF-8 (U+0080 to U+009F, which terminals obey too) as \xNN.
// Everything else, UTF-8 included, is unchanged.
inline std::string printable(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    auto escape = [&](unsigned char c) {
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 15];
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            escape(c);
        } else if (c == 0xC2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            escape(c);
            escape(static_cast<unsigned char>(text[++i]));
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace tvcli
