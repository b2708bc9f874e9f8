// Helpers for the -lh5- decoder tests: running the decoder through the
// dispatcher, and writing hand-made streams field by field.
#pragma once

#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <quern/CodecEngine.h>
#include <quern/Stream.h>

using namespace quern;

namespace lh5_test {

using Bytes = std::vector<uint8_t>;

// Expands `stream` as a method-4 entry of expectedSize bytes.
inline Bytes Lh5Expand(const Bytes& stream, int32_t expectedSize, uint32_t* checksum = nullptr) {
    TMemoryStream source(stream);
    TMemoryStream dest;
    uint32_t sum = 0;
    RunCodec(dest, source, static_cast<int32_t>(stream.size()), expectedSize, ctLh5, sum, true, false,
             CodecSettings{});
    if (checksum) *checksum = sum;
    return dest.Bytes();
}

// Most significant bit first, as the format reads.
class BitWriter {
public:
    void Put(uint32_t value, int width) {
        for (int i = width - 1; i >= 0; --i) {
            current_ = static_cast<uint8_t>((current_ << 1) | ((value >> i) & 1));
            if (++used_ == 8) {
                bytes_.push_back(current_);
                current_ = 0;
                used_ = 0;
            }
        }
    }
    // Zero bits up to the byte boundary, as an encoder ends its stream.
    Bytes Finish() const {
        Bytes out = bytes_;
        if (used_ > 0) out.push_back(static_cast<uint8_t>(current_ << (8 - used_)));
        return out;
    }

private:
    Bytes bytes_;
    uint8_t current_ = 0;
    int used_ = 0;
};

// "16:1 5:0 9:97" -> the fields 1 in 16 bits, 0 in 5 bits, 97 in 9 bits.
inline void PutFields(BitWriter& w, const std::string& fields) {
    std::istringstream in(fields);
    std::string field;
    while (in >> field) {
        const auto colon = field.find(':');
        if (colon == std::string::npos) throw std::invalid_argument("field without width: " + field);
        w.Put(static_cast<uint32_t>(std::stoul(field.substr(colon + 1), nullptr, 0)),
              std::stoi(field.substr(0, colon)));
    }
}
inline Bytes Fields(const std::string& fields) {
    BitWriter w;
    PutFields(w, fields);
    return w.Finish();
}

// Canonical codes of a length list (shorter codes first, then symbol order).
struct Code {
    uint32_t bits = 0;
    int length = 0;
};
inline std::vector<Code> CanonicalCodes(const std::vector<int>& lengths) {
    std::vector<Code> codes(lengths.size());
    uint32_t next = 0;
    for (int len = 1; len <= 16; ++len) {
        for (size_t s = 0; s < lengths.size(); ++s) {
            if (lengths[s] != len) continue;
            codes[s] = {next, len};
            ++next;
        }
        next <<= 1;
    }
    return codes;
}
inline void PutCode(BitWriter& w, const std::vector<Code>& codes, size_t symbol) {
    if (codes.at(symbol).length == 0) throw std::invalid_argument("symbol without a code");
    w.Put(codes[symbol].bits, codes[symbol].length);
}

// A small-alphabet length: 0..6 in 3 bits, L >= 7 as L - 4 one-bits and a 0-bit.
inline void PutSmallLength(BitWriter& w, int len) {
    if (len < 7) {
        w.Put(static_cast<uint32_t>(len), 3);
    } else {
        w.Put((1u << (len - 4)) - 1, len - 4);
        w.Put(0, 1);
    }
}

// One block with explicit Huffman codes for all three alphabets. Main lengths
// go out through the length code one entry at a time (length-code symbol 0
// for each absent symbol, L + 2 for length L), so lengthCode must give codes
// to 0 and to every L + 2 used. Items: a value < 256 is a literal; otherwise
// {symbol, distance - 1} pairs follow in `matches` in order.
struct BlockPlan {
    std::vector<int> lengthCode;  // 19 lengths
    std::vector<int> main;        // 510 lengths
    std::vector<int> position;    // 14 lengths
    std::vector<int> symbols;     // main symbols in order
    std::vector<int> distances;   // distance - 1 for each match symbol, in order
};
inline void PutBlock(BitWriter& w, const BlockPlan& b) {
    w.Put(static_cast<uint32_t>(b.symbols.size()), 16);
    // Length-code lengths: the count covers up to the last non-zero one; the
    // two-bit zero run after index 3 is sent as 0.
    int tCount = 19;
    while (tCount > 0 && b.lengthCode[tCount - 1] == 0) --tCount;
    w.Put(static_cast<uint32_t>(tCount), 5);
    for (int i = 0; i < tCount; ++i) {
        PutSmallLength(w, b.lengthCode[i]);
        if (i == 2) w.Put(0, 2);
    }
    const auto tCodes = CanonicalCodes(b.lengthCode);
    int mCount = 510;
    while (mCount > 0 && b.main[mCount - 1] == 0) --mCount;
    w.Put(static_cast<uint32_t>(mCount), 9);
    for (int i = 0; i < mCount; ++i) PutCode(w, tCodes, b.main[i] == 0 ? 0 : b.main[i] + 2);
    int pCount = 14;
    while (pCount > 0 && b.position[pCount - 1] == 0) --pCount;
    w.Put(static_cast<uint32_t>(pCount), 4);
    for (int i = 0; i < pCount; ++i) PutSmallLength(w, b.position[i]);

    const auto mCodes = CanonicalCodes(b.main);
    const auto pCodes = CanonicalCodes(b.position);
    size_t nextMatch = 0;
    for (int sym : b.symbols) {
        PutCode(w, mCodes, static_cast<size_t>(sym));
        if (sym < 256) continue;
        const uint32_t d = static_cast<uint32_t>(b.distances.at(nextMatch++));
        int slot = 0;
        while ((d >> slot) != 0) ++slot;
        PutCode(w, pCodes, static_cast<size_t>(slot));
        if (slot > 1) w.Put(d & ((1u << (slot - 1)) - 1), slot - 1);
    }
}

// What the items of the blocks mean: literals and whole matches over a window
// that starts as spaces.
inline Bytes ReferenceOutput(const std::vector<BlockPlan>& blocks) {
    Bytes out;
    auto at = [&out](int64_t i) -> uint8_t { return i < 0 ? uint8_t{0x20} : out[static_cast<size_t>(i)]; };
    for (const auto& b : blocks) {
        size_t nextMatch = 0;
        for (int sym : b.symbols) {
            if (sym < 256) {
                out.push_back(static_cast<uint8_t>(sym));
                continue;
            }
            const int64_t from = static_cast<int64_t>(out.size()) - b.distances.at(nextMatch++) - 1;
            for (int n = 0; n < sym - 253; ++n) out.push_back(at(from + n));
        }
    }
    return out;
}

}  // namespace lh5_test
