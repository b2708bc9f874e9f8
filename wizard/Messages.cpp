#include "wizard/Messages.h"

#include <quern/Myini.h>
#include <quern/Platform.h>

namespace quern {

namespace {

const char* const Keys[] = {"Installing", "ReadMe", "File", "Done", "Failed"};

}  // namespace

TMessages::TMessages()
    : texts_{{"Installing", "Installing %1 into %2"},
             {"ReadMe", "Read me:"},
             {"File", "  %1 (%2 bytes)"},
             {"Done", "%1 is installed (%2 files)."},
             {"Failed", "Installation failed: %1"}} {}

bool TMessages::LoadLanguageFile(const std::string& path) {
    if (!platform::FileExists(path)) return false;
    const TMyIniFile file(path);
    // A value that is absent reads as this marker, which no line can hold.
    const std::string absent = "\n";
    for (const char* key : Keys) {
        const std::string text = file.ReadString("Messages", key, absent);
        if (text != absent) texts_[key] = text;
    }
    return true;
}

std::string TMessages::Text(const std::string& key, const std::string& arg1, const std::string& arg2) const {
    const auto found = texts_.find(key);
    const std::string& pattern = found == texts_.end() ? key : found->second;
    std::string text;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size()) {
            const char next = pattern[i + 1];
            if (next == '1' || next == '2' || next == '%') {
                text += next == '1' ? arg1 : next == '2' ? arg2 : "%";
                ++i;
                continue;
            }
        }
        text += pattern[i];
    }
    return text;
}

}  // namespace quern
