#include <gtest/gtest.h>

#include <cstring>

#include <quern/Stream.h>
#include "setup/Payload.h"
#include "tests/support/TestSupport.h"

using namespace quern;

using namespace testing_support;

namespace {

// An executable image of `size` bytes of filler with a trailer written at
// each given offset (ArchiveLength and PayloadSize tell the copies apart).
Bytes ImageWithMagics(size_t size, const std::vector<size_t>& offsets) {
    Bytes image(size, 0xCC);
    const uint8_t magic[5] = {'Q', 'n', 't', '_', '!'};
    int32_t tag = 1000;
    for (size_t at : offsets) {
        for (size_t i = 0; i < 5 && at + i < size; ++i) image[at + i] = magic[i];
        for (int field = 0; field < 2; ++field, ++tag)
            for (size_t i = 0; i < 4 && at + 5 + 4 * field + i < size; ++i)
                image[at + 5 + 4 * field + i] = static_cast<uint8_t>(tag >> (8 * i));
    }
    return image;
}

}  // namespace

TEST(PayloadMagicTest, IsTheFiveTrailerBytes) {
    const auto magic = PayloadMagic();
    EXPECT_EQ(std::string(magic.begin(), magic.end()), "Qnt_!");
}

TEST(LocatePayloadTest, FindsTheFirstMagicFromTheScanStartOn) {
    constexpr size_t S = PayloadScanStart;
    struct Case {
        const char* what;
        size_t size;
        std::vector<size_t> magics;
        LocateOutcome outcome;
        size_t found = 0;  // M when found
    };
    const Case cases[] = {
        {"magic at exactly the scan start", S + 100, {S}, LocateOutcome::Found, S},
        {"magic straddling the first two reads", S + 40000, {S + 31998}, LocateOutcome::Found, S + 31998},
        {"magic beginning as candidate n-5 of a full read", S + 40000, {S + 31995}, LocateOutcome::Found,
         S + 31995},
        {"magic in the last byte of a full read", S + 40000, {S + 31999}, LocateOutcome::Found, S + 31999},
        {"magic in the third read", S + 80000, {S + 70000}, LocateOutcome::Found, S + 70000},
        {"two magics: the lower wins", S + 80000, {S + 50000, S + 60}, LocateOutcome::Found, S + 60},
        {"a magic below the scan start is never seen", S + 100, {S - 20}, LocateOutcome::NotFound},
        {"no magic at all", S + 70000, {}, LocateOutcome::NotFound},
        {"file ends at the scan start", S, {}, LocateOutcome::EmptyFirstRead},
        {"file shorter than the scan start", 1000, {}, LocateOutcome::EmptyFirstRead},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Trailers are written in the given order: the first listed carries
        // ArchiveLength 1000 and PayloadSize 1001, the second 1002 and 1003.
        TMemoryStream exe(ImageWithMagics(c.size, c.magics));
        std::vector<uint8_t> buffer(ScanBufferSize);
        PayloadLocation location;
        ASSERT_EQ(LocatePayload(exe, buffer.data(), location), c.outcome);
        if (c.outcome != LocateOutcome::Found) continue;
        const int32_t tag = c.magics.size() == 2 ? 1002 : 1000;
        EXPECT_EQ(location.ArchiveLength, tag);
        EXPECT_EQ(location.PayloadSize, tag + 1);
        EXPECT_EQ(exe.Position(), static_cast<int64_t>(c.found + 13));
        EXPECT_EQ(location.PayloadStart, static_cast<int32_t>(c.found + 13 + tag));
    }
}

TEST(LocatePayloadTest, ShortOnlyReadsAreNotScanned) {
    // 1 to 6 bytes after the scan start: the only read is too short to scan,
    // even when it begins with the magic.
    for (size_t extra = 1; extra <= 6; ++extra) {
        SCOPED_TRACE(extra);
        TMemoryStream exe(ImageWithMagics(PayloadScanStart + extra, {PayloadScanStart}));
        std::vector<uint8_t> buffer(ScanBufferSize);
        PayloadLocation location;
        EXPECT_EQ(LocatePayload(exe, buffer.data(), location), LocateOutcome::NotFound);
    }
}
