// LH5 compressor against the plain trie of its test: whatever the input, the
// same items. The first byte tiles the rest into 1 + its value copies, each
// but the first with one byte changed, cut at 40 KB: short fuzz inputs so
// reach the window's slides, the deletions of old strings, full-length
// matches and ties between equally long matches at different distances.
#include <memory>
#include <utility>

#include "codecs/lh5/Lh5Encoder.h"
#include "fuzz/FuzzSupport.h"
#include "tests/codecs/PlainLh5.h"

using fuzz::Bytes;

namespace {

constexpr size_t TiledSizeCap = 40960;

class Recorder : public Lh5ItemObserver {
public:
    void OnItem(unsigned symbol, unsigned distanceCode) override { items.emplace_back(symbol, distanceCode); }
    std::vector<std::pair<unsigned, unsigned>> items;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const Bytes piece(data + 1, data + size);
    const int copies = 1 + data[0];
    Bytes plain;
    for (int i = 0; i < copies && plain.size() < TiledSizeCap; ++i) {
        plain.insert(plain.end(), piece.begin(), piece.end());
        const size_t back = (static_cast<size_t>(i) * 7919u + data[0]) % piece.size();
        if (i > 0) plain[plain.size() - 1 - back] ^= static_cast<uint8_t>(i);
    }
    if (copies > 1 && plain.size() > TiledSizeCap) plain.resize(TiledSizeCap);

    // No budget: the compressor runs to the end whatever it writes.
    TMemoryStream source(plain), coded;
    CodecSettings settings;
    settings.CompressReserve = -fuzz::DeclaredSizeCap * 64;
    Recorder fast, reference;
    auto io = std::make_unique<CodecIO>(coded, source, static_cast<int32_t>(plain.size()), false, false, settings);
    Lh5EncodeObserved(*io, &fast);
    plain_lh5::PlainLh5(reference).Run(plain);
    FUZZ_CHECK(fast.items == reference.items);
    return 0;
}
