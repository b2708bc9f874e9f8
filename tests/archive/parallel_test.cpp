// Entries coded on several threads: the archive, the files, the events and
// the failures must be those of a one-thread run.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <quern/ArchiveWriter.h>
#include "archive/EntryPipeline.h"
#include "archive/ParallelExpand.h"
#include <quern/Quern.h>
#include <quern/Platform.h>
#include "tests/archive/ArchiveFixture.h"
#include "tests/support/SmallDisk.h"
#ifndef _WIN32
#include "tests/archive/QuernRun.h"
#endif

using namespace quern;
using namespace archive_fixture;
using testing_support::SmallDisk;
using testing_support::ListDirectory;
using testing_support::RandomBytes;
using testing_support::ReadFileBytes;
using testing_support::ScopedEnv;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

// Text of a few 8 KB reads, so that every coded entry reports progress
// several times: words of random letters, which code to about half their size,
// so that the coded entries are large enough to be decoded ahead.
Bytes Prose(size_t size, uint32_t seed) {
    Bytes out;
    uint32_t x = seed;
    const auto next = [&] { return (x = x * 1103515245u + 12345u) >> 16; };
    while (out.size() < size) {
        for (unsigned n = 2 + next() % 7; n > 0; --n) out.push_back(static_cast<uint8_t>('a' + next() % 16));
        out.push_back(next() % 5 == 0 ? '\n' : ' ');
    }
    out.resize(size);
    return out;
}

struct MixEntry {
    Bytes data;
    uint8_t type;
    int32_t lockFlag;
};

struct Mix {
    const char* name;
    std::vector<MixEntry> entries;
};

std::vector<Mix> Mixes() {
    return {
        {"text, binary and empty files in lh5",
         {{Prose(40000, 1), ctLh5, 0},
          {{}, ctLh5, 0},
          {RandomBytes(30000, 2), ctLh5, 0},  // would grow: stored
          {Prose(70000, 3), ctLh5, 0},
          {{}, ctLh5, 0},
          {Bytes(50000, 'x'), ctLh5, 0},
          {Prose(9000, 4), ctLh5, 0}}},
        {"every method",
         {{Prose(30000, 5), ctNone, 0},
          {Prose(30000, 6), ctRle, 0},
          {Bytes(20000, 0), ctRle, 0},
          {Prose(30000, 7), ctLzh, 0},
          {RandomBytes(20000, 8), ctLzh, 0},
          {Prose(30000, 9), ctLh5, 0}}},
        {"locked and scrambled entries",
         {{Prose(30000, 10), ctLh5, 1},
          {RandomBytes(20000, 11), ctLh5, 2},  // scrambled keeps its longer coded bytes
          {Prose(30000, 12), ctLzh, 2},
          {{}, ctLh5, 2},
          {Prose(20000, 13), ctNone, 1},
          {RandomBytes(20000, 14), ctLh5, 1}}},
        {"one entry", {{Prose(40000, 15), ctLh5, 0}}},
    };
}

// What a writer's or an expansion's handlers saw, in order; a handler called
// on another thread than the test's is recorded as such.
struct EventLog {
    std::thread::id caller = std::this_thread::get_id();
    std::vector<std::string> events;
    void Add(const std::string& event) {
        events.push_back(std::this_thread::get_id() == caller ? event : "on another thread: " + event);
    }
};

struct Written {
    Bytes archive;
    std::vector<std::string> events;
    std::string error;
};

// `cancel`: the report number (counted over the whole run) the progress
// handler answers with -1.
Written WriteMix(const Mix& mix, unsigned threads, int cancel = -1) {
    TArchiveWriter writer;
    writer.Key = 0x1234567;
    writer.Threads = threads;
    writer.LatestDate = SampleDate;
    for (size_t i = 0; i < mix.entries.size(); ++i)
        writer.AddMemory("dir\\e" + std::to_string(i), mix.entries[i].data, SampleDate, 0x20, mix.entries[i].type,
                         mix.entries[i].lockFlag);
    EventLog log;
    int reports = 0;
    writer.OnEntry = [&](int index) { log.Add("entry " + std::to_string(index)); };
    writer.OnShowProgress = [&](int32_t& percent) {
        log.Add(std::to_string(percent) + "%");
        if (reports++ == cancel) percent = -1;
    };
    TMemoryStream out;
    Written w;
    try {
        writer.WriteToStream(out);
    } catch (const Exception& e) {
        w.error = e.Message;
    }
    w.archive = out.Bytes();
    w.events = log.events;
    return w;
}

TEST(ParallelWriter, ArchivesAndEventsAreThoseOfOneThreadForEveryMix) {
    for (const Mix& mix : Mixes()) {
        const Written serial = WriteMix(mix, 1);
        ASSERT_EQ(serial.error, "") << mix.name;
        ASSERT_GT(serial.events.size(), mix.entries.size()) << mix.name << ": progress was reported";
        for (unsigned threads : {2u, 3u, 8u}) {
            const Written parallel = WriteMix(mix, threads);
            EXPECT_EQ(parallel.error, "") << mix.name << ", " << threads << " threads";
            EXPECT_TRUE(parallel.archive == serial.archive) << mix.name << ", " << threads << " threads";
            EXPECT_EQ(parallel.events, serial.events) << mix.name << ", " << threads << " threads";
        }
    }
}

