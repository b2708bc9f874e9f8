// What the fuzz targets share: the option head that codec targets read before
// their coded bytes, the invariant check, and a private scratch directory for
// the targets that must go through files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

#include "codecs/CodecEngine.h"

class TQuern;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fuzz {

using Bytes = std::vector<uint8_t>;

// A broken invariant is a finding: report it and abort, which both libFuzzer
// and the replay test count as a crash.
#define FUZZ_CHECK(condition)                                                                   \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

// The LZH and LH5 expanders produce Destsize bytes whatever the input (zero
// bits after its end), so the declared size is capped: otherwise a 4-byte
// input could ask for 2 GB and the fuzzer would find only its own bombs.
constexpr int32_t DeclaredSizeCap = 1 << 20;

// The key every target uses for scrambled or locked data.
constexpr int32_t FuzzKey = 0x1234ABCD;

// Head of the expander targets' inputs, 4 bytes:
//   0..2  declared size (Destsize), little-endian, modulo DeclaredSizeCap
//   3     bit 0: the stored bytes are scrambled with FuzzKey;
//         bits 4..7: n > 0 makes the progress handler cancel at its n-th call
// The stored (coded) bytes follow.
struct ExpandHead {
    int32_t declaredSize = 0;
    bool scrambled = false;
    int cancelAt = 0;
};
constexpr size_t ExpandHeadSize = 4;

inline ExpandHead ReadExpandHead(const uint8_t* data) {
    ExpandHead head;
    head.declaredSize = static_cast<int32_t>((data[0] | (data[1] << 8) | (data[2] << 16)) % DeclaredSizeCap);
    head.scrambled = (data[3] & 1) != 0;
    head.cancelAt = data[3] >> 4;
    return head;
}

inline Bytes EncodeExpandHead(const ExpandHead& head) {
    const auto size = static_cast<uint32_t>(head.declaredSize);
    return {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size >> 16),
            static_cast<uint8_t>((head.scrambled ? 1 : 0) | (head.cancelAt << 4))};
}

// Settings for an expansion under `head`: the key, and a progress handler
// that cancels at its cancelAt-th call.
CodecSettings ExpandSettings(const ExpandHead& head, int& progressCalls);

struct ExpandResult {
    Bytes out;
    uint32_t checksum = 0;
};

// Runs method `method` over the stored bytes after the head; exceptions of the
// system's own classes pass to the caller.
ExpandResult RunExpander(uint8_t method, const uint8_t* data, size_t size);

inline uint32_t ByteSum(const Bytes& bytes) { return std::accumulate(bytes.begin(), bytes.end(), uint32_t{0}); }

// Round trip of `plain` through `method`; the first input byte chooses:
//   bit 0: scramble with FuzzKey;  bit 1: compress within the usual budget
//   (the stored form may not be longer than the input), else unbudgeted.
// Aborts when the expansion does not give the input back.
void CheckRoundTrip(uint8_t method, const uint8_t* data, size_t size);

// Archive method IDs outside the table are accepted when they begin with "#",
// so the custom-method path (type 3 through OnExpand) is reachable too.
void AcceptHashIds(TQuern& quern);

// A private directory made on first use and removed when the process ends;
// with a trailing separator.
const std::string& ScratchDirectory();

// Splits at the first `count` NUL bytes: count + 1 fields (missing ones empty).
std::vector<std::string> SplitFields(const uint8_t* data, size_t size, int count);

}  // namespace fuzz
