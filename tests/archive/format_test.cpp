#include <gtest/gtest.h>

#include <quern/ArchiveFormat.h>
#include <quern/Quern.h>
#include "tests/archive/ArchiveFixture.h"

using namespace quern;

using namespace archive_fixture;
using testing_support::FromHex;

namespace {

// The start of the bootstrap's own archive: archive header, then the first
// file header (18-byte name "<temp>\install.ini", 931 data bytes, type 4).
const char* const WorkedExample =
    "5A 4D 41 52 1A 4C 48 35 2E A1 06 00 01 00 00 00 00 00 00 00 00 "
    "12 00 C9 6B 61 25 20 00 BC 08 00 00 A3 03 00 00 04 96 B6 02 00 00 00 00 00";

}  // namespace

TEST(ArchiveFormat, WorkedExampleHeadersParseToTheirFields) {
    Bytes bytes = FromHex(WorkedExample);
    const std::string name = "<temp>\\install.ini";
    bytes.insert(bytes.end(), name.begin(), name.end());
    bytes.resize(bytes.size() + 931);  // the entry's data
    TMemoryStream stream(bytes);

    TArchiveHeader header;
    std::string id;
    ReadArchiveHeader(stream, header, id, nullptr);
    EXPECT_EQ(id, "LH5");
    EXPECT_EQ(header.TotalSize, 434478);
    EXPECT_EQ(header.ArchiveType, 1);
    EXPECT_EQ(header.KeyFlag, 0);

    TFileHeader fh;
    std::string stored;
    ASSERT_TRUE(ReadFileHeader(stream, fh, stored));
    EXPECT_EQ(fh.NameLength, 18);
    EXPECT_EQ(fh.FileDate, 0x25616BC9u);
    EXPECT_EQ(fh.FileAttr, 0x20);
    EXPECT_EQ(fh.UncompressedSize, 2236);
    EXPECT_EQ(fh.CompressedSize, 931);
    EXPECT_EQ(fh.CompressionType, 4);
    EXPECT_EQ(fh.Checksum, 177814u);
    EXPECT_EQ(fh.LockFlag, 0);
    EXPECT_EQ(stored, name);  // as stored, whatever the platform
    EXPECT_EQ(stream.Position(), 21 + 25 + 18);  // at the entry's data
}

TEST(ArchiveFormat, InitArchiveHeaderRecordsAPositiveKeyOnly) {
    struct Case { int32_t key; int32_t keyFlag; };
    for (const Case c : {Case{0, 0}, Case{5, 2}, Case{-5, 0}}) {
        TArchiveHeader h;
        InitArchiveHeader(h, "RLE", 77, caMulti, c.key);
        uint8_t raw[ArchiveHeaderSize];
        EncodeArchiveHeader(h, raw);
        Bytes expected = FromHex("5A 4D 41 52 1A 52 4C 45 4D 00 00 00 01 00 00 00 00 00 00 00 00");
        expected[17] = static_cast<uint8_t>(c.keyFlag);
        EXPECT_EQ(Bytes(raw, raw + ArchiveHeaderSize), expected) << c.key;
    }
}

TEST(ArchiveFormat, ArchiveHeaderEdgeCases) {
    const Bytes valid = ArchiveHeaderBytes("LH5", 0);
    Bytes badSignature = valid;
    badSignature[4] = 0x1B;
    Bytes typeTwo = ArchiveHeaderBytes("LH5", 0, 2);
    struct Case {
        const char* what;
        Bytes bytes;
        const char* error;  // nullptr: accepted
    };
    const Case cases[] = {
        {"header only", valid, nullptr},
        {"20 bytes of anything", Bytes(20, 0xEE), "Can't recognize compressed file header"},
        {"20 bytes of a header", Bytes(valid.begin(), valid.end() - 1), "Can't recognize compressed file header"},
        {"empty stream", {}, "Can't recognize compressed file header"},
        {"bad signature", badSignature, "Can't recognize compressed file header"},
        {"archive type 2", typeTwo, "Archive type must be caMulti"},
        {"lower-case ID", ArchiveHeaderBytes("lh5", 0), "Unrecognized compression method: \"lh5\" in header"},
    };
    for (const auto& c : cases) {
        TMemoryStream stream(c.bytes);
        TArchiveHeader h;
        std::string id;
        if (!c.error) {
            EXPECT_NO_THROW(ReadArchiveHeader(stream, h, id, nullptr)) << c.what;
            EXPECT_EQ(id, "LH5") << c.what;
            EXPECT_EQ(h.TotalSize, 0) << c.what;
            EXPECT_EQ(stream.Position(), ArchiveHeaderSize) << c.what;
            continue;
        }
        try {
            ReadArchiveHeader(stream, h, id, nullptr);
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message, c.error) << c.what;
        }
    }
}

TEST(ArchiveFormat, OnRecognizeIsAskedOnlyForIdsOutsideTheTable) {
    std::vector<std::string> asked;
    const TRecognizeEvent acceptAll = [&](const std::string& id, bool& ok) {
        asked.push_back(id);
        ok = true;
    };
    for (uint8_t type = 0; type < 5; ++type) EXPECT_EQ(RecognizeMethod(MethodIDs[type], acceptAll), type);
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(RecognizeMethod("lzh", acceptAll), 3);
    EXPECT_EQ(asked, std::vector<std::string>{"lzh"});
    const TRecognizeEvent refuse = [](const std::string&, bool&) {};
    EXPECT_THROW(RecognizeMethod("lzh", refuse), EUnrecognizedCompressionMethod);
}

TEST(ArchiveFormat, FileHeaderEdgeCases) {
    // An empty name puts the data right after the 25-byte header.
    {
        TMemoryStream s(EntryBytes({.name = "", .data = Text("xy")}));
        TFileHeader fh;
        std::string name = "old";
        ASSERT_TRUE(ReadFileHeader(s, fh, name));
        EXPECT_EQ(name, "");
        EXPECT_EQ(s.Position(), 25);
    }
    // No byte left: the end, not damage.
    {
        TMemoryStream s(Bytes{});
        TFileHeader fh;
        std::string name;
        EXPECT_FALSE(ReadFileHeader(s, fh, name));
    }
    // Damage: a short header, a name cut off, a negative name length, a name
    // length far beyond the bytes (must not be allocated first), negative
    // sizes (they would walk backwards), data reaching past the end.
    Bytes cutName = EntryBytes({.name = "abcdef"});
    cutName.resize(cutName.size() - 1);
    const Bytes damaged[] = {
        Bytes(1, 0),
        Bytes(24, 0),
        cutName,
        EntryBytes({.name = "ab", .nameLength = -2}),
        EntryBytes({.name = "ab", .nameLength = 32767}),
        EntryBytes({.name = "a", .compressedSize = -25}),
        EntryBytes({.name = "a", .uncompressedSize = -1}),
        EntryBytes({.name = "a", .data = Text("xy"), .compressedSize = 3}),
    };
    for (const auto& bytes : damaged) {
        TMemoryStream s(bytes);
        TFileHeader fh;
        std::string name;
        EXPECT_THROW(ReadFileHeader(s, fh, name), EDamagedFileHeader) << testing_support::ToHex(bytes);
    }
}