TEST(ParallelWriter, AProgressHandlerThatEndsTheInputEndsItWhereItWouldSerially) {
    // The workers have read past the report by the time the handler answers;
    // the entry must still be coded from the input cut where the handler cut it.
    const Mix mix = Mixes()[0];
    for (int cancel : {0, 3, 9}) {
        const Written serial = WriteMix(mix, 1, cancel);
        const Written parallel = WriteMix(mix, 4, cancel);
        EXPECT_EQ(parallel.error, serial.error) << "cancelled at report " << cancel;
        EXPECT_TRUE(parallel.archive == serial.archive) << "cancelled at report " << cancel;
        EXPECT_EQ(parallel.events, serial.events) << "cancelled at report " << cancel;
    }
}

TEST(ParallelWriter, TheFirstFailingEntryInArchiveOrderIsTheOneReported) {
    // Files 2 and 4 of 6 vanish after they were added: the serial run stops at
    // file 2 after announcing it, and so must a parallel one, although a
    // worker may meet file 4 first.
    TempDir dir;
    TArchiveWriter writer;
    for (int i = 0; i < 6; ++i) {
        const std::string path = dir / ("f" + std::to_string(i));
        WriteFileBytes(path, Prose(20000, static_cast<uint32_t>(i)));
        writer.AddFile(path, "f" + std::to_string(i), ctLh5);
    }
    platform::DeleteFile(dir / "f2");
    platform::DeleteFile(dir / "f4");
    std::vector<std::string> outcomes;
    for (unsigned threads : {1u, 2u, 6u}) {
        writer.Threads = threads;
        EventLog log;
        writer.OnEntry = [&](int index) { log.Add("entry " + std::to_string(index)); };
        writer.OnShowProgress = [&](int32_t& percent) { log.Add(std::to_string(percent) + "%"); };
        TMemoryStream out;
        std::string outcome = "no failure";
        try {
            writer.WriteToStream(out);
        } catch (const EFOpenError& e) {
            outcome = "EFOpenError " + e.Message;
        }
        for (const auto& event : log.events) outcome += " | " + event;
        outcomes.push_back(outcome);
    }
    EXPECT_NE(outcomes[0].find("f2"), std::string::npos) << outcomes[0];
    EXPECT_NE(outcomes[0].find("entry 2"), std::string::npos) << outcomes[0];
    EXPECT_EQ(outcomes[0].find("entry 3"), std::string::npos) << outcomes[0];
    EXPECT_EQ(outcomes[1], outcomes[0]);
    EXPECT_EQ(outcomes[2], outcomes[0]);
}

TEST(ParallelWriter, CustomEntriesAreCodedOnTheCallingThread) {
    TArchiveWriter writer;
    writer.CompressID = "XYZ";
    writer.Threads = 3;
    std::thread::id codedOn;
    writer.OnCompress = [&](TStream& dest, TStream& source, std::string&, int32_t&, int32_t& checksum) {
        codedOn = std::this_thread::get_id();
        uint8_t b;
        while (source.Read(&b, 1) == 1) {
            checksum += b;
            const uint8_t coded = static_cast<uint8_t>(b ^ 0x5A);
            dest.WriteBuffer(&coded, 1);
        }
    };
    writer.AddMemory("a", Prose(20000, 1), SampleDate, 0x20, ctLh5);
    writer.AddMemory("b", Text("custom"), SampleDate, 0x20, ctCustom);
    writer.AddMemory("c", Prose(20000, 2), SampleDate, 0x20, ctLh5);
    TMemoryStream parallel;
    writer.WriteToStream(parallel);
    EXPECT_EQ(codedOn, std::this_thread::get_id());
    writer.Threads = 1;
    TMemoryStream serial;
    writer.WriteToStream(serial);
    EXPECT_TRUE(parallel.Bytes() == serial.Bytes());
}

struct Expanded {
    std::vector<std::string> written;  // relative to the target
    std::vector<std::string> events;
    std::string error;
    std::vector<std::pair<std::string, Bytes>> files;
};

void CollectFiles(const std::string& root, const std::string& relative, std::vector<std::pair<std::string, Bytes>>& out) {
    for (const auto& name : ListDirectory(root + relative)) {
        const std::string path = relative + name;
        const auto attributes = platform::GetFileAttributes(root + path);
        if (attributes && (*attributes & platform::faDirectory))
            CollectFiles(root, path + platform::PathDelim, out);
        else
            out.emplace_back(path, ReadFileBytes(root + path));
    }
}

