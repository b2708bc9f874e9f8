#include "DecodeSupport.h"

namespace quern {

// A byte at a time from the rest of the chunk; a further chunk is taken only
// once the last one is used up, and the first end of input is final.
BitReader BitSource::RefillSlow(BitReader r) {
    while (r.avail <= 56) {
        if (r.next == r.end && !inputEnded_) {
            const int32_t n = io_.InputBytes(in_, CodecBufferSize);
            r.next = in_;
            r.end = in_ + n;
            inputEnded_ = n == 0;
        }
        if (r.next < r.end) {
            r.word |= static_cast<uint64_t>(*r.next++) << (56 - r.avail);
        } else {
            r.pad += 8;
        }
        r.avail += 8;
    }
    return r;
}

}  // namespace quern
