// The RLE expander over hostile streams: it raises nothing, ignores the
// declared size and ends with its span; its output is bounded by the worst
// token, two stored bytes (marker, 255) for 254 copies.
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < fuzz::ExpandHeadSize) return 0;
    const fuzz::ExpandResult result = fuzz::RunExpander(ctRle, data, size);
    FUZZ_CHECK(result.out.size() <= 127 * (size - fuzz::ExpandHeadSize) + 1);
    return 0;
}
