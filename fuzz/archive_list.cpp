// Listing hostile archives: the walk ends with the bytes or with one of the
// system's exceptions, and every entry it lists lies inside the stream, after
// the one before it.
#include <memory>

#include <quern/Quern.h>
#include "fuzz/FuzzSupport.h"

using namespace quern;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TMemoryStream stream(fuzz::Bytes(data, data + size));
    TQuern quern;
    fuzz::AcceptHashIds(quern);
    TStringList list;
    try {
        quern.ListArchiveStream(stream, list);
    } catch (const Exception&) {
    }
    int64_t previousEnd = ArchiveHeaderSize;
    for (int i = 0; i < list.Count(); ++i) {
        const auto* info = dynamic_cast<const TArchiveFileInfo*>(list.Objects(i));
        FUZZ_CHECK(info != nullptr);
        FUZZ_CHECK(info->HeaderOffset >= previousEnd);
        previousEnd = int64_t{info->HeaderOffset} + FileHeaderSize + static_cast<int64_t>(list.Strings(i).size());
        FUZZ_CHECK(previousEnd <= static_cast<int64_t>(size));
        FUZZ_CHECK(info->UncompressedSize >= 0 && info->CompressedSize >= 0);
        previousEnd += info->CompressedSize;  // the next header follows the data
    }
    TQuern::FreeListing(&list);
    return 0;
}
