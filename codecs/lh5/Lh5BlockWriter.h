// Back half of the LH5 encoder: buffers the items chosen by the match finder
// and writes them as static-Huffman blocks of the -lh5- stream format.
//
// The writer is exact: the heap order, its tie-breaks, the length limiting
// rule and the run coding of zero lengths all decide which bits come out, and
// each is kept as LHA's own encoder does it so that equal input gives equal
// bytes.
//
// Item buffer layout, in groups of up to eight items:
//
//   flag byte   bit 7 = first item of the group ... bit 0 = eighth; 1 = match
//   literal     1 byte: the byte
//   match       3 bytes: length - 3, then distance - 1 high byte, low byte
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

#include <quern/CodecEngine.h>
#include "Lh5Format.h"

namespace quern {

// Test seam: sees every item in the order the match finder chooses it.
class Lh5ItemObserver {
public:
    virtual ~Lh5ItemObserver() = default;
    // symbol 0..255 is a literal; 256..509 a match of length symbol - 253
    // whose distance is distanceCode + 1.
    virtual void OnItem(unsigned symbol, unsigned distanceCode) = 0;
};

class Lh5BlockWriter {
public:
    static constexpr int MainSymbols = lh5::MainAlphabet;
    static constexpr int LengthCodeSymbols = lh5::LengthCodeAlphabet;
    static constexpr int PositionSlots = lh5::PositionAlphabet;
    static constexpr int MaxCodeLength = lh5::MaxCodeLength;
    static constexpr int ItemBufferSize = 16384;
    // A new group is started only below this index; a group adds at most
    // 1 + 8 * 3 bytes, so the buffer can never overflow.
    static constexpr int ItemBufferLimit = 16360;
    static_assert((ItemBufferLimit - 1) + 1 + 8 * 3 <= ItemBufferSize);
    // At most 16360 / 9 * 8 items fit in a block, so 16-bit frequencies and
    // the 16-bit item count cannot overflow.
    static_assert((ItemBufferLimit / 9 + 1) * 8 <= 0xFFFF);

    // Only the frequencies start at zero; every other table is written
    // before it is read, and most runs are short.
    explicit Lh5BlockWriter(CodecIO& io, Lh5ItemObserver* observer = nullptr) : io_(io), observer_(observer) {
        std::fill_n(mainFreq_, MainSymbols, 0);
        std::fill_n(positionFreq_, PositionSlots, 0);
    }
    Lh5BlockWriter(const Lh5BlockWriter&) = delete;
    Lh5BlockWriter& operator=(const Lh5BlockWriter&) = delete;

    // Buffers one item; writes a block first when the buffer is full.
    void EmitItem(unsigned symbol, unsigned distanceCode) {
        if (observer_ != nullptr) observer_->OnItem(symbol, distanceCode);
        flagMask_ >>= 1;
        if (flagMask_ == 0) {
            flagMask_ = 0x80;
            if (itemPos_ >= ItemBufferLimit) {
                SendBlock();
                itemPos_ = 0;
            }
            flagPos_ = itemPos_;
            itemBuf_[itemPos_++] = 0;
        }
        itemBuf_[itemPos_++] = static_cast<uint8_t>(symbol);
        ++mainFreq_[symbol];
        if (symbol >= lh5::LiteralCount) {
            itemBuf_[flagPos_] |= static_cast<uint8_t>(flagMask_);
            itemBuf_[itemPos_++] = static_cast<uint8_t>(distanceCode >> 8);
            itemBuf_[itemPos_++] = static_cast<uint8_t>(distanceCode);
            ++positionFreq_[BitLength(distanceCode)];
        }
    }

    // Writes one block with every buffered item and empties the statistics.
    void SendBlock();

    // Writes the low n bits of value (n = 1..16), most significant first.
    void PutBits(int n, unsigned value) { PutRaw(n, value & ((1u << n) - 1)); }

    // Pads the last partial byte with zero bits; writes nothing when none is pending.
    void FinalFlush() {
        PutBits(7, 0);
        FlushWholeBytes();
    }

private:
    // Node arrays hold the symbols followed by the internal nodes of the tree.
    static constexpr int MainNodes = 2 * MainSymbols - 1;

    static unsigned BitLength(unsigned v) { return static_cast<unsigned>(std::bit_width(v)); }