// What an expansion's handlers do besides recording the events.
struct Hooks {
    int cancel = -1;  // the report (counted over the run) answered with -1
    std::function<void(std::string&)> check;  // called by OnCheckFile with the path
    std::function<void(int)> report;           // called with each report's number
    bool checkSpace = false;                   // CheckSpaceBeforeExpand
    // TargetPath, when not the base: the handler moves each target from
    // there to the base, and the directory need not exist.
    std::string targetPath;
};

// Expands the archive file into `base` (ending in a separator) with the given
// threads.
Expanded ExpandInto(const std::string& base, const std::string& archive, unsigned threads, int32_t key,
                    const Hooks& hooks) {
    TQuern quern;
    quern.Key = key;
    quern.MakeDirectories = true;
    quern.CheckSpaceBeforeExpand = hooks.checkSpace;
    const std::string root = hooks.targetPath.empty() ? base : hooks.targetPath;
    quern.SetTargetPath(root);
    TQuern::ForceDirectoryPath(base);
    EventLog log;
    int reports = 0;
    quern.OnCheckFile = [&](std::string& path, TCProcessMode) {
        log.Add("file " + path.substr(root.size()));
        path = base + path.substr(root.size());
        if (hooks.check) hooks.check(path);
    };
    quern.OnShowProgress = [&](int32_t& percent) {
        log.Add(std::to_string(percent) + "%");
        if (hooks.report) hooks.report(reports);
        if (reports++ == hooks.cancel) percent = -1;
    };
    // Every entry named, so that the expansion gives back what it wrote.
    TStringList list;
    {
        TStringList listing;
        TQuern().ListArchiveFile(archive, listing);
        for (int i = 0; i < listing.Count(); ++i) list.Add(listing.Strings(i));
        TQuern::FreeListing(&listing);
    }
    Expanded e;
    try {
        ExpandArchiveFileParallel(quern, archive, &list, threads);
        for (int i = 0; i < list.Count(); ++i) e.written.push_back(list.Strings(i).substr(base.size()));
    } catch (const Exception& x) {
        // Relative, like the events: runs into different roots compare.
        e.error = x.Message;
        for (size_t at; (at = e.error.find(base)) != std::string::npos;) e.error.erase(at, base.size());
    }
    e.events = log.events;
    CollectFiles(base, "", e.files);
    return e;
}

// Expands the archive file into dir/target with the given threads; progress
// answer -1 at report `cancel` of the run.
Expanded ExpandWith(const TempDir& dir, const std::string& archive, const std::string& target, unsigned threads,
                    int32_t key, int cancel = -1, const std::function<void(std::string&)>& check = {}) {
    Hooks hooks;
    hooks.cancel = cancel;
    hooks.check = check;
    return ExpandInto(dir / target + platform::PathDelim, archive, threads, key, hooks);
}

void ExpectSameExpansion(const Expanded& parallel, const Expanded& serial, const std::string& what) {
    EXPECT_EQ(parallel.error, serial.error) << what;
    EXPECT_EQ(parallel.written, serial.written) << what;
    EXPECT_EQ(parallel.events, serial.events) << what;
    EXPECT_TRUE(parallel.files == serial.files) << what;
}

TEST(ParallelExpansion, FilesEventsAndListsAreThoseOfOneThread) {
    TempDir dir;
    int n = 0;
    for (const Mix& mix : Mixes()) {
        const std::string archive = dir / ("a" + std::to_string(n++));
        WriteFileBytes(archive, WriteMix(mix, 1).archive);
        const Expanded serial = ExpandWith(dir, archive, "s" + std::to_string(n), 1, 0x1234567);
        ASSERT_EQ(serial.error, "") << mix.name;
        ASSERT_EQ(serial.files.size(), mix.entries.size()) << mix.name;
        for (unsigned threads : {2u, 5u}) {
            const Expanded parallel = ExpandWith(dir, archive, "p" + std::to_string(n) + "_" + std::to_string(threads),
                                                 threads, 0x1234567);
            ExpectSameExpansion(parallel, serial, std::string(mix.name) + ", " + std::to_string(threads) + " threads");
        }
    }
}

TEST(ParallelExpansion, EntriesTheHandlerPassesOverOrEndsAtAreNotWritten) {
    // The workers have decoded them ahead all the same.
    TempDir dir;
    const std::string archive = dir / "a";
    WriteFileBytes(archive, WriteMix(Mixes()[0], 1).archive);
    const auto check = [](std::string& path) {
        if (path.size() > 2 && path.substr(path.size() - 2) == "e2") path.clear();
        if (path.size() > 2 && path.substr(path.size() - 2) == "e5") path = "*";
    };
    const Expanded serial = ExpandWith(dir, archive, "s", 1, 0, -1, check);
    EXPECT_EQ(serial.written.size(), 4u);
    ExpectSameExpansion(ExpandWith(dir, archive, "p", 3, 0, -1, check), serial, "passed over and ended");
}

