#include <quern/IniFiles.h>

#include "ProfileWriter.h"
#include <quern/Platform.h>

namespace quern {

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
#ifdef _WIN32
    const bool written = platform::WriteProfileString(section, key, value, fileName_);
#else
    // No private-profile service here: our own writer keeps its per-key rules.
    const bool written = config::WriteProfileKey(section, key, value, fileName_);
#endif
    if (!written) throw EIniFileException(fileName_);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
    WriteString(section, key, std::to_string(value));
}

}  // namespace quern
