// Shared half of the "LZH" codec (LHA's -lh1-, the LZHUF scheme): the
// adaptive Huffman model over literals and match lengths, and the fixed
// prefix code for the upper six bits of a match distance. Both directions
// must adapt identically, so both use this one model.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

namespace quern {

namespace lzh {

constexpr int RingSize = 4096;
constexpr int RingMask = RingSize - 1;
constexpr int MaxMatch = 60;   // also the look-ahead
constexpr int MinMatch = 3;    // shorter matches go as literals
constexpr int RingStart = RingSize - MaxMatch;  // 4036: first position written
constexpr uint8_t RingFill = 0x20;              // preset content of the ring

constexpr int SymbolCount = 256 + MaxMatch - MinMatch + 1;  // 314
constexpr int NodeCount = 2 * SymbolCount - 1;              // 627
constexpr int Root = NodeCount - 1;                         // 626
constexpr int LeafBase = NodeCount;  // Child >= LeafBase marks a leaf; Parent[LeafBase + s] locates symbol s
constexpr uint16_t RebuildAt = 0x8000;
constexpr int MatchSymbol(int length) { return length + 256 - MinMatch; }

static_assert(SymbolCount == 314 && NodeCount == 627 && RingStart == 4036);

// The tree is kept as a sibling-ordered array (Freq non-decreasing by index);
// sibling pairs sit at an even index and the odd one after it. The model is
// driven only by the symbols decoded from it, so whatever bytes a stream
// holds, the tree stays well formed and every walk ends at a leaf.
struct LzhModel {
    std::array<uint16_t, NodeCount + 1> Freq;  // [NodeCount] is a sentinel that ends every upward search
    std::array<int16_t, NodeCount + 1> Child;
    std::array<int16_t, LeafBase + SymbolCount + 1> Parent;

    void InitModel();
    void RebuildModel();

    // The last node from `from` on with Freq below k, given Freq[from] < k.
    // Usually `from` itself; while the counts are young, long runs of equal
    // counts make a linear walk costly, so the search gallops.
    int LastBelow(int from, uint16_t k) const {
        if (k <= Freq[from + 1]) return from;
        int lo = from + 1;  // Freq[lo] < k <= Freq[hi]
        int hi = lo + 1;
        for (int step = 2; k > Freq[hi]; step *= 2) {
            lo = hi;
            hi = std::min(hi + step, NodeCount);
        }
        while (hi - lo > 1) {
            const int mid = (lo + hi) / 2;
            if (k > Freq[mid])
                lo = mid;
            else
                hi = mid;
        }
        return lo;
    }

    // Counts one occurrence of s. Frequencies never pass RebuildAt, so the
    // sentinel 0xFFFF always stops the search for the exchange partner.
    void UpdateModel(int s) {
        if (Freq[Root] == RebuildAt) RebuildModel();
        int x = Parent[LeafBase + s];
        do {
            const uint16_t k = ++Freq[x];
            if (k > Freq[x + 1]) {
                const int l = LastBelow(x + 1, k);
                Freq[x] = Freq[l];
                Freq[l] = k;
                const int i = Child[x];
                Parent[i] = static_cast<int16_t>(l);
                if (i < LeafBase) Parent[i + 1] = static_cast<int16_t>(l);
                const int j = Child[l];
                Child[l] = static_cast<int16_t>(i);
                Parent[j] = static_cast<int16_t>(x);
                if (j < LeafBase) Parent[j + 1] = static_cast<int16_t>(x);
                Child[x] = static_cast<int16_t>(j);
                x = l;
            }
            x = Parent[x];
        } while (x != 0);  // the root's recorded parent
    }
};

// Fixed distance code: a canonical prefix code for u = distance / 64, then
// the six low bits plain. Lengths 3 to 8 bits; see DistanceCodeLength.
struct DistanceCode {
    std::array<uint8_t, 64> length;   // by u
    std::array<uint8_t, 64> code;     // by u, left-aligned in the byte
    std::array<uint8_t, 256> upper;   // by the next 8 stream bits: u
    std::array<uint8_t, 256> bits;    // by the next 8 stream bits: code length of u
};

constexpr DistanceCode MakeDistanceCode() {
    // Codes per length: 1 of 3 bits, 3 of 4, 8 of 5, 12 of 6, 24 of 7, 16 of 8.
    constexpr int perLength[9] = {0, 0, 0, 1, 3, 8, 12, 24, 16};
    DistanceCode t{};
    int u = 0, code = 0, prevLen = 3, filled = 0;
    for (int len = 3; len <= 8; ++len) {
        for (int n = 0; n < perLength[len]; ++n, ++u) {
            if (u > 0) code = (code + 1) << (len - prevLen);
            prevLen = len;
            t.length[u] = static_cast<uint8_t>(len);
            t.code[u] = static_cast<uint8_t>(code << (8 - len));
            for (int b = 0; b < (1 << (8 - len)); ++b, ++filled) {
                t.upper[t.code[u] + b] = static_cast<uint8_t>(u);
                t.bits[t.code[u] + b] = static_cast<uint8_t>(len);
            }
        }
    }
    // Complete code: every 8-bit prefix starts exactly one code word.
    if (u != 64 || filled != 256 || code != 0xFF) throw "incomplete distance code";
    return t;
}

inline constexpr DistanceCode Distance = MakeDistanceCode();

static_assert(Distance.code[1] == 0x20 && Distance.code[2] == 0x30 && Distance.code[63] == 0xFF);
static_assert(Distance.length[0] == 3 && Distance.length[12] == 6 && Distance.length[48] == 8);

}  // namespace lzh

}  // namespace quern
