// The -lh5- expander. The stream is hostile: every length list is validated
// once at its block head (counts within the alphabet, lengths at most 16, a
// code exactly complete) so that the per-item path can trust its tables and
// only masks window indices.
#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <memory>
#include <type_traits>

#include "../DecodeSupport.h"
#include "Lh5.h"
#include "Lh5Format.h"

namespace quern {

namespace {

using namespace lh5;

constexpr int MainTableBits = 10;
constexpr int SmallTableBits = 8;
constexpr int MainTableSize = 1 << MainTableBits;
constexpr int SmallTableSize = 1 << SmallTableBits;
constexpr int SmallAlphabetMax = std::max(LengthCodeAlphabet, PositionAlphabet);
// Overflow-tree nodes are numbered from the alphabet size up. A complete code
// over n symbols has n - 1 inner nodes, so the main alphabet needs at most
// 2 * 510 - 1 entries and the small alphabets fewer (and below 510, so the
// trees of one block never overlap).
constexpr int TreeSize = 2 * MainAlphabet - 1;
static_assert(TreeSize == 1019);
static_assert(2 * SmallAlphabetMax - 1 <= MainAlphabet);
// The 16-bit look-ahead holds every code whole: the walk below a table reads
// bits the look-ahead already has.
static_assert(MaxCodeLength <= 16);

[[noreturn]] void BadTable() { throw ELZHBadDecodeTable(); }

class Lh5Decoder {
public:
    explicit Lh5Decoder(CodecIO& io) : io_(io), source_(io) {}
    void Run(int32_t expectedSize);

private:
    // One refill holds enough for a whole item (a main code, a position code
    // and 12 extra bits), so the item path tests the count once and checks
    // for a cut stream once, before it writes the item's bytes.
    static constexpr unsigned ItemBits = 2 * MaxCodeLength + WindowBits - 1;
    static_assert(ItemBits <= 56);
    void Refill(BitReader& r) { source_.Refill(r); }
    // Outside items: the reader is bits_, and every read checks.
    void Consume(unsigned n) {
        bits_.Take(n);
        if (bits_.Cut()) ThrowUnexpectedEnd();
    }
    unsigned GetBits(unsigned n) {  // n from 0 to 16
        if (bits_.avail < MaxCodeLength) Refill(bits_);
        // The upper half holds n up to 16 (one register on a 32-bit machine); n = 0 yields 0.
        const auto high = static_cast<uint32_t>(bits_.word >> 32);
        const unsigned v = (high >> 1) >> (31 - n);
        Consume(n);
        return v;
    }

    void ReadBlockHead();
    void ReadSmallLengths(int symbolCount, unsigned countBits, int specialIndex);
    void ReadMainLengths();
    void BuildDecodeTable(int symbolCount, const uint8_t* lengths, int tableBits, uint32_t* table);
    // The reader holds at least MaxCodeLength bits; no check for a cut stream.
    template <int TableBits>
    unsigned DecodeSymbol(BitReader& r, const uint32_t* table, const uint8_t* lengths, unsigned alphabet) const;
    // Kept out of line: inlined, its set-up would be computed ahead on every
    // item. It takes the bits by value, so that the reader stays in registers.
    [[gnu::noinline]] unsigned WalkTree(unsigned look, unsigned root, unsigned alphabet, unsigned tableBits) const;
    unsigned DecodeMainSymbol(BitReader& r) const {
        return DecodeSymbol<MainTableBits>(r, mainTable_, mainLen_, MainAlphabet);
    }
    unsigned DecodeSmallSymbol(BitReader& r, unsigned alphabet) const {
        return DecodeSymbol<SmallTableBits>(r, smallTable_, smallLen_, alphabet);
    }
    unsigned DecodePosition(BitReader& r) const;

