// "LZH" compressor: the longest earlier match of 3 to 60 bytes within the
// last 4096, found in a search tree per hash bucket, coded with the adaptive
// model and the fixed distance code that the expander shares.
#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#include "Lzh.h"
#include "LzhModel.h"

namespace quern {

namespace {

using namespace lzh;

constexpr int Nil = RingSize;          // 4096
constexpr int BucketCount = 4096;
constexpr int FirstRoot = Nil + 1;     // 4097 to 8192, right link only
// Mirror of positions 0 to 58 behind the ring, so a 60-byte comparison from
// any position reads consecutive bytes.
constexpr int MirrorSize = MaxMatch - 1;
// Only cleared: comparisons read eight bytes at a time and may look past the
// 60th byte, whose result they then ignore.
constexpr int ComparePad = 8;
// How far a placement beside a known node may walk along the order before
// the walk down from the root is the cheaper way.
constexpr int MaxOrderSteps = 8;

uint64_t Load8(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Index of the first byte that differs in two words loaded by Load8, given
// that one does.
int FirstDifferentByte(uint64_t diff) {
    if constexpr (std::endian::native == std::endian::little)
        return std::countr_zero(diff) >> 3;
    else
        return std::countl_zero(diff) >> 3;
}

// The common prefix of a and b (at most MaxMatch), given that their first i
// bytes agree.
int CommonPrefix(const uint8_t* a, const uint8_t* b, int i) {
    for (;;) {
        const uint64_t diff = Load8(a + i) ^ Load8(b + i);
        if (diff != 0) return std::min(i + FirstDifferentByte(diff), MaxMatch);
        i += 8;
        if (i >= MaxMatch) return MaxMatch;
    }
}

class LzhEncoder {
public:
    explicit LzhEncoder(CodecIO& io) : io_(io) {}

    void Compress();

private:
    void InitMatchTree();
    // Only the match of an item's last position is coded: for the others
    // (wantMatch false) the tree changes alike, but the nearest of the
    // longest matches need not be sought.
    [[gnu::always_inline]] void InsertPosition(int r, bool wantMatch);
    [[gnu::always_inline]] bool InsertBesideNeighbour(int r, int c, int known, bool wantMatch);
    [[gnu::always_inline]] void InsertByDescent(int r);
    void ReplaceNode(int p, int r);
    // p agrees with r in all MaxMatch bytes: r takes its place, p is the match.
    void TakeFullMatch(int p, int r) {
        ReplaceNode(p, r);
        matchLen_ = MaxMatch;
        matchDist_ = ((r - p) & RingMask) - 1;
        SetNext(r, p, MaxMatch);
    }
    // p's neighbour in the order of its tree: the next greater (dir 1) or
    // the next smaller (dir 0) node, or Nil.
    int InOrderNext(int p, int dir) const { return order_[p][dir]; }
    // r enters the order between lo and hi (either may be Nil).
    void LinkOrder(int r, int lo, int hi) {
        order_[r] = {static_cast<int16_t>(lo), static_cast<int16_t>(hi)};
        order_[lo][1] = static_cast<int16_t>(r);
        order_[hi][0] = static_cast<int16_t>(r);
    }
    [[gnu::always_inline]] void DeletePosition(int p);
    // What the next position's search may start from: a node sharing at
    // least nextLen_ bytes with the string at nextKey_. Past 4095 both stay
    // unwrapped (4096 is no position, so no start is taken): the string at
    // 0 is the one at 4095 moved on by a byte only where the mirror agrees
    // with the ring, and bytes a short input never reached are spaces in
    // the ring and zeros in the mirror.
    void SetNext(int r, int node, int len) {
        nextKey_ = r + 1;
        nextNode_ = node + 1;
        nextLen_ = len - 1;
    }

    // The next input byte, read as a byte-wise reader would: a chunk is
    // taken in only when its first byte is needed, and once the input has
    // ended every further request is one InputByte call.
    bool NextByte(uint8_t& b) {
        if (inPos_ < inEnd_) {
            b = in_[inPos_++];
            return true;
        }
        if (io_.InputEnded()) {
            b = io_.InputByte();
            return !io_.InputEnded();
        }
        const int32_t n = io_.InputBytes(in_, CodecBufferSize);
        if (n == 0) return false;
        b = in_[0];
        inPos_ = 1;
        inEnd_ = n;
        return true;
    }

    // Appends the top l bits (1 to 16) of v.
    void WriteCode(int l, uint16_t v) {
        bitBuf_ = static_cast<uint16_t>(bitBuf_ | (v >> bitCount_));
        bitCount_ = static_cast<uint8_t>(bitCount_ + l);
        if (bitCount_ >= 8) {
            io_.OutputByte(static_cast<uint8_t>(bitBuf_ >> 8));
            bitCount_ = static_cast<uint8_t>(bitCount_ - 8);
            if (bitCount_ >= 8) {
                io_.OutputByte(static_cast<uint8_t>(bitBuf_));
                bitCount_ = static_cast<uint8_t>(bitCount_ - 8);
                bitBuf_ = static_cast<uint16_t>(v << (l - bitCount_));
            } else {
                bitBuf_ = static_cast<uint16_t>(bitBuf_ << 8);
            }
        }
    }
    void FlushCode() {
        if (bitCount_ > 0) io_.OutputByte(static_cast<uint8_t>(bitBuf_ >> 8));
    }

    void EncodeSymbol(int s) {
        // Path from the leaf up; the bit below the root ends at bit 31. An
        // odd node is a 1-child. The tree is never deeper than 32.
        uint32_t code = 0;
        int n = 0;
        int x = model_.Parent[s + LeafBase];
        do {
            code >>= 1;
            if (x & 1) code += 0x80000000u;
            ++n;
            x = model_.Parent[x];
        } while (x != Root);
        if (n > 16) {
            WriteCode(16, static_cast<uint16_t>(code >> 16));
            WriteCode(n - 16, static_cast<uint16_t>(code));
        } else {
            WriteCode(n, static_cast<uint16_t>(code >> 16));
        }
        model_.UpdateModel(s);
    }

    void EncodeDistance(int d) {
        const int u = d >> 6;
        WriteCode(Distance.length[u], static_cast<uint16_t>(Distance.code[u] << 8));
        WriteCode(6, static_cast<uint16_t>((d & 0x3F) << 10));
    }

    CodecIO& io_;
    LzhModel model_;
    uint16_t bitBuf_ = 0;
    uint8_t bitCount_ = 0;

    // Positions 0 to RingStart - 1 are preset to spaces; the rest is cleared
    // (in Compress): the mirror and a short input's unfilled look-ahead can
    // decide between equally long matches, and zeros make the stored form
    // deterministic.
    std::array<uint8_t, RingSize + MirrorSize + 1 + ComparePad> text_;
    // [n][0] the smaller, [n][1] the greater subtree of node n; roots have
    // only [1]. Kept in pairs so that a step down is one indexed load.
    std::array<std::array<int16_t, 2>, FirstRoot + BucketCount> child_;
    std::array<int16_t, RingSize + 2> parent_;  // [Nil] absorbs writes through Nil links
    // [n][0] the next smaller, [n][1] the next greater node of n's tree, or
    // Nil: kept beside the links so that no neighbour is searched for.
    std::array<std::array<int16_t, 2>, RingSize + 1> order_;  // [Nil] absorbs writes
    int matchLen_ = 0;
    int matchDist_ = 0;
    int nextKey_ = Nil, nextNode_ = Nil, nextLen_ = 0;

    int32_t inPos_ = 0, inEnd_ = 0;
    uint8_t in_[CodecBufferSize];  // input taken from the chunk at hand
};

void LzhEncoder::InitMatchTree() {
    for (int i = FirstRoot; i < FirstRoot + BucketCount; ++i) child_[i][1] = Nil;
    for (int i = 0; i < RingSize; ++i) parent_[i] = Nil;
}

// The match is the longest common prefix with any node passed on the way
// down to r's place, the nearest one on equal length; a node with all
// MaxMatch bytes in common is replaced by r. The nodes passed are r's
// ancestors, so the walk down can be skipped when r's neighbours in the
// order are known: the string at r - 1 had a long prefix in common with a
// neighbour p, so the one at p + 1 usually neighbours r.
inline void LzhEncoder::InsertPosition(int r, bool wantMatch) {
    if (nextKey_ == r && nextLen_ >= MinMatch && InsertBesideNeighbour(r, nextNode_, nextLen_, wantMatch)) return;
    InsertByDescent(r);
}

// Every node below the last smaller and the last greater node passed
// shares the shorter of their two common prefixes with the key, so each
// comparison starts there.
inline void LzhEncoder::InsertByDescent(int r) {
    const uint8_t* const text = text_.data();
    const uint8_t* const key = text + r;
    // One bucket per first byte and a 4-bit mix of the next two.
    int h = key[1] ^ key[2];
    h ^= h >> 4;
    int16_t* link = &child_[FirstRoot + key[0] + (h & 15) * 256][1];
    int lo = 1, hi = 1;  // prefix shared with the last smaller and the last greater node passed
    int loNode = Nil, hiNode = Nil;
    // Length above 12 bits, then nearness: (p - r) mod RingSize grows as p nears r.
    int best = 0;
    int p = *link;
    while (p != Nil) {
        const uint8_t* const node = text + p;
        const int i = CommonPrefix(key, node, std::min(lo, hi));
        if (i >= MaxMatch) {
            TakeFullMatch(p, r);
            return;
        }
        best = std::max(best, i << 12 | ((p - r) & RingMask));
        const bool greater = key[i] > node[i];
        lo = greater ? i : lo;
        loNode = greater ? p : loNode;
        hi = greater ? hi : i;
        hiNode = greater ? hiNode : p;
        link = &child_[p][greater];
        p = *link;
    }
    *link = static_cast<int16_t>(r);
    parent_[r] = static_cast<int16_t>((link - &child_[0][0]) >> 1);
    child_[r] = {Nil, Nil};
    LinkOrder(r, loNode, hiNode);
    // Lengths below MinMatch are coded as a literal; their distance is unused.
    matchLen_ = best >> 12;
    matchDist_ = RingMask - (best & RingMask);
    if (lo >= hi)
        SetNext(r, loNode, lo);
    else
        SetNext(r, hiNode, hi);
}

// Places r beside c, a node of r's tree that shares at least `known` (3 or
// more) bytes with it, or beside a node a few steps from c along the order;
// false, with nothing changed, when r's place lies further away.
inline bool LzhEncoder::InsertBesideNeighbour(int r, int c, int known, bool wantMatch) {
    const uint8_t* const text = text_.data();
    const uint8_t* const key = text + r;
    if (c == r || c == Nil || parent_[c] == Nil) return false;
    // c's string is unchanged since it entered the tree, and so are the
    // first `known` bytes of r's: they still agree, and their first three
    // put c in r's bucket.
    int lc = CommonPrefix(key, text + c, known);
    if (lc >= MaxMatch) {
        TakeFullMatch(c, r);
        return true;
    }
    const int side = key[lc] > text[c + lc];  // 1: c is smaller than the key
    // On along the order while the next node still lies between c and the key.
    int n, ln;
    for (int steps = 0;; ++steps) {
        n = InOrderNext(c, side);
        ln = 0;
        if (n == Nil) break;
        ln = CommonPrefix(key, text + n, 0);
        if (ln >= MaxMatch) {
            // n equals the key, so the walk down would end at n.
            TakeFullMatch(n, r);
            return true;
        }
        if ((key[ln] > text[n + ln]) != side) break;
        if (steps == MaxOrderSteps) return false;
        c = n;
        lc = ln;
    }
    // r's neighbours: smaller [1] and greater [0], as the link taken from them.
    int around[2], shared[2];
    around[side] = c;
    shared[side] = lc;
    around[1 - side] = n;
    shared[1 - side] = ln;
    // The deeper of two neighbours has a free link towards the other.
    int owner, dir;
    if (around[1] != Nil && child_[around[1]][1] == Nil) {
        owner = around[1];
        dir = 1;
    } else {
        owner = around[0];
        dir = 0;
    }
    child_[owner][dir] = static_cast<int16_t>(r);
    parent_[r] = static_cast<int16_t>(owner);
    child_[r] = {Nil, Nil};
    LinkOrder(r, around[1], around[0]);

    // The longest prefix is a neighbour's; on each side the ancestors' common
    // prefixes shrink upwards, so the walk up ends where neither side can
    // still reach that length.
    const int len = std::max(shared[0], shared[1]);
    int best = 0;
    if (wantMatch && len >= MinMatch) {
        bool open[2] = {shared[0] == len, shared[1] == len};
        for (int a = owner;;) {
            if (open[dir]) {
                // The first node met on a side is the neighbour there, whose prefix is known.
                if (a == around[dir] || CommonPrefix(key, text + a, 0) >= len)
                    best = std::max(best, (a - r) & RingMask);
                else if (open[dir] = false; !open[1 - dir])
                    break;
            }
            const int up = parent_[a];
            if (up >= Nil) break;
            dir = child_[up][1] == a;
            a = up;
        }
    }
    matchLen_ = len;
    matchDist_ = RingMask - best;
    const int from = shared[1] >= shared[0] ? 1 : 0;
    SetNext(r, around[from], shared[from]);
    return true;
}

// A full match: r takes p's place and the older p leaves the tree.
void LzhEncoder::ReplaceNode(int p, int r) {
    const int up = parent_[p];
    parent_[r] = static_cast<int16_t>(up);
    child_[r] = child_[p];
    parent_[child_[p][0]] = static_cast<int16_t>(r);
    parent_[child_[p][1]] = static_cast<int16_t>(r);
    child_[up][child_[up][1] == p] = static_cast<int16_t>(r);  // roots have only a greater link
    parent_[p] = Nil;
    LinkOrder(r, order_[p][0], order_[p][1]);
}

inline void LzhEncoder::DeletePosition(int p) {
    if (parent_[p] == Nil) return;
    const int smaller = order_[p][0], greater = order_[p][1];
    order_[smaller][1] = static_cast<int16_t>(greater);
    order_[greater][0] = static_cast<int16_t>(smaller);
    int q;
    if (child_[p][1] == Nil) {
        q = child_[p][0];
    } else if (child_[p][0] == Nil) {
        q = child_[p][1];
    } else {
        q = child_[p][0];
        if (child_[q][1] != Nil) {
            // The greatest node of p's smaller subtree, p's next smaller, takes its place.
            q = smaller;
            child_[parent_[q]][1] = child_[q][0];
            parent_[child_[q][0]] = parent_[q];
            child_[q][0] = child_[p][0];
            parent_[child_[p][0]] = static_cast<int16_t>(q);
        }
        child_[q][1] = child_[p][1];
        parent_[child_[p][1]] = static_cast<int16_t>(q);
    }
    const int parent = parent_[p];
    parent_[q] = static_cast<int16_t>(parent);
    // Roots have only a greater link.
    child_[parent][child_[parent][1] == p] = static_cast<int16_t>(q);
    parent_[p] = Nil;
}

void LzhEncoder::Compress() {
    model_.InitModel();
    InitMatchTree();
    std::memset(text_.data(), RingFill, RingStart);
    std::memset(text_.data() + RingStart, 0, text_.size() - RingStart);
    int s = 0;  // oldest position, the next to be replaced
    int r = RingStart;
    int len = 0;
    uint8_t b;
    while (len < MaxMatch && NextByte(b)) {
        text_[RingStart + len] = b;
        ++len;
    }
    if (len == 0) return;  // an empty input stores nothing, not even a last byte
    // The preset positions go in from the last: the string at RingStart - i
    // and the one inserted before it both start with i - 1 spaces.
    for (int i = 1; i <= MaxMatch; ++i) {
        nextKey_ = RingStart - i;
        nextNode_ = RingStart - i + 1;
        nextLen_ = i - 1;
        InsertPosition(RingStart - i, false);
    }
    InsertByDescent(RingStart);
    while (len > 0) {
        // Near the end the look-ahead holds stale bytes; cut the match to what remains.
        if (matchLen_ > len) matchLen_ = len;
        if (matchLen_ < MinMatch) {
            matchLen_ = 1;
            EncodeSymbol(text_[r]);
        } else {
            EncodeSymbol(MatchSymbol(matchLen_));
            EncodeDistance(matchDist_);
        }
        const int last = matchLen_;
        int i = 0;
        while (i < last && NextByte(b)) {
            DeletePosition(s);
            text_[s] = b;
            if (s < MirrorSize) text_[s + RingSize] = b;
            s = (s + 1) & RingMask;
            r = (r + 1) & RingMask;
            ++i;
            InsertPosition(r, i == last);
        }
        while (i < last) {
            ++i;
            DeletePosition(s);
            s = (s + 1) & RingMask;
            r = (r + 1) & RingMask;
            --len;
            if (len > 0) InsertPosition(r, i == last);
        }
    }
    FlushCode();
}

}  // namespace

void CompressLZH(CodecIO& io) {
    auto encoder = std::make_unique<LzhEncoder>(io);
    encoder->Compress();
}

}  // namespace quern
