// LH5 round trip: whatever the input, compressing and expanding gives it back,
// with the input's byte sum as the checksum of both directions.
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::CheckRoundTrip(ctLh5, data, size);
    return 0;
}
