#include <quern/Myini.h>

#include <vector>

#include "StrToInt.h"
#include <quern/Platform.h>

namespace quern {

namespace {

// Values were short strings in the original reader: anything longer is cut.
constexpr size_t kMaxValueLength = 255;

std::string KeyOf(const std::string& line) {
    const size_t eq = line.find('=');
    return eq == std::string::npos ? std::string() : line.substr(0, eq);
}

std::string ValueOf(const std::string& line) {
    const size_t eq = line.find('=');
    const size_t start = eq == std::string::npos ? 0 : eq + 1;
    return line.substr(start, kMaxValueLength);
}

bool StartsSection(const std::string& line) { return !line.empty() && line[0] == '['; }

}  // namespace

TMyIniFile::TMyIniFile(const std::string& fileName) : fileName_(fileName) {
    if (platform::FileExists(fileName_)) lines_.LoadFromFile(fileName_);
}

int TMyIniFile::FindHeader(const std::string& section) const {
    // Appended rather than "[" + ...: g++ 12 at -O3 warns falsely on that form.
    std::string header = "[";
    header += AsciiUpper(section);
    header += ']';
    for (int i = 0; i < lines_.Count(); ++i)
        if (SameTextLocale(lines_.Strings(i), header)) return i;
    return -1;
}

void TMyIniFile::ReadSection(const std::string& section, TStringList& strings) const {
    strings.Clear();
    const int header = FindHeader(section);
    if (header < 0) return;
    std::vector<std::string> keys;
    for (int i = header + 1; i < lines_.Count(); ++i) {
        const std::string& line = lines_.Strings(i);
        if (line.empty() || StartsSection(line)) break;
        keys.push_back(KeyOf(line));
    }
    for (auto key = keys.rbegin(); key != keys.rend(); ++key) strings.Add(*key);
}

std::string TMyIniFile::ReadString(const std::string& section, const std::string& key,
                                   const std::string& defaultValue) const {
    const int header = FindHeader(section);
    if (header < 0) return defaultValue;
    const std::string wanted = AsciiUpper(key);
    for (int i = header + 1; i < lines_.Count(); ++i) {
        const std::string& line = lines_.Strings(i);
        if (StartsSection(line)) break;
        if (line.empty()) continue;
        if (AsciiUpper(KeyOf(line)) == wanted) return ValueOf(line);
    }
    return defaultValue;
}

int32_t TMyIniFile::ReadInteger(const std::string& section, const std::string& key, int32_t defaultValue) const {
    return StrToIntDef(ReadString(section, key, std::to_string(defaultValue)), defaultValue);
}

}  // namespace quern
