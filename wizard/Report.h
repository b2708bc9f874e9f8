// The plain report of one run, written to install.ini's "Report File" for
// end-to-end checks. Lines of "[Section]" and "name=value", CR-free, in this
// order (a section whose step was not reached is missing):
//   [Temporary Directory]  Path; then install.ini, inst32.exe, readme.txt and
//                          <key>.lng for each language key: "present"/"absent"
//   [Languages]            Count; Key1..KeyN in ReadSection's order; Chosen;
//                          Messages ("<file>" or "built-in")
//   [Params]               Start, Size, Source, ReadMe, Temp as read, up to
//                          the first that is missing
//   [Settings]             Product Name, Install Directory (as resolved), Key,
//                          Show ReadMe, Request Restart
//   [Installed Files]      <stored name with "\">=<size on disk>, archive order
//   [Result]               Files, Restart Windows, Exit Code, Message
// Names may hold "="; the value is the text after the LAST "=" there.
#pragma once

#include <string>

namespace quern {

// text with its CR and LF characters made blanks.
std::string OneLine(std::string text);

class TInstallReport {
public:
    void Section(const std::string& name) { text_ += "[" + name + "]\n"; }
    // Line breaks inside a value would forge lines; they become blanks.
    void Line(const std::string& name, const std::string& value);
    const std::string& Text() const { return text_; }
    // Raises the stream's failures.
    void WriteTo(const std::string& path) const;

private:
    std::string text_;
};

}  // namespace quern
