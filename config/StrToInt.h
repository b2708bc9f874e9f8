// The class library's string-to-integer conversion, as the settings reader
// relies on it.
#pragma once

#include <cstdint>
#include <string_view>

namespace quern {

// Accepts leading spaces (the space character only), then either an optional
// sign and decimal digits or "$" and hexadecimal digits, and nothing after the
// digits. Decimal text must fit a signed 32-bit integer; hexadecimal text must
// fit 32 bits and is taken as signed ("$FFFFFFFF" is -1). False on any failure,
// with `value` untouched.
bool TryStrToInt(std::string_view text, int32_t& value);

// TryStrToInt, or `defaultValue` when the text does not convert. Never throws.
int32_t StrToIntDef(std::string_view text, int32_t defaultValue);

}  // namespace quern
