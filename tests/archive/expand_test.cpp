#include <gtest/gtest.h>

#include <map>

#include <quern/Quern.h>
#include <quern/Platform.h>
#include "tests/archive/ArchiveFixture.h"
#include "tests/support/SmallDisk.h"

using namespace quern;

using namespace archive_fixture;
using testing_support::SmallDisk;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

// Type 3 entries in these tests hold the file's bytes as they are; the
// handler copies them and reports their byte sum.
// Sizes may be hostile, so the copy goes in small steps.
void CopyingExpand(TStream& dest, TStream& source, int32_t Sourcesize, int32_t, const std::string&,
                   int32_t& checksum) {
    uint8_t chunk[512];
    uint32_t sum = 0;
    for (int32_t left = Sourcesize; left > 0;) {
        const int32_t n = source.Read(chunk, std::min<int32_t>(left, sizeof chunk));
        if (n <= 0) break;
        dest.WriteBuffer(chunk, n);
        for (int32_t i = 0; i < n; ++i) sum += chunk[i];
        left -= n;
    }
    checksum = static_cast<int32_t>(sum);
}

Entry Custom(const std::string& name, const std::string& text, int32_t lockFlag = 0, uint32_t extra = 0) {
    const Bytes data = Text(text);
    return {.name = name, .data = data, .type = ctCustom, .checksum = ByteSum(data) + extra, .lockFlag = lockFlag};
}

Entry Stored(const std::string& name, const std::string& text) { return {.name = name, .data = Text(text)}; }

Bytes RleOf(const Bytes& data) {
    TMemoryStream source(data), coded;
    uint32_t sum = 0;
    RunCodec(coded, source, static_cast<int32_t>(data.size()), 0, ctRle, sum, false, false, CodecSettings{});
    return coded.Bytes();
}

std::string Native(const std::string& stored) { return platform::ToNativeSeparators(stored); }

std::vector<std::string> Items(const TStringList& list) {
    std::vector<std::string> items;
    for (int i = 0; i < list.Count(); ++i) items.push_back(list.Strings(i));
    return items;
}

struct Fixture {
    TempDir dir;
    std::string archive = dir / "test.zmar";
    TQuern quern;

    explicit Fixture(const Bytes& bytes) {
        WriteFileBytes(archive, bytes);
        quern.SetTargetPath(dir / "out");
        quern.MakeDirectories = true;
        quern.OnExpand = CopyingExpand;
    }
    std::string Out(const std::string& stored) const { return dir / ("out" + std::string(1, platform::PathDelim)) + Native(stored); }
    bool Exists(const std::string& stored) const { return platform::FileExists(Out(stored)); }
    std::string Content(const std::string& stored) const {
        const Bytes b = ReadFileBytes(Out(stored));
        return std::string(b.begin(), b.end());
    }
};

// The LZH and LH5 decoders produce Destsize bytes whatever their input
// holds; a mutation that gives one a size of gigabytes tests the disk, not
// the walk.
bool ClaimsHugeCodedOutput(const Bytes& bytes) {
    TMemoryStream s(bytes);
    s.SetPosition(ArchiveHeaderSize);
    TFileHeader fh;
    std::string name;
    try {
        while (ReadFileHeader(s, fh, name)) {
            if ((fh.CompressionType == ctLzh || fh.CompressionType == ctLh5) && fh.UncompressedSize > 65536) return true;
            s.Seek(fh.CompressedSize, SeekOrigin::Current);
        }
    } catch (const Exception&) {
    }
    return false;
}

}  // namespace