TEST(ParallelExpansion, AFailureInAMiddleEntryEndsTheWalkThereAsItWouldSerially) {
    TempDir dir;
    const Bytes good = WriteMix(Mixes()[1], 1).archive;
    TMemoryStream listing(good);
    TStringList list;
    TQuern().ListArchiveStream(listing, list);
    std::vector<size_t> headers;
    for (int i = 0; i < list.Count(); ++i)
        headers.push_back(static_cast<size_t>(static_cast<TArchiveFileInfo*>(list.Objects(i))->HeaderOffset));
    TQuern::FreeListing(&list);
    const auto header = [&](int i) { return headers[static_cast<size_t>(i)]; };
    struct Damage {
        const char* what;
        std::function<void(Bytes&)> apply;
        int32_t key;
    };
    const Damage damages[] = {
        // Checksum field (offset 17) of entry 3, an LZH entry.
        {"bad checksum", [&](Bytes& a) { a[header(3) + 17] ^= 1; }, 0x1234567},
        // A data byte of entry 3 (past its 6-byte name): a broken stream, or a bad sum.
        {"damaged data", [&](Bytes& a) { a[header(3) + FileHeaderSize + 6 + 200] ^= 0xFF; }, 0x1234567},
        // Entries 1 and 4 both fail: the first one in archive order is reported.
        {"two bad entries", [&](Bytes& a) { a[header(1) + 17] ^= 1; a[header(4) + 17] ^= 1; }, 0x1234567},
    };
    int n = 0;
    for (const Damage& damage : damages) {
        Bytes bytes = good;
        damage.apply(bytes);
        const std::string archive = dir / ("d" + std::to_string(n++));
        WriteFileBytes(archive, bytes);
        const Expanded serial = ExpandWith(dir, archive, "s" + std::to_string(n), 1, damage.key);
        ASSERT_NE(serial.error, "") << damage.what;
        const Expanded parallel = ExpandWith(dir, archive, "p" + std::to_string(n), 3, damage.key);
        ExpectSameExpansion(parallel, serial, damage.what);
    }
    // A locked archive with the wrong key fails at its first locked entry.
    const std::string locked = dir / "locked";
    WriteFileBytes(locked, WriteMix(Mixes()[2], 1).archive);
    ExpectSameExpansion(ExpandWith(dir, locked, "pk", 3, 99), ExpandWith(dir, locked, "sk", 1, 99), "wrong key");
}

TEST(ParallelExpansion, AProgressHandlerThatEndsTheInputEndsItWhereItWouldSerially) {
    TempDir dir;
    const std::string archive = dir / "a";
    WriteFileBytes(archive, WriteMix(Mixes()[1], 1).archive);
    for (int cancel : {0, 4, 7}) {
        const std::string tag = std::to_string(cancel);
        ExpectSameExpansion(ExpandWith(dir, archive, "p" + tag, 3, 0), ExpandWith(dir, archive, "s" + tag, 1, 0),
                            "cancelled at report " + tag);
    }
}

// Whether the platform and the file system of `directory` have unnamed files.
bool HasUnnamedFiles(const std::string& directory) {
    const platform::FileHandle probe = platform::CreateUnnamedFile(directory);
    platform::CloseFile(probe);
    return probe != platform::InvalidFile;
}

// Entries past the memory limit, of each kind the workers decode ahead: they
// wait in a file until the walk reaches them.
Mix LargeEntries() {
    return {"large entries",
            {{Prose(20000, 1), ctLh5, 0},
             {Prose(EntryMemoryLimit + 200000, 2), ctNone, 0},
             {RandomBytes(EntryMemoryLimit + 100000, 3), ctLh5, 0},  // would grow: stored
             {Prose(EntryMemoryLimit + 300000, 4), ctLh5, 0},
             {Prose(30000, 5), ctLh5, 0}}};
}

