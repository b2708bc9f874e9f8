// Stored names are 8-bit strings in a Windows ANSI code page, the one of the
// machine that made the archive; POSIX file systems name files in UTF-8. The
// tools and the wizard convert between the two on POSIX.
#pragma once

#include <optional>
#include <string>

namespace quern {

namespace codepage {

// Known: 1252 (Western European, the default), 1250 (Central European),
// 1251 (Cyrillic), the OEM pages 437 and 850, and 65001 (UTF-8 kept as it is).
constexpr int Windows1252 = 1252;
constexpr int Utf8 = 65001;
constexpr const char* KnownCodePages = "1252, 1250, 1251, 437, 850 or 65001";

// True for the code pages the conversions know.
bool Known(int codePage);
// The code page named by text ("1252", "cp1252", "windows-1252", "65001",
// "utf-8"); nullopt when unknown.
std::optional<int> Parse(const std::string& text);

// UTF-8 text in the code page; nullopt when it is not valid UTF-8 or holds a
// character the code page has no byte for.
std::optional<std::string> FromUtf8(const std::string& text, int codePage);
// Code-page text in UTF-8. Every byte of a single-byte code page has a
// character (an unassigned one maps to the C1 control of its value, as
// Windows maps it); bytes of invalid UTF-8 in a 65001 name become U+FFFD.
std::string ToUtf8(const std::string& text, int codePage);

}  // namespace codepage

}  // namespace quern
