#include <quern/CodecEngine.h>

#include <algorithm>
#include <cstring>
#include <memory>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "Lzh.h"
#include "Rle.h"
#include "lh5/Lh5.h"

namespace quern {

int32_t ProgressPercent(int32_t done, int32_t total) {
    // Large spans divide first so that done * 100 cannot overflow.
    if (total > 100000) return done / (total / 100);
    return (done * 100) / total;
}

namespace {
// The checksums' sum of n bytes, at most a buffer's worth: sixteen at a time
// where the processor has a sum of absolute differences.
uint32_t ByteSum(const uint8_t* bytes, int32_t n) {
    uint32_t sum = 0;
    int32_t i = 0;
#if defined(__SSE2__)
    __m128i acc = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        acc = _mm_add_epi64(acc, _mm_sad_epu8(v, _mm_setzero_si128()));
    }
    sum = static_cast<uint32_t>(_mm_cvtsi128_si32(acc)) +
          static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(acc, acc)));
#endif
    for (; i < n; ++i) sum += bytes[i];
    return sum;
}

// Sourcesize - CompressReserve, kept in range: a reserve near the Integer
// limits must not overflow into a huge or wrapped budget.
int32_t CompressBudget(int32_t sourceSize, int32_t reserve) {
    const int64_t budget = int64_t{sourceSize} - reserve;
    return static_cast<int32_t>(std::clamp<int64_t>(budget, INT32_MIN, INT32_MAX));
}
}  // namespace

CodecIO::CodecIO(TStream& dest, TStream& source, int32_t sourceSize, bool expanding, bool scrambled,
                 const CodecSettings& settings)
    : dest_(dest),
      source_(source),
      progress_(settings.OnShowProgress),
      remaining_(std::max<int32_t>(sourceSize, 0)),
      budget_(expanding ? 0x7FFFFFFF : CompressBudget(sourceSize, settings.CompressReserve)),
      scramble_(!expanding && settings.Key != 0),
      descramble_(expanding && settings.Key != 0 && scrambled) {
    const auto key = static_cast<uint32_t>(settings.Key);
    for (int i = 0; i < 4; ++i) key_[i] = static_cast<uint8_t>(key >> (8 * i));
}

bool CodecIO::Refill() {
    inputEnded_ = true;
    if (remaining_ <= 0) return false;
    chunk_ = std::min(chunk_, remaining_);
    const int32_t n = std::max<int32_t>(source_.Read(inBuf_, chunk_), 0);
    remaining_ -= n;
    if (n == 0) return false;
    inEnd_ = n;
    inPos_ = 0;
    if (progress_) {
        readSoFar_ += n;
        int32_t percent = ProgressPercent(readSoFar_, readSoFar_ + remaining_);
        progress_(percent);
        if (percent == -1) return false;  // the chunk stays; InputEnded stays true
    }
    platform::YieldProcessor();
    inputEnded_ = false;
    return true;
}

int32_t CodecIO::InputBytes(uint8_t* to, int32_t n) {
    if (n <= 0) return 0;
    if (inPos_ == inEnd_ && !Refill()) return 0;
    const int32_t k = std::min(n, inEnd_ - inPos_);
    const uint8_t* from = inBuf_ + inPos_;
    inPos_ += k;
    inputSum_ += ByteSum(from, k);
    if (descramble_) {
        for (int32_t i = 0; i < k; ++i) to[i] = KeyScramble(from[i]);
    } else {
        std::memcpy(to, from, static_cast<size_t>(k));
    }
    return k;
}

void CodecIO::FlushFull() {
    platform::YieldProcessor();
    dest_.WriteBuffer(outBuf_, CodecBufferSize);
    outPos_ = 0;
}

void CodecIO::OutputSpan(const uint8_t* bytes, int32_t n) {
    budget_ -= n;
    outputCount_ += n;
    while (n > 0) {
        // A full buffer is written only when a further byte arrives, as OutputByte does.
        if (outPos_ == CodecBufferSize) FlushFull();
        if (outPos_ == 0 && n > CodecBufferSize && !scramble_) {
            // A buffer's worth with more to come: written from the span itself,
            // as FlushFull would write it once filled.
            outputSum_ += ByteSum(bytes, CodecBufferSize);
            platform::YieldProcessor();
            dest_.WriteBuffer(bytes, CodecBufferSize);
            bytes += CodecBufferSize;
            n -= CodecBufferSize;
            continue;
        }
        const int32_t k = std::min(n, CodecBufferSize - outPos_);
        uint8_t* out = outBuf_ + outPos_;
        uint32_t sum = 0;
        if (scramble_) {
            for (int32_t i = 0; i < k; ++i) {
                out[i] = KeyScramble(bytes[i]);
                sum += out[i];
            }
        } else {
            std::memcpy(out, bytes, static_cast<size_t>(k));
            sum = ByteSum(bytes, k);
        }
        outputSum_ += sum;
        outPos_ += k;
        bytes += k;
        n -= k;
    }
}

void CodecIO::FlushRest() {
    if (outPos_ > 0) dest_.WriteBuffer(outBuf_, outPos_);
    outPos_ = 0;
}

void CodecIO::ThrowBudget() { throw EUnableToCompress(); }

void ThrowUnexpectedEnd() { throw EUnexpectedEndOfData(); }

int32_t RunExpansion(TStream& dest, TStream& source, int32_t Sourcesize, int32_t Destsize, uint8_t method,
                     uint32_t& checksum, bool Scrambled, const CodecSettings& settings) {
    auto io = std::make_unique<CodecIO>(dest, source, Sourcesize, true, Scrambled, settings);
    switch (method) {
        case ctRle: RleExpand(*io); break;
        case ctLzh: ExpandLZH(*io, Destsize); break;
        case ctLh5: Lh5Decode(*io, Destsize); break;
        default: break;
    }
    // The last partial write comes first: a failure leaves checksum unassigned.
    io->FlushRest();
    checksum = io->OutputSum();
    return io->OutputCount();
}

}  // namespace quern
