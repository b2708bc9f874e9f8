#include "EntryNames.h"

#include <cctype>

namespace quern {

namespace {

#ifdef _WIN32
constexpr bool OnWindows = true;
#else
constexpr bool OnWindows = false;
#endif

bool IsSeparator(char c) { return c == '\\' || c == '/'; }
bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

bool OnlyDotsAndBlanks(const std::string& component) {
    return component.find_first_not_of(". ") == std::string::npos;
}

// CON, PRN, AUX, NUL, COM1-9, LPT1-9, with any extension and trailing blanks
// or dots, in any case.
bool IsDeviceName(const std::string& component) {
    std::string base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (auto& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) && base[3] >= '1' &&
           base[3] <= '9';
}

}  // namespace

bool HasControlCharacter(const std::string& name) {
    for (char c : name)
        if (IsControl(c)) return true;
    return false;
}

std::string UnsafeNameReason(const std::string& name, bool forWindows) {
    if (name.empty()) return "empty name";
    if (HasControlCharacter(name)) return "control character in name";
    if (IsSeparator(name[0])) return "rooted path";
    if (name.find(':') != std::string::npos) return "drive or stream qualified path";
    size_t begin = 0;
    for (;;) {
        size_t end = begin;
        while (end < name.size() && !IsSeparator(name[end])) ++end;
        const std::string component = name.substr(begin, end - begin);
        if (component.empty()) return "empty path component";
        if (OnlyDotsAndBlanks(component)) return "\"" + component + "\" path component";
        if (forWindows && IsDeviceName(component)) return "device name \"" + component + "\"";
        if (end == name.size()) return {};
        begin = end + 1;
    }
}

std::string UnsafeNameReason(const std::string& name) { return UnsafeNameReason(name, OnWindows); }

std::string NameBelow(const std::string& destination, const std::string& target) {
    if (target.size() <= destination.size() || target.compare(0, destination.size(), destination) != 0) return {};
    std::string rest = target.substr(destination.size());
    return UnsafeNameReason(rest).empty() ? rest : std::string();
}

std::string PrintableName(const std::string& name) {
    std::string shown;
    for (char c : name) {
        if (IsControl(c)) {
            shown += '^';
            shown += c == 0x7F ? '?' : static_cast<char>(c + '@');
        } else {
            shown += c;
        }
    }
    return shown;
}

}  // namespace quern
