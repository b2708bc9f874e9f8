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

// Main table entries: the code length, what the symbol means and its value,
// so that one lookup gives the literal byte or the match length.
constexpr uint32_t EntryLengthMask = 0x1F;
constexpr uint32_t LiteralEntry = 0x100;
// A code longer than the table's bits: the value is the root of its tree.
constexpr uint32_t LongCodeEntry = 0x200;
constexpr int EntryValueShift = 16;

constexpr uint32_t MakeMainEntry(unsigned symbol, unsigned codeLength) {
    if (symbol < static_cast<unsigned>(LiteralCount)) return symbol << EntryValueShift | LiteralEntry | codeLength;
    return (symbol - MatchSymbolOffset) << EntryValueShift | codeLength;
}
constexpr uint32_t MakeSymbolEntry(unsigned symbol, unsigned codeLength) {
    return symbol << EntryValueShift | codeLength;
}

// Position entries resolve the slot's code and its extra bits in one lookup:
// the low byte is how many bits the two take together, the upper half what to
// add to those bits, read as a number, to get the distance.
constexpr uint64_t LongPositionEntry = 0x100;
constexpr uint64_t MakePositionEntry(unsigned slot, unsigned codeLength, uint32_t code) {
    const unsigned extra = slot < 2 ? 0 : slot - 1;
    const uint32_t base = slot < 2 ? slot + 1 : (1u << extra) + 1;
    return static_cast<uint64_t>(base - (code << extra)) << 32 | (codeLength + extra);
}

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
    void BuildPositionTable();
    template <typename MakeEntry>
    void BuildDecodeTable(int symbolCount, const uint8_t* lengths, int tableBits, uint32_t* table,
                          MakeEntry makeEntry);
    // The reader holds at least MaxCodeLength bits; no check for a cut stream.
    unsigned DecodeLengthCode(BitReader& r) const;
    // Kept out of line: inlined, its set-up would be computed ahead on every
    // item. It takes the bits by value, so that the reader stays in registers.
    [[gnu::noinline]] unsigned WalkTree(unsigned look, unsigned root, unsigned alphabet, unsigned tableBits) const;
    [[gnu::noinline]] uint32_t LongMainEntry(uint64_t word, uint32_t entry) const;
    [[gnu::noinline]] uint64_t LongPositionEntryFor(uint64_t word, uint64_t entry) const;

    // The item path's state, passed by value so that it stays in registers.
    struct Cursor {
        uint64_t word;
        unsigned avail;
        uint8_t* out;
    };
    // One item, from its main table entry and a word that holds at least
    // ItemBits. It may take bits
    // past the stream's end (avail below the reader's pad); the caller then
    // fails before it counts the bytes written.
    Cursor Item(Cursor c, uint32_t mainEntry) const;
    [[gnu::noinline]] uint8_t* FastItems(BitReader& r, uint8_t* out, const uint8_t* stop, int32_t& n) const;

    CodecIO& io_;
    BitSource source_;
    BitReader bits_;
    uint16_t blockRemaining_ = 0;
    uint8_t mainLen_[MainAlphabet];
    uint8_t smallLen_[SmallAlphabetMax];
    // MakeMainEntry for codes of at most the table's bits; else LongCodeEntry
    // and the root of the tree that holds the longer codes (an index at or
    // above the alphabet's size).
    uint32_t mainTable_[MainTableSize];
    // The length code's, then the position code's entries (MakeSymbolEntry).
    uint32_t smallTable_[SmallTableSize];
    uint64_t positionTable_[SmallTableSize];
    uint32_t treeLeft_[TreeSize];  // tree nodes and leaves (symbols)
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
    BuildPositionTable();
}