TEST(Listing, ListsEveryEntryWithItsHeaderOffsetAndStoredName) {
    const Bytes bytes = MakeArchive({Custom("dir\\one", "11111", 1, 7), Stored("", ""), {.name = "big", .data = Text("zz"), .type = 4, .checksum = 9, .uncompressedSize = 100000}});
    TMemoryStream stream(bytes);
    TStringList list;
    TQuern().ListArchiveStream(stream, list);
    ASSERT_EQ(list.Count(), 3);
    // Listings show names as stored, on every platform.
    EXPECT_EQ(Items(list), (std::vector<std::string>{"dir\\one", "", "big"}));
    struct Expect { int32_t offset, usize, csize; uint8_t type; bool locked; };
    const Expect expected[] = {{21, 5, 5, 3, true}, {21 + 25 + 7 + 5, 0, 0, 0, false}, {21 + 25 + 7 + 5 + 25, 100000, 2, 4, false}};
    for (int i = 0; i < 3; ++i) {
        auto* info = dynamic_cast<TArchiveFileInfo*>(list.Objects(i));
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->HeaderOffset, expected[i].offset) << i;
        EXPECT_EQ(info->UncompressedSize, expected[i].usize) << i;
        EXPECT_EQ(info->CompressedSize, expected[i].csize) << i;
        EXPECT_EQ(info->CompressionType, expected[i].type) << i;
        EXPECT_EQ(info->Locked, expected[i].locked) << i;
        EXPECT_EQ(info->FileDate, SampleDate);
    }
    TQuern::FreeListing(&list);
    EXPECT_EQ(list.Count(), 0);
    TQuern::FreeListing(nullptr);
}

TEST(Listing, ShortOrForeignBytesAreNoArchiveAndCutArchivesAreDamaged) {
    Bytes headerAndABit = ArchiveHeaderBytes("LH5", 0);
    headerAndABit.resize(headerAndABit.size() + 10, 0);
    const Bytes one = MakeArchive({Stored("one", "1")});
    struct Case { const char* what; Bytes bytes; const char* error; };
    const Case cases[] = {
        {"nothing", {}, "Can't recognize compressed file header"},
        {"20 bytes", Bytes(20, 0), "Can't recognize compressed file header"},
        {"45 foreign bytes", Bytes(45, 0x55), "Can't recognize compressed file header"},
        {"46 foreign bytes", Bytes(46, 0x55), "Can't recognize compressed file header"},
        {"an empty archive", ArchiveHeaderBytes("LH5", 0), nullptr},
        // What follows a complete archive is not an entry.
        {"zeros after an empty archive", headerAndABit, nullptr},
        {"a header cut short", Bytes(one.begin(), one.begin() + 30), "Damaged file header in archive"},
        {"a name cut short", Bytes(one.begin(), one.end() - 2), "Damaged file header in archive"},
        {"data cut short", Bytes(one.begin(), one.end() - 1), "Damaged file header in archive"},
        {"cut at an entry's end", ArchiveHeaderBytes("LH5", 5),
         "Damaged archive: its entries do not add up to its total size"},
    };
    for (const auto& c : cases) {
        TMemoryStream stream(c.bytes);
        TStringList list;
        try {
            TQuern().ListArchiveStream(stream, list);
            EXPECT_EQ(c.error, nullptr) << c.what;
        } catch (const EInvalidHeader& e) {
            ASSERT_NE(c.error, nullptr) << c.what << ": " << e.Message;
            EXPECT_EQ(e.Message, c.error) << c.what;
        }
        EXPECT_EQ(list.Count(), 0) << c.what;
    }
}

