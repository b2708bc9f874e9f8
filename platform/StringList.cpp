#include <quern/StringList.h>

#include <algorithm>

#include <quern/Stream.h>

namespace quern {

int TStringList::IndexOf(const std::string& text) const {
    for (int i = 0; i < Count(); ++i)
        if (SameTextLocale(Strings(i), text)) return i;
    return -1;
}

void TStringList::SetText(const std::string& text) {
    Clear();
    const size_t end = std::min(text.find('\0'), text.size());
    size_t start = 0;
    while (start < end) {
        size_t p = start;
        while (p < end && text[p] != '\r' && text[p] != '\n') ++p;
        Add(text.substr(start, p - start));
        if (p < end && text[p] == '\r') {
            ++p;
            if (p < end && text[p] == '\n') ++p;
        } else if (p < end) {
            ++p;  // a lone LF
        }
        start = p;
    }
}

void TStringList::LoadFromFile(const std::string& fileName) {
    TFileStream stream(fileName, fmOpenRead | fmShareExclusive);
    std::string text(static_cast<size_t>(stream.Size()), '\0');
    if (!text.empty()) stream.ReadBuffer(text.data(), static_cast<int32_t>(text.size()));
    SetText(text);
}

bool SameAsciiText(const std::string& a, const std::string& b) {
    const auto up = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (up(a[i]) != up(b[i])) return false;
    return true;
}

std::string AsciiUpper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

std::string AsciiLower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

}  // namespace quern
