// A plain LZH compressor: one search tree per bucket, walked down from the
// root for every position with whole-string comparisons, the longest match
// and the nearest of equally long ones, coded bit by bit. Slow and short, it
// is what the optimised compressor is held to, in the tests and the fuzzer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "codecs/LzhModel.h"

namespace lzh_reference {

using namespace quern::lzh;
using Bytes = std::vector<uint8_t>;

class PlainLzh {
public:
    Bytes Compress(const Bytes& in) {
        model_->InitModel();
        std::fill(text_.begin(), text_.end(), 0);
        std::fill(text_.begin(), text_.begin() + RingStart, RingFill);
        std::fill(parent_.begin(), parent_.end(), Nil);
        std::fill(right_.begin(), right_.end(), Nil);
        size_t next = 0;
        int len = 0;
        for (; len < MaxMatch && next < in.size(); ++len) text_[RingStart + len] = in[next++];
        if (len == 0) return {};
        for (int i = 1; i <= MaxMatch; ++i) Insert(RingStart - i);
        Insert(RingStart);
        int s = 0, r = RingStart;
        while (len > 0) {
            int n = std::min(matchLen_, len);
            if (n < MinMatch) {
                n = 1;
                Symbol(text_[r]);
            } else {
                Symbol(MatchSymbol(n));
                const int u = matchDist_ >> 6;
                Bits(Distance.length[u], Distance.code[u] >> (8 - Distance.length[u]));
                Bits(6, matchDist_ & 0x3F);
            }
            for (int i = 0; i < n; ++i) {
                Delete(s);
                if (next < in.size()) {
                    text_[s] = in[next++];
                    if (s < MaxMatch - 1) text_[s + RingSize] = text_[s];
                } else {
                    --len;
                }
                s = (s + 1) & RingMask;
                r = (r + 1) & RingMask;
                if (len > 0) Insert(r);
            }
        }
        if (bitCount_ > 0) out_.push_back(static_cast<uint8_t>(pending_ << (8 - bitCount_)));
        return out_;
    }

private:
    static constexpr int Nil = RingSize;

    int Common(int a, int b) const {
        int i = 0;
        while (i < MaxMatch && text_[a + i] == text_[b + i]) ++i;
        return i;
    }

    void Insert(int r) {
        const int h0 = text_[r + 1] ^ text_[r + 2];
        int p = RingSize + 1 + text_[r] + ((h0 ^ (h0 >> 4)) & 15) * 256;
        bool greater = true;
        matchLen_ = 0;
        left_[r] = right_[r] = Nil;
        for (;;) {
            int& link = greater ? right_[p] : left_[p];
            if (link == Nil) {
                link = r;
                parent_[r] = p;
                return;
            }
            p = link;
            const int i = Common(r, p);
            const int d = ((r - p) & RingMask) - 1;
            if (i >= MinMatch && (i > matchLen_ || (i == matchLen_ && d < matchDist_))) {
                matchLen_ = i;
                matchDist_ = d;
            }
            if (i == MaxMatch) break;
            greater = text_[r + i] > text_[p + i];
        }
        // Equal strings: r replaces p.
        parent_[r] = parent_[p];
        left_[r] = left_[p];
        right_[r] = right_[p];
        parent_[left_[p]] = parent_[right_[p]] = r;
        Relink(p, r);
        parent_[p] = Nil;
    }

    void Relink(int p, int q) {
        int& link = right_[parent_[p]] == p ? right_[parent_[p]] : left_[parent_[p]];
        link = q;
    }

    void Delete(int p) {
        if (parent_[p] == Nil) return;
        int q;
        if (right_[p] == Nil) {
            q = left_[p];
        } else if (left_[p] == Nil) {
            q = right_[p];
        } else {
            q = left_[p];
            if (right_[q] != Nil) {
                while (right_[q] != Nil) q = right_[q];
                right_[parent_[q]] = left_[q];
                parent_[left_[q]] = parent_[q];
                left_[q] = left_[p];
                parent_[left_[p]] = q;
            }
            right_[q] = right_[p];
            parent_[right_[p]] = q;
        }
        parent_[q] = parent_[p];
        Relink(p, q);
        parent_[p] = Nil;
    }

    void Symbol(int s) {
        std::vector<int> path;
        for (int x = model_->Parent[LeafBase + s]; x != Root; x = model_->Parent[x]) path.push_back(x & 1);
        for (auto it = path.rbegin(); it != path.rend(); ++it) Bits(1, *it);
        model_->UpdateModel(s);
    }

    void Bits(int n, int v) {
        for (int k = n - 1; k >= 0; --k) {
            pending_ = (pending_ << 1) | ((v >> k) & 1);
            if (++bitCount_ == 8) {
                out_.push_back(static_cast<uint8_t>(pending_));
                pending_ = bitCount_ = 0;
            }
        }
    }

    std::unique_ptr<LzhModel> model_ = std::make_unique<LzhModel>();
    std::vector<uint8_t> text_ = std::vector<uint8_t>(RingSize + MaxMatch);
    std::vector<int> left_ = std::vector<int>(RingSize + 1);
    std::vector<int> right_ = std::vector<int>(RingSize + 1 + 4096);
    std::vector<int> parent_ = std::vector<int>(RingSize + 1);
    int matchLen_ = 0, matchDist_ = 0;
    int pending_ = 0, bitCount_ = 0;
    Bytes out_;
};

}  // namespace lzh_reference
