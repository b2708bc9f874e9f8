// OutputBytes is OutputByte for a whole span: the same bytes and write calls
// reach the stream, the same sums and counts result, and the budget fails at
// the same byte, whatever the span sizes.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <quern/CodecEngine.h>
#include "tests/codecs/codec_engine_support.h"
#include "tests/support/TestSupport.h"

using namespace quern;

namespace {

using codec_test::CountingStream;
using testing_support::Bytes;

struct Outcome {
    Bytes written;
    int writes = 0;
    uint32_t sum = 0;
    int32_t count = 0;
    bool overBudget = false;
    bool operator==(const Outcome&) const = default;
};

// Sends data as spans of the given sizes (cycled), or byte by byte when empty.
Outcome Send(const Bytes& data, const std::vector<int32_t>& spans, int32_t key, int32_t reserve) {
    TMemoryStream source;
    CountingStream dest;
    CodecSettings settings;
    settings.Key = key;
    settings.CompressReserve = reserve;
    // Compressing: the budget is the span size less the reserve, and the key scrambles.
    auto io = std::make_unique<CodecIO>(dest, source, 20000, false, false, settings);
    Outcome o;
    try {
        size_t at = 0;
        for (size_t i = 0; at < data.size(); ++i) {
            if (spans.empty()) {
                io->OutputByte(data[at++]);
                continue;
            }
            const auto n = std::min<size_t>(static_cast<size_t>(spans[i % spans.size()]), data.size() - at);
            io->OutputBytes(data.data() + at, static_cast<int32_t>(n));
            at += n;
        }
        io->FlushRest();
    } catch (const EUnableToCompress&) {
        o.overBudget = true;
    }
    o.written = dest.Bytes();
    o.writes = dest.Writes;
    o.sum = io->OutputSum();
    o.count = io->OutputCount();
    return o;
}

TEST(OutputSpans, SameAsByteByByte) {
    const Bytes data = testing_support::RandomBytes(30000, 5);
    const std::vector<std::vector<int32_t>> spanPlans = {{1}, {0, 3}, {8192}, {8191, 2}, {5000}, {30000}, {256, 7}};
    for (const int32_t key : {0, 0x1234567}) {
        // Reserves: a budget far above the data; one that ends inside a buffer
        // after two full ones; one that ends at the buffer's edge; none at all.
        for (const int32_t reserve : {-100000, 20000 - 19000, 20000 - 16384, 20001}) {
            const Outcome expected = Send(data, {}, key, reserve);
            for (const auto& spans : spanPlans) {
                SCOPED_TRACE(testing::Message() << "key " << key << " reserve " << reserve << " first span "
                                                << spans[0]);
                EXPECT_TRUE(Send(data, spans, key, reserve) == expected);
            }
        }
    }
}

}  // namespace
