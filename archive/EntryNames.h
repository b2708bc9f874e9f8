// Which stored names may be written below a destination. An archive is data
// from outside: a name must stay a plain relative path below the destination
// on every platform the archive may be extracted on, so both "\" and "/"
// separate components here, whatever the running platform uses.
#pragma once

#include <string>

namespace quern {

// Why `name` (a stored name, with either separator) may not be written below
// a destination, or empty when it may. Refused everywhere: an empty name; a
// NUL or other control character; a rooted name; any ":" (a drive letter, or
// a Windows alternate data stream); an empty component (doubled or trailing
// separator); a component made of dots and blanks only, such as "." or ".."
// (Windows drops trailing dots and blanks, so ".. " is ".."). Refused on
// Windows only: a component naming a device (CON, NUL, COM1, ...), which
// Windows opens whatever the directory and extension.
std::string UnsafeNameReason(const std::string& name);
// The same rule as the given platform applies it (for tests and tools that
// judge names for the other platform).
std::string UnsafeNameReason(const std::string& name, bool forWindows);

// True when the name holds a NUL or other control character: refused even
// where a caller allows rooted names and "..".
bool HasControlCharacter(const std::string& name);

// The part of `target` below `destination` (which ends in a separator) when
// target lies there and that part is a safe name; empty otherwise.
std::string NameBelow(const std::string& destination, const std::string& target);

// The name as it may be shown: control characters as "^@", "^A", ... (a
// stored name may hold a NUL or terminal controls).
std::string PrintableName(const std::string& name);

}  // namespace quern
