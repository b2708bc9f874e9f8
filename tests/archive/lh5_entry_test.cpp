#include <gtest/gtest.h>

#include <quern/Quern.h>
#include <quern/Platform.h>
#include "tests/archive/ArchiveFixture.h"

using namespace quern;

using namespace archive_fixture;
using testing_support::FromHex;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

constexpr int32_t TheKey = 0x44332211;  // key bytes k0..k3 = 11 22 33 44

// One LH5 block that decodes to "abc" (byte sum 294).
const char* const AbcStream = "00 03 28 08 44 C9 13 58 02 60";

// A block of size 1 whose code-length code has three lengths of 1: more
// codes than one bit can tell apart, so the table cannot be built.
//   0000000000000001 | 00011 (3 lengths) | 001 001 001 | 00 (no zeros)
const char* const OversubscribedStream = "00 01 19 24 00 00 00 00";

Bytes Scramble(Bytes data, int32_t key) {
    for (size_t i = 0; i < data.size(); ++i) data[i] ^= static_cast<uint8_t>(static_cast<uint32_t>(key) >> (8 * (i % 4)));
    return data;
}

}  // namespace

TEST(Lh5Entry, KeyAndChecksumRules) {
    const Bytes abc = FromHex(AbcStream);
    const Bytes bad = FromHex(OversubscribedStream);
    enum Outcome { Written, KeyRefused, BadTable };
    struct Case {
        const char* what;
        Bytes data;
        int32_t lockFlag;
        uint32_t checksum;
        int32_t key;
        Outcome outcome;
    };
    const Case cases[] = {
        {"open", abc, 0, 294, 0, Written},
        {"open, a key set anyway", abc, 0, 294, TheKey, Written},
        {"locked, right key", abc, 1, 294 + TheKey, TheKey, Written},
        {"locked, wrong key", abc, 1, 294 + TheKey, TheKey + 1, KeyRefused},
        {"locked, no key", abc, 1, 294 + TheKey, 0, KeyRefused},
        {"scrambled, right key", Scramble(abc, TheKey), 2, 294 + TheKey, TheKey, Written},
        {"scrambled, wrong key", Scramble(abc, TheKey), 2, 294 + TheKey, TheKey ^ 0x00FF0000, KeyRefused},
        {"scrambled, no key", Scramble(abc, TheKey), 2, 294 + TheKey, 0, KeyRefused},
        {"locked, bad table", bad, 1, 294 + TheKey, TheKey, KeyRefused},
        {"open, bad table", bad, 0, 294, 0, BadTable},
    };
    for (const auto& c : cases) {
        TempDir dir;
        WriteFileBytes(dir / "a.zmar",
                       MakeArchive({{.name = "abc", .data = c.data, .type = ctLh5, .checksum = c.checksum,
                                     .lockFlag = c.lockFlag, .uncompressedSize = 3, .attr = 0x21}}));
        TQuern quern;
        quern.SetTargetPath(dir.Path());
        quern.Key = c.key;
        try {
            quern.ExpandArchiveFile(dir / "a.zmar");
            EXPECT_EQ(c.outcome, Written) << c.what;
            EXPECT_EQ(ReadFileBytes(dir / "abc"), Text("abc")) << c.what;
            EXPECT_EQ(platform::GetFileDatePacked(dir / "abc"), SampleDate) << c.what;
        } catch (const EInvalidKey&) {
            EXPECT_EQ(c.outcome, KeyRefused) << c.what;
            EXPECT_FALSE(platform::FileExists(dir / "abc")) << c.what;
        } catch (const ELZHBadDecodeTable&) {
            EXPECT_EQ(c.outcome, BadTable) << c.what;
            EXPECT_FALSE(platform::FileExists(dir / "abc")) << c.what;  // no partial file
        }
        EXPECT_EQ(testing_support::ListDirectory(dir.Path()).size(), c.outcome == Written ? 2u : 1u) << c.what;
    }
}

TEST(Lh5Entry, ADecoderStoppingEarlyLeavesTheWalkInStep) {
    // The "abc" block padded to 9010 stored bytes: the decoder has its 3 bytes
    // after the first 8192-byte chunk and reads no further, so the next
    // header lies 818 bytes past where the codec left the stream.
    Bytes padded = FromHex(AbcStream);
    padded.resize(9010, 0);
    TempDir dir;
    WriteFileBytes(dir / "a.zmar",
                   MakeArchive({{.name = "abc", .data = padded, .type = ctLh5, .checksum = 294, .uncompressedSize = 3},
                                {.name = "next", .data = Text("in step")}}));
    TQuern quern;
    quern.SetTargetPath(dir.Path());
    quern.ExpandArchiveFile(dir / "a.zmar");
    EXPECT_EQ(ReadFileBytes(dir / "abc"), Text("abc"));
    EXPECT_EQ(ReadFileBytes(dir / "next"), Text("in step"));
}