// The target of a large entry gets the bytes a serial run writes, and only
// those, whatever is planted at it; nothing is left in the temporary
// directory or beside the targets, nothing lands outside. Where the platform
// has unnamed files, the entries decoded ahead wait in them, never in a named
// temporary file.
TEST(ParallelExpansion, LargeEntriesLandAsSeriallyWithNothingLeftBehind) {
    TempDir dir, temp;
    ScopedEnv env(testing_support::TempPathVariable, temp.Path());
    const bool unnamedFiles = HasUnnamedFiles(dir.Path());
    const Mix mix = LargeEntries();
    const std::string archive = dir / "a";
    WriteFileBytes(archive, WriteMix(mix, 1).archive);
    const std::string outside = dir / "outside";
    struct Case {
        const char* what;
        const char* before;  // an entry whose target is a link to `outside` from the start
        const char* during;  // one whose target becomes that link while the entry decodes
    };
    const Case cases[] = {
        {"nothing planted", "", ""},
        {"a link at the target", "e1", ""},
        {"a link planted while the entry decodes", "", "e3"},
    };
    int n = 0;
    for (const Case& c : cases) {
#ifdef _WIN32
        // Wine's links are host links, which the Windows calls do not show.
        if (*c.before || *c.during) continue;
#endif
        Expanded runs[2];
        for (unsigned threads : {1u, 3u}) {
            WriteFileBytes(outside, Text("precious"));
            const std::string base = dir / ("t" + std::to_string(n++)) + platform::PathDelim;
            TQuern::ForceDirectoryPath(base + "dir");
            if (*c.before) {
                ASSERT_TRUE(platform::CreateSymbolicLink(outside, base + "dir" + platform::PathDelim + c.before, false));
            }
            std::string current;
            bool planted = false, namedSpill = false;
            Hooks hooks;
            hooks.check = [&](std::string& path) { current = path; };
            hooks.report = [&](int) {
                // A report is relayed while its entry's output still waits.
                namedSpill = namedSpill || !ListDirectory(temp.Path()).empty();
                if (*c.during && !planted && current.size() > 2 && current.substr(current.size() - 2) == c.during)
                    planted = platform::CreateSymbolicLink(outside, current, false);
            };
            runs[threads > 1] = ExpandInto(base, archive, threads, 0, hooks);
            EXPECT_TRUE(!*c.during || planted) << c.what;
            EXPECT_FALSE(unnamedFiles && namedSpill) << c.what << ", " << threads << " threads";
            EXPECT_EQ(ReadFileBytes(outside), Text("precious")) << c.what << ", " << threads << " threads";
        }
        ExpectSameExpansion(runs[1], runs[0], c.what);
        // What landed is what was stored.
        for (const auto& [name, bytes] : runs[1].files) {
            const size_t i = static_cast<size_t>(std::stoi(name.substr(name.size() - 1)));
            const bool linked = name.substr(name.size() - 2) == c.before || name.substr(name.size() - 2) == c.during;
            EXPECT_TRUE(bytes == (linked ? Text("precious") : mix.entries[i].data)) << c.what << ": " << name;
        }
        EXPECT_TRUE(ListDirectory(temp.Path()).empty()) << c.what;
    }
}

// On a small file system the entries decoded ahead take room before their
// turn: the free-space check still decides as it would serially. Targets on
// another file system than the extraction root get their bytes copied.
TEST(ParallelExpansion, FreeSpaceAndOtherFileSystemsAreAsInASerialRun) {
    TempDir dir;
    const Mix mix{"three entries of 1.5 MiB",
                  {{Prose(1536 * 1024, 1), ctLh5, 0}, {Prose(1536 * 1024, 2), ctLh5, 0}, {Prose(1536 * 1024, 3), ctLh5, 0}}};
    const std::string archive = dir / "a";
    WriteFileBytes(archive, WriteMix(mix, 1).archive);
    struct Case {
        const char* what;
        int kilobytes;
        bool elsewhere;  // the handler moves every target to the small disk, the root stays in dir
        bool fits;
    };
    const Case cases[] = {
        {"room for all three", 5632, false, true},
        {"no room for the third", 4096, false, false},
        {"targets on another file system", 16384, true, true},
    };
    for (const Case& c : cases) {
        SmallDisk disk(c.kilobytes);
        if (!disk.Mounted()) GTEST_SKIP() << "no small file system can be mounted here";
        Expanded runs[2];
        for (unsigned threads : {1u, 3u}) {
            const std::string tag = std::to_string(threads);
            const std::string base = c.elsewhere ? dir / (tag + std::to_string(c.kilobytes)) + platform::PathDelim
                                                 : disk / tag + platform::PathDelim;
            Hooks hooks;
            hooks.checkSpace = true;
            if (c.elsewhere) hooks.check = [&](std::string& path) { path = disk / tag + path.substr(base.size() - 1); };
            runs[threads > 1] = ExpandInto(base, archive, threads, 0, hooks);
            if (c.elsewhere) CollectFiles(disk / tag + platform::PathDelim, "", runs[threads > 1].files);
            // Each run has the whole disk.
            std::error_code ignored;
            std::filesystem::remove_all(disk / tag, ignored);
        }
        ExpectSameExpansion(runs[1], runs[0], c.what);
        EXPECT_EQ(runs[0].error.empty(), c.fits) << c.what << ": " << runs[0].error;
        EXPECT_EQ(runs[1].files.size(), c.fits ? 3u : 2u) << c.what;
        for (const auto& [name, bytes] : runs[1].files)
            EXPECT_TRUE(bytes == mix.entries[static_cast<size_t>(name.back() - '0')].data) << c.what << ": " << name;
    }
}

