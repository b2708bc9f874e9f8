// A writer of profile (INI) files with the per-key rules of the Windows
// private-profile service, for platforms that lack the service:
//  - section headers "[name]" and keys "key=" are matched ignoring ASCII case
//    and with the blanks (space, tab) around the name trimmed; the first
//    matching section and, inside it, the first matching key line are used;
//  - an existing key line becomes "<its key as found, trimmed>=<value>";
//  - a new key goes after the last non-blank line of its section, so blank
//    lines that separate it from the next section stay where they are;
//  - a missing section is appended at the end of the file;
//  - every other byte of the file is kept; new lines take the file's first
//    line end, and CR LF (what the Windows service writes) in a file without one.
#pragma once

#include <optional>
#include <string>

namespace quern {

namespace config {

// The file content `content` after setting `key` of `section` to `value`.
// nullopt when the request cannot be written as one key line: a line break in
// any of the three, an empty key, "=" in the key or "]" in the section.
std::optional<std::string> SetProfileKey(const std::string& content, const std::string& section,
                                         const std::string& key, const std::string& value);

// SetProfileKey applied to the file `fileName` (a missing file reads as
// empty). The new content is written to a temporary file beside it and renamed
// over it, so a refused write leaves the old file as it was and no temporary
// file behind. False when the write is refused.
bool WriteProfileKey(const std::string& section, const std::string& key, const std::string& value,
                     const std::string& fileName);

}  // namespace config

}  // namespace quern