TEST(Expansion, FileListAndNameCheckDecideWhatIsWrittenAndCounted) {
    // Entries a (3 bytes), b (4 bytes), c (5 bytes); the TotalSize of some
    // cases is 7 = a + b, so c lies beyond the archive's end.
    const std::vector<Entry> entries = {Stored("a", "aaa"), Stored("b", "bbbb"), Stored("c", "ccccc")};
    struct Case {
        const char* what;
        std::vector<std::string> fileList;  // empty: none given
        int32_t totalSize;
        std::map<std::string, std::string> answers;  // stored name -> handler's answer
        std::vector<std::string> written;
    };
    const Case cases[] = {
        {"everything", {}, 12, {}, {"a", "b", "c"}},
        {"'*' ends the walk normally", {}, 12, {{"b", "*"}}, {"a"}},
        {"an empty answer skips; the entry still belongs to the archive", {}, 7, {{"b", ""}}, {"a"}},
        {"the file list's skips count", {"a", "c"}, 7, {}, {"a"}},
        {"the file list ignores ASCII case", {"B", "C"}, 12, {}, {"b", "c"}},
        {"a smaller TotalSize stops after the entry reaching it", {}, 3, {}, {"a"}},
    };
    for (const auto& c : cases) {
        Fixture f(MakeArchive(entries, "LH5", c.totalSize));
        std::vector<std::string> seen;
        f.quern.OnCheckFile = [&](std::string& path, TCProcessMode mode) {
            EXPECT_EQ(mode, cpExpand);
            seen.push_back(path);
            const std::string stored = path.substr(path.size() - 1);
            if (c.answers.count(stored)) path = c.answers.at(stored);
        };
        TStringList fileList;
        for (const auto& item : c.fileList) fileList.Add(item);
        f.quern.ExpandArchiveFile(f.archive, c.fileList.empty() ? nullptr : &fileList);
        std::vector<std::string> expectedPaths;
        for (const auto& name : c.written) expectedPaths.push_back(f.Out(name));
        if (!c.fileList.empty()) {
            EXPECT_EQ(Items(fileList), expectedPaths) << c.what;
        }
        for (const auto& e : entries) {
            const bool wanted = std::find(c.written.begin(), c.written.end(), e.name) != c.written.end();
            EXPECT_EQ(f.Exists(e.name), wanted) << c.what << ": " << e.name;
        }
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen[0].substr(0, f.quern.TargetPath().size()), f.quern.TargetPath());
    }
}

TEST(Expansion, FileListItemMatchingOnlyTheLastComponentSelectsNothing) {
    Fixture f(MakeArchive({Stored("dir\\x.txt", "x")}));
    TStringList fileList;
    fileList.Add("x.txt");
    f.quern.ExpandArchiveFile(f.archive, &fileList);
    EXPECT_EQ(fileList.Count(), 0);
    EXPECT_FALSE(f.Exists("dir\\x.txt"));
}

TEST(Expansion, EmptyEntriesAfterTheTotalIsReachedAreStillWritten) {
    // An archive of empty files has TotalSize 0; a count test alone would
    // expand none of them.
    Fixture f(MakeArchive({Stored("first", "12"), Stored("empty", ""), Stored("stray", "x")}, "LH5", 2));
    f.quern.ExpandArchiveFile(f.archive);
    EXPECT_TRUE(f.Exists("first"));
    EXPECT_TRUE(f.Exists("empty"));
    EXPECT_FALSE(f.Exists("stray"));  // beyond TotalSize
    Fixture onlyEmpty(MakeArchive({Stored("e1", ""), Stored("e2", "")}));
    onlyEmpty.quern.ExpandArchiveFile(onlyEmpty.archive);
    EXPECT_TRUE(onlyEmpty.Exists("e1"));
    EXPECT_TRUE(onlyEmpty.Exists("e2"));
}

TEST(Expansion, AnEmptyArchiveWritesNothingAndEmptiesTheFileList) {
    Fixture f(ArchiveHeaderBytes("LH5", 0));
    TStringList list;
    list.Add("anything");
    f.quern.ExpandArchiveFile(f.archive, &list);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(testing_support::ListDirectory(f.dir.Path()), std::vector<std::string>{"test.zmar"});
}

TEST(Expansion, RootedNamesIgnoreTargetPathAndAnEmptyTargetPathLeavesNamesAsStored) {
#ifdef _WIN32
    GTEST_SKIP() << "temporary paths carry a drive there, so none of them is rooted";
#endif
    TempDir elsewhere;
    const std::string rooted = elsewhere / "rooted.txt";
    ASSERT_EQ(rooted[0], platform::PathDelim);
    Fixture f(MakeArchive({Stored(platform::ToStoredSeparators(rooted), "r"), Stored("sub\\plain", "p")}));
    f.quern.ExpandArchiveFile(f.archive);
    EXPECT_EQ(ReadFileBytes(rooted), Text("r"));
    EXPECT_TRUE(f.Exists("sub\\plain"));

    std::vector<std::string> seen;
    f.quern.SetTargetPath("");
    f.quern.OnCheckFile = [&](std::string& path, TCProcessMode) {
        seen.push_back(path);
        path.clear();
    };
    f.quern.ExpandArchiveFile(f.archive);
    EXPECT_EQ(seen, (std::vector<std::string>{rooted, Native("sub\\plain")}));
}

