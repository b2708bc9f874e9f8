// The integrity record and its CRC: known values, pieces against the whole,
// and the record refusing any damage to itself.
#include <gtest/gtest.h>

#include "setup/Integrity.h"
#include "tests/support/TestSupport.h"

using namespace quern;

using namespace testing_support;

TEST(Crc32Test, KnownValuesAndPieces) {
    const Bytes check = Text("123456789");
    EXPECT_EQ(Crc32(check.data(), check.size()), 0xCBF43926u);
    EXPECT_EQ(Crc32(nullptr, 0), 0u);
    const Bytes data = RandomBytes(100'000, 4);
    TCrc32 pieces;
    for (size_t at = 0, step = 1; at < data.size(); at += step, step = step * 3 % 40'000 + 1)
        pieces.Update(data.data() + at, std::min(step, data.size() - at));
    EXPECT_EQ(pieces.Value(), Crc32(data.data(), data.size()));
}

TEST(IntegrityRecordTest, RoundTripsAndRefusesEveryDamagedByte) {
    const IntegrityRecord record{204730, -7, 0x89ABCDEFu, 0x01020304u};
    const auto bytes = IntegrityRecordBytes(record);
    // Layout: magic, version 1, size 28, the fields, the record's own CRC.
    EXPECT_EQ(ToHex(Bytes(bytes.begin(), bytes.begin() + 24)),
              "51 6E 49 52 01 00 1C 00 BA 1F 03 00 F9 FF FF FF EF CD AB 89 04 03 02 01");
    const auto parsed = ParseIntegrityRecord(bytes.data(), bytes.size());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->ArchiveLength, 204730);
    EXPECT_EQ(parsed->PayloadSize, -7);
    EXPECT_EQ(parsed->RecordStart, 0x89ABCDEFu);
    EXPECT_EQ(parsed->DataCrc, 0x01020304u);
    EXPECT_FALSE(ParseIntegrityRecord(bytes.data(), bytes.size() - 1));
    EXPECT_FALSE(IsDamagedIntegrityRecord(bytes.data(), bytes.size()));
    for (size_t i = 0; i < bytes.size(); ++i) {
        auto damaged = bytes;
        damaged[i] ^= 0x10;
        EXPECT_FALSE(ParseIntegrityRecord(damaged.data(), damaged.size())) << "byte " << i;
        EXPECT_TRUE(IsDamagedIntegrityRecord(damaged.data(), damaged.size())) << "byte " << i;
    }
    // What follows a payload without a record: zero padding, a certificate
    // table's header, the end of an archive.
    Bytes certificate = FromHex("08 10 00 00 00 02 02 00");
    certificate.resize(28, 0x30);
    for (const Bytes& other : {Bytes(28, 0), certificate, RandomBytes(28, 9)})
        EXPECT_FALSE(IsDamagedIntegrityRecord(other.data(), other.size()));
}
