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
// Never written: comparisons read eight bytes at a time and may look past
// the 60th byte, whose result they then ignore.
constexpr int ComparePad = 8;

// The first k in [i, MaxMatch) with a[k] != b[k], or MaxMatch.
int MismatchFrom(const uint8_t* a, const uint8_t* b, int i) {
    if constexpr (std::endian::native == std::endian::little) {
        for (; i < MaxMatch; i += 8) {
            uint64_t x, y;
            std::memcpy(&x, a + i, 8);
            std::memcpy(&y, b + i, 8);
            if (x != y) return std::min(i + std::countr_zero(x ^ y) / 8, MaxMatch);
        }
        return MaxMatch;
    } else {
        while (i < MaxMatch && a[i] == b[i]) ++i;
        return i;
    }
}

class LzhEncoder {
public:
    explicit LzhEncoder(CodecIO& io) : io_(io) {}

    void Compress();

private:
    void InitMatchTree();
    void InsertPosition(int r);
    void DeletePosition(int p);
    void SetSharedLen(int n, int p, int q);
    void MergeSharedLen(int p, int q, int r);
    // Points p's parent at q instead of p.
    void Relink(int p, int q) {
        const int parent = parent_[p];
        if (right_[parent] == p)
            right_[parent] = static_cast<int16_t>(q);
        else
            left_[parent] = static_cast<int16_t>(q);  // never a root: roots use the right link only
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

    // Cleared at allocation: the mirror and a short input's unfilled
    // look-ahead can decide between equally long matches, and zeros make the
    // stored form deterministic.
    std::array<uint8_t, RingSize + MirrorSize + 1 + ComparePad> text_{};
    std::array<int16_t, RingSize + 1> left_{};                  // nodes and Nil
    std::array<int16_t, FirstRoot + BucketCount + 1> right_{};  // nodes, Nil and roots
    std::array<int16_t, RingSize + 2> parent_{};                // [Nil] absorbs writes through Nil links
    std::array<uint8_t, RingSize + 2> sharedLen_{};             // bytes shared with the parent's string
    int matchLen_ = 0;
    int matchDist_ = 0;
};

void LzhEncoder::InitMatchTree() {
    for (int i = FirstRoot; i < FirstRoot + BucketCount; ++i) right_[i] = Nil;
    for (int i = 0; i < RingSize; ++i) parent_[i] = Nil;
}

void LzhEncoder::InsertPosition(int r) {
    const uint8_t* key = &text_[r];
    left_[r] = right_[r] = Nil;
    // One bucket per first byte and a 4-bit mix of the next two.
    int h = key[1] ^ key[2];
    h ^= h >> 4;
    int p = FirstRoot + key[0] + (h & 15) * 256;
    int cmp = 1;
    int i = 1;  // bytes known to agree with p
    matchLen_ = 0;
    for (;;) {
        int16_t& link = cmp >= 0 ? right_[p] : left_[p];
        if (link == Nil) {
            link = static_cast<int16_t>(r);
            parent_[r] = static_cast<int16_t>(p);
            sharedLen_[r] = static_cast<uint8_t>(i);
            return;
        }
        p = link;
        const int j = sharedLen_[p];
        if (j < i) {
            i = j;
            cmp = key[i] - text_[p + i];
        } else if (j == i) {
            i = MismatchFrom(key, &text_[p], i);
            cmp = i < MaxMatch ? key[i] - text_[p + i] : 0;
        }
        if (i >= MinMatch) {
            const int d = ((r - p) & RingMask) - 1;
            if (i > matchLen_) {
                matchDist_ = d;
                matchLen_ = i;
                if (i >= MaxMatch) break;
            } else if (i == matchLen_ && d < matchDist_) {
                matchDist_ = d;
            }
        }
    }
    // A full match: r takes p's place and the older p leaves the tree.
    sharedLen_[r] = sharedLen_[p];
    parent_[r] = parent_[p];
    left_[r] = left_[p];
    right_[r] = right_[p];
    parent_[left_[p]] = static_cast<int16_t>(r);
    parent_[right_[p]] = static_cast<int16_t>(r);
    Relink(p, r);
    parent_[p] = Nil;
}

void LzhEncoder::SetSharedLen(int n, int p, int q) {
    if (p >= Nil) {
        sharedLen_[q] = 1;  // under a root only the bucket's first byte is known
        return;
    }
    sharedLen_[q] = static_cast<uint8_t>(MismatchFrom(&text_[p], &text_[q], n));
}

void LzhEncoder::MergeSharedLen(int p, int q, int r) {
    if (sharedLen_[q] == sharedLen_[r])
        SetSharedLen(sharedLen_[q], p, r);
    else if (sharedLen_[q] < sharedLen_[r])
        sharedLen_[r] = sharedLen_[q];
}

void LzhEncoder::DeletePosition(int p) {
    if (parent_[p] == Nil) return;
    int q;
    if (right_[p] == Nil) {
        q = left_[p];
        if (q != Nil) MergeSharedLen(parent_[p], p, q);
    } else if (left_[p] == Nil) {
        q = right_[p];
        MergeSharedLen(parent_[p], p, q);
    } else {
        q = left_[p];
        if (right_[q] != Nil) {
            // q becomes the greatest node of p's left subtree.
            do q = right_[q]; while (right_[q] != Nil);
            if (left_[q] != Nil) MergeSharedLen(parent_[q], q, left_[q]);
            SetSharedLen(1, q, left_[p]);
            right_[parent_[q]] = left_[q];
            parent_[left_[q]] = parent_[q];
            left_[q] = left_[p];
            parent_[left_[p]] = static_cast<int16_t>(q);
        }
        SetSharedLen(1, parent_[p], q);
        SetSharedLen(1, q, right_[p]);
        right_[q] = right_[p];
        parent_[right_[p]] = static_cast<int16_t>(q);
    }
    parent_[q] = parent_[p];
    Relink(p, q);
    parent_[p] = Nil;
}

void LzhEncoder::Compress() {
    model_.InitModel();
    InitMatchTree();
    for (int i = 0; i < RingStart; ++i) text_[i] = RingFill;
    int s = 0;  // oldest position, the next to be replaced
    int r = RingStart;
    int len = 0;
    while (len < MaxMatch) {
        const uint8_t b = io_.InputByte();
        if (io_.InputEnded()) break;
        text_[RingStart + len] = b;
        ++len;
    }
    if (len == 0) return;  // an empty input stores nothing, not even a last byte
    for (int i = 1; i <= MaxMatch; ++i) InsertPosition(RingStart - i);
    InsertPosition(RingStart);
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
        while (i < last) {
            const uint8_t b = io_.InputByte();
            if (io_.InputEnded()) break;
            DeletePosition(s);
            text_[s] = b;
            if (s < MirrorSize) text_[s + RingSize] = b;
            s = (s + 1) & RingMask;
            r = (r + 1) & RingMask;
            InsertPosition(r);
            ++i;
        }
        while (i < last) {
            ++i;
            DeletePosition(s);
            s = (s + 1) & RingMask;
            r = (r + 1) & RingMask;
            --len;
            if (len > 0) InsertPosition(r);
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