TEST(ParallelCoding, EntriesTooLargeForMemoryAreCodedSeriallyWhenNoTemporaryFileCanBeMade) {
    // Entries past the memory limit need a temporary file; with a temporary
    // directory that does not exist the parallel run must still succeed, with
    // the serial bytes and events.
    TempDir dir;
    const Mix large{"large entries",
                    {{Prose(20000, 1), ctLh5, 0},
                     {RandomBytes(EntryMemoryLimit + 200000, 2), ctRle, 0},  // stored
                     {Prose(EntryMemoryLimit + 300000, 3), ctRle, 0},
                     {Prose(20000, 4), ctLh5, 0}}};
    const Written serial = WriteMix(large, 1);
    ASSERT_EQ(serial.error, "");
    const std::string archive = dir / "a";
    WriteFileBytes(archive, serial.archive);
    const Expanded expanded = ExpandWith(dir, archive, "s", 1, 0);
    ASSERT_EQ(expanded.error, "");

    ScopedEnv temp(testing_support::TempPathVariable, dir / "missing");
    const Written parallel = WriteMix(large, 3);
    EXPECT_EQ(parallel.error, "");
    EXPECT_TRUE(parallel.archive == serial.archive);
    EXPECT_EQ(parallel.events, serial.events);
    ExpectSameExpansion(ExpandWith(dir, archive, "p", 3, 0), expanded, "no temporary directory");
    // Nor an unnamed file where the entries would wait: the extraction root
    // does not exist, the handler puts every target elsewhere.
    Hooks elsewhere;
    elsewhere.targetPath = dir / "missing" + platform::PathDelim;
    ExpectSameExpansion(ExpandInto(dir / "pm" + platform::PathDelim, archive, 3, 0, elsewhere),
                        ExpandInto(dir / "sm" + platform::PathDelim, archive, 1, 0, elsewhere),
                        "no temporary directory and no extraction root");
    EXPECT_FALSE(platform::DirectoryExists(dir / "missing"));
}

