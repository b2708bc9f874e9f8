// What the LH5 and LZH expanders share: the bit input (a coded stream read
// most significant bit first, eight bytes at a time from the chunk at hand)
// and the copy of a match. Internal to the codecs.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include <quern/CodecEngine.h>

namespace quern {

// The reader's state, a plain value: a decoder keeps a copy in locals on its
// hot path, where its byte stores could otherwise alias a member state and
// reload it after every byte written.
struct BitReader {
    uint64_t word = 0;  // avail unread bits, the oldest in bit 63; below them only further stream bits
    unsigned avail = 0;
    // Past the end of input the reader holds zero bits, pad of them after the
    // stream's last bit; avail - pad are the stream's own.
    unsigned pad = 0;
    const uint8_t* next = nullptr;  // the coded bytes not yet in word
    const uint8_t* end = nullptr;

    // Brings avail to 56 or more when eight bytes are at hand.
    bool RefillFast() {
        if (end - next < 8) return false;
        uint64_t w;
        std::memcpy(&w, next, 8);
        if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
        word |= w >> avail;
        next += (63 - avail) >> 3;
        avail |= 56;
        return true;
    }
    unsigned Peek(unsigned n) const { return static_cast<unsigned>(word >> (64 - n)); }  // n from 1 to 32
    void Take(unsigned n) {
        word <<= n;
        avail -= n;
    }
    // The decoder has used a bit the stream does not have.
    bool Cut() const { return avail < pad; }
    int StreamBits() const { return static_cast<int>(avail) - static_cast<int>(pad); }
};

class BitSource {
public:
    explicit BitSource(CodecIO& io) : io_(io) {}

    // At least 56 bits in r afterwards.
    void Refill(BitReader& r) {
        if (!r.RefillFast()) r = RefillSlow(r);
    }
    // By value, so that a caller's local reader never escapes.
    BitReader RefillSlow(BitReader r);

private:
    CodecIO& io_;
    bool inputEnded_ = false;
    uint8_t in_[CodecBufferSize];  // coded bytes taken in one go, descrambled
};

// Copies length bytes (at least 1) from distance back to to, repeating what
// it has just written when the two overlap. Writes up to CopyMatchSlack - 1
// bytes past the end.
constexpr int32_t CopyMatchSlack = 16;
inline void CopyMatch(uint8_t* to, int32_t distance, int32_t length) {
    const uint8_t* from = to - distance;
    if (distance >= 8) [[likely]] {
        // Each eight bytes read lie wholly before the ones written. Most
        // matches are short: the first sixteen bytes go without a test.
        std::memcpy(to, from, 8);
        std::memcpy(to + 8, from + 8, 8);
        for (int32_t k = 16; k < length; k += 8) std::memcpy(to + k, from + k, 8);
    } else if (distance == 1) {
        uint64_t run = *from * uint64_t{0x0101010101010101};
        for (int32_t k = 0; k < length; k += 8) std::memcpy(to + k, &run, 8);
    } else {
        // The first eight bytes one by one; from there on the bytes repeat
        // every period, a whole number of distances of at least eight.
        for (int32_t k = 0; k < 8; ++k) to[k] = from[k];
        const int32_t period = distance * ((8 + distance - 1) / distance);
        for (int32_t k = 8; k < length; k += 8) std::memcpy(to + k, to + k - period, 8);
    }
}

}  // namespace quern
