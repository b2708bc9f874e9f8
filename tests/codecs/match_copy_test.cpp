// CopyMatch is the byte-by-byte copy of an LZ match, whatever the overlap:
// distances below, at and above the eight-byte step, lengths up to LH5's
// 256, and nothing written beyond the match's end but the allowed slack.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "codecs/DecodeSupport.h"
#include "tests/support/TestSupport.h"

using namespace quern;

namespace {

TEST(CopyMatch, SameAsByteByByteForEveryShortDistance) {
    const testing_support::Bytes history = testing_support::RandomBytes(300, 9);
    for (int32_t distance = 1; distance <= 20; ++distance) {
        for (int32_t length = 1; length <= 256; ++length) {
            std::vector<uint8_t> expected(history);
            expected.resize(history.size() + 300, 0xA5);
            std::vector<uint8_t> actual(expected);
            const size_t at = history.size();
            for (int32_t k = 0; k < length; ++k) expected[at + k] = expected[at + k - distance];
            CopyMatch(actual.data() + at, distance, length);
            const size_t end = at + static_cast<size_t>(length);
            ASSERT_TRUE(std::equal(actual.begin(), actual.begin() + static_cast<ptrdiff_t>(end), expected.begin()))
                << "distance " << distance << " length " << length;
            const size_t untouched = end + CopyMatchSlack - 1;
            ASSERT_TRUE(std::all_of(actual.begin() + static_cast<ptrdiff_t>(untouched), actual.end(),
                                    [](uint8_t b) { return b == 0xA5; }))
                << "distance " << distance << " length " << length;
        }
    }
}

}  // namespace
