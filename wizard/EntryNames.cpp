#include "wizard/EntryNames.h"

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool OnlyDotsAndBlanks(const std::string& component) {
    return component.find_first_not_of(". ") == std::string::npos;
}

}  // namespace

std::string UnsafeNameReason(const std::string& name) {
    if (name.empty()) return "empty name";
    if (IsSeparator(name[0])) return "rooted path";
    if (name.find(':') != std::string::npos) return "drive or stream qualified path";
    size_t begin = 0;
    for (;;) {
        size_t end = begin;
        while (end < name.size() && !IsSeparator(name[end])) ++end;
        const std::string component = name.substr(begin, end - begin);
        if (component.empty()) return "empty path component";
        if (OnlyDotsAndBlanks(component)) return "\"" + component + "\" path component";
        if (end == name.size()) return {};
        begin = end + 1;
    }
}

std::string NameBelow(const std::string& destination, const std::string& target) {
    if (target.size() <= destination.size() || target.compare(0, destination.size(), destination) != 0) return {};
    std::string rest = target.substr(destination.size());
    return UnsafeNameReason(rest).empty() ? rest : std::string();
}
