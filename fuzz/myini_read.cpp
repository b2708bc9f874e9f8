// The settings reader over hostile files. Input: section NUL key NUL file
// content. Besides the asked key, every section the content names is read,
// and each key that ReadSection lists must be found again by ReadString.
#include <fstream>

#include <quern/Myini.h>
#include "fuzz/FuzzSupport.h"

using namespace quern;

namespace {

// Longer than any value the reader returns (they are cut to 255 characters).
const std::string NotFound(300, '?');

void ReadWholeSection(const TMyIniFile& ini, const std::string& section) {
    TStringList keys;
    ini.ReadSection(section, keys);
    for (int i = 0; i < keys.Count() && i < 64; ++i) {
        const std::string value = ini.ReadString(section, keys.Strings(i), NotFound);
        FUZZ_CHECK(value != NotFound);
        FUZZ_CHECK(value.size() <= 255);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> fields = fuzz::SplitFields(data, size, 2);
    const std::string path = fuzz::ScratchDirectory() + "settings.ini";
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(fields[2].data(), static_cast<std::streamsize>(fields[2].size()));
        FUZZ_CHECK(file.good());
    }
    const TMyIniFile ini(path);

    FUZZ_CHECK(ini.ReadString(fields[0], fields[1], NotFound).size() <= NotFound.size());
    (void)ini.ReadInteger(fields[0], fields[1], -7);
    ReadWholeSection(ini, fields[0]);

    int sections = 0;
    for (int i = 0; i < ini.Lines().Count() && sections < 16; ++i) {
        const std::string& line = ini.Lines().Strings(i);
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            ReadWholeSection(ini, line.substr(1, line.size() - 2));
            ++sections;
        }
    }
    return 0;
}
