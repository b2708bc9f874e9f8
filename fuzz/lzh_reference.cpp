// LZH compressor against the plain search tree: whatever the input, the same
// stream. The first byte tiles the rest into up to 16 copies, each with one
// byte changed, so that short fuzz inputs reach the ring's deletions and the
// ties between equally long matches at different distances.
#include "fuzz/FuzzSupport.h"
#include "tests/codecs/PlainLzh.h"

using fuzz::Bytes;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const Bytes piece(data + 1, data + size);
    const int copies = 1 + (data[0] & 15);
    Bytes plain;
    plain.reserve(piece.size() * static_cast<size_t>(copies));
    for (int i = 0; i < copies; ++i) {
        plain.insert(plain.end(), piece.begin(), piece.end());
        if (i > 0) plain[plain.size() - 1 - (static_cast<size_t>(i) * 7919u + data[0]) % piece.size()] ^= static_cast<uint8_t>(i);
    }

    CodecSettings settings;
    settings.CompressReserve = -fuzz::DeclaredSizeCap * 64;
    TMemoryStream source(plain), coded;
    uint32_t sum = 0;
    RunCodec(coded, source, static_cast<int32_t>(plain.size()), 0, ctLzh, sum, false, false, settings);
    lzh_reference::PlainLzh reference;
    FUZZ_CHECK(coded.Bytes() == reference.Compress(plain));
    return 0;
}