TEST(EntryPipeline, TheCallerCodesAnEntryNoWorkerHasComeTo) {
    // The one worker is held on entry 0 (or never starts it); the caller
    // passes over it and takes entry 1, which it must code itself, with its
    // handler's -1 reaching the job at once rather than being relayed later.
    std::atomic<bool> release{false};
    std::vector<std::thread::id> ranOn(3);
    std::vector<int32_t> answers(3, 0);
    {
        TEntryPipeline pipeline(3, 1, [&](size_t index, const TShowProgressEvent& progress, const std::atomic<bool>&) {
            ranOn[index] = std::this_thread::get_id();
            if (index == 0)
                for (int i = 0; i < 10000 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            int32_t percent = 50;
            progress(percent);
            answers[index] = percent;
        });
        int calls = 0;
        const auto outcome = pipeline.Take(1, [&](int32_t& percent) {
            ++calls;
            percent = -1;
        });
        release = true;
        EXPECT_EQ(ranOn[1], std::this_thread::get_id());
        EXPECT_EQ(answers[1], -1);
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(outcome.cancelledAt, -1);
        EXPECT_EQ(outcome.relayed, 1);
        EXPECT_FALSE(outcome.Redo());
        pipeline.Take(2, {});
    }
    EXPECT_EQ(answers[2], 50);
}

TEST(SpillStream, MovesToATemporaryFilePastItsLimitAndDeletesIt) {
    TempDir dir;
    ScopedEnv temp(testing_support::TempPathVariable, dir.Path());
    const Bytes data = RandomBytes(300000, 7);
    {
        TSpillStream spill(100000);
        for (size_t at = 0; at < data.size(); at += 7000)
            spill.WriteBuffer(data.data() + at, static_cast<int32_t>(std::min<size_t>(7000, data.size() - at)));
        EXPECT_EQ(ListDirectory(dir.Path()).size(), 1u);
        // A header completed after its data, as the writer does.
        spill.SetPosition(10);
        spill.WriteBuffer("header", 6);
        spill.SetPosition(0);
        Bytes back(data.size());
        spill.ReadBuffer(back.data(), static_cast<int32_t>(back.size()));
        Bytes expected = data;
        std::copy_n("header", 6, expected.begin() + 10);
        EXPECT_TRUE(back == expected);
        EXPECT_EQ(spill.Size(), static_cast<int64_t>(data.size()));
    }
    EXPECT_TRUE(ListDirectory(dir.Path()).empty());
}

// Streams of entries in flight share one pool: those that find it spent go to
// files, together they never hold more than the budget, and the blocks of
// streams that end serve the next ones.
TEST(SpillStream, StreamsShareOneBudgetAndTheRestGoToFiles) {
    TempDir dir;
    ScopedEnv temp(testing_support::TempPathVariable, dir.Path());
    ASSERT_EQ(SpillMemoryInUse(), 0u);
    const size_t fitting = SpillMemoryBudget / EntryMemoryLimit;
    const size_t count = fitting + 3;
    std::vector<Bytes> data;
    std::vector<std::unique_ptr<TSpillStream>> spills;
    for (size_t i = 0; i < count; ++i) {
        // Each within its own limit, with a header completed after its data.
        data.push_back(RandomBytes(EntryMemoryLimit - 1000, static_cast<uint32_t>(20 + i)));
        spills.push_back(std::make_unique<TSpillStream>(EntryMemoryLimit));
        for (size_t at = 0; at < data[i].size(); at += 8192)
            spills[i]->WriteBuffer(data[i].data() + at, static_cast<int32_t>(std::min<size_t>(8192, data[i].size() - at)));
        spills[i]->SetPosition(100);
        spills[i]->WriteBuffer("head", 4);
        std::copy_n("head", 4, data[i].begin() + 100);
        EXPECT_LE(SpillMemoryInUse(), SpillMemoryBudget);
    }
    EXPECT_EQ(ListDirectory(dir.Path()).size(), count - fitting);
    for (size_t i = 0; i < count; ++i) {
        Bytes back(data[i].size());
        spills[i]->SetPosition(0);
        spills[i]->ReadBuffer(back.data(), static_cast<int32_t>(back.size()));
        EXPECT_TRUE(back == data[i]) << i;
        EXPECT_EQ(spills[i]->Size(), static_cast<int64_t>(data[i].size())) << i;
    }
    spills.clear();
    EXPECT_EQ(SpillMemoryInUse(), 0u);
    EXPECT_TRUE(ListDirectory(dir.Path()).empty());
    TSpillStream again(EntryMemoryLimit);
    again.WriteBuffer(data[0].data(), 300000);
    EXPECT_TRUE(ListDirectory(dir.Path()).empty());
}

// Past its limit a stream given a directory goes to an unnamed file there,
// which a target on that file system takes over as it is; where there is none
// (no such directory, or a platform without unnamed files), it goes to a
// named temporary file as before, copied into the target.
TEST(SpillStream, AnUnnamedFileInTheGivenDirectoryBecomesTheTarget) {
    TempDir dir, temp;
    ScopedEnv env(testing_support::TempPathVariable, temp.Path());
    const bool unnamedFiles = HasUnnamedFiles(dir.Path());
    const Bytes data = Prose(300000, 9);
    Bytes expected = data;
    std::copy_n("header", 6, expected.begin() + 10);
    expected.insert(expected.end(), {'t', 'a', 'i', 'l'});
    struct Case { const char* what; std::string in; bool unnamed; };
    const Case cases[] = {
        {"the extraction root", dir.Path(), unnamedFiles},
        {"a missing directory", dir / "missing" + platform::PathDelim, false},
    };
    for (const Case& c : cases) {
        {
            TSpillStream spill(100000, nullptr, c.in);
            for (size_t at = 0; at < data.size(); at += 8192)
                spill.WriteBuffer(data.data() + at, static_cast<int32_t>(std::min<size_t>(8192, data.size() - at)));
            // Bytes held back for fewer writes are the file's all the same.
            spill.SetPosition(10);
            spill.WriteBuffer("header", 6);
            spill.Seek(0, SeekOrigin::End);
            spill.WriteBuffer("tail", 4);
            Bytes back(expected.size());
            spill.SetPosition(0);
            spill.ReadBuffer(back.data(), static_cast<int32_t>(back.size()));
            EXPECT_TRUE(back == expected) << c.what;
            spill.Flush();  // as the job does when the entry is decoded
            EXPECT_EQ(spill.UnnamedFile() != platform::InvalidFile, c.unnamed) << c.what;
            EXPECT_EQ(ListDirectory(temp.Path()).size(), c.unnamed ? 0u : 1u) << c.what;
            EXPECT_EQ(ListDirectory(dir.Path()), std::vector<std::string>{}) << c.what;
            EXPECT_EQ(spill.Size(), static_cast<int64_t>(expected.size())) << c.what;
            WriteFileBytes(dir / "t", Text("old"));
            TSafeFileStream target(dir.Path(), "t", false);
            target.WriteBuffer("partial", 7);
            if (c.unnamed) {
                ASSERT_TRUE(target.Adopt(spill.UnnamedFile())) << c.what;
            } else {
                EXPECT_FALSE(target.Adopt(spill.UnnamedFile())) << c.what;
                target.SetPosition(0);
                target.CopyFrom(spill, 0);
            }
            EXPECT_EQ(ReadFileBytes(dir / "t"), Text("old")) << c.what;
            target.Commit();
        }
        EXPECT_TRUE(ReadFileBytes(dir / "t") == expected) << c.what;
        EXPECT_EQ(ListDirectory(dir.Path()), std::vector<std::string>{"t"}) << c.what;
        EXPECT_TRUE(ListDirectory(temp.Path()).empty()) << c.what;
        platform::DeleteFile(dir / "t");
    }
}

#ifndef _WIN32
// The tools, end to end: -j 1 and -j N give the same archive, the same
// output and the same error lines.
TEST(ParallelTools, QuernCreatesTestsAndExtractsTheSameWithAnyNumberOfJobs) {
    TempDir dir;
    const Mix mix = Mixes()[0];
    TQuern::ForceDirectoryPath(dir / "in" + platform::PathDelim + "sub");
    for (size_t i = 0; i < mix.entries.size(); ++i)
        WriteFileBytes(dir / "in" + platform::PathDelim + (i % 2 ? "sub" + std::string(1, platform::PathDelim) : "") +
                           "f" + std::to_string(i),
                       mix.entries[i].data);
    ScopedEnv epoch("SOURCE_DATE_EPOCH", "1700000000");
    for (const char* key : {"", "-k 0x51 --scramble "}) {
        const ToolRun one = Quern(dir, std::string("c -j 1 ") + key + "one.zmar in");
        const ToolRun four = Quern(dir, std::string("c -j 4 ") + key + "four.zmar in");
        ASSERT_EQ(one.status, 0) << one.err;
        ASSERT_EQ(four.status, 0) << four.err;
        EXPECT_TRUE(ReadFileBytes(dir / "one.zmar") == ReadFileBytes(dir / "four.zmar")) << key;
    }

    // Entry 3 damaged: t and x report it as one job does, and x extracts the
    // same files.
    Bytes damaged = ReadFileBytes(dir / "one.zmar");
    TMemoryStream listing(damaged);
    TStringList list;
    TQuern().ListArchiveStream(listing, list);
    damaged[static_cast<size_t>(static_cast<TArchiveFileInfo*>(list.Objects(3))->HeaderOffset) + 17] ^= 1;
    TQuern::FreeListing(&list);
    WriteFileBytes(dir / "damaged.zmar", damaged);
    const std::pair<const char*, const char*> commands[] = {
        {"t -v -k 0x51", ""}, {"t -k 7", ""}, {"x -v -k 0x51", "-C out"}, {"x -O -k 0x51", ""}};
    for (const auto& [command, output] : commands) {
        const auto run = [&](const char* jobs) {
            const std::string out = *output ? std::string(" ") + output + jobs : "";
            return Quern(dir, std::string(command) + " -j " + jobs + out + " damaged.zmar");
        };
        const ToolRun serial = run("1");
        const ToolRun parallel = run("4");
        EXPECT_EQ(serial.status, 1) << command;
        EXPECT_EQ(parallel.status, serial.status) << command;
        EXPECT_TRUE(parallel.out == serial.out) << command;
        EXPECT_EQ(parallel.err, serial.err) << command;
    }
    std::vector<std::pair<std::string, Bytes>> one, four;
    CollectFiles(dir / "out1" + platform::PathDelim, "", one);
    CollectFiles(dir / "out4" + platform::PathDelim, "", four);
    EXPECT_FALSE(one.empty());
    EXPECT_TRUE(one == four);
}

// Memory, not time: what quern x decodes ahead waits in one pool shared by
// all jobs, so more jobs cost their codecs' work areas and no more buffers.
// Each entry is just under the limit one entry may keep in memory: with a
// buffer of its own each, every entry in flight used to add a MiB.
TEST(ParallelTools, ExtractionMemoryDoesNotGrowWithTheEntriesInFlight) {
    if (testing_support::RunCommand("test -x /usr/bin/time") != 0) GTEST_SKIP() << "/usr/bin/time is not installed";
    TempDir dir;
    const std::string in = dir / "in" + platform::PathDelim;
    TQuern::ForceDirectoryPath(in);
    for (uint32_t i = 0; i < 24; ++i) WriteFileBytes(in + "f" + std::to_string(i), Prose(EntryMemoryLimit - 30000, i));
    ASSERT_EQ(Quern(dir, "c -m none a.zmar in").status, 0);
    const auto peakKb = [&](const std::string& jobs, const std::string& out) {
        const int status = testing_support::RunCommand(
            "cd " + testing_support::ShellQuote(dir.Path()) + " && /usr/bin/time -f 'peak %M KB' " +
            testing_support::ShellQuote(QuernProgram()) + " x " + jobs + " -C " + out + " a.zmar 2>" +
            testing_support::ShellQuote(dir / "time"));
        const std::string err = testing_support::ReadFileText(dir / "time");
        EXPECT_EQ(status, 0) << err;
        const size_t at = err.find("peak ");
        return at == std::string::npos ? 0L : std::stol(err.substr(at + 5));
    };
    const long one = peakKb("-j 1", "one"), many = peakKb("-j 16", "many"), byDefault = peakKb("", "default");
    ASSERT_GT(one, 0);
    // Sixteen jobs: the pool and sixteen codecs' work areas, never sixteen
    // entries' buffers (with the sanitizers each thread costs more).
    EXPECT_LT(many - one, 10 * 1024) << one << " KB with -j 1, " << many << " KB with -j 16";
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(byDefault, 8 * 1024) << "default jobs";
#else
    (void)byDefault;
#endif
}

TEST(ParallelTools, JobsMustBeAPositiveNumber) {
    TempDir dir;
    for (const char* jobs : {"0", "-2", "x", "2000", ""}) {
        const ToolRun r = Quern(dir, std::string("c -j '") + jobs + "' a.zmar .");
        EXPECT_EQ(r.status, 2) << jobs;
        EXPECT_NE(r.err.find("number of jobs"), std::string::npos) << r.err;
    }
}

#endif  // _WIN32

}  // namespace
