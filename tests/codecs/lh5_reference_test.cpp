// The LH5 compressor finds its matches in a trie built for speed (hashed
// child lists, children named by an XOR, word-wise compares, positions passed
// up lazily, counts that wrap). This holds its items to a plain trie running
// the same algorithm, on inputs made to stress ties between equally long
// matches, full-length matches, deletions, slides and the end of the input.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/codecs/PlainLh5.h"
#include "tests/codecs/lh5_encode_support.h"
#include "tests/codecs/match_inputs.h"

using namespace lh5_test;
using namespace match_inputs;

namespace {

// Text of n bytes ending in "Kxyz", with two earlier "xyz": the newer one
// agrees with the look-ahead after the end in one byte, the older in ten.
// The bytes after the end (spaces in the first window; else the 0 stored
// after the last chunk, then what the window held a dictionary earlier)
// decide that the last match goes to the older one.
Bytes EndPicksOlderMatch(size_t n) {
    Bytes out = EnglishLikeText(n, static_cast<uint32_t>(n));  // has no 'x', 'z' or 'K'
    Bytes after(10, 0x20);
    if (n >= 8192) {
        after[0] = 0;
        std::copy_n(out.begin() + static_cast<long>(n - 8191), 9, after.begin() + 1);
    }
    const size_t older = n >= 8192 ? n - 5000 : n / 3;
    const size_t newer = n >= 8192 ? n - 3000 : 2 * n / 3;
    auto put = [&out](size_t at, const Bytes& bytes) {
        std::copy(bytes.begin(), bytes.end(), out.begin() + static_cast<long>(at));
    };
    put(older, Text("xyz"));
    put(older + 3, after);
    put(newer, Text("xyz"));
    put(newer + 3, {after[0], 'Q', 'Q'});
    put(n - 4, Text("Kxyz"));
    return out;
}

TEST(Lh5MatchFinder, SameItemsAsPlainReference) {
    struct Case {
        std::string what;
        Bytes data;
    };
    std::vector<Case> cases;
    for (size_t n : {1, 2, 3, 4, 5, 255, 256, 257, 258, 259, 600})
        cases.push_back({"short run " + std::to_string(n), Bytes(n, 'a')});
    // Spaces continue into the filler after the end; zeros into the byte
    // stored after the end of a chunk read at a slide.
    for (uint8_t b : {0x20, 0x00})
        for (size_t n : {300, 7935, 7936, 7937, 8191, 8192, 8193, 16127, 16128, 16129, 16384, 24320, 30000})
            cases.push_back({"run of " + std::to_string(b) + ", " + std::to_string(n), Bytes(n, b)});
    for (size_t n : {4, 40, 300}) cases.push_back({"short text " + std::to_string(n), Letters(n, 3, 7)});
    for (int alphabet : {2, 3, 4, 16})
        cases.push_back({"letters over " + std::to_string(alphabet), Letters(40000, alphabet, alphabet)});
    // Periods that divide the dictionary make the bytes left behind a slide
    // continue the input's pattern; the others do not.
    for (size_t period : {2, 3, 4, 7, 64, 255, 256, 257, 4096, 8191, 8192, 8193})
        for (size_t n : {16200, 40000})
            cases.push_back({"period " + std::to_string(period) + ", " + std::to_string(n),
                             Repeat(Letters(period, 26, static_cast<uint32_t>(period)), n)});
    // Ends just before, at and after the slides, with stale bytes behind.
    for (size_t n : {7935, 7936, 7937, 8192, 16127, 16128, 16129, 16383, 16384, 24320})
        cases.push_back({"text of " + std::to_string(n), EnglishLikeText(n, static_cast<uint32_t>(n))});
    for (size_t n : {3000, 7990, 8192, 12000, 16131, 20000})
        cases.push_back({"the end picks the older match, " + std::to_string(n), EndPicksOlderMatch(n)});
    // The 0 stored after the last chunk continues the pattern.
    const Bytes withZero = Text(std::string("abc\0defgh", 9) + std::string(55, 'x'));
    cases.push_back({"period 64 with a zero, 16131", Repeat(withZero, 16131)});
    cases.push_back({"edited copies", EditedCopies(60000, 3)});
    cases.push_back({"skewed bytes", SkewedBytes(30000, 4)});
    cases.push_back({"runs", Runs(50000, 5)});
    cases.push_back({"records", BinaryRecords(40000, 6)});
    cases.push_back({"mixed", MixedData(200000, 7)});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ItemRecorder fast;
        ItemRecorder plain;
        Encode(c.data, &fast);
        plain_lh5::PlainLh5(plain).Run(c.data);
        const auto [f, p] = std::mismatch(fast.items.begin(), fast.items.end(), plain.items.begin(), plain.items.end());
        EXPECT_TRUE(f == fast.items.end() && p == plain.items.end())
            << "items differ from item " << (f - fast.items.begin()) << " of " << fast.items.size() << " and "
            << plain.items.size();
    }
}

}  // namespace