TEST(Expansion, MissingDirectoriesAndUncreatableFiles) {
    const Bytes bytes = MakeArchive({Stored("sub\\deep\\x", "x"), Stored("y", "y")});
    {
        // Not created: skipped, and the walk goes on to "y".
        Fixture f(bytes);
        f.quern.MakeDirectories = false;
        TQuern::ForceDirectoryPath(f.dir / "out");
        TStringList list;
        list.Add("sub\\deep\\x");
        list.Add("y");
        f.quern.ExpandArchiveFile(f.archive, &list);
        EXPECT_FALSE(platform::DirectoryExists(f.dir / "out" + platform::PathDelim + "sub"));
        EXPECT_EQ(Items(list), std::vector<std::string>{f.Out("y")});
    }
    {
        Fixture f(bytes);
        f.quern.MakeDirectories = false;
        f.quern.ExceptionOnFileError = true;
        try {
            f.quern.ExpandArchiveFile(f.archive);
            ADD_FAILURE() << "no EFCreateError";
        } catch (const EFCreateError& e) {
            EXPECT_EQ(e.Message, "Cannot create file " + f.Out("sub\\deep\\x"));
            EXPECT_FALSE(e.Reason.empty());  // the system's words for it
        }
    }
    {
        Fixture f(bytes);
        f.quern.ExpandArchiveFile(f.archive);
        EXPECT_EQ(f.Content("sub\\deep\\x"), "x");
    }
}

TEST(Expansion, AnExistingTargetIsReplaced) {
    Fixture f(MakeArchive({Stored("t", "new")}));
    TQuern::ForceDirectoryPath(f.dir / "out");
    WriteFileBytes(f.Out("t"), Text("much longer old content"));
    f.quern.CheckSpaceBeforeExpand = true;
    f.quern.ExpandArchiveFile(f.archive);
    EXPECT_EQ(f.Content("t"), "new");
}

