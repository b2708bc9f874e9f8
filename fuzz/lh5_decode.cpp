// The LH5 expander over hostile streams: it ends normally, with
// ELZHBadDecodeTable or with EUnexpectedEndOfData, and when it ends normally it has produced the declared
// size plus at most the rest of one match (256 bytes long at most).
#include "fuzz/FuzzSupport.h"

// Valid streams expand at a few hundred bytes per input byte; 64 KiB is eight
// windows and any number of blocks, and keeps the runs fast.
constexpr int32_t Lh5SizeCap = 1 << 16;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < fuzz::ExpandHeadSize) return 0;
    const auto declared = static_cast<size_t>(fuzz::ReadExpandHead(data, Lh5SizeCap).declaredSize);
    try {
        const fuzz::ExpandResult result = fuzz::RunExpander(ctLh5, data, size, Lh5SizeCap);
        FUZZ_CHECK(result.out.size() >= declared);
        FUZZ_CHECK(result.out.size() <= declared + 255);
    } catch (const ELZHBadDecodeTable&) {
    } catch (const EUnexpectedEndOfData&) {
    }
    return 0;
}
