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
    void FillWindow();
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
    void SplitNode(int old);
    // Run once per input byte: inlined into the coding loop, whose call
    // overhead was a tenth of the encoder's instructions.
    [[gnu::always_inline]] void InsertNode();
    [[gnu::always_inline]] void DeleteNode();
    [[gnu::always_inline]] void AdvancePosition();
    [[gnu::noinline]] void Slide();
    void ClampMatch() {
        if (matchLen_ > remaining_) matchLen_ = remaining_;
    }

    CodecIO& io_;
    Lh5BlockWriter writer_;

    // The tail lets MatchEnd read whole words at the last positions.
    std::array<uint8_t, WindowBytes + 8> window_;
    int pos_ = FirstPos;  // window index of the string being inserted
    int remaining_ = 0;   // real, not yet coded input bytes from pos_ on
    int matchLen_ = 0;
    int matchPos_ = 0;

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

// The new string and the one at matchPos_ agree in matchLen_ bytes and
// differ in the next: a new internal node of that depth takes old's place.
void Lh5Encoder::SplitNode(int old) {
    const int added = freeNode_;
    freeNode_ = nextLink_[added];
    childCount_[added] = 2;
    childXor_[added] = static_cast<uint16_t>(old ^ pos_);
    TakePlace(old, added);
    parentOf_[added] = parentOf_[old];
    childXor_[parentOf_[old]] ^= static_cast<uint16_t>(old ^ added);
    nodeDepth_[added] = static_cast<uint8_t>(matchLen_);
    nodePos_[added] = static_cast<uint16_t>(pos_);
    LinkChild(added, window_[matchPos_ + matchLen_], old);
    LinkChild(added, window_[pos_ + matchLen_], pos_);
}

// Records the string at pos_ and leaves its longest earlier match in
// matchLen_ and matchPos_. A stored position x >= pos_ stands for window
// index x - 8192 (it was recorded before the last slide).
inline void Lh5Encoder::InsertNode() {
    int q;
    int r;
    if (matchLen_ >= 4) {
        // The string after the previous match agrees with this one in
        // matchLen_ - 1 bytes: start from that leaf's ancestor of the right
        // depth instead of from the root.
        --matchLen_;
        r = (matchPos_ + 1) | DictionarySize;
        while ((q = parentOf_[r]) == 0) r = nextLink_[r];  // follow replaced leaves
        while (nodeDepth_[q] >= matchLen_) {
            r = q;
            q = parentOf_[q];
        }
        int t = q;
        while (nodePos_[t] & PendingMark) {
            nodePos_[t] = static_cast<uint16_t>(pos_);
            t = parentOf_[t];
        }
        // A root is never pending and its position never asked; writing the
        // mark to node 0 (no node) instead spares a hard-to-predict branch.
        nodePos_[t < RootBase ? t : 0] = static_cast<uint16_t>(pos_ | PendingMark);
    } else {
        q = RootBase + window_[pos_];
        const int b = window_[pos_ + 1];
        r = FindChild(q, b);
        if (r == 0) {
            MakeChild(q, b, pos_);
            matchLen_ = 1;
            return;
        }
        matchLen_ = 2;
    }
    for (;;) {
        int limit;
        if (r >= DictionarySize) {
            limit = MaxMatch;
            matchPos_ = r;
        } else {
            limit = nodeDepth_[r];
            matchPos_ = nodePos_[r] & ~PendingMark;
        }
        if (matchPos_ >= pos_) matchPos_ -= DictionarySize;
        matchLen_ = MatchEnd(&window_[pos_], &window_[matchPos_], matchLen_, limit);
        if (matchLen_ < limit) {
            SplitNode(r);
            return;
        }
        if (matchLen_ == MaxMatch) break;
        nodePos_[r] = static_cast<uint16_t>(pos_);
        q = r;
        const int b = window_[pos_ + matchLen_];
        r = FindChild(q, b);
        if (r == 0) {
            MakeChild(q, b, pos_);
            return;
        }
        ++matchLen_;
    }
    // All 256 bytes equal the leaf r's string: the newer leaf replaces it and
    // the old one points to it, for a later start from the old position.
    TakePlace(r, pos_);
    parentOf_[pos_] = static_cast<uint16_t>(q);
    childXor_[q] ^= static_cast<uint16_t>(r ^ pos_);
    parentOf_[r] = 0;
    nextLink_[r] = static_cast<uint16_t>(pos_);
}

// Removes the leaf recorded 8192 positions ago, before its window byte is
// reused; an internal node left with one child goes with it.
inline void Lh5Encoder::DeleteNode() {
    if (parentOf_[pos_] == 0) return;
    Unlink(pos_);
    const int r = parentOf_[pos_];
    parentOf_[pos_] = 0;
    --childCount_[r];
    childXor_[r] ^= static_cast<uint16_t>(pos_);
    if (r >= RootBase || childCount_[r] > 1) return;

    // Pass the newest position through r on to its pending ancestors.
    auto unslid = [this](int p) { return p >= pos_ ? p - DictionarySize : p; };
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
// bytes above keep stale contents, which remaining_ keeps out of every match.
void Lh5Encoder::Slide() {
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
    remaining_ += i - FirstPos;
    pos_ = DictionarySize;
}

inline void Lh5Encoder::AdvancePosition() {
    --remaining_;
    if (++pos_ == SlidePos) Slide();
    DeleteNode();
    InsertNode();
}

// The first look-ahead and history: as a loop of InputByte() calls over every
// window index would fill it, storing a byte where InputEnded() is false
// after the call and a filler (never output) elsewhere. A bulk read stands
// for the calls it serves: within one chunk InputEnded() cannot change.
void Lh5Encoder::FillWindow() {
    int i = FirstPos;
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
            remaining_ += n;
        }
        i += n;
    }
    std::memset(&window_[i], WindowFiller, static_cast<size_t>(WindowBytes - i));
}

void Lh5Encoder::Run() {
    InitDictionary();
    pos_ = FirstPos;
    remaining_ = 0;
    FillWindow();
    if (remaining_ == 0) return;  // empty input: not even a block

    matchPos_ = 0;
    matchLen_ = 0;
    InsertNode();
    while (remaining_ > 0) {
        const int lastLen = matchLen_;
        const int lastPos = matchPos_;
        AdvancePosition();
        ClampMatch();
        // One-step lazy choice: a match is taken only when the next position
        // offers nothing strictly longer.
        if (matchLen_ > lastLen || lastLen < MinMatch) {
            writer_.EmitItem(window_[pos_ - 1], 0);
        } else {
            writer_.EmitItem(static_cast<unsigned>(lastLen + lh5::MatchSymbolOffset),
                             static_cast<unsigned>(pos_ - lastPos - 2) & lh5::WindowMask);
            for (int k = lastLen - 1; k > 0; --k) AdvancePosition();
            ClampMatch();
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
