#include <algorithm>

#include "platform/Platform.h"

namespace platform {

std::string ToNativeSeparators(std::string name) {
    if constexpr (PathDelim != '\\') std::replace(name.begin(), name.end(), '\\', PathDelim);
    return name;
}

std::string ToStoredSeparators(std::string name) {
    if constexpr (PathDelim != '\\') std::replace(name.begin(), name.end(), PathDelim, '\\');
    return name;
}

}  // namespace platform
