// "LZH" expander. The stream has no header, length or end marker: the
// container's uncompressed size says when to stop. A stream that needs bits
// past the end of its stored span (a cut stream, or a size that was raised)
// stops with an error instead of expanding zero bits into output.
#include <cassert>
#include <cstring>
#include <memory>

#include "DecodeSupport.h"
#include "Lzh.h"
#include "LzhModel.h"

namespace quern {

namespace {

using namespace lzh;

class LzhDecoder {
public:
    explicit LzhDecoder(CodecIO& io) : source_(io), io_(io) {}

    void Expand(int32_t Destsize);

private:
    // The model is a Huffman tree (sibling-ordered) over weights of at least
    // 1 that sum to at most RebuildAt, so no code is longer than 21 bits: a
    // depth of d needs a sum of Fibonacci(d + 2).
    static constexpr unsigned LongestCode = 21;
    static constexpr unsigned DistanceBits = 8 + 6;  // the longest distance code and the six low bits
    // One refill holds a whole item: the symbol and its distance.
    static constexpr unsigned ItemBits = LongestCode + DistanceBits;
    static_assert(ItemBits <= 56);

    BitSource source_;
    CodecIO& io_;
    LzhModel model_;
    // The ring and the bytes expanded after it, passed to the output in
    // spans: a match is a copy within one array.
    static constexpr int32_t BufferFill = 4 * RingSize;
    uint8_t buffer_[BufferFill + MaxMatch + CopyMatchSlack];
};

void LzhDecoder::Expand(int32_t Destsize) {
    model_.InitModel();
    // The ring is the RingSize bytes before pos. The compressor presets only
    // 0 to 4035 and writes every later position before reading it. A damaged
    // stream may read 4036 to 4095 first; spaces there too make it expand as
    // LHA does from its all-space dictionary.
    std::memset(buffer_, RingFill, RingSize);
    int32_t pos = RingSize;
    int32_t flushed = pos;  // bytes before it have been passed to the output
    // Wide enough that a last match past a Destsize near the Integer limit cannot wrap.
    int64_t count = 0;
    // In locals, where the byte stores into buffer_ cannot make it reload.
    BitReader r;
    // The outcomes of the byte-wise reader this replaces: a symbol's walk
    // fails at its first bit past the stream, a distance when it starts with
    // at most one byte's bits of the stream left, and a stream whose last
    // item ran past its end fails once the items are done.
    try {
        while (count < Destsize) {
            if (r.avail < ItemBits) source_.Refill(r);
            int x = model_.Child[Root];
            unsigned n = 0;
            for (uint64_t w = r.word; x < LeafBase; w <<= 1, ++n) x = model_.Child[x + static_cast<int>(w >> 63)];
            assert(n <= LongestCode);
            r.Take(n);
            if (r.Cut()) ThrowUnexpectedEnd();
            const int s = x - LeafBase;
            model_.UpdateModel(s);
            if (s < 256) {
                buffer_[pos++] = static_cast<uint8_t>(s);
                ++count;
            } else {
                if (r.StreamBits() <= 8) ThrowUnexpectedEnd();
                // The upper part's code (3 to 8 bits), then the six low bits plain.
                const unsigned v = r.Peek(DistanceBits);
                const unsigned b = v >> 6;
                const unsigned len = Distance.bits[b];
                r.Take(len + 6);
                const int distance = Distance.upper[b] * 64 + static_cast<int>((v >> (8 - len)) & 0x3F) + 1;
                const int length = s - MatchSymbol(0);
                CopyMatch(buffer_ + pos, distance, length);
                pos += length;
                count += length;
            }
            if (pos >= BufferFill) {
                io_.OutputBytes(buffer_ + flushed, pos - flushed);
                std::memmove(buffer_, buffer_ + pos - RingSize, RingSize);
                pos = flushed = RingSize;
            }
        }
        if (r.Cut()) ThrowUnexpectedEnd();
    } catch (...) {
        // What was expanded before the failure reaches the output, as it
        // would byte by byte.
        io_.OutputBytes(buffer_ + flushed, pos - flushed);
        throw;
    }
    io_.OutputBytes(buffer_ + flushed, pos - flushed);
}

}  // namespace

void ExpandLZH(CodecIO& io, int32_t Destsize) {
    if (Destsize <= 0) return;
    auto decoder = std::make_unique<LzhDecoder>(io);
    decoder->Expand(Destsize);
}

}  // namespace quern
