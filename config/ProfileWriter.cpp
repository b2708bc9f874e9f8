#include "ProfileWriter.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include <quern/Exceptions.h>
#include <quern/Platform.h>
#include <quern/Stream.h>
#include <quern/StringList.h>

namespace quern {

namespace config {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& s, size_t begin, size_t end) {
    while (begin < end && IsBlank(s[begin])) ++begin;
    while (end > begin && IsBlank(s[end - 1])) --end;
    return s.substr(begin, end - begin);
}

std::string Trim(const std::string& s) { return Trim(s, 0, s.size()); }

bool HasLineBreak(const std::string& s) { return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos; }

// One line of the file: [begin, textEnd) is its text, [textEnd, end) its line end.
struct LineSpan {
    size_t begin;
    size_t textEnd;
    size_t end;
};

std::vector<LineSpan> SplitLines(const std::string& content) {
    std::vector<LineSpan> lines;
    size_t p = 0;
    while (p < content.size()) {
        const size_t begin = p;
        while (p < content.size() && content[p] != '\r' && content[p] != '\n') ++p;
        const size_t textEnd = p;
        if (p < content.size() && content[p] == '\r') ++p;
        if (p < content.size() && content[p] == '\n') ++p;
        lines.push_back({begin, textEnd, p});
    }
    return lines;
}

std::string LineEndOf(const std::string& content) {
    const size_t p = content.find_first_of("\r\n");
    if (p == std::string::npos) return "\r\n";
    if (content[p] == '\r') return p + 1 < content.size() && content[p + 1] == '\n' ? "\r\n" : "\r";
    return "\n";
}

// The service's reading of a line: a header is "[" (after blanks) with a "]"
// somewhere after it, naming the text up to the last "]"; any other line is a
// key line whose key is the text before its first "=" (the whole line when it
// has none), trimmed.
struct ParsedLine {
    bool isHeader = false;
    std::string name;  // section name or key
};

ParsedLine Parse(const std::string& content, const LineSpan& line) {
    size_t p = line.begin;
    while (p < line.textEnd && IsBlank(content[p])) ++p;
    if (p < line.textEnd && content[p] == '[') {
        size_t close = line.textEnd;
        while (close > p && content[close - 1] != ']') --close;
        if (close > p + 1) return {true, Trim(content, p + 1, close - 1)};
    }
    size_t eq = line.begin;
    while (eq < line.textEnd && content[eq] != '=') ++eq;
    return {false, Trim(content, line.begin, eq)};
}

bool IsBlankLine(const std::string& content, const LineSpan& line) {
    for (size_t p = line.begin; p < line.textEnd; ++p)
        if (!IsBlank(content[p])) return false;
    return true;
}

}  // namespace

std::optional<std::string> SetProfileKey(const std::string& content, const std::string& section,
                                         const std::string& key, const std::string& value) {
    const std::string sectionName = Trim(section);
    const std::string keyName = Trim(key);
    if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value)) return std::nullopt;
    if (keyName.empty() || keyName.find('=') != std::string::npos || keyName[0] == '[') return std::nullopt;
    if (sectionName.find(']') != std::string::npos) return std::nullopt;

    const std::string eol = LineEndOf(content);
    const std::vector<LineSpan> lines = SplitLines(content);

    size_t header = 0;
    while (header < lines.size()) {
        const ParsedLine parsed = Parse(content, lines[header]);
        if (parsed.isHeader && SameTextLocale(parsed.name, sectionName)) break;
        ++header;
    }
    if (header == lines.size()) {
        std::string result = content;
        if (!result.empty() && result.back() != '\n' && result.back() != '\r') result += eol;
        return result + "[" + sectionName + "]" + eol + keyName + "=" + value + eol;
    }

    size_t lastContent = header;
    for (size_t i = header + 1; i < lines.size(); ++i) {
        const ParsedLine parsed = Parse(content, lines[i]);
        if (parsed.isHeader) break;
        if (SameTextLocale(parsed.name, keyName)) {
            return content.substr(0, lines[i].begin) + parsed.name + "=" + value + content.substr(lines[i].textEnd);
        }
        if (!IsBlankLine(content, lines[i])) lastContent = i;
    }

    const LineSpan& after = lines[lastContent];
    std::string result = content.substr(0, after.end);
    if (after.end == after.textEnd) result += eol;  // the file's last line had no line end
    return result + keyName + "=" + value + eol + content.substr(after.end);
}

bool WriteProfileKey(const std::string& section, const std::string& key, const std::string& value,
                     const std::string& fileName) {
    std::string content;
    if (platform::FileExists(fileName)) {
        try {
            TFileStream in(fileName, fmOpenRead | fmShareDenyWrite);
            const int64_t size = in.Size();
            if (size < 0 || size > INT32_MAX) return false;
            content.resize(static_cast<size_t>(size));
            if (size > 0) in.ReadBuffer(content.data(), static_cast<int32_t>(size));
        } catch (const Exception&) {
            return false;
        }
    }
    const std::optional<std::string> updated = SetProfileKey(content, section, key, value);
    if (!updated || updated->size() > INT32_MAX) return false;

    size_t slash = fileName.size();
    while (slash > 0 && !platform::IsPathDelim(fileName[slash - 1])) --slash;
    const std::string temp = platform::CreateTempFileName(fileName.substr(0, slash), "ini");
    if (temp.empty()) return false;
    bool written = true;
    try {
        TFileStream out(temp, fmCreate);
        out.WriteBuffer(updated->data(), static_cast<int32_t>(updated->size()));
    } catch (const Exception&) {
        written = false;
    }
    // rename replaces the old file in one step: readers see the old or the new content.
    if (written) written = std::rename(temp.c_str(), fileName.c_str()) == 0;
    if (!written) platform::DeleteFile(temp);
    return written;
}

}  // namespace config

}  // namespace quern
