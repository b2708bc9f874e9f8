// Runs the RLE and LZH codecs through the dispatcher over memory streams.
#pragma once

#include <cstdint>
#include <numeric>
#include <vector>

#include <quern/CodecEngine.h>
#include "tests/support/TestSupport.h"

using namespace quern;

namespace rle_lzh_test {

using testing_support::Bytes;

struct CodecRun {
    Bytes out;
    uint32_t checksum = 0;
};

inline CodecRun Compress(uint8_t method, const Bytes& plain, const CodecSettings& settings = {}) {
    TMemoryStream src(plain), dest;
    CodecRun run;
    RunCodec(dest, src, static_cast<int32_t>(plain.size()), 0, method, run.checksum, false, false,
             settings);
    run.out = dest.Bytes();
    return run;
}

// Budget that no test input can exceed: the stored form of data rich in 0x94
// (RLE) or of random bytes (LZH) is longer than the data.
inline CodecSettings Unbudgeted() {
    CodecSettings s;
    s.CompressReserve = -1'000'000'000;
    return s;
}

inline CodecRun Expand(uint8_t method, const Bytes& stored, int32_t destSize, const CodecSettings& settings = {}) {
    TMemoryStream src(stored), dest;
    CodecRun run;
    RunCodec(dest, src, static_cast<int32_t>(stored.size()), destSize, method, run.checksum, true, false, settings);
    run.out = dest.Bytes();
    return run;
}

using testing_support::ByteSum;

// Text, binary records, runs and noise in turns: long enough for many model
// rebuilds and every kind of match.
inline Bytes MixedData(size_t size, uint32_t seed) {
    Bytes out;
    out.reserve(size + 8192);
    const std::string prose =
        "The quick brown fox jumps over the lazy dog; pack my box with five dozen liquor jugs.\r\n";
    for (uint32_t round = 0; out.size() < size; ++round) {
        switch (round % 4) {
            case 0:
                for (int i = 0; i < 40; ++i) out.insert(out.end(), prose.begin() + (i * 7 % 30), prose.end());
                break;
            case 1:
                for (uint32_t i = 0; i < 1500; ++i)
                    for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>((i * 2654435761u) >> (8 * k)));
                break;
            case 2: out.insert(out.end(), 700 + round % 300, static_cast<uint8_t>(round)); break;
            default: {
                const Bytes noise = testing_support::RandomBytes(3000, seed + round);
                out.insert(out.end(), noise.begin(), noise.end());
            }
        }
    }
    out.resize(size);
    return out;
}

}  // namespace rle_lzh_test
