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

namespace {

constexpr int MaxFilesWritten = 32;

// A type-3 decoder: the stored bytes are the file's bytes.
void CopyCustom(TStream& dest, TStream& source, int32_t Sourcesize, int32_t /*Destsize*/,
                const std::string& /*CompressID*/, int32_t& checksum) {
    uint8_t buffer[4096];
    uint32_t sum = 0;
    for (int32_t left = std::min(Sourcesize, fuzz::DeclaredSizeCap); left > 0;) {
        const int32_t n = source.Read(buffer, std::min<int32_t>(left, sizeof buffer));
        if (n <= 0) break;
        for (int32_t i = 0; i < n; ++i) sum += buffer[i];
        dest.WriteBuffer(buffer, n);
        left -= n;
    }
    checksum = static_cast<int32_t>(sum);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& scratch = fuzz::ScratchDirectory();
    TMemoryStream stream(fuzz::Bytes(data, data + size));

    // The walk offers the entries in listing order: the listing says how
    // large the entry behind each OnCheckFile call declares itself.
    std::vector<int32_t> declared;
    {
        TQuern lister;
        fuzz::AcceptHashIds(lister);
        TStringList list;
        try {
            lister.ListArchiveStream(stream, list);
        } catch (const Exception&) {
        }
        for (int i = 0; i < list.Count(); ++i)
            declared.push_back(static_cast<const TArchiveFileInfo*>(list.Objects(i))->UncompressedSize);
        TQuern::FreeListing(&list);
        stream.SetPosition(0);
    }

    TQuern quern;
    fuzz::AcceptHashIds(quern);
    quern.Key = fuzz::FuzzKey;
    quern.OnExpand = CopyCustom;
    size_t offered = 0;
    int filesWritten = 0;
    int64_t budget = fuzz::DeclaredSizeCap;
    quern.OnCheckFile = [&](std::string& path, TCProcessMode mode) {
        FUZZ_CHECK(mode == cpExpand);
        const size_t index = offered++;
        FUZZ_CHECK(index < declared.size());
        if (declared[index] > budget || filesWritten == MaxFilesWritten) {
            path.clear();
            return;
        }
        budget -= declared[index];
        ++filesWritten;
        path = scratch + "entry" + std::to_string(index);
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
