// A slow, plain rendering of the LH5 compressor's match search and lazy
// choice, to hold the optimised one to: the same dictionary trie, shortcut,
// lazy passing-up of positions and window layout, kept in plain tables (a
// list of children for every node) and compared byte by byte. It reports the
// items the compressor would code for `input`, read in one piece; one Run per
// object.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "codecs/lh5/Lh5BlockWriter.h"

namespace plain_lh5 {

class PlainLh5 {
public:
    explicit PlainLh5(quern::Lh5ItemObserver& out) : out_(out) {}

    void Run(const std::vector<uint8_t>& input) {
        input_ = &input;
        // The first look-ahead: up to a dictionary's worth of input, spaces after it.
        std::fill(window_.begin(), window_.end(), 0);
        std::fill(window_.begin() + FirstPos, window_.end(), 0x20);
        remaining_ = ReadChunk(false);
        if (remaining_ == 0) return;
        pos_ = FirstPos;
        matchPos_ = 0;
        matchLen_ = 0;
        Insert();
        while (remaining_ > 0) {
            const int lastLen = matchLen_;
            const int lastPos = matchPos_;
            Advance();
            Clamp();
            if (matchLen_ > lastLen || lastLen < 3) {
                out_.OnItem(window_[pos_ - 1], 0);
            } else {
                out_.OnItem(static_cast<unsigned>(lastLen + 253), static_cast<unsigned>(pos_ - lastPos - 2) & 8191);
                for (int k = 1; k < lastLen; ++k) Advance();
                Clamp();
            }
        }
    }

private:
    static constexpr int Dict = 8192;
    static constexpr int MaxMatch = 256;
    static constexpr int FirstPos = Dict + MaxMatch;  // where input byte 0 goes
    static constexpr int SlidePos = 2 * Dict;
    // Node numbers: leaves are the positions Dict..2*Dict-1 (the position is
    // the leaf), internal nodes 1..Dict-1, the root of byte b is RootBase + b.
    static constexpr int RootBase = 2 * Dict;
    static bool IsLeaf(int n) { return n >= Dict && n < RootBase; }
    static bool IsRoot(int n) { return n >= RootBase; }

    // Positions are kept as numbers in Dict..2*Dict-1: one at or above the
    // current position stands for the window index Dict lower (it was
    // recorded before the last slide).
    static int Unslid(int stored, int now) { return stored >= now ? stored - Dict : stored; }
    static int Stored(int index) { return index < Dict ? index + Dict : index; }

    // Copies the next up to Dict input bytes to FirstPos on; after a slide a
    // short chunk is followed by one 0 byte and the older bytes stay behind it.
    int ReadChunk(bool afterSlide) {
        const size_t left = input_->size() - next_;
        const int count = static_cast<int>(std::min<size_t>(left, Dict));
        std::copy_n(input_->begin() + static_cast<long>(next_), count, window_.begin() + FirstPos);
        next_ += static_cast<size_t>(count);
        if (afterSlide && count < Dict) window_[FirstPos + count] = 0;
        return count;
    }

    void Advance() {
        --remaining_;
        if (++pos_ == SlidePos) {
            std::copy(window_.begin() + Dict, window_.end(), window_.begin());
            remaining_ += ReadChunk(true);
            pos_ = Dict;
        }
        Delete(pos_);
        Insert();
    }
    void Clamp() { matchLen_ = std::min(matchLen_, remaining_); }

    // The child of node whose edge starts with b, or 0.
    int Child(int node, uint8_t b) const {
        for (int c : children_[node])
            if (edge_[c] == b) return c;
        return 0;
    }
    void AddChild(int node, uint8_t b, int c) {
        children_[node].push_back(c);
        parent_[c] = node;
        edge_[c] = b;
    }
    // Puts `replacement` where `old` hangs under its parent.
    void Replace(int old, int replacement) {
        std::vector<int>& siblings = children_[parent_[old]];
        *std::find(siblings.begin(), siblings.end(), old) = replacement;
        parent_[replacement] = parent_[old];
        edge_[replacement] = edge_[old];
        parent_[old] = 0;
    }
    // Gives node and its pending ancestors the newest of their positions and
    // `newest`; the first one that is not pending (unless a root) takes it
    // and becomes pending.
    void PassUp(int node, int newest) {
        while (pending_[node]) {
            newest = std::max(newest, Unslid(position_[node], pos_));
            position_[node] = Stored(newest);
            pending_[node] = 0;
            node = parent_[node];
        }
        if (IsRoot(node)) return;
        position_[node] = Stored(std::max(newest, Unslid(position_[node], pos_)));
        pending_[node] = 1;
    }