TEST(Expansion, AFailedEntryLeavesNoFileAndAnOlderOneUntouched) {
    constexpr int32_t key = 0x01020304;
    const std::string older = "an older file of that name";
    const char* const locked = "File locked -- valid key required";
    const char* const badSum = "Bad checksum during expansion -- data may be invalid";
    struct Case {
        const char* what;
        Entry entry;
        int32_t key;
        const char* error;  // nullptr: success
    };
    const Case cases[] = {
        {"locked, no key", Custom("e", "data", 1, key), 0, locked},
        {"locked, wrong key", Custom("e", "data", 2, key), key + 1, locked},
        {"locked, right key", Custom("e", "data", 1, key), key, nullptr},
        {"locked, plain sum", Custom("e", "data", 1), key, nullptr},
        // Older writers stored 0 as a stored entry's checksum: no key, no check.
        {"locked stored entry with checksum 0", {.name = "e", .data = Text("data"), .lockFlag = 2}, 0, nullptr},
        {"locked stored entry, no key", {.name = "e", .data = Text("data"), .checksum = ByteSum(Text("data")) + key, .lockFlag = 1}, 0, locked},
        {"locked stored entry, wrong key", {.name = "e", .data = Text("data"), .checksum = ByteSum(Text("data")) + key, .lockFlag = 1}, 7, locked},
        {"locked stored entry, right key", {.name = "e", .data = Text("data"), .checksum = ByteSum(Text("data")) + key, .lockFlag = 1}, key, nullptr},
        {"stored, its checksum", {.name = "e", .data = Text("data"), .checksum = ByteSum(Text("data"))}, 0, nullptr},
        {"stored, damaged", {.name = "e", .data = Text("dbta"), .checksum = ByteSum(Text("data"))}, 0, badSum},
        {"stored, 2 GB declared", {.name = "e", .data = Text("data"), .uncompressedSize = 2147483632}, 0, badSum},
        {"RLE, size differs", {.name = "e", .data = RleOf(Text(std::string(40, 'a'))), .type = ctRle, .checksum = 40 * 'a', .uncompressedSize = 41}, 0, badSum},
        {"open, bad checksum", Custom("e", "data", 0, 1), 0, badSum},
        {"stored data cut short", {.name = "e", .data = Text("da"), .compressedSize = 4}, 0, "Damaged file header in archive"},
    };
    for (auto c : cases) {
        c.entry.attr = 0x21;  // read-only: shows whether attributes were set
        Fixture f(MakeArchive({Stored("before", "b"), c.entry}));
        TQuern::ForceDirectoryPath(f.dir / "out");
        WriteFileBytes(f.Out("e"), Text(older));
        f.quern.Key = c.key;
        TStringList list;  // selects both entries; replaced only on success
        list.Add("before");
        list.Add("e");
        try {
            f.quern.ExpandArchiveFile(f.archive, &list);
            EXPECT_EQ(c.error, nullptr) << c.what;
            EXPECT_EQ(Items(list), (std::vector<std::string>{f.Out("before"), f.Out("e")})) << c.what;
        } catch (const Exception& e) {
            ASSERT_NE(c.error, nullptr) << c.what << ": " << e.Message;
            EXPECT_EQ(e.Message, c.error) << c.what;
            EXPECT_EQ(Items(list), (std::vector<std::string>{"before", "e"})) << c.what;
        }
        EXPECT_TRUE(f.Exists("before")) << c.what;
        // Nothing beside the targets: no temporary file is left behind.
        EXPECT_EQ(testing_support::ListDirectory(f.dir / "out"), (std::vector<std::string>{"before", "e"})) << c.what;
        if (c.error) {
            EXPECT_EQ(f.Content("e"), older) << c.what;
            EXPECT_EQ(platform::GetFileAttributes(f.Out("e")), 0x20u) << c.what;
        } else {
            EXPECT_EQ(f.Content("e"), "data") << c.what;
            EXPECT_EQ(platform::GetFileAttributes(f.Out("e")), 0x21u) << c.what;
            EXPECT_EQ(platform::GetFileDatePacked(f.Out("e")), SampleDate) << c.what;
        }
        platform::SetFileAttributes(f.Out("e"), 0x20);  // so the directory can go
    }
}

TEST(Expansion, EntriesWithoutADecoderArePassedOverInStep) {
    // Type 7 and a type 3 entry without a handler: their data must be skipped
    // by CompressedSize, or "z" would be read from inside it.
    const Entry tail = Stored("z", "zzz");
    Fixture f(MakeArchive({{.name = "t7", .data = EntryBytes(tail), .type = 7}, Custom("t3", "33333"), tail}));
    f.quern.OnExpand = nullptr;
    TStringList list;
    for (const char* name : {"t7", "t3", "z"}) list.Add(name);
    f.quern.ExpandArchiveFile(f.archive, &list);
    EXPECT_EQ(Items(list), std::vector<std::string>{f.Out("z")});
    EXPECT_FALSE(f.Exists("t7"));
    EXPECT_FALSE(f.Exists("t3"));
    EXPECT_EQ(f.Content("z"), "zzz");
}

TEST(Expansion, AHandlerReadingTheWrongAmountDoesNotDesynchroniseTheWalk) {
    for (int32_t extra : {-3, 0, 40}) {
        // The handler leaves the checksum at 0, which this entry stores.
        Fixture f(MakeArchive({{.name = "c", .data = Text("custom-data"), .type = ctCustom}, Stored("next", "ok")}));
        f.quern.OnExpand = [extra](TStream& dest, TStream& source, int32_t Sourcesize, int32_t, const std::string&,
                                   int32_t& checksum) {
            Bytes data(static_cast<size_t>(Sourcesize + std::max(extra, 0)));
            const int32_t n = source.Read(data.data(), Sourcesize + extra);
            dest.WriteBuffer(data.data(), std::min(n, Sourcesize));
            EXPECT_EQ(checksum, 0);
        };
        f.quern.ExpandArchiveFile(f.archive);
        EXPECT_EQ(f.Content("next"), "ok") << extra;
    }
}

