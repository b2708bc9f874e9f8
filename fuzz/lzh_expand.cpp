// The LZH (-lh1-) expander over hostile streams: it raises nothing but
// EUnexpectedEndOfData (the stream needs bits past its end) and otherwise
// stops at the declared size plus at most the rest of one match (60 bytes
// long at most).
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < fuzz::ExpandHeadSize) return 0;
    const auto declared = static_cast<size_t>(fuzz::ReadExpandHead(data).declaredSize);
    try {
        const fuzz::ExpandResult result = fuzz::RunExpander(ctLzh, data, size);
        FUZZ_CHECK(result.out.size() >= declared);
        FUZZ_CHECK(result.out.size() <= declared + (declared > 0 ? 59 : 0));
    } catch (const EUnexpectedEndOfData&) {
    }
    return 0;
}
