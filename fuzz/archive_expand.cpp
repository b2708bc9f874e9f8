// Expanding hostile archives. Every entry the walk offers is redirected into
// a private scratch directory (stored names are never used as paths), and
// entries are skipped once their declared sizes would pass a budget per
// input: the LZH and LH5 expanders fill any declared size from a few bytes.
// The walk must end with the bytes or with one of the system's exceptions.
#include <algorithm>
#include <filesystem>
#include <vector>

#include <quern/Quern.h>
#include "fuzz/FuzzSupport.h"

using namespace quern;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& scratch = fuzz::ScratchDirectory();
    TMemoryStream stream(fuzz::Bytes(data, data + size));

    const std::vector<bool> wanted = fuzz::EntriesWithinBudget(data, size);
    TQuern quern;
    fuzz::AcceptHashIds(quern);
    quern.Key = fuzz::FuzzKey;
    quern.OnExpand = fuzz::CopyCustom;
    size_t offered = 0;
    quern.OnCheckFile = [&](std::string& path, TCProcessMode mode) {
        FUZZ_CHECK(mode == cpExpand);
        const size_t index = offered++;
        FUZZ_CHECK(index < wanted.size());
        path = wanted[index] ? scratch + "entry" + std::to_string(index) : "";
    };
    try {
        quern.ExpandArchiveStream(stream, nullptr);
    } catch (const Exception&) {
    }

    std::error_code ignored;
    for (const auto& file : std::filesystem::directory_iterator(scratch, ignored))
        std::filesystem::remove(file.path(), ignored);
    return 0;
}