    CodecIO& io_;
    BitSource source_;
    BitReader bits_;
    uint16_t blockRemaining_ = 0;
    uint8_t mainLen_[MainAlphabet];
    uint8_t smallLen_[SmallAlphabetMax];
    // Entry: symbol | length << 16 for a code of at most the table's bits;
    // else the root of the tree that holds the longer codes (an index at or
    // above the alphabet's size).
    uint32_t mainTable_[MainTableSize];
    uint32_t smallTable_[SmallTableSize];
    uint32_t treeLeft_[TreeSize];  // of the table's type, so one walk builds both
    uint32_t treeRight_[TreeSize];
    // The window and the bytes decoded after it, passed to the output in
    // spans: a match is a copy within one array.
    static constexpr int32_t BufferFill = 4 * WindowSize;
    uint8_t buffer_[BufferFill + MaxMatch + CopyMatchSlack];
};

void Lh5Decoder::ReadBlockHead() {
    blockRemaining_ = static_cast<uint16_t>(GetBits(BlockCountBits));
    ReadSmallLengths(LengthCodeAlphabet, LengthCodeCountBits, LengthCodeSpecialIndex);
    ReadMainLengths();
    ReadSmallLengths(PositionAlphabet, PositionCountBits, -1);
}

void Lh5Decoder::ReadSmallLengths(int symbolCount, unsigned countBits, int specialIndex) {
    const int k = static_cast<int>(GetBits(countBits));
    if (k == 0) {
        const unsigned v = GetBits(countBits);
        // The lone symbol is used as a symbol later (a length code, a slot).
        if (v >= static_cast<unsigned>(symbolCount)) BadTable();
        std::fill_n(smallLen_, symbolCount, uint8_t{0});
        std::fill_n(smallTable_, SmallTableSize, v);
        return;
    }
    if (k > symbolCount) BadTable();
    int i = 0;
    while (i < k) {
        if (bits_.avail < MaxCodeLength) Refill(bits_);
        const unsigned look = bits_.Peek(16);
        unsigned t = look >> (16 - SmallLengthBits);
        if (t == SmallLengthEscape) {
            for (unsigned mask = 1u << (15 - SmallLengthBits); mask & look; mask >>= 1) ++t;
        }
        // The escape can express up to 20; the codes stop at 16.
        if (t > MaxCodeLength) BadTable();
        // The escape spends its three 1-bits, t - 7 more 1-bits and the 0-bit.
        Consume(t < SmallLengthEscape ? SmallLengthBits : SmallLengthBits + (t - SmallLengthEscape) + 1);
        smallLen_[i++] = static_cast<uint8_t>(t);
        if (i == specialIndex) {
            const int z = static_cast<int>(GetBits(2));
            if (i + z > symbolCount) BadTable();
            std::fill_n(smallLen_ + i, z, uint8_t{0});
            i += z;
        }
    }
    std::fill(smallLen_ + i, smallLen_ + symbolCount, uint8_t{0});
    BuildDecodeTable(symbolCount, smallLen_, SmallTableBits, smallTable_);
}

void Lh5Decoder::ReadMainLengths() {
    const int k = static_cast<int>(GetBits(MainCountBits));
    if (k == 0) {
        const unsigned v = GetBits(MainCountBits);
        if (v >= static_cast<unsigned>(MainAlphabet)) BadTable();
        std::fill_n(mainLen_, MainAlphabet, uint8_t{0});
        std::fill_n(mainTable_, MainTableSize, v);
        return;
    }
    if (k > MainAlphabet) BadTable();
    int i = 0;
    while (i < k) {
        if (bits_.avail < MaxCodeLength) Refill(bits_);
        const unsigned sym = DecodeSmallSymbol(bits_, LengthCodeAlphabet);
        if (bits_.Cut()) ThrowUnexpectedEnd();
        if (sym > 2) {
            mainLen_[i++] = static_cast<uint8_t>(sym - 2);
            continue;
        }
        int run = 1;
        if (sym == 1) run = static_cast<int>(GetBits(ShortZeroRunBits)) + ShortZeroRunBase;
        if (sym == 2) run = static_cast<int>(GetBits(LongZeroRunBits)) + LongZeroRunBase;
        if (i + run > MainAlphabet) BadTable();
        std::fill_n(mainLen_ + i, run, uint8_t{0});
        i += run;
    }
    std::fill(mainLen_ + i, mainLen_ + MainAlphabet, uint8_t{0});
    BuildDecodeTable(MainAlphabet, mainLen_, MainTableBits, mainTable_);
}

// Canonical code as in RFC 1951: shorter codes are numerically smaller, equal
// lengths go out in symbol order. Codes up to tableBits fill table entries;
// longer ones hang in trees below the entries past the short codes.
void Lh5Decoder::BuildDecodeTable(int symbolCount, const uint8_t* lengths, int tableBits, uint32_t* table) {
    unsigned count[MaxCodeLength + 1] = {};
    for (int s = 0; s < symbolCount; ++s) ++count[lengths[s]];

    // Left-aligned 16-bit code starts, summed without wrapping: the code must
    // be exactly complete. A sum of 0 (no code at all) or 2^17 would pass a
    // test modulo 2^16 and leave stale entries or overrun the table.
    uint32_t start[MaxCodeLength + 2];
    uint32_t weight[MaxCodeLength + 1];
    start[1] = 0;
    for (int len = 1; len <= MaxCodeLength; ++len) {
        weight[len] = 1u << (MaxCodeLength - len);
        start[len + 1] = start[len] + weight[len] * count[len];
    }
    if (start[MaxCodeLength + 1] != 1u << MaxCodeLength) BadTable();

    const int m = MaxCodeLength - tableBits;
    for (int len = 1; len <= tableBits; ++len) {
        start[len] >>= m;
        weight[len] >>= m;
    }
    const uint32_t tableSize = 1u << tableBits;
    // Entries past the short codes become tree roots; 0 marks "no node yet".
    std::fill(table + (start[tableBits + 1] >> m), table + tableSize, 0u);

    unsigned nextNode = static_cast<unsigned>(symbolCount);
    for (int s = 0; s < symbolCount; ++s) {
        const int len = lengths[s];
        if (len == 0) continue;
        const uint32_t next = start[len] + weight[len];
        if (len <= tableBits) {
            std::fill(table + start[len], table + next, static_cast<uint32_t>(s) | static_cast<uint32_t>(len) << 16);
        } else {
            // A complete prefix code never passes through a leaf, so a 0 met on
            // the way is always an empty link, never symbol 0.
            uint32_t* slot = &table[start[len] >> m];
            unsigned code = start[len] << tableBits;
            for (int depth = len - tableBits; depth > 0; --depth) {
                if (*slot == 0) {
                    assert(nextNode < static_cast<unsigned>(TreeSize));
                    treeLeft_[nextNode] = treeRight_[nextNode] = 0;
                    *slot = nextNode++;
                }
                slot = (code & 0x8000) ? &treeRight_[*slot] : &treeLeft_[*slot];
                code <<= 1;
            }
            *slot = static_cast<uint32_t>(s);
        }
        start[len] = next;
    }
}

template <int TableBits>
inline unsigned Lh5Decoder::DecodeSymbol(BitReader& r, const uint32_t* table, const uint8_t* lengths,
                                         unsigned alphabet) const {
    const uint32_t entry = table[r.Peek(TableBits)];
    const unsigned j = entry & 0xFFFF;
    if (j >= alphabet) [[unlikely]] {
        const unsigned s = WalkTree(r.Peek(16), j, alphabet, TableBits);
        r.Take(lengths[s]);
        return s;
    }
    r.Take(entry >> 16);
    return j;
}

// With complete codes every walk ends at a symbol within 16 - tableBits steps,
// on bits the reader already holds.
unsigned Lh5Decoder::WalkTree(unsigned look, unsigned root, unsigned alphabet, unsigned tableBits) const {
    unsigned mask = 1u << (15 - tableBits);
    unsigned j = root;
    do {
        j = (look & mask) ? treeRight_[j] : treeLeft_[j];
        mask >>= 1;
    } while (j >= alphabet);
    return j;
}

// distance - 1, 0..8191.
inline unsigned Lh5Decoder::DecodePosition(BitReader& r) const {
    const unsigned slot = DecodeSmallSymbol(r, PositionAlphabet);
    if (slot <= 1) return slot;
    const unsigned extra = slot - 1;
    const unsigned v = (1u << extra) + r.Peek(extra);
    r.Take(extra);
    return v;
}

void Lh5Decoder::Run(int32_t expectedSize) {
    // The window is the WindowSize bytes before pos; it starts as spaces.
    std::memset(buffer_, WindowFill, WindowSize);
    int32_t pos = WindowSize;
    int32_t flushed = pos;  // bytes before it have been passed to the output
    // 64 bits: a final match may carry the count up to 255 past expectedSize.
    int64_t produced = 0;  // up to flushed
    try {
        while (produced + (pos - flushed) < expectedSize) {
            if (blockRemaining_ == 0) ReadBlockHead();
            // Items until the block, the buffer or the entry ends, whichever
            // comes first (a block count of 0 means 65536 items).
            const int32_t itemsAtStart = blockRemaining_ == 0 ? 65536 : blockRemaining_;
            int32_t items = itemsAtStart;
            const int32_t limit = static_cast<int32_t>(
                std::min<int64_t>(BufferFill, pos + (expectedSize - produced - (pos - flushed))));
            BitReader r = bits_;
            // The item path works on pointers in locals, so that the byte
            // stores cannot make the compiler reload them.
            uint8_t* out = buffer_ + pos;
            uint8_t* const stop = buffer_ + limit;
            const auto cut = [this, &pos](const uint8_t* at) {
                pos = static_cast<int32_t>(at - buffer_);
                ThrowUnexpectedEnd();
            };
            // Only a reader that has met the end of input (pad > 0) can be
            // cut: until then the items run without that check. Returns false
            // where the checked run has to take over.
            const auto run = [&](auto checked) [[gnu::always_inline]] {
                if constexpr (!checked) {
                    if (r.pad != 0) return false;
                }
                do {
                    if constexpr (checked) {
                        if (r.avail < ItemBits) Refill(r);
                    } else if (!r.RefillFast()) {
                        // Topping up on every item costs a few instructions
                        // but spares a branch on the bit count that binary
                        // data mispredicts.
                        Refill(r);
                        if (r.pad != 0) return false;
                    }
                    const unsigned sym = DecodeMainSymbol(r);
                    if (sym < static_cast<unsigned>(LiteralCount)) {
                        if (checked && r.Cut()) [[unlikely]]
                            cut(out);
                        *out++ = static_cast<uint8_t>(sym);
                        continue;
                    }
                    // A match is copied whole even past expectedSize; an
                    // overlapping one repeats what it has just written.
                    const int32_t length = static_cast<int32_t>(sym) - MatchSymbolOffset;
                    const int32_t distance = static_cast<int32_t>(DecodePosition(r)) + 1;
                    if (checked && r.Cut()) [[unlikely]]
                        cut(out);
                    CopyMatch(out, distance, length);
                    out += length;
                } while (--items > 0 && out < stop);
                return true;
            };
            if (!run(std::false_type{})) run(std::true_type{});
            pos = static_cast<int32_t>(out - buffer_);
            bits_ = r;
            blockRemaining_ = static_cast<uint16_t>(blockRemaining_ - (itemsAtStart - items));
            if (pos >= BufferFill) {
                io_.OutputBytes(buffer_ + flushed, pos - flushed);
                produced += pos - flushed;
                std::memmove(buffer_, buffer_ + pos - WindowSize, WindowSize);
                pos = flushed = WindowSize;
            }
        }
    } catch (...) {
        // What was decoded before the failure reaches the output, as it
        // would byte by byte.
        io_.OutputBytes(buffer_ + flushed, pos - flushed);
        throw;
    }
    io_.OutputBytes(buffer_ + flushed, pos - flushed);
}

}  // namespace

void Lh5Decode(CodecIO& io, int32_t expectedSize) {
    if (expectedSize == 0) return;  // no work area, nothing read
    const auto decoder = std::make_unique<Lh5Decoder>(io);
    decoder->Run(expectedSize);
}

}  // namespace quern
