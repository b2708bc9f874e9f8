// The profile writer's SetProfileKey over hostile files and requests. Input:
// section NUL key NUL value NUL file content. A request it accepts puts the
// line "key=value" in the file, and repeating it changes nothing more.
#include "config/ProfileWriter.h"
#include "fuzz/FuzzSupport.h"

using namespace quern;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> f = fuzz::SplitFields(data, size, 3);
    const std::optional<std::string> once = config::SetProfileKey(f[3], f[0], f[1], f[2]);
    if (!once) return 0;
    FUZZ_CHECK(once->find("=" + f[2]) != std::string::npos);
    const std::optional<std::string> twice = config::SetProfileKey(*once, f[0], f[1], f[2]);
    FUZZ_CHECK(twice && *twice == *once);
    return 0;
}
