// "LZH" expander. The stream has no header, length or end marker: the
// container's uncompressed size says when to stop. A stream that needs bits
// past the end of its stored span (a cut stream, or a size that was raised)
// stops with an error instead of expanding zero bits into output.
#include <cstring>
#include <memory>

#include "codecs/Lzh.h"
#include "codecs/LzhModel.h"

namespace quern {

namespace {

using namespace lzh;

class LzhDecoder {
public:
    explicit LzhDecoder(CodecIO& io) : io_(io) {}

    void Expand(int32_t Destsize);

private:
    // At most one byte per call; with up to 8 bits left the buffer takes a
    // whole byte below them, so every read below finds enough bits.
    void Refill() {
        if (bitCount_ <= 8) {
            uint8_t b = io_.InputByte();
            if (io_.InputEnded()) {
                // Up to 16 bits are held: a second byte past the end is
                // fetched only for a read that starts past the stream's bits.
                if (++bytesPastEnd_ > 1) ThrowUnexpectedEnd();
                b = 0;
            }
            bitBuf_ = static_cast<uint16_t>(bitBuf_ | (b << (8 - bitCount_)));
            bitCount_ = static_cast<uint8_t>(bitCount_ + 8);
        }
    }
    // n from 1 to 8.
    unsigned ReadBits(int n) {
        Refill();
        const unsigned r = bitBuf_ >> (16 - n);
        bitBuf_ = static_cast<uint16_t>(bitBuf_ << n);
        bitCount_ = static_cast<uint8_t>(bitCount_ - n);
        return r;
    }
    unsigned ReadBit() { return ReadBits(1); }
    unsigned ReadOctet() { return ReadBits(8); }

    int DecodeSymbol() {
        int x = model_.Child[Root];
        while (x < LeafBase) x = model_.Child[x + ReadBit()];
        const int s = x - LeafBase;
        model_.UpdateModel(s);
        return s;
    }

    int DecodeDistance() {
        const unsigned b = ReadOctet();
        const unsigned u = Distance.upper[b];
        const int extra = Distance.bits[b] - 2;  // the 8 bits held 8 - len of the low six
        const unsigned r = ReadBits(extra);
        return static_cast<int>(u * 64 + (((b << extra) | r) & 0x3F));
    }

    CodecIO& io_;
    LzhModel model_;
    uint16_t bitBuf_ = 0;
    uint8_t bitCount_ = 0;
    int bytesPastEnd_ = 0;
    // The ring and the bytes expanded after it, passed to the output in
    // spans: a match is a copy within one array.
    static constexpr int32_t BufferFill = 4 * RingSize;
    uint8_t buffer_[BufferFill + MaxMatch];
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
    try {
        while (count < Destsize) {
            const int s = DecodeSymbol();
            if (s < 256) {
                buffer_[pos++] = static_cast<uint8_t>(s);
                ++count;
            } else {
                const int distance = DecodeDistance() + 1;
                const int length = s - MatchSymbol(0);
                uint8_t* to = buffer_ + pos;
                const uint8_t* from = to - distance;
                if (distance >= length) {
                    std::memcpy(to, from, static_cast<size_t>(length));
                } else {
                    // Byte by byte: the copy repeats the bytes it has just written.
                    for (int k = 0; k < length; ++k) to[k] = from[k];
                }
                pos += length;
                count += length;
            }
            if (pos >= BufferFill) {
                io_.OutputBytes(buffer_ + flushed, pos - flushed);
                std::memmove(buffer_, buffer_ + pos - RingSize, RingSize);
                pos = flushed = RingSize;
            }
        }
        // The last read may have run into the byte past the end unnoticed.
        if (bitCount_ < 8 * bytesPastEnd_) ThrowUnexpectedEnd();
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
