// Helpers of the LH5 encoder tests: running the encoder without the
// dispatcher's budget, recording its items, and inputs of several kinds.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <quern/CodecEngine.h>
#include "codecs/lh5/Lh5Encoder.h"
#include <quern/Stream.h>
#include "tests/support/TestSupport.h"

using namespace quern;

namespace lh5_test {

using Bytes = std::vector<uint8_t>;

struct Item {
    unsigned symbol;
    unsigned distanceCode;
    bool operator==(const Item&) const = default;
};
inline Item Literal(uint8_t b) { return {b, 0}; }
inline Item Match(unsigned length, unsigned distance) { return {length + 253, distance - 1}; }

class ItemRecorder : public Lh5ItemObserver {
public:
    void OnItem(unsigned symbol, unsigned distanceCode) override { items.push_back({symbol, distanceCode}); }
    std::vector<Item> items;
};

// RunCodec's budget is the input size, so a tiny input whose coded form is
// longer would raise EUnableToCompress there. This runs the encoder through a
// CodecIO of its own whose reserve is negative, which lifts the budget far
// above any output these tests produce.
inline Bytes Encode(const Bytes& input, Lh5ItemObserver* observer = nullptr) {
    TMemoryStream source(input);
    TMemoryStream dest;
    CodecSettings settings;
    settings.CompressReserve = -0x40000000;
    auto io = std::make_unique<CodecIO>(dest, source, static_cast<int32_t>(input.size()), false, false, settings);
    Lh5EncodeObserved(*io, observer);
    io->FlushRest();
    return dest.Bytes();
}

using testing_support::Text;

// Words drawn with a skewed distribution, with spaces, punctuation and line
// breaks: many short and medium matches.
inline Bytes EnglishLikeText(size_t count, uint32_t seed) {
    static const char* const words[] = {"the",   "of",     "and",     "archive", "setup",  "window", "quillset",
                                        "entry", "header", "stream",  "to",      "a",      "in",     "codec",
                                        "is",    "that",   "install", "file",    "length", "match"};
    std::mt19937 random(seed);
    std::geometric_distribution<int> pick(0.18);
    Bytes out;
    out.reserve(count);
    while (out.size() < count) {
        const int w = pick(random) % 20;
        for (const char* c = words[w]; *c != 0; ++c) out.push_back(static_cast<uint8_t>(*c));
        const unsigned r = random() % 16;
        out.push_back(r == 0 ? '\n' : r == 1 ? ',' : ' ');
    }
    out.resize(count);
    return out;
}

// Bytes with a geometric distribution: a few symbols are very common and many
// are rare, which gives main codes longer than the decoder's 12-bit table.
inline Bytes SkewedBytes(size_t count, uint32_t seed, double p = 0.35) {
    std::mt19937 random(seed);
    std::geometric_distribution<int> pick(p);
    Bytes out(count);
    for (auto& b : out) b = static_cast<uint8_t>(pick(random));
    return out;
}

// Runs of random bytes with random lengths, long matches at distance 1.
inline Bytes Runs(size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes out;
    out.reserve(count);
    while (out.size() < count) out.insert(out.end(), 1 + random() % 700, static_cast<uint8_t>(random()));
    out.resize(count);
    return out;
}

// Little-endian records with counters, small fields and repeated tags: the
// kind of structure executables and tables have.
inline Bytes BinaryRecords(size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes out;
    out.reserve(count);
    for (uint32_t n = 0; out.size() < count; ++n) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(n >> (8 * i)));
        out.push_back(static_cast<uint8_t>(random() % 8));
        out.push_back(0);
        const char* tag = (random() % 3 == 0) ? "RECD" : "DATA";
        out.insert(out.end(), tag, tag + 4);
        out.push_back(static_cast<uint8_t>(random()));
        out.push_back(static_cast<uint8_t>(random() % 4 == 0 ? random() : 0));
    }
    out.resize(count);
    return out;
}

// A mixture of all of the above, with random stretches and repeats of far
// earlier pieces (distances up to the whole 8192-byte dictionary).
inline Bytes MixedData(size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes out;
    out.reserve(count + 70000);
    while (out.size() < count) {
        const size_t piece = 1000 + random() % 60000;
        Bytes part;
        switch (random() % 6) {
            case 0: part = EnglishLikeText(piece, random()); break;
            case 1: part = SkewedBytes(piece, random()); break;
            case 2: part = Runs(piece, random()); break;
            case 3: part = BinaryRecords(piece, random()); break;
            case 4: {
                std::mt19937 r2(random());
                part.resize(piece / 8);
                for (auto& b : part) b = static_cast<uint8_t>(r2());
                break;
            }
            default:
                if (out.size() > 9000) {
                    const size_t from = out.size() - 1 - random() % 8200;
                    const size_t len = std::min<size_t>(3 + random() % 400, out.size() - from);
                    part.assign(out.begin() + static_cast<long>(from), out.begin() + static_cast<long>(from + len));
                }
                break;
        }
        out.insert(out.end(), part.begin(), part.end());
    }
    out.resize(count);
    return out;
}

}  // namespace lh5_test