    // Writes the top n bits (n = 0..16) of a left-aligned 16-bit code.
    void PutCode(int n, unsigned code) { PutRaw(n, code >> (16 - n)); }

    // Appends n bits (n = 0..16, value < 2^n). Whole bytes collect in
    // outBytes_, which goes to the codec IO when full, at the end of a block
    // and at the end of the stream: between those points the writer makes no
    // other call on the IO, so the IO sees what byte-by-byte output would give.
    void PutRaw(int n, unsigned value) {
        bitAcc_ = (bitAcc_ << n) | value;
        bitCount_ += n;
        if (bitCount_ >= 32) {
            bitCount_ -= 32;
            const auto word = static_cast<uint32_t>(bitAcc_ >> bitCount_);
            if (outCount_ > OutBytesSize - 4) FlushOutBytes();
            outBytes_[outCount_] = static_cast<uint8_t>(word >> 24);
            outBytes_[outCount_ + 1] = static_cast<uint8_t>(word >> 16);
            outBytes_[outCount_ + 2] = static_cast<uint8_t>(word >> 8);
            outBytes_[outCount_ + 3] = static_cast<uint8_t>(word);
            outCount_ += 4;
        }
    }
    // Passes every whole byte on to the IO; fewer than 8 bits stay.
    void FlushWholeBytes() {
        while (bitCount_ >= 8) {
            bitCount_ -= 8;
            if (outCount_ == OutBytesSize) FlushOutBytes();
            outBytes_[outCount_++] = static_cast<uint8_t>(bitAcc_ >> bitCount_);
        }
        FlushOutBytes();
    }
    void FlushOutBytes() {
        io_.OutputBytes(outBytes_, outCount_);
        outCount_ = 0;
    }

    void EncodeMainSymbol(unsigned symbol) { PutCode(mainLen_[symbol], mainCode_[symbol]); }
    void EncodePosition(unsigned distanceCode) {
        const unsigned slot = BitLength(distanceCode);
        PutCode(smallLen_[slot], smallCode_[slot]);
        if (slot > 1) PutBits(static_cast<int>(slot) - 1, distanceCode);
    }

    int BuildHuffmanCode(int n, uint16_t* freq, uint8_t* lengths, uint16_t* codes);
    void HeapPushDown(int i, const uint16_t* freq);
    void CountDepths(int node, int depth, int n);
    void LimitLengths(int root, int n, uint8_t* lengths);
    void AssignCodes(int n, const uint8_t* lengths, uint16_t* codes);
    int UsedMainLengths() const;
    // Calls visit(lengthCodeSymbol, extraBits, extraValue) for each code that
    // sends the main lengths.
    template <typename Visit>
    void WalkMainLengths(Visit visit) const;
    void CountLengthCodeFreq();
    void WriteSmallLengths(int symbolCount, int countBits, int specialIndex);
    void WriteMainLengths();

    CodecIO& io_;
    Lh5ItemObserver* observer_;

    uint8_t itemBuf_[ItemBufferSize];
    int itemPos_ = 0;
    int flagPos_ = 0;
    unsigned flagMask_ = 0;

    uint16_t mainFreq_[MainNodes];
    uint8_t mainLen_[MainSymbols];
    uint16_t mainCode_[MainSymbols];
    uint16_t lengthCodeFreq_[2 * LengthCodeSymbols - 1];
    uint16_t positionFreq_[2 * PositionSlots - 1];
    // Shared in turn by the length-code and the position-slot alphabet.
    uint8_t smallLen_[LengthCodeSymbols];
    uint16_t smallCode_[LengthCodeSymbols];

    uint16_t treeLeft_[MainNodes];
    uint16_t treeRight_[MainNodes];
    uint16_t heap_[MainSymbols + 1];
    int heapSize_ = 0;
    // Symbols in the order they left the heap, least frequent first.
    uint16_t leafOrder_[MainSymbols];
    int depthCount_[MaxCodeLength + 1];

    static constexpr int OutBytesSize = 4096;
    uint64_t bitAcc_ = 0;  // the low bitCount_ bits are pending, oldest highest
    int bitCount_ = 0;
    uint8_t outBytes_[OutBytesSize];
    int outCount_ = 0;
};

}  // namespace quern
