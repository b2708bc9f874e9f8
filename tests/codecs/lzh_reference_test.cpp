// The compressor's match finder takes shortcuts (prefix bounds, placing a
// position beside its neighbour in the order instead of walking down). This
// holds it to a plain search tree that walks down from the root for every
// position and compares whole strings, on inputs made to stress ties
// between equally long matches, full-length matches and deletions.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "tests/codecs/PlainLzh.h"
#include "tests/codecs/match_inputs.h"
#include "tests/codecs/rle_lzh_support.h"

using namespace quern;

namespace {

using namespace rle_lzh_test;
using lzh_reference::PlainLzh;
using testing_support::Text;
using namespace match_inputs;

TEST(LzhMatchFinder, SameStreamAsAPlainTreeWalk) {
    struct Case {
        std::string what;
        Bytes data;
    };
    std::vector<Case> cases;
    for (size_t n : {1, 2, 3, 59, 60, 61, 62, 119, 121}) cases.push_back({"short run " + std::to_string(n), Bytes(n, 0x20)});
    for (size_t n : {4, 61, 130}) cases.push_back({"short text " + std::to_string(n), Letters(n, 3, 7)});
    // The preset spaces of the ring order before or after the first bytes.
    for (const char* start : {"\tx", "\x7F", "   \n", "  ~", " "})
        for (size_t n : {70, 3000}) {
            Bytes data = Text(start);
            const Bytes rest = EditedCopies(n, 2);
            data.insert(data.end(), rest.begin(), rest.end());
            cases.push_back({"starts with " + std::string(start) + ", then " + std::to_string(n), data});
        }
    for (int alphabet : {2, 3, 4, 16})
        cases.push_back({"letters over " + std::to_string(alphabet), Letters(30000, alphabet, alphabet)});
    for (size_t period : {1, 2, 3, 7, 59, 60, 61, 4095, 4096, 4097})
        cases.push_back({"period " + std::to_string(period), Repeat(Letters(period, 26, 5), 20000)});
    // Inputs of 60 to 118 bytes leave ring positions below 59 that the input
    // never reaches: there the ring holds the preset spaces and its mirror
    // zeros, so a string just past the ring's end is not the one before it
    // moved on by a byte. Zeros with a few marks make equally long matches
    // that run into those bytes.
    for (size_t n : {61, 90, 114, 118}) {
        Bytes data(n, 0);
        data[3] = 8;
        data[7] = 1;
        data[47] = 3;
        cases.push_back({"zeros with marks, " + std::to_string(n), data});
    }
    cases.push_back({"edited copies", EditedCopies(40000, 3)});
    cases.push_back({"mixed", MixedData(120000, 5)});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PlainLzh reference;
        EXPECT_TRUE(Compress(ctLzh, c.data, Unbudgeted()).out == reference.Compress(c.data));
    }
}

}  // namespace
