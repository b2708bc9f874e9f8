// Expanding a hostile archive with its entries decoded ahead on two threads
// must be the serial expansion: the same entries offered, the same progress
// reports in the same order, the same failure and the same files. Entries go
// into a private scratch directory within the budget of archive_expand, and
// only those are decoded ahead.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <typeinfo>
#include <vector>

#include <quern/Quern.h>
#include "archive/ParallelExpand.h"
#include "fuzz/FuzzSupport.h"

using namespace quern;

namespace {

struct Expansion {
    std::vector<std::string> events;
    std::string error;
    std::map<std::string, fuzz::Bytes> files;
    bool operator==(const Expansion&) const = default;
};

Expansion Expand(const std::string& archive, const std::vector<bool>& wanted, unsigned threads,
                 const std::string& root) {
    std::error_code ignored;
    std::filesystem::create_directory(root, ignored);
    Expansion e;
    TQuern quern;
    fuzz::AcceptHashIds(quern);
    quern.Key = fuzz::FuzzKey;
    quern.OnExpand = fuzz::CopyCustom;
    quern.SetTargetPath(root);
    size_t offered = 0;
    quern.OnCheckFile = [&](std::string& path, TCProcessMode) {
        const size_t index = offered++;
        e.events.push_back("entry " + std::to_string(index));
        path = index < wanted.size() && wanted[index] ? root + "entry" + std::to_string(index) : "";
    };
    quern.OnShowProgress = [&](int32_t& percent) { e.events.push_back(std::to_string(percent) + "%"); };
    try {
        ExpandArchiveFileParallel(quern, archive, nullptr, threads, [&](size_t index, const TFileHeader&) {
            return index < wanted.size() && wanted[index];
        });
    } catch (const Exception& x) {
        // Relative: the two runs expand into different roots.
        e.error = std::string(typeid(x).name()) + ": " + x.Message;
        for (size_t at; (at = e.error.find(root)) != std::string::npos;) e.error.erase(at, root.size());
    }
    for (const auto& file : std::filesystem::directory_iterator(root, ignored)) {
        std::ifstream in(file.path(), std::ios::binary);
        e.files[file.path().filename().string()] =
            fuzz::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::filesystem::remove_all(root, ignored);
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& scratch = fuzz::ScratchDirectory();
    const std::string archive = scratch + "archive";
    {
        std::ofstream out(archive, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    const std::vector<bool> wanted = fuzz::EntriesWithinBudget(data, size);
    const Expansion serial = Expand(archive, wanted, 1, scratch + "serial/");
    const Expansion parallel = Expand(archive, wanted, 2, scratch + "parallel/");
    FUZZ_CHECK(parallel == serial);
    return 0;
}
