// Front half of the LH5 encoder: the sliding window, the dictionary tree that
// finds the longest earlier match for every position, and the one-step lazy
// choice between a literal and a match. The chosen items go to the block
// writer. The search order and the lazy rule are those of LHA's encoder, so
// equal input gives equal bytes.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>

#include "Lh5.h"
#include "Lh5Encoder.h"
#include "Lh5Format.h"

namespace quern {

namespace {

constexpr int DictionarySize = lh5::WindowSize;  // history a match may reach back into
constexpr int MaxMatch = lh5::MaxMatch;
constexpr int MinMatch = lh5::MinMatch;
// History, the string being inserted and its 256 look-ahead bytes, plus room
// to run a further 8192 - 256 positions before the window slides.
constexpr int WindowBytes = 2 * DictionarySize + MaxMatch;
constexpr int FirstPos = DictionarySize + MaxMatch;
constexpr int SlidePos = 2 * DictionarySize;
constexpr uint8_t WindowFiller = 0x20;  // look-ahead past the input; never reaches the output

// Node numbers: 1..8191 internal nodes, 8192 + b the root of strings starting
// with byte b, 8192..16383 the leaf of each recorded position (roots and
// leaves overlap but use disjoint arrays), then the hash buckets.
constexpr int RootBase = DictionarySize;
constexpr int InternalAndRoots = DictionarySize + 256;
constexpr int InternalAndLeaves = 2 * DictionarySize;
constexpr int BucketBase = 2 * DictionarySize;
// A child is found through the bucket of (parent, first byte of its edge).
// For one parent, different bytes land in different buckets (the byte's
// factor is odd), so a bucket member with the right parent is the child;
// 257 keeps the roots' children, whose parents and bytes are both dense, in
// separate buckets, and the table is twice the node count for short walks.
constexpr int BucketCount = 1 << 15;
constexpr int BucketStride = 257;
constexpr int LinkEntries = BucketBase + BucketCount;
static_assert(LinkEntries <= 0x10000, "links and bucket numbers must fit in 16 bits");

// Marks a node whose recorded position still has to be passed up to its
// ancestors; it spares the insertion a walk to the root for every position.
constexpr uint16_t PendingMark = 0x8000;

// Index of the first difference of a and b in [from, limit), or limit when
// they agree there. Reads up to 7 bytes past limit.
int MatchEnd(const uint8_t* a, const uint8_t* b, int from, int limit) {
    static_assert(std::endian::native == std::endian::little, "the first differing byte is the lowest");
    for (int i = from; i < limit; i += 8) {
        uint64_t x;
        uint64_t y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y) return std::min(i + std::countr_zero(x ^ y) / 8, limit);
    }
    return std::max(from, limit);
}

class Lh5Encoder {
public:
    Lh5Encoder(CodecIO& io, Lh5ItemObserver* observer) : io_(io), writer_(io, observer) {}

    void Run();

private:
    static int Bucket(int q, int b) { return ((q + BucketStride * b) & (BucketCount - 1)) + BucketBase; }

