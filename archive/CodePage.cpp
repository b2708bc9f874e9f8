#include "archive/CodePage.h"

#include <cstdint>

namespace codepage {
namespace {

// Bytes 0x80 to 0x9F of Windows-1252; 0xA0 to 0xFF equal their code points.
constexpr char16_t High1252[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The code point starting at text[i], advancing i; nullopt for a malformed,
// overlong or surrogate sequence.
std::optional<char32_t> NextCodePoint(const std::string& text, size_t& i) {
    const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    const uint8_t lead = byte(i);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    const int length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (length == 0 || i + static_cast<size_t>(length) > text.size()) return std::nullopt;
    char32_t c = lead & (0x7F >> length);
    for (int k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return std::nullopt;
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < least[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
    i += static_cast<size_t>(length);
    return c;
}

std::optional<char> To1252(char32_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
    for (int k = 0; k < 32; ++k)
        if (High1252[k] == c) return static_cast<char>(0x80 + k);
    return std::nullopt;
}

}  // namespace

bool Known(int codePage) { return codePage == Windows1252 || codePage == Utf8; }

std::optional<int> Parse(const std::string& text) {
    std::string lower;
    for (char c : text) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (lower == "1252" || lower == "cp1252" || lower == "windows-1252") return Windows1252;
    if (lower == "65001" || lower == "utf-8" || lower == "utf8") return Utf8;
    return std::nullopt;
}

std::optional<std::string> FromUtf8(const std::string& text, int codePage) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const auto c = NextCodePoint(text, i);
        if (!c) return std::nullopt;
        if (codePage == Utf8) {
            AppendUtf8(out, *c);
            continue;
        }
        const auto b = To1252(*c);
        if (!b) return std::nullopt;
        out += *b;
    }
    return out;
}

std::string ToUtf8(const std::string& text, int codePage) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (codePage == Utf8) {
            const auto c = NextCodePoint(text, i);
            if (c) {
                AppendUtf8(out, *c);
            } else {
                AppendUtf8(out, 0xFFFD);
                ++i;
            }
            continue;
        }
        const auto b = static_cast<uint8_t>(text[i++]);
        AppendUtf8(out, b < 0x80 || b >= 0xA0 ? char32_t{b} : char32_t{High1252[b - 0x80]});
    }
    return out;
}

}  // namespace codepage
