#include "Lh5BlockWriter.h"

#include <algorithm>

namespace quern {

namespace {
constexpr int NoSpecialIndex = -1;
}  // namespace

void Lh5BlockWriter::SendBlock() {
    const int root = BuildHuffmanCode(MainSymbols, mainFreq_, mainLen_, mainCode_);
    const unsigned size = mainFreq_[root];
    PutBits(lh5::BlockCountBits, size);
    if (root >= MainSymbols) {
        CountLengthCodeFreq();
        const int r2 = BuildHuffmanCode(LengthCodeSymbols, lengthCodeFreq_, smallLen_, smallCode_);
        if (r2 >= LengthCodeSymbols) {
            WriteSmallLengths(LengthCodeSymbols, lh5::LengthCodeCountBits, lh5::LengthCodeSpecialIndex);
        } else {
            PutBits(lh5::LengthCodeCountBits, 0);
            PutBits(lh5::LengthCodeCountBits, static_cast<unsigned>(r2));
        }
        WriteMainLengths();
    } else {
        // One main symbol: an empty length-code alphabet and the symbol itself;
        // its items then cost no bits at all.
        PutBits(lh5::LengthCodeCountBits, 0);
        PutBits(lh5::LengthCodeCountBits, 0);
        PutBits(lh5::MainCountBits, 0);
        PutBits(lh5::MainCountBits, static_cast<unsigned>(root));
    }
    // The main lengths above were written with the length-code alphabet,
    // whose storage the position slots take over now.
    const int r3 = BuildHuffmanCode(PositionSlots, positionFreq_, smallLen_, smallCode_);
    if (r3 >= PositionSlots) {
        WriteSmallLengths(PositionSlots, lh5::PositionCountBits, NoSpecialIndex);
    } else {
        PutBits(lh5::PositionCountBits, 0);
        PutBits(lh5::PositionCountBits, static_cast<unsigned>(r3));
    }

    int at = 0;
    unsigned flags = 0;
    for (unsigned i = 0; i < size; ++i) {
        if (i % 8 == 0) {
            flags = itemBuf_[at++];
        } else {
            flags <<= 1;
        }
        if (flags & 0x80) {
            EncodeMainSymbol(itemBuf_[at++] + unsigned{lh5::LiteralCount});
            const unsigned distanceCode = (unsigned{itemBuf_[at]} << 8) | itemBuf_[at + 1];
            at += 2;
            EncodePosition(distanceCode);
        } else {
            EncodeMainSymbol(itemBuf_[at++]);
        }
    }
    std::fill_n(mainFreq_, MainSymbols, 0);
    std::fill_n(positionFreq_, PositionSlots, 0);
    FlushWholeBytes();
}

int Lh5BlockWriter::BuildHuffmanCode(int n, uint16_t* freq, uint8_t* lengths, uint16_t* codes) {
    int nextNode = n;
    heapSize_ = 0;
    heap_[1] = 0;
    for (int i = 0; i < n; ++i) {
        lengths[i] = 0;
        if (freq[i] != 0) heap_[++heapSize_] = static_cast<uint16_t>(i);
    }
    if (heapSize_ < 2) {
        codes[heap_[1]] = 0;
        return heap_[1];
    }
    for (int i = heapSize_ / 2; i >= 1; --i) HeapPushDown(i, freq);

    int leaves = 0;
    int k;
    do {
        const int a = heap_[1];
        if (a < n) leafOrder_[leaves++] = static_cast<uint16_t>(a);
        heap_[1] = heap_[heapSize_--];
        HeapPushDown(1, freq);
        const int b = heap_[1];
        if (b < n) leafOrder_[leaves++] = static_cast<uint16_t>(b);
        k = nextNode++;
        freq[k] = static_cast<uint16_t>(freq[a] + freq[b]);
        heap_[1] = static_cast<uint16_t>(k);
        HeapPushDown(1, freq);
        treeLeft_[k] = static_cast<uint16_t>(a);
        treeRight_[k] = static_cast<uint16_t>(b);
    } while (heapSize_ > 1);

    LimitLengths(k, n, lengths);
    AssignCodes(n, lengths, codes);
    return k;
}

// Min-heap on frequency. On equal frequencies the left child is taken and the
// sinking entry stops above an equal child: this decides the leaf order.
void Lh5BlockWriter::HeapPushDown(int i, const uint16_t* freq) {
    const uint16_t v = heap_[i];
    for (;;) {
        int j = 2 * i;
        if (j > heapSize_) break;
        if (j < heapSize_ && freq[heap_[j]] > freq[heap_[j + 1]]) ++j;
        if (freq[v] <= freq[heap_[j]]) break;
        heap_[i] = heap_[j];
        i = j;
    }
    heap_[i] = v;
}

// Leaves deeper than the longest code are counted at depth 16.
void Lh5BlockWriter::CountDepths(int node, int depth, int n) {
    if (node < n) {
        ++depthCount_[std::min(depth, MaxCodeLength)];
        return;
    }
    CountDepths(treeLeft_[node], depth + 1, n);
    CountDepths(treeRight_[node], depth + 1, n);
}

void Lh5BlockWriter::LimitLengths(int root, int n, uint8_t* lengths) {
    std::fill_n(depthCount_, MaxCodeLength + 1, 0);
    CountDepths(root, 0, n);
    unsigned cum = 0;
    for (int len = 1; len <= MaxCodeLength; ++len)
        cum += static_cast<unsigned>(depthCount_[len]) << (MaxCodeLength - len);
    cum &= 0xFFFF;
    // Leaves moved up to depth 16 oversubscribe the code by cum units of
    // 2^-16: each step drops one 16-bit code and splits the deepest shorter
    // one into two, which removes exactly one unit.
    if (cum != 0) {
        depthCount_[MaxCodeLength] -= static_cast<int>(cum);
        for (unsigned step = 0; step < cum; ++step) {
            for (int len = MaxCodeLength - 1; len >= 1; --len) {
                if (depthCount_[len] > 0) {
                    --depthCount_[len];
                    depthCount_[len + 1] += 2;
                    break;
                }
            }
        }
    }
    // The least frequent symbols left the heap first and get the longest codes.
    int next = 0;
    for (int len = MaxCodeLength; len >= 1; --len)
        for (int c = 0; c < depthCount_[len]; ++c) lengths[leafOrder_[next++]] = static_cast<uint8_t>(len);
}

// Canonical codes, left-aligned in 16 bits, as the decoder rebuilds them.
void Lh5BlockWriter::AssignCodes(int n, const uint8_t* lengths, uint16_t* codes) {
    unsigned start[MaxCodeLength + 2];
    start[1] = 0;
    for (int len = 1; len <= MaxCodeLength; ++len)
        start[len + 1] = (start[len] + (static_cast<unsigned>(depthCount_[len]) << (MaxCodeLength - len))) & 0xFFFF;
    for (int i = 0; i < n; ++i) {
        const int len = lengths[i];
        if (len == 0) continue;
        codes[i] = static_cast<uint16_t>(start[len]);
        start[len] += 1u << (MaxCodeLength - len);
    }
}

int Lh5BlockWriter::UsedMainLengths() const {
    int n = MainSymbols;
    while (n > 0 && mainLen_[n - 1] == 0) --n;
    return n;
}

// Length-code symbols: 0 = one zero length, 1 = 3..18 zeros (4 extra bits),
// 2 = 20..531 zeros (9 extra bits), L + 2 = length L. A run of 19 zeros has
// no code of its own and goes as one zero and eighteen.
template <typename Visit>
void Lh5BlockWriter::WalkMainLengths(Visit visit) const {
    const int n = UsedMainLengths();
    for (int i = 0; i < n;) {
        const int len = mainLen_[i++];
        if (len != 0) {
            visit(len + 2, 0, 0);
            continue;
        }
        int run = 1;
        while (i < n && mainLen_[i] == 0) {
            ++i;
            ++run;
        }
        if (run <= 2) {
            for (int r = 0; r < run; ++r) visit(0, 0, 0);
        } else if (run <= 18) {
            visit(1, lh5::ShortZeroRunBits, run - lh5::ShortZeroRunBase);
        } else if (run == 19) {
            visit(0, 0, 0);
            visit(1, lh5::ShortZeroRunBits, 18 - lh5::ShortZeroRunBase);
        } else {
            visit(2, lh5::LongZeroRunBits, run - lh5::LongZeroRunBase);
        }
    }
}

void Lh5BlockWriter::CountLengthCodeFreq() {
    std::fill_n(lengthCodeFreq_, LengthCodeSymbols, 0);
    WalkMainLengths([this](int symbol, int, int) { ++lengthCodeFreq_[symbol]; });
}

void Lh5BlockWriter::WriteMainLengths() {
    PutBits(lh5::MainCountBits, static_cast<unsigned>(UsedMainLengths()));
    WalkMainLengths([this](int symbol, int extraBits, int extra) {
        PutCode(smallLen_[symbol], smallCode_[symbol]);
        if (extraBits != 0) PutBits(extraBits, static_cast<unsigned>(extra));
    });
}

// Lengths 0..6 take 3 bits; a length L >= 7 is L - 4 one-bits and a zero.
// After the symbol at specialIndex a 2-bit count skips up to three zero
// lengths (indices 3..5 of the length-code alphabet).
void Lh5BlockWriter::WriteSmallLengths(int symbolCount, int countBits, int specialIndex) {
    int n = symbolCount;
    while (n > 0 && smallLen_[n - 1] == 0) --n;
    PutBits(countBits, static_cast<unsigned>(n));
    for (int i = 0; i < n;) {
        const int len = smallLen_[i++];
        if (len < lh5::SmallLengthEscape) {
            PutBits(lh5::SmallLengthBits, static_cast<unsigned>(len));
        } else {
            PutBits(len - 3, 0xFFFE);
        }
        if (i == specialIndex) {
            while (i < 6 && smallLen_[i] == 0) ++i;
            PutBits(2, static_cast<unsigned>(i - 3));
        }
    }
}

}  // namespace quern
