// Stored names are 8-bit strings in a Windows ANSI code page, the one of the
// machine that made the archive; POSIX file systems name files in UTF-8. The
// tools and the wizard convert between the two on POSIX.
#pragma once

#include <optional>
#include <string>

namespace codepage {

constexpr int Windows1252 = 1252;  // Western European, the default
constexpr int Utf8 = 65001;        // names kept as UTF-8 bytes

// True for the code pages the conversions know.
bool Known(int codePage);
// The code page named by text ("1252", "cp1252", "65001", "utf-8"); nullopt
// when unknown.
std::optional<int> Parse(const std::string& text);

// UTF-8 text in the code page; nullopt when it is not valid UTF-8 or holds a
// character the code page has no byte for.
std::optional<std::string> FromUtf8(const std::string& text, int codePage);
// Code-page text in UTF-8. Every byte of 1252 has a character (the five
// unassigned ones map to U+0081, U+008D, U+008F, U+0090 and U+009D, as
// Windows maps them); bytes of invalid UTF-8 in a 65001 name become U+FFFD.
std::string ToUtf8(const std::string& text, int codePage);

}  // namespace codepage
