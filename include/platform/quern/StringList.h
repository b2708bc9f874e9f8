// The class library's string list: ordered 8-bit strings, each able to carry
// an object the list does not own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace quern {

// Root of every object a string list item can carry.
class TObject {
public:
    virtual ~TObject() = default;
};

class TStringList {
public:
    int Count() const { return static_cast<int>(items_.size()); }
    const std::string& Strings(int index) const { return items_[static_cast<size_t>(index)].first; }
    TObject* Objects(int index) const { return items_[static_cast<size_t>(index)].second; }
    void SetObject(int index, TObject* object) { items_[static_cast<size_t>(index)].second = object; }

    int Add(std::string text) { return AddObject(std::move(text), nullptr); }
    int AddObject(std::string text, TObject* object) {
        items_.emplace_back(std::move(text), object);
        return Count() - 1;
    }
    void Clear() { items_.clear(); }
    // Whole-item lookup ignoring letter case; -1 when absent.
    int IndexOf(const std::string& text) const;

    // The class library's text loading: cut at CR LF, lone CR and lone LF; a NUL
    // ends the text; the last line needs no line end; lines are kept as read.
    void SetText(const std::string& text);
    // Raises EFOpenError when the file cannot be opened for reading.
    void LoadFromFile(const std::string& fileName);

private:
    std::vector<std::pair<std::string, TObject*>> items_;
};

// Comparisons and case mapping the system uses on its 8-bit strings.
std::string AsciiUpper(std::string s);
std::string AsciiLower(std::string s);
// Equal but for the case of ASCII letters (the archive format's name rule).
bool SameAsciiText(const std::string& a, const std::string& b);
// The platform's case-insensitive comparison (ASCII folding on POSIX).
bool SameTextLocale(const std::string& a, const std::string& b);

}  // namespace quern
