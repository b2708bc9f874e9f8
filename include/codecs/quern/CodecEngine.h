// The codec dispatcher and the byte interface every codec reads and writes
// through. One CodecIO belongs to one RunCodec call; codecs receive it by
// reference and keep their own state in locals or objects of that call, so
// runs on different threads never share anything.
#pragma once

#include <cstdint>
#include <functional>

#include <quern/Errors.h>
#include <quern/Platform.h>
#include <quern/Stream.h>

namespace quern {

// The component's progress event: percentage of the entry's stored bytes read
// so far, 0 to 100; a handler that leaves -1 ends the entry's input.
using TShowProgressEvent = std::function<void(int32_t& PercentageDone)>;

// What the dispatcher reads of the component.
struct CodecSettings {
    int32_t Key = 0;
    int32_t CompressReserve = 0;
    TShowProgressEvent OnShowProgress;
};

// Method types of the archive format.
enum : uint8_t { ctNone = 0, ctRle = 1, ctLzh = 2, ctCustom = 3, ctLh5 = 4 };

constexpr int32_t CodecBufferSize = 8192;

int32_t ProgressPercent(int32_t done, int32_t total);

class CodecIO {
public:
    CodecIO(TStream& dest, TStream& source, int32_t sourceSize, bool expanding, bool scrambled,
            const CodecSettings& settings);
    CodecIO(const CodecIO&) = delete;
    CodecIO& operator=(const CodecIO&) = delete;

    // Next byte of the source span; 0 with InputEnded() true when the span or
    // the stream is exhausted or the progress handler cancelled.
    uint8_t InputByte() {
        if (inPos_ == inEnd_ && !Refill()) return 0;
        uint8_t b = inBuf_[inPos_++];
        inputSum_ += b;
        if (descramble_) b = KeyScramble(b);
        return b;
    }
    bool InputEnded() const { return inputEnded_; }

    // InputByte for up to n bytes, taken from the chunk at hand (refilled first
    // when it is used up), with the same sum and descrambling. Returns how many
    // were copied; 0 is the end of input, as InputEnded() then says. A chunk
    // whose progress event cancelled is still served, as InputByte serves it,
    // while InputEnded() is already true. Decoders read ahead through it
    // without pulling in a further chunk early.
    int32_t InputBytes(uint8_t* to, int32_t n);

    // Appends one byte to the output; raises EUnableToCompress past the budget.
    void OutputByte(uint8_t b) {
        if (budget_ <= 0) ThrowBudget();
        --budget_;
        if (outPos_ == CodecBufferSize) FlushFull();
        if (scramble_) b = KeyScramble(b);
        outBuf_[outPos_++] = b;
        outputSum_ += b;
        ++outputCount_;
    }

    // OutputByte for each of n bytes, with the same writes, yields, sums and
    // budget failure, done a buffer's worth at a time.
    void OutputBytes(const uint8_t* bytes, int32_t n) {
        if (n > budget_ && n > 0) {
            const int32_t allowed = budget_ > 0 ? budget_ : 0;
            OutputSpan(bytes, allowed);
            ThrowBudget();
        }
        OutputSpan(bytes, n);
    }

    // Writes what the output buffer still holds (no yield before this last write).
    void FlushRest();

    // Not part of the codecs' byte interface: what the dispatcher reports.
    uint32_t InputSum() const { return inputSum_; }
    uint32_t OutputSum() const { return outputSum_; }
    int32_t OutputCount() const { return outputCount_; }

private:
    uint8_t KeyScramble(uint8_t b) {
        b ^= key_[keyIndex_];
        keyIndex_ = (keyIndex_ + 1) & 3;
        return b;
    }
    bool Refill();            // false: no byte to serve (InputEnded set)
    void OutputSpan(const uint8_t* bytes, int32_t n);  // within the budget
    void FlushFull();         // yield, then write all 8192 bytes
    [[noreturn]] static void ThrowBudget();

    TStream& dest_;
    TStream& source_;
    const TShowProgressEvent progress_;  // a copy: the caller's settings may be a temporary
    int32_t inPos_ = 0, inEnd_ = 0;
    int32_t remaining_;
    int32_t chunk_ = CodecBufferSize;
    int32_t readSoFar_ = 0;
    bool inputEnded_ = false;
    int32_t outPos_ = 0;
    int32_t budget_;
    int32_t outputCount_ = 0;
    uint32_t inputSum_ = 0, outputSum_ = 0;
    bool scramble_, descramble_;
    uint8_t key_[4];
    unsigned keyIndex_ = 0;
    uint8_t inBuf_[CodecBufferSize];
    uint8_t outBuf_[CodecBufferSize];
};

// For decoders: the stream needs bits past the end of its stored span.
[[noreturn]] void ThrowUnexpectedEnd();

// Runs one codec over Sourcesize bytes of source into dest. Method types 1, 2
// and 4; any other type runs nothing and yields checksum 0. Returns the number
// of bytes written when compressing.
int32_t RunCodec(TStream& dest, TStream& source, int32_t Sourcesize, int32_t Destsize, uint8_t method,
                 uint32_t& checksum, bool Expanding, bool Scrambled, const CodecSettings& settings);

// RunCodec's expanding half. It lives apart from the compressors so that a
// program that only expands (the setup stub) links no encoder.
int32_t RunExpansion(TStream& dest, TStream& source, int32_t Sourcesize, int32_t Destsize, uint8_t method,
                     uint32_t& checksum, bool Scrambled, const CodecSettings& settings);

}  // namespace quern
