// What the fuzz targets share: the option head that codec targets read before
// their coded bytes, the invariant check, and a private scratch directory for
// the targets that must go through files.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

#include <quern/CodecEngine.h>

namespace quern {
class TQuern;
class TStream;
}

using namespace quern;

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

// A valid LZH or LH5 stream of a few hundred bytes can declare and produce
// megabytes (long matches of one byte), so the declared size is capped:
// otherwise the fuzzer would spend its time copying its own bombs. Small sizes
// are the common case, so most runs stay fast.
constexpr int32_t DeclaredSizeCap = 1 << 20;

// The key every target uses for scrambled or locked data.
constexpr int32_t FuzzKey = 0x1234ABCD;

// Head of the expander targets' inputs, 3 bytes:
//   0..1  declared size (Destsize), little-endian
//   2     bit 0: the stored bytes are scrambled with FuzzKey;
//         bit 1: the declared size is 16 times bytes 0..1 (up to the cap);
//         bits 4..7: n > 0 makes the progress handler cancel at its n-th call
// The stored (coded) bytes follow.
struct ExpandHead {
    int32_t declaredSize = 0;
    bool scrambled = false;
    int cancelAt = 0;
};
constexpr size_t ExpandHeadSize = 3;
constexpr int32_t LargeSizeScale = 16;
static_assert(0xFFFF * LargeSizeScale <= DeclaredSizeCap);

// `sizeCap` lets a target whose valid streams are slow to expand keep its
// runs short; a larger declaration is cut to it.
inline ExpandHead ReadExpandHead(const uint8_t* data, int32_t sizeCap = DeclaredSizeCap) {
    ExpandHead head;
    head.declaredSize = std::min(sizeCap, (data[0] | (data[1] << 8)) * ((data[2] & 2) ? LargeSizeScale : 1));
    head.scrambled = (data[2] & 1) != 0;
    head.cancelAt = data[2] >> 4;
    return head;
}

// The head for a size up to 65535, or a multiple of 16 up to the cap.
inline Bytes EncodeExpandHead(const ExpandHead& head) {
    const bool large = head.declaredSize > 0xFFFF;
    const auto size = static_cast<uint32_t>(large ? head.declaredSize / LargeSizeScale : head.declaredSize);
    return {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
            static_cast<uint8_t>((head.scrambled ? 1 : 0) | (large ? 2 : 0) | (head.cancelAt << 4))};
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
ExpandResult RunExpander(uint8_t method, const uint8_t* data, size_t size, int32_t sizeCap = DeclaredSizeCap);

inline uint32_t ByteSum(const Bytes& bytes) { return std::accumulate(bytes.begin(), bytes.end(), uint32_t{0}); }

// Round trip of `plain` through `method`; the first input byte chooses:
//   bit 0: scramble with FuzzKey;  bit 1: compress within the usual budget
//   (the stored form may not be longer than the input), else unbudgeted.
// Aborts when the expansion does not give the input back.
void CheckRoundTrip(uint8_t method, const uint8_t* data, size_t size);

// Archive method IDs outside the table are accepted when they begin with "#",
// so the custom-method path (type 3 through OnExpand) is reachable too.
void AcceptHashIds(TQuern& quern);

// A type-3 decoder for OnExpand: the stored bytes are the file's bytes.
void CopyCustom(TStream& dest, TStream& source, int32_t Sourcesize, int32_t Destsize, const std::string& CompressID,
                int32_t& checksum);

// Which entries of the archive in data an expansion target writes, in the
// order the walk offers them (the listing's): the LZH and LH5 expanders fill
// any declared size from a few bytes, so entries are passed over once their
// declared sizes would pass DeclaredSizeCap together, and after 32 files.
std::vector<bool> EntriesWithinBudget(const uint8_t* data, size_t size);

// A private directory made on first use and removed when the process ends;
// with a trailing separator.
const std::string& ScratchDirectory();

// Splits at the first `count` NUL bytes: count + 1 fields (missing ones empty).
std::vector<std::string> SplitFields(const uint8_t* data, size_t size, int count);

}  // namespace fuzz
