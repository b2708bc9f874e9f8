// Which stored names the installer writes. An archive is data from outside:
// a name must stay a plain relative path below the destination on every
// platform the archive may be installed on, so both "\" and "/" separate
// components here, whatever the running platform uses.
#pragma once

#include <string>

// Why `name` (a stored name, with either separator) may not be installed, or
// empty when it may. Refused: an empty name; a rooted name; any ":" (a drive
// letter, or a Windows alternate data stream); an empty component (doubled or
// trailing separator); a component made of dots and blanks only, such as
// "." or ".." (Windows drops trailing dots and blanks, so ".. " is "..").
std::string UnsafeNameReason(const std::string& name);

// The part of `target` below `destination` (which ends in a separator) when
// target lies there and that part is a safe name; empty otherwise.
std::string NameBelow(const std::string& destination, const std::string& target);
