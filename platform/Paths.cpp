#include <algorithm>

#include <quern/Platform.h>

namespace quern {

namespace platform {

std::string ToNativeSeparators(std::string name) {
    if constexpr (PathDelim != '\\') std::replace(name.begin(), name.end(), '\\', PathDelim);
    return name;
}

std::string ExtractFilePath(const std::string& path) {
    for (size_t i = path.size(); i > 0; --i)
        if (IsDirectoryMark(path[i - 1])) return path.substr(0, i);
    return {};
}

std::string ToStoredSeparators(std::string name) {
    if constexpr (PathDelim != '\\') std::replace(name.begin(), name.end(), PathDelim, '\\');
    return name;
}

}  // namespace platform

}  // namespace quern