TEST(Expansion, OnRecognizeMakesAnyIdValidAndOnlyType3ReachesOnExpand) {
    const Bytes bytes = MakeArchive({Custom("c", "abc"), Stored("s", "plain"),
                                     {.name = "zero", .data = Text("q"), .type = ctCustom, .checksum = 0}},
                                    "xYz");
    Fixture f(bytes);
    EXPECT_THROW(f.quern.ExpandArchiveFile(f.archive), EUnrecognizedCompressionMethod);
    f.quern.OnRecognize = [](const std::string&, bool& ok) { ok = true; };
    std::vector<std::string> ids;
    f.quern.OnExpand = [&](TStream& dest, TStream& source, int32_t Sourcesize, int32_t Destsize,
                           const std::string& id, int32_t& checksum) {
        ids.push_back(id);
        EXPECT_EQ(checksum, 0);
        EXPECT_EQ(Sourcesize, Destsize);
        if (Sourcesize == 3) CopyingExpand(dest, source, Sourcesize, Destsize, id, checksum);
    };
    f.quern.ExpandArchiveFile(f.archive);
    EXPECT_EQ(ids, (std::vector<std::string>{"xYz", "xYz"}));
    EXPECT_EQ(f.Content("c"), "abc");
    EXPECT_EQ(f.Content("s"), "plain");
    EXPECT_TRUE(f.Exists("zero"));  // a checksum left at 0 passes a stored 0
}

TEST(Expansion, DamagedSizesEndListingAndExpansionWithAnError) {
    // Entry 1 claims CompressedSize -71: skipping it would seek back to the
    // archive header and loop forever.
    const Bytes bytes = MakeArchive({{.name = "loop", .data = Text("ab"), .type = 9, .compressedSize = -71}});
    Fixture f(bytes);
    TStringList list;
    EXPECT_THROW(f.quern.ListArchiveFile(f.archive, list), EDamagedFileHeader);
    TQuern::FreeListing(&list);
    EXPECT_THROW(f.quern.ExpandArchiveFile(f.archive), EDamagedFileHeader);
}

TEST(Expansion, AnyByteStringEndsInBoundedTime) {
    // Mutations of a small valid archive; whatever they say, walking them
    // must end with the entries done or an Exception.
    const Bytes valid = MakeArchive({Custom("c", "hello world"), Stored("d\\e", "stored bytes"),
                                     {.name = "r", .data = Text("x"), .type = 1, .checksum = 0}});
    TempDir dir;
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        Bytes bytes = valid;
        const Bytes noise = testing_support::RandomBytes(8, seed);
        for (int i = 0; i < 4; ++i) bytes[noise[2 * i] % bytes.size()] = noise[2 * i + 1];
        if (seed % 7 == 0) bytes.resize(noise[0] % bytes.size());
        if (ClaimsHugeCodedOutput(bytes)) continue;
        TMemoryStream stream(bytes);
        TQuern q;
        q.OnExpand = CopyingExpand;
        q.OnCheckFile = [&](std::string& path, TCProcessMode) { path = dir / "out"; };
        TStringList list;
        try {
            q.ListArchiveStream(stream, list);
        } catch (const Exception&) {
        }
        TQuern::FreeListing(&list);
        stream.SetPosition(0);
        try {
            q.ExpandArchiveStream(stream);
        } catch (const Exception&) {
        }
    }
}

