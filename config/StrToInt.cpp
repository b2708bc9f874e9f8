#include "StrToInt.h"

namespace quern {

namespace {

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

bool TryStrToInt(std::string_view text, int32_t& value) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    if (i == text.size()) return false;

    // The running value is checked after every digit, so it never grows past
    // 2^32 and arbitrarily long digit runs cannot overflow it.
    uint64_t magnitude = 0;
    if (text[i] == '$') {
        if (++i == text.size()) return false;
        for (; i < text.size(); ++i) {
            const int digit = HexDigitValue(text[i]);
            if (digit < 0) return false;
            magnitude = magnitude * 16 + static_cast<uint64_t>(digit);
            if (magnitude > UINT32_MAX) return false;
        }
        value = static_cast<int32_t>(static_cast<uint32_t>(magnitude));
        return true;
    }

    const bool negative = text[i] == '-';
    if (text[i] == '+' || text[i] == '-') ++i;
    if (i == text.size()) return false;
    const uint64_t limit = negative ? uint64_t{1} << 31 : INT32_MAX;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
        if (magnitude > limit) return false;
    }
    value = static_cast<int32_t>(negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude));
    return true;
}

int32_t StrToIntDef(std::string_view text, int32_t defaultValue) {
    int32_t value = defaultValue;
    return TryStrToInt(text, value) ? value : defaultValue;
}

}  // namespace quern
