// TMyIniFile: the program's own reader of the wizard's settings file. It loads
// the file's lines once and answers from them with line rules of its own,
// which differ from the platform's profile service; the shipped settings file
// (capitalised section headers, a free-text block after an empty line)
// depends on these rules, so they are kept exactly:
//  - header of section S: the first line equal, ignoring case, to
//    "[" + ASCII-upper(S) + "]" (no blanks, nothing after "]"); later headers
//    of the same section are never read;
//  - key of a line: the text before its first "=", untrimmed ("" without "=");
//    value: the text after it, cut to 255 characters (a line without "=":
//    its first 255 characters);
//  - no comment syntax: a ";" line is an ordinary line.
#pragma once

#include <cstdint>
#include <string>

#include <quern/StringList.h>

namespace quern {

class TMyIniFile : public TObject {
public:
    // Loads the file when it exists; a missing file reads as empty. A file
    // that exists but cannot be opened raises EFOpenError.
    explicit TMyIniFile(const std::string& fileName);

    // The keys of the lines after S's header, up to an empty line, a line
    // starting with "[" or the end, in reverse order of their lines.
    void ReadSection(const std::string& section, TStringList& strings) const;
    // The value of the first line of the section (empty lines passed over, up
    // to a line starting with "[") whose key matches `key` in ASCII upper
    // case exactly; `defaultValue` when none does.
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    // ReadString converted with StrToInt; `defaultValue` when absent or not a
    // number. Never throws.
    int32_t ReadInteger(const std::string& section, const std::string& key, int32_t defaultValue) const;

    const std::string& FileName() const { return fileName_; }
    const TStringList& Lines() const { return lines_; }

private:
    // Index of S's header line, -1 when there is none.
    int FindHeader(const std::string& section) const;

    std::string fileName_;
    TStringList lines_;
};

}  // namespace quern