TEST(Expansion, FreeSpaceIsCheckedWithTheExistingFileCredited) {
    TQuern q;
    TempDir dir;
    EXPECT_EQ(q.FreeSpaceFor(dir / "x"), 2147483647);  // not asked when the check is off

    SmallDisk disk(256);
    if (!disk.Mounted()) GTEST_SKIP() << "no small file system can be mounted here";
    q.CheckSpaceBeforeExpand = true;
    const int32_t free = q.FreeSpaceFor(disk / "x");
    ASSERT_GT(free, 100000);
    ASSERT_LE(free, 256 * 1024);
    // An existing target's size is credited: it will be replaced.
    WriteFileBytes(disk / "existing", Bytes(64 * 1024, 'e'));
    const int32_t afterwards = q.FreeSpaceFor(disk / "x");
    EXPECT_EQ(q.FreeSpaceFor(disk / "existing"), afterwards + 64 * 1024);

    // An entry larger than the free space fails before anything is written,
    // also where the old file's credit would cover it: the new file is
    // written beside the old one, which goes only once the new one is whole.
    struct Case { const char* what; const char* name; int32_t size; bool fits; };
    const Case cases[] = {
        {"larger than the free space", "new", afterwards + 4096, false},
        {"fits only with the credit", "existing", afterwards + 4096, false},
        {"fits", "existing", afterwards - 8192, true},
    };
    for (const auto& c : cases) {
        TempDir archiveDir;
        WriteFileBytes(archiveDir / "a.zmar", MakeArchive({{.name = c.name, .data = Bytes(static_cast<size_t>(c.size), 'n'), .checksum = ByteSum(Bytes(static_cast<size_t>(c.size), 'n'))}}));
        TQuern expand;
        expand.SetTargetPath(disk.Path());
        expand.CheckSpaceBeforeExpand = true;
        if (c.fits) {
            EXPECT_NO_THROW(expand.ExpandArchiveFile(archiveDir / "a.zmar")) << c.what;
            EXPECT_EQ(ReadFileBytes(disk / c.name).size(), static_cast<size_t>(c.size)) << c.what;
        } else {
            EXPECT_THROW(expand.ExpandArchiveFile(archiveDir / "a.zmar"), EInsufficientDiskSpace) << c.what;
            EXPECT_EQ(platform::FileExists(disk / c.name), std::string(c.name) == "existing") << c.what;
            if (std::string(c.name) == "existing") {
                EXPECT_EQ(ReadFileBytes(disk / c.name), Bytes(64 * 1024, 'e'));
            }
        }
    }
}

TEST(Expansion, AFullDiskLeavesNoPartialFile) {
    SmallDisk disk(128);
    if (!disk.Mounted()) GTEST_SKIP() << "no small file system can be mounted here";
    const Bytes big = testing_support::RandomBytes(200 * 1024, 5);
    TempDir archiveDir;
    WriteFileBytes(archiveDir / "a.zmar", MakeArchive({Stored("small", "s"), {.name = "big", .data = big, .checksum = ByteSum(big)}}));
    WriteFileBytes(disk / "big", Text("old"));
    TQuern q;  // the free-space check is off: the write itself must fail
    q.SetTargetPath(disk.Path());
    EXPECT_THROW(q.ExpandArchiveFile(archiveDir / "a.zmar"), EWriteError);
    EXPECT_EQ(ReadFileBytes(disk / "big"), Text("old"));
    EXPECT_EQ(testing_support::ListDirectory(disk.Path()), (std::vector<std::string>{"big", "small"}));
}

TEST(Component, DefaultsTargetPathAndOwnership) {
    TQuern q;
    EXPECT_EQ(q.TargetPath(), "");
    EXPECT_FALSE(q.MakeDirectories || q.ExceptionOnFileError || q.CheckSpaceBeforeExpand);
    EXPECT_EQ(q.Key, 0);
    EXPECT_EQ(q.CompressReserve, 0);
    EXPECT_FALSE(q.OnCheckFile || q.OnExpand || q.OnRecognize || q.OnShowProgress || q.OnCompress);
    const std::string d(1, platform::PathDelim);
    struct Case { std::string in, out; };
    for (const auto& c : {Case{"", ""}, Case{"dir", "dir" + d}, Case{"a" + d + "b" + d, "a" + d + "b" + d}}) {
        q.SetTargetPath(c.in);
        EXPECT_EQ(q.TargetPath(), c.out);
    }
    TComponent owner;
    auto* owned = new TQuern(&owner);
    owned->Name = "Quern1";
    EXPECT_EQ(owned->Owner(), &owner);
    EXPECT_EQ(owner.ComponentCount(), 1);
    delete owned;  // detaches from its owner
    EXPECT_EQ(owner.ComponentCount(), 0);
    (void)new TQuern(&owner);  // freed by the owner (the sanitizer would see a leak)
}