void Lh5Decoder::ReadSmallLengths(int symbolCount, unsigned countBits, int specialIndex) {
    const int k = static_cast<int>(GetBits(countBits));
    if (k == 0) {
        const unsigned v = GetBits(countBits);
        // The lone symbol is used as a symbol later (a length code, a slot).
        if (v >= static_cast<unsigned>(symbolCount)) BadTable();
        std::fill_n(smallLen_, symbolCount, uint8_t{0});
        std::fill_n(smallTable_, SmallTableSize, MakeSymbolEntry(v, 0));
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
    BuildDecodeTable(symbolCount, smallLen_, SmallTableBits, smallTable_, MakeSymbolEntry);
}

void Lh5Decoder::ReadMainLengths() {
    const int k = static_cast<int>(GetBits(MainCountBits));
    if (k == 0) {
        const unsigned v = GetBits(MainCountBits);
        if (v >= static_cast<unsigned>(MainAlphabet)) BadTable();
        std::fill_n(mainLen_, MainAlphabet, uint8_t{0});
        std::fill_n(mainTable_, MainTableSize, MakeMainEntry(v, 0));
        return;
    }
    if (k > MainAlphabet) BadTable();
    int i = 0;
    while (i < k) {
        if (bits_.avail < MaxCodeLength) Refill(bits_);
        const unsigned sym = DecodeLengthCode(bits_);
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
    BuildDecodeTable(MainAlphabet, mainLen_, MainTableBits, mainTable_, MakeMainEntry);
}

// The slot entries of smallTable_ as position entries: the code of a short
// slot is the index's top bits (none for a lone slot). A code's entries are
// consecutive, so each is worked out once.
void Lh5Decoder::BuildPositionTable() {
    uint64_t entry = 0;
    for (unsigned i = 0; i < SmallTableSize; ++i) {
        const uint32_t e = smallTable_[i];
        if (i == 0 || e != smallTable_[i - 1]) {
            const unsigned length = e & EntryLengthMask;
            entry = (e & LongCodeEntry)
                        ? static_cast<uint64_t>(e >> EntryValueShift) << 32 | LongPositionEntry
                        : MakePositionEntry(e >> EntryValueShift, length, i >> (SmallTableBits - length));
        }
        positionTable_[i] = entry;
    }
}

// Canonical code as in RFC 1951: shorter codes are numerically smaller, equal
// lengths go out in symbol order. Codes up to tableBits fill table entries;
// longer ones hang in trees below the entries past the short codes.
template <typename MakeEntry>
void Lh5Decoder::BuildDecodeTable(int symbolCount, const uint8_t* lengths, int tableBits, uint32_t* table,
                                  MakeEntry makeEntry) {
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
    // Entries past the short codes become tree roots; 0 marks "no tree yet"
    // (a short code's entry is never 0: it holds its length).
    std::fill(table + (start[tableBits + 1] >> m), table + tableSize, 0u);

    unsigned nextNode = static_cast<unsigned>(symbolCount);
    const auto newNode = [&] {
        assert(nextNode < static_cast<unsigned>(TreeSize));
        treeLeft_[nextNode] = treeRight_[nextNode] = 0;
        return nextNode++;
    };
    for (int s = 0; s < symbolCount; ++s) {
        const int len = lengths[s];
        if (len == 0) continue;
        const uint32_t next = start[len] + weight[len];
        if (len <= tableBits) {
            std::fill(table + start[len], table + next,
                      makeEntry(static_cast<unsigned>(s), static_cast<unsigned>(len)));
        } else {
            uint32_t& root = table[start[len] >> m];
            if (root == 0) root = newNode() << EntryValueShift | LongCodeEntry;
            unsigned node = root >> EntryValueShift;
            // A complete prefix code never passes through a leaf, so a 0 met on
            // the way is always an empty link, never symbol 0.
            unsigned code = start[len] << tableBits;
            for (int depth = len - tableBits;; code <<= 1) {
                uint32_t& link = (code & 0x8000) ? treeRight_[node] : treeLeft_[node];
                if (--depth == 0) {
                    link = static_cast<uint32_t>(s);
                    break;
                }
                if (link == 0) link = newNode();
                node = link;
            }
        }
        start[len] = next;
    }
}

inline unsigned Lh5Decoder::DecodeLengthCode(BitReader& r) const {
    const uint32_t entry = smallTable_[r.Peek(SmallTableBits)];
    if (entry & LongCodeEntry) [[unlikely]] {
        const unsigned s = WalkTree(r.Peek(16), entry >> EntryValueShift, LengthCodeAlphabet, SmallTableBits);
        r.Take(smallLen_[s]);
        return s;
    }
    r.Take(entry & EntryLengthMask);
    return entry >> EntryValueShift;
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

uint32_t Lh5Decoder::LongMainEntry(uint64_t word, uint32_t entry) const {
    const unsigned s = WalkTree(static_cast<unsigned>(word >> 48), entry >> EntryValueShift, MainAlphabet,
                                MainTableBits);
    return MakeMainEntry(s, mainLen_[s]);
}

uint64_t Lh5Decoder::LongPositionEntryFor(uint64_t word, uint64_t entry) const {
    const unsigned s = WalkTree(static_cast<unsigned>(word >> 48), static_cast<unsigned>(entry >> 32),
                                PositionAlphabet, SmallTableBits);
    const unsigned length = smallLen_[s];
    return MakePositionEntry(s, length, static_cast<uint32_t>(word >> (64 - length)));
}

inline Lh5Decoder::Cursor Lh5Decoder::Item(Cursor c, uint32_t e) const {
    if (e & LongCodeEntry) [[unlikely]]
        e = LongMainEntry(c.word, e);
    c.word <<= e & EntryLengthMask;
    c.avail -= e & EntryLengthMask;
    if (e & LiteralEntry) {
        *c.out++ = static_cast<uint8_t>(e >> EntryValueShift);
        return c;
    }
    // A match is copied whole even past expectedSize; an overlapping one
    // repeats what it has just written.
    const auto length = static_cast<int32_t>(e >> EntryValueShift);
    uint64_t p = positionTable_[c.word >> (64 - SmallTableBits)];
    if (p & LongPositionEntry) [[unlikely]]
        p = LongPositionEntryFor(c.word, p);
    const auto bits = static_cast<unsigned>(p & 0xFF);
    // Shifted in two steps: a lone slot 0 or 1 takes no bits at all. bits
    // is below 64, so bits ^ 63 is 63 - bits.
    const auto distance = static_cast<int32_t>(static_cast<uint32_t>(p >> 32) +
                                               static_cast<uint32_t>((c.word >> 1) >> (bits ^ 63)));
    c.word <<= bits;
    c.avail -= bits;
    CopyMatch(c.out, distance, length);
    c.out += length;
    return c;
}

// Up to n items, or fewer where out reaches stop; n is left at the number not
// run. The caller has made sure that the input holds the bytes n items can
// take, so the refills need no test.
uint8_t* Lh5Decoder::FastItems(BitReader& r, uint8_t* out, const uint8_t* stop, int32_t& n) const {
    Cursor c{r.word, r.avail, out};
    const uint8_t* next = r.next;
    const auto refill = [&] {
        uint64_t w;
        std::memcpy(&w, next, 8);
        if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
        c.word |= w >> c.avail;
        next += (c.avail ^ 63) >> 3;  // 63 - avail, with no constant kept in a register
        c.avail |= 56;
    };
    refill();
    auto left = static_cast<uint32_t>(n);
    do {
        // An item leaves at least 56 - ItemBits bits, a main table index's
        // worth: the entry is looked up while the refill goes on.
        static_assert(56 - ItemBits >= MainTableBits);
        const uint32_t e = mainTable_[c.word >> (64 - MainTableBits)];
        refill();
        c = Item(c, e);
    } while (--left != 0 && c.out < stop);
    r.word = c.word;
    r.avail = c.avail;
    r.next = next;
    n = static_cast<int32_t>(left);
    return c.out;
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
            uint8_t* out = buffer_ + pos;
            uint8_t* const stop = buffer_ + limit;
            do {
                // Each item takes at most ItemBits, and the word holds at most
                // 63 bits not yet taken: so many items read no byte at or past
                // end. Until the reader meets the end of input (pad > 0), they
                // run without a test for a cut stream.
                const ptrdiff_t ahead = r.end - r.next;
                if (r.pad == 0 && ahead >= 16) {
                    int32_t n = static_cast<int32_t>(
                        std::min<ptrdiff_t>(items, (8 * ahead - 64 - 63) / ItemBits + 1));
                    const int32_t run = n;
                    out = FastItems(r, out, stop, n);
                    items -= run - n;
                } else {
                    if (r.avail < ItemBits) Refill(r);
                    const Cursor c = Item({r.word, r.avail, out}, mainTable_[r.word >> (64 - MainTableBits)]);
                    // What the item wrote lies past pos: it never reaches the output.
                    if (c.avail < r.pad) {
                        pos = static_cast<int32_t>(out - buffer_);
                        ThrowUnexpectedEnd();
                    }
                    r.word = c.word;
                    r.avail = c.avail;
                    out = c.out;
                    --items;
                }
            } while (items > 0 && out < stop);
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