    // Records the string at pos_, leaving its match in matchLen_/matchPos_.
    void Insert() {
        int q;
        int r;
        if (matchLen_ >= 4) {
            // This string agrees with the one after the previous match in
            // matchLen_ - 1 bytes: start at that leaf's ancestor of lower depth.
            --matchLen_;
            r = Stored(matchPos_ + 1);
            while (parent_[r] == 0) r = replacedBy_[r];
            q = parent_[r];
            while (depth_[q] >= matchLen_) {
                r = q;
                q = parent_[q];
            }
            PassUp(q, pos_);
        } else {
            q = RootBase + window_[pos_];
            r = Child(q, window_[pos_ + 1]);
            if (r == 0) {
                AddChild(q, window_[pos_ + 1], pos_);
                matchLen_ = 1;
                return;
            }
            matchLen_ = 2;
        }
        for (;;) {
            const int limit = IsLeaf(r) ? MaxMatch : depth_[r];
            matchPos_ = Unslid(IsLeaf(r) ? r : position_[r], pos_);
            while (matchLen_ < limit && window_[pos_ + matchLen_] == window_[matchPos_ + matchLen_]) ++matchLen_;
            if (matchLen_ < limit) {
                // The strings part here: a new internal node takes r's place.
                const int added = free_.back();
                free_.pop_back();
                Replace(r, added);
                depth_[added] = matchLen_;
                position_[added] = pos_;
                pending_[added] = 0;
                AddChild(added, window_[matchPos_ + matchLen_], r);
                AddChild(added, window_[pos_ + matchLen_], pos_);
                return;
            }
            if (matchLen_ == MaxMatch) break;
            position_[r] = pos_;
            pending_[r] = 0;
            q = r;
            r = Child(q, window_[pos_ + matchLen_]);
            if (r == 0) {
                AddChild(q, window_[pos_ + matchLen_], pos_);
                return;
            }
            ++matchLen_;
        }
        // The whole look-ahead equals leaf r's: the new leaf takes its place,
        // and r names it for a later shortcut from r.
        Replace(r, pos_);
        replacedBy_[r] = pos_;
    }

    // Removes the leaf recorded a dictionary ago; an internal node left with
    // one child goes too, its position passed up to its pending ancestors.
    void Delete(int leaf) {
        const int r = parent_[leaf];
        if (r == 0) return;
        std::vector<int>& siblings = children_[r];
        siblings.erase(std::find(siblings.begin(), siblings.end(), leaf));
        parent_[leaf] = 0;
        if (IsRoot(r) || siblings.size() > 1) return;
        PassUp(parent_[r], Unslid(position_[r], pos_));
        const int rest = siblings[0];
        siblings.clear();
        Replace(r, rest);
        free_.push_back(r);
    }

    quern::Lh5ItemObserver& out_;
    const std::vector<uint8_t>* input_ = nullptr;
    size_t next_ = 0;
    std::vector<uint8_t> window_ = std::vector<uint8_t>(2 * Dict + MaxMatch);
    int pos_ = 0, remaining_ = 0, matchLen_ = 0, matchPos_ = 0;

    std::vector<std::vector<int>> children_ = std::vector<std::vector<int>>(RootBase + 256);
    std::vector<int> parent_ = std::vector<int>(RootBase + 256, 0);  // 0: not in the trie
    std::vector<uint8_t> edge_ = std::vector<uint8_t>(RootBase + 256, 0);  // the first byte of its edge
    std::vector<int> depth_ = std::vector<int>(RootBase + 256, 1);   // roots have depth 1
    // An internal node's position: of a string that went through it, not always
    // the newest one. A pending node's position has not yet been passed on
    // to its parent.
    std::vector<int> position_ = std::vector<int>(RootBase + 256, 0);
    std::vector<uint8_t> pending_ = std::vector<uint8_t>(RootBase + 256, 0);
    // A leaf replaced by a newer one with the same 256 bytes names it.
    std::vector<int> replacedBy_ = std::vector<int>(RootBase, 0);
    std::vector<int> free_ = [] {
        std::vector<int> ids;
        for (int i = Dict - 1; i >= 1; --i) ids.push_back(i);
        return ids;
    }();
};

}  // namespace plain_lh5
