#include <gtest/gtest.h>

#include <algorithm>

#include <quern/ArchiveWriter.h>
#include <quern/Quern.h>
#include <quern/Platform.h>
#include "tests/archive/ArchiveFixture.h"

using namespace quern;

using namespace archive_fixture;
using testing_support::ListDirectory;
using testing_support::RandomBytes;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

std::string Sep() { return std::string(1, platform::PathDelim); }

void SetDate(const std::string& path, uint32_t packed) {
    TFileStream f(path, fmOpenReadWrite | fmShareExclusive);
    ASSERT_TRUE(platform::SetFileDatePacked(f.Handle(), packed));
}

struct Listed {
    std::string name;
    TArchiveFileInfo info;
};

std::vector<Listed> List(TStream& stream) {
    TStringList list;
    stream.SetPosition(0);
    TQuern().ListArchiveStream(stream, list);
    std::vector<Listed> out;
    for (int i = 0; i < list.Count(); ++i) out.push_back({list.Strings(i), *dynamic_cast<TArchiveFileInfo*>(list.Objects(i))});
    TQuern::FreeListing(&list);
    return out;
}

int32_t TotalSizeOf(const Bytes& archive) {
    TMemoryStream s(archive);
    TArchiveHeader h;
    std::string id;
    ReadArchiveHeader(s, h, id, nullptr);
    return h.TotalSize;
}

}  // namespace

TEST(ArchiveWriter, StoredFilesRoundTripWithDatesTimesAndAttributes) {
    TempDir dir;
    const std::string src = dir / "src" + Sep();
    TQuern::ForceDirectoryPath(src + "sub");
    struct File { std::string stored; Bytes data; uint32_t date; bool readOnly; };
    const File files[] = {
        {"empty", {}, 0x2E8F5A3D, false},                      // 2003-04-15 11:17:58
        {"sub\\one", {0x7F}, SampleDate, true},
        {"sub\\large.bin", RandomBytes(3 * 1024 * 1024 + 17, 5), 0x5A21A000, false},  // 2025-01-01 20:00:00
    };
    TArchiveWriter writer;
    for (const auto& f : files) {
        const std::string path = src + platform::ToNativeSeparators(f.stored);
        WriteFileBytes(path, f.data);
        SetDate(path, f.date);
        if (f.readOnly) platform::SetFileAttributes(path, platform::faArchive | platform::faReadOnly);
        writer.AddFile(path, platform::ToNativeSeparators(f.stored), ctNone);
    }
    const std::string archive = dir / "out.zmar";
    writer.WriteToFile(archive);

    const Bytes bytes = ReadFileBytes(archive);
    EXPECT_EQ(TotalSizeOf(bytes), 3 * 1024 * 1024 + 18);
    // The stored names carry "\" whatever the platform.
    const std::string raw(bytes.begin(), bytes.end());
    EXPECT_NE(raw.find("sub\\large.bin"), std::string::npos);
    TMemoryStream stream(bytes);
    const auto listed = List(stream);
    ASSERT_EQ(listed.size(), 3u);
    for (size_t i = 0; i < listed.size(); ++i) {
        const auto& l = listed[i];
        EXPECT_EQ(l.name, files[i].stored);
        EXPECT_EQ(l.info.CompressedSize, l.info.UncompressedSize);
        EXPECT_EQ(l.info.Checksum, ByteSum(files[i].data)) << l.name;  // stored entries are checked too
        EXPECT_FALSE(l.info.Locked);
    }

    TQuern quern;
    quern.SetTargetPath(dir / "dest");
    quern.MakeDirectories = true;
    quern.ExpandArchiveFile(archive);
    for (const auto& f : files) {
        const std::string path = dir / "dest" + Sep() + platform::ToNativeSeparators(f.stored);
        EXPECT_EQ(ReadFileBytes(path), f.data) << f.stored;
        EXPECT_EQ(platform::GetFileDatePacked(path), f.date) << f.stored;
        EXPECT_EQ(platform::GetFileAttributes(path), f.readOnly ? 0x21u : 0x20u) << f.stored;
    }
}

TEST(ArchiveWriter, CodedAndLockedEntriesAreConsistentWithTheirData) {
    constexpr int32_t key = static_cast<int32_t>(0xA1B2C3D4);
    Bytes text;
    for (int i = 0; i < 300; ++i) {
        const std::string line = "line " + std::to_string(i % 17) + " of a repetitive text ====================\n";
        text.insert(text.end(), line.begin(), line.end());
    }
    for (uint8_t type : {ctRle, ctLzh, ctLh5}) {
        for (int32_t lockFlag : {0, 1, 2}) {
            TArchiveWriter writer;
            writer.Key = key;
            writer.AddMemory("t", text, SampleDate, 0x20, type, lockFlag);
            TMemoryStream archive;
            writer.WriteToStream(archive);
            const auto listed = List(archive);
            ASSERT_EQ(listed.size(), 1u);
            const auto& info = listed[0].info;
            const std::string what = "type " + std::to_string(type) + " lock " + std::to_string(lockFlag);
            EXPECT_EQ(info.CompressionType, type) << what;
            EXPECT_LT(info.CompressedSize, info.UncompressedSize) << what;
            EXPECT_EQ(info.Checksum, ByteSum(text) + (lockFlag ? static_cast<uint32_t>(key) : 0u)) << what;
            EXPECT_EQ(info.Locked, lockFlag > 0) << what;

            TempDir dir;
            TQuern quern;
            quern.SetTargetPath(dir.Path());
            quern.Key = key;
            archive.SetPosition(0);
            quern.ExpandArchiveStream(archive);
            EXPECT_EQ(ReadFileBytes(dir / "t"), text) << what;
            if (lockFlag == 0) continue;
            TempDir noKeyDir;
            quern.SetTargetPath(noKeyDir.Path());
            quern.Key = 0;
            archive.SetPosition(0);
            EXPECT_THROW(quern.ExpandArchiveStream(archive), EInvalidKey) << what;
            EXPECT_EQ(ListDirectory(noKeyDir.Path()), std::vector<std::string>{}) << what;
        }
    }
}