    void InitDictionary();
    int FillWindow();
    int FindChild(int q, int b) {
        int r = nextLink_[Bucket(q, b)];
        parentOf_[0] = static_cast<uint16_t>(q);  // sentinel ends the walk
        while (parentOf_[r] != q) r = nextLink_[r];
        return r;
    }
    void MakeChild(int q, int b, int r) {
        LinkChild(q, b, r);
        ++childCount_[q];
        childXor_[q] ^= static_cast<uint16_t>(r);
    }
    // MakeChild without the count and XOR of q's children.
    void LinkChild(int q, int b, int r) {
        const int h = Bucket(q, b);
        const int t = nextLink_[h];
        nextLink_[h] = static_cast<uint16_t>(r);
        nextLink_[r] = static_cast<uint16_t>(t);
        prevLink_[t] = static_cast<uint16_t>(r);
        prevLink_[r] = static_cast<uint16_t>(h);
        parentOf_[r] = static_cast<uint16_t>(q);
    }
    // Sibling lists are doubly linked through prevLink_/nextLink_ and headed
    // by a bucket; the end is node 0.
    void Unlink(int node) {
        const int before = prevLink_[node];
        const int after = nextLink_[node];
        nextLink_[before] = static_cast<uint16_t>(after);
        prevLink_[after] = static_cast<uint16_t>(before);
    }
    void TakePlace(int old, int replacement) {
        const int before = prevLink_[old];
        const int after = nextLink_[old];
        prevLink_[replacement] = static_cast<uint16_t>(before);
        nextLink_[before] = static_cast<uint16_t>(replacement);
        nextLink_[replacement] = static_cast<uint16_t>(after);
        prevLink_[after] = static_cast<uint16_t>(replacement);
    }
    // Where the coding stands; a local of Run, so that the compiler keeps it
    // in registers across the stores into the tables.
    struct Cursor {
        int pos;        // window index of the string being inserted
        int remaining;  // real, not yet coded input bytes from pos on
        int matchLen;
        int matchPos;
    };
    void SplitNode(int old, int pos, int matchLen, int matchPos);
    // Run once per input byte: inlined into the coding loop, whose call
    // overhead was a tenth of the encoder's instructions.
    [[gnu::always_inline]] void InsertNode(Cursor& c);
    [[gnu::always_inline]] void DeleteNode(int pos);
    [[gnu::always_inline]] void AdvancePosition(Cursor& c);
    // Returns the number of input bytes read.
    [[gnu::noinline]] int Slide();
    static void ClampMatch(Cursor& c) {
        if (c.matchLen > c.remaining) c.matchLen = c.remaining;
    }

    CodecIO& io_;
    Lh5BlockWriter writer_;

    // The tail lets MatchEnd read whole words at the last positions.
    std::array<uint8_t, WindowBytes + 8> window_;

    std::array<uint8_t, InternalAndRoots> nodeDepth_;
    std::array<uint8_t, InternalAndRoots> childCount_;  // wraps at 256; only "> 1" is asked
    std::array<uint16_t, InternalAndRoots> nodePos_;
    // XOR of the node's children: names the last child without a search.
    std::array<uint16_t, InternalAndRoots> childXor_;
    std::array<uint16_t, InternalAndLeaves> parentOf_;
    std::array<uint16_t, InternalAndLeaves> prevLink_;
    std::array<uint16_t, LinkEntries> nextLink_;
    int freeNode_ = 0;
};

// Only what is read before it is written starts with a value: the tables are
// large and most runs are short.
void Lh5Encoder::InitDictionary() {
    std::fill(nodeDepth_.begin() + RootBase, nodeDepth_.end(), 1);
    std::fill(nodePos_.begin() + RootBase, nodePos_.end(), 0);
    // A root's count and XOR are kept up but never asked.
    std::fill(childCount_.begin() + RootBase, childCount_.end(), 0);
    std::fill(childXor_.begin() + RootBase, childXor_.end(), 0);
    std::fill(parentOf_.begin() + RootBase, parentOf_.end(), 0);
    std::fill(nextLink_.begin() + BucketBase, nextLink_.end(), 0);
    std::memset(&window_[WindowBytes], 0, window_.size() - WindowBytes);
    // The free list of internal nodes, 1 to 8191 (a loop the compiler turns
    // into vector stores).
    freeNode_ = 1;
    for (int i = 1; i < DictionarySize - 1; ++i) nextLink_[i] = static_cast<uint16_t>(i + 1);
    nextLink_[DictionarySize - 1] = 0;
}

// The new string and the one at matchPos agree in matchLen bytes and
// differ in the next: a new internal node of that depth takes old's place.
void Lh5Encoder::SplitNode(int old, int pos, int matchLen, int matchPos) {
    const int added = freeNode_;
    freeNode_ = nextLink_[added];
    childCount_[added] = 2;
    childXor_[added] = static_cast<uint16_t>(old ^ pos);
    TakePlace(old, added);
    parentOf_[added] = parentOf_[old];
    childXor_[parentOf_[old]] ^= static_cast<uint16_t>(old ^ added);
    nodeDepth_[added] = static_cast<uint8_t>(matchLen);
    nodePos_[added] = static_cast<uint16_t>(pos);
    LinkChild(added, window_[matchPos + matchLen], old);
    LinkChild(added, window_[pos + matchLen], pos);
}

// Records the string at c.pos and leaves its longest earlier match in
// c.matchLen and c.matchPos. A stored position x >= c.pos stands for window
// index x - 8192 (it was recorded before the last slide).
inline void Lh5Encoder::InsertNode(Cursor& c) {
    int q;
    int r;
    if (c.matchLen >= 4) {
        // The string after the previous match agrees with this one in
        // c.matchLen - 1 bytes: start from that leaf's ancestor of the right
        // depth instead of from the root.
        --c.matchLen;
        r = (c.matchPos + 1) | DictionarySize;
        while ((q = parentOf_[r]) == 0) r = nextLink_[r];  // follow replaced leaves
        while (nodeDepth_[q] >= c.matchLen) {
            r = q;
            q = parentOf_[q];
        }
        int t = q;
        while (nodePos_[t] & PendingMark) {
            nodePos_[t] = static_cast<uint16_t>(c.pos);
            t = parentOf_[t];
        }
        // A root is never pending and its position never asked; writing the
        // mark to node 0 (no node) instead spares a hard-to-predict branch.
        nodePos_[t < RootBase ? t : 0] = static_cast<uint16_t>(c.pos | PendingMark);
    } else {
        q = RootBase + window_[c.pos];
        const int b = window_[c.pos + 1];
        r = FindChild(q, b);
        if (r == 0) {
            MakeChild(q, b, c.pos);
            c.matchLen = 1;
            return;
        }
        c.matchLen = 2;
    }
    for (;;) {
        int limit;
        if (r >= DictionarySize) {
            limit = MaxMatch;
            c.matchPos = r;
        } else {
            limit = nodeDepth_[r];
            c.matchPos = nodePos_[r] & ~PendingMark;
        }
        if (c.matchPos >= c.pos) c.matchPos -= DictionarySize;
        c.matchLen = MatchEnd(&window_[c.pos], &window_[c.matchPos], c.matchLen, limit);
        if (c.matchLen < limit) {
            SplitNode(r, c.pos, c.matchLen, c.matchPos);
            return;
        }
        if (c.matchLen == MaxMatch) break;
        nodePos_[r] = static_cast<uint16_t>(c.pos);
        q = r;
        const int b = window_[c.pos + c.matchLen];
        r = FindChild(q, b);
        if (r == 0) {
            MakeChild(q, b, c.pos);
            return;
        }
        ++c.matchLen;
    }
    // All 256 bytes equal the leaf r's string: the newer leaf replaces it and
    // the old one points to it, for a later start from the old position.
    TakePlace(r, c.pos);
    parentOf_[c.pos] = static_cast<uint16_t>(q);
    childXor_[q] ^= static_cast<uint16_t>(r ^ c.pos);
    parentOf_[r] = 0;
    nextLink_[r] = static_cast<uint16_t>(c.pos);
}

// Removes the leaf recorded 8192 positions ago, before its window byte is
// reused; an internal node left with one child goes with it.
inline void Lh5Encoder::DeleteNode(int pos) {
    if (parentOf_[pos] == 0) return;
    Unlink(pos);
    const int r = parentOf_[pos];
    parentOf_[pos] = 0;
    --childCount_[r];
    childXor_[r] ^= static_cast<uint16_t>(pos);
    if (r >= RootBase || childCount_[r] > 1) return;

    // Pass the newest position through r on to its pending ancestors.
    auto unslid = [pos](int p) { return p >= pos ? p - DictionarySize : p; };
    const int t = unslid(nodePos_[r] & ~PendingMark);
    int s = t;
    int q = parentOf_[r];
    int u;
    while ((u = nodePos_[q]) & PendingMark) {
        u = unslid(u & ~PendingMark);
        if (u > s) s = u;
        nodePos_[q] = static_cast<uint16_t>(s | DictionarySize);
        q = parentOf_[q];
    }
    // As above: no test on the data, node 0 takes what a root would get.
    nodePos_[q < RootBase ? q : 0] = static_cast<uint16_t>(std::max(s, unslid(u)) | DictionarySize | PendingMark);

    // The remaining child takes r's place.
    s = childXor_[r];
    Unlink(s);
    TakePlace(r, s);
    parentOf_[s] = parentOf_[r];
    childXor_[parentOf_[r]] ^= static_cast<uint16_t>(r ^ s);
    parentOf_[r] = 0;
    nextLink_[r] = static_cast<uint16_t>(freeNode_);
    freeNode_ = r;
}

// Moves the last 8448 bytes (history and look-ahead) to the front and reads
// up to 8192 new bytes behind them. At the end of input the loop stops; the
// bytes above keep stale contents, which the count of remaining bytes keeps
// out of every match.
int Lh5Encoder::Slide() {
    std::memmove(&window_[0], &window_[DictionarySize], WindowBytes - DictionarySize);
    // Reads as a byte-by-byte loop would that stores each InputByte() and
    // stops once InputEnded(): the byte stored at the end (0, or one byte of
    // a chunk whose progress event cancelled) stays in the window, where it
    // takes part in the comparisons, and a run that has ended reads just one.
    int i = FirstPos;
    if (io_.InputEnded()) {
        window_[i] = io_.InputByte();
    } else {
        while (i < WindowBytes) {
            const int32_t n = io_.InputBytes(&window_[i], WindowBytes - i);
            if (n == 0) {
                window_[i] = 0;
                break;
            }
            i += n;
        }
    }
    return i - FirstPos;
}

inline void Lh5Encoder::AdvancePosition(Cursor& c) {
    --c.remaining;
    if (++c.pos == SlidePos) {
        c.remaining += Slide();
        c.pos = DictionarySize;
    }
    DeleteNode(c.pos);
    InsertNode(c);
}

// The first look-ahead and history: as a loop of InputByte() calls over every
// window index would fill it, storing a byte where InputEnded() is false
// after the call and a filler (never output) elsewhere. A bulk read stands
// for the calls it serves: within one chunk InputEnded() cannot change.
// Returns the number of real bytes stored.
int Lh5Encoder::FillWindow() {
    int i = FirstPos;
    int filled = 0;
    bool failedBefore = false;
    while (i < WindowBytes) {
        const int32_t n = io_.InputBytes(&window_[i], WindowBytes - i);
        if (n == 0) {
            // Two refusals in a row: the input is used up and every further
            // call would only ask a dry source again. One refusal may be a
            // cancelled chunk, which the next call still serves.
            if (failedBefore) break;
            failedBefore = true;
            window_[i++] = WindowFiller;
            continue;
        }
        failedBefore = false;
        if (io_.InputEnded()) {
            std::memset(&window_[i], WindowFiller, static_cast<size_t>(n));
        } else {
            filled += n;
        }
        i += n;
    }
    std::memset(&window_[i], WindowFiller, static_cast<size_t>(WindowBytes - i));
    return filled;
}

void Lh5Encoder::Run() {
    InitDictionary();
    Cursor c;
    c.pos = FirstPos;
    c.remaining = FillWindow();
    if (c.remaining == 0) return;  // empty input: not even a block

    c.matchPos = 0;
    c.matchLen = 0;
    InsertNode(c);
    while (c.remaining > 0) {
        const int lastLen = c.matchLen;
        const int lastPos = c.matchPos;
        AdvancePosition(c);
        ClampMatch(c);
        // One-step lazy choice: a match is taken only when the next position
        // offers nothing strictly longer.
        if (c.matchLen > lastLen || lastLen < MinMatch) {
            writer_.EmitItem(window_[c.pos - 1], 0);
        } else {
            writer_.EmitItem(static_cast<unsigned>(lastLen + lh5::MatchSymbolOffset),
                             static_cast<unsigned>(c.pos - lastPos - 2) & lh5::WindowMask);
            for (int k = lastLen - 1; k > 0; --k) AdvancePosition(c);
            ClampMatch(c);
        }
    }
    writer_.SendBlock();
    writer_.FinalFlush();
}

}  // namespace

void Lh5EncodeObserved(CodecIO& io, Lh5ItemObserver* observer) {
    // About 200 KB of tables: one allocation per run, released on every exit.
    auto encoder = std::make_unique<Lh5Encoder>(io, observer);
    encoder->Run();
}

void Lh5Encode(CodecIO& io) { Lh5EncodeObserved(io, nullptr); }

}  // namespace quern