TEST(ArchiveWriter, DataThatCodingWouldGrowIsStoredUnlessItIsToBeScrambled) {
    // Random bytes grow under run-length coding: a locked entry falls back to
    // type 0 with its byte sum plus the key; one to be scrambled keeps its
    // longer coded, scrambled bytes, so the plain data never appears.
    const Bytes noise = RandomBytes(20000, 77);
    constexpr int32_t key = 99;
    TArchiveWriter writer;
    writer.Key = key;
    writer.AddMemory("n", noise, SampleDate, 0x20, ctRle, 1);
    writer.AddMemory("s", noise, SampleDate, 0x20, ctRle, 2);
    writer.AddMemory("e", {}, SampleDate, 0x20, ctLzh);
    TMemoryStream archive;
    writer.WriteToStream(archive);
    const auto listed = List(archive);
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0].info.CompressionType, ctNone);
    EXPECT_EQ(listed[0].info.CompressedSize, 20000);
    EXPECT_EQ(listed[0].info.Checksum, ByteSum(noise) + key);
    EXPECT_TRUE(listed[0].info.Locked);
    EXPECT_EQ(listed[1].info.CompressionType, ctRle);
    EXPECT_GT(listed[1].info.CompressedSize, 20000);
    EXPECT_EQ(listed[1].info.Checksum, ByteSum(noise) + key);
    EXPECT_EQ(listed[2].info.UncompressedSize, 0);
    const Bytes& raw = archive.Bytes();
    const auto plainCopies = [&] {
        int copies = 0;
        for (auto at = raw.begin(); (at = std::search(at, raw.end(), noise.begin(), noise.begin() + 64)) != raw.end(); ++at)
            ++copies;
        return copies;
    };
    EXPECT_EQ(plainCopies(), 1);  // the stored one only

    TempDir noKey;
    TQuern quern;
    quern.SetTargetPath(noKey.Path());
    archive.SetPosition(0);
    EXPECT_THROW(quern.ExpandArchiveStream(archive), EInvalidKey);
    EXPECT_EQ(ListDirectory(noKey.Path()), std::vector<std::string>{});

    TempDir dir;
    quern.SetTargetPath(dir.Path());
    quern.Key = key;
    archive.SetPosition(0);
    quern.ExpandArchiveStream(archive);
    EXPECT_EQ(ReadFileBytes(dir / "n"), noise);
    EXPECT_EQ(ReadFileBytes(dir / "s"), noise);
    EXPECT_EQ(ReadFileBytes(dir / "e"), Bytes{});
}

TEST(ArchiveWriter, CustomEntriesGoThroughOnCompress) {
    // The application's "method": every byte plus one.
    TArchiveWriter writer;
    writer.CompressID = "CUS";
    writer.Key = 5;
    writer.OnCompress = [](TStream& dest, TStream& source, std::string&, int32_t&, int32_t& checksum) {
        uint8_t b;
        while (source.Read(&b, 1) == 1) {
            checksum += b;
            b = static_cast<uint8_t>(b + 1);
            dest.WriteBuffer(&b, 1);
        }
    };
    writer.AddMemory("c", Text("HAL"), SampleDate, 0x20, ctCustom, 1);
    TMemoryStream archive;
    writer.WriteToStream(archive);
    const std::string raw(archive.Bytes().begin(), archive.Bytes().end());
    EXPECT_NE(raw.find("IBM"), std::string::npos);

    TempDir dir;
    TQuern quern;
    quern.SetTargetPath(dir.Path());
    quern.Key = 5;
    quern.OnExpand = [](TStream& dest, TStream& source, int32_t Sourcesize, int32_t, const std::string& id,
                        int32_t& checksum) {
        EXPECT_EQ(id, "CUS");
        for (int32_t i = 0; i < Sourcesize; ++i) {
            uint8_t b;
            source.ReadBuffer(&b, 1);
            b = static_cast<uint8_t>(b - 1);
            checksum += b;
            dest.WriteBuffer(&b, 1);
        }
    };
    archive.SetPosition(0);
    quern.ExpandArchiveStream(archive);
    EXPECT_EQ(ReadFileBytes(dir / "c"), Text("HAL"));
}

TEST(ArchiveWriter, AFailedWriteLeavesNoArchiveBehind) {
    TempDir dir;
    WriteFileBytes(dir / "gone", Text("x"));
    WriteFileBytes(dir / "old.zmar", Text("previous archive"));
    TArchiveWriter writer;
    writer.AddFile(dir / "gone", "gone", ctNone);
    platform::DeleteFile(dir / "gone");
    EXPECT_THROW(writer.WriteToFile(dir / "old.zmar"), EFOpenError);
    EXPECT_THROW(writer.WriteToFile(dir / "new.zmar"), EFOpenError);
    EXPECT_EQ(ReadFileBytes(dir / "old.zmar"), Text("previous archive"));
    EXPECT_EQ(ListDirectory(dir.Path()), std::vector<std::string>{"old.zmar"});

    TArchiveWriter locked;  // a lock without a key could never be opened
    locked.AddMemory("l", Text("l"), SampleDate, 0x20, ctRle, 1);
    TMemoryStream sink;
    EXPECT_THROW(locked.WriteToStream(sink), Exception);
}
