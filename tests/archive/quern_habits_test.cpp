// quern as users of tar, 7z and lhasa expect it, run as a real process on
// real trees: flags, listings, selections, streams, links, modes, names,
// reproducible dates.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include <quern/CodecEngine.h>
#include <quern/Platform.h>
#include "tests/archive/ArchiveFixture.h"
#include "tests/archive/QuernRun.h"
#include "tests/support/LhaMember.h"

using namespace quern;

using namespace archive_fixture;
using testing_support::ListDirectory;
using testing_support::RandomBytes;
using testing_support::ReadFileBytes;
using testing_support::ReadFileText;
using testing_support::ShellQuote;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

// Runs a shell command line inside dir, with "quern" standing for the
// program; standard output and error are captured.
ToolRun Shell(const TempDir& dir, const std::string& line) {
    std::string command;
    for (size_t i = 0; i < line.size();) {
        if (line.compare(i, 5, "quern") == 0 && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '|')) {
            command += ShellQuote(QuernProgram());
            i += 5;
        } else {
            command += line[i++];
        }
    }
    const std::string full = "cd " + ShellQuote(dir.Path()) + " && { " + command + " ; } >" +
                             ShellQuote(dir / ".out") + " 2>" + ShellQuote(dir / ".err");
    ToolRun r{testing_support::RunCommand(full), ReadFileText(dir / ".out"), ReadFileText(dir / ".err")};
    platform::DeleteFile(dir / ".out");
    platform::DeleteFile(dir / ".err");
    return r;
}

void MakeDirs(const std::string& path) { std::filesystem::create_directories(path); }

// tree/notes.txt (text), tree/sub/noise.bin, tree/sub/deeper/one, tree/top.cfg
void MakeTree(const std::string& root) {
    MakeDirs(root + "/sub/deeper");
    std::string text;
    for (int i = 0; i < 500; ++i) text += "row " + std::to_string(i % 50) + "\n";
    WriteFileBytes(root + "/notes.txt", Text(text));
    WriteFileBytes(root + "/sub/noise.bin", RandomBytes(5000, 7));
    WriteFileBytes(root + "/sub/deeper/one", Text("1"));
    WriteFileBytes(root + "/top.cfg", Text("cfg"));
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

std::vector<std::string> FilesBelow(const std::string& root) {
    std::vector<std::string> files;
    if (!std::filesystem::exists(root)) return files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        if (e.is_regular_file()) files.push_back(std::filesystem::relative(e.path(), root).generic_string());
    std::sort(files.begin(), files.end());
    return files;
}

unsigned Mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFF;
}

}  // namespace

TEST(QuernHabits, ListingIsATableWithHeaderRulesAndTotals) {
    TempDir dir;
    WriteFileBytes(dir / "a.zmar", MakeArchive({{.name = "doc\\a.txt", .data = Text("hello"), .checksum = 0},
                                                {.name = "b", .data = Text("ab"), .type = ctRle, .checksum = 0xC3,
                                                 .lockFlag = 1, .uncompressedSize = 4},
                                                {.name = "empty", .data = {}}}));
    const ToolRun r = Shell(dir, "quern l a.zmar");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string rule = "------------------- ------ ---- -------- ---------- ---------- ------ --------------------";
    const std::vector<std::string> expected = {
        "Date       Time     Method Lock Checksum       Size     Packed  Ratio Name",
        rule,
        "1998-11-01 13:30:18 NON    no   00000000          5          5 100.0% doc/a.txt",
        "1998-11-01 13:30:18 RLE    yes  000000C3          4          2  50.0% b",
        "1998-11-01 13:30:18 NON    no   00000000          0          0      - empty",
        rule,
        "                                                  9          7  77.8% 3 files",
    };
    EXPECT_EQ(Lines(r.out), expected) << r.out;
    EXPECT_EQ(r.err, "");
}

TEST(QuernHabits, CombinedFlagsVerboseListingAndLongOptions) {
    TempDir dir;
    MakeTree(dir / "tree");
    ToolRun r = Shell(dir, "quern cv a.zmar tree");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> names = {"tree/notes.txt", "tree/sub/deeper/one", "tree/sub/noise.bin",
                                            "tree/top.cfg"};
    EXPECT_EQ(Lines(r.out), names);
    // The same extraction spelled the ways tar and 7z users spell it.
    for (const std::string form : {"quern x -vC out a.zmar", "quern xvC out a.zmar", "quern -xvf a.zmar -C out",
                                   "quern x --verbose --directory=out a.zmar", "quern x -v -C out -- a.zmar"}) {
        SCOPED_TRACE(form);
        std::filesystem::remove_all(dir / "out");
        r = Shell(dir, form);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Lines(r.out), names);
        EXPECT_EQ(FilesBelow(dir / "out/tree"),
                  (std::vector<std::string>{"notes.txt", "sub/deeper/one", "sub/noise.bin", "top.cfg"}));
    }
    r = Shell(dir, "quern t -v a.zmar");
    EXPECT_EQ(r.status, 0) << r.err;
    auto expected = names;
    expected.push_back("4 entries OK");
    EXPECT_EQ(Lines(r.out), expected);
    // -C for c: the PATHs are read from DIR, the archive stays here.
    r = Shell(dir, "quern c -C tree b.zmar sub top.cfg && quern l b.zmar");
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char* name : {" sub/deeper/one", " sub/noise.bin", " top.cfg", " 3 files"})
        EXPECT_NE(r.out.find(name), std::string::npos) << name << "\n" << r.out;
}

TEST(QuernHabits, KeysAreDecimalOrHexadecimalNeverOctal) {
    TempDir dir;
    MakeTree(dir / "tree");
    ASSERT_EQ(Shell(dir, "quern c -k 010 a.zmar tree").status, 0);
    struct Case { const char* key; int status; };
    for (const Case c : {Case{"10", 0}, Case{"0xA", 0}, Case{"0XA", 0}, Case{"8", 1}, Case{"010", 0}}) {
        const ToolRun r = Shell(dir, std::string("quern t -k ") + c.key + " a.zmar");
        EXPECT_EQ(r.status, c.status) << c.key << ": " << r.err;
    }
    for (const char* bad : {"08x", "0x", "4294967296", "ten"})
        EXPECT_EQ(Shell(dir, std::string("quern t -k ") + bad + " a.zmar").status, 2) << bad;
}

TEST(QuernHabits, NamesSelectEntriesDirectoriesAndWildcards) {
    TempDir dir;
    MakeTree(dir / "tree");
    ASSERT_EQ(Shell(dir, "quern c a.zmar tree").status, 0);
    struct Case { std::string names; std::vector<std::string> files; int status; };
    const Case cases[] = {
        {"tree/top.cfg", {"top.cfg"}, 0},
        {"tree/sub", {"sub/deeper/one", "sub/noise.bin"}, 0},
        {"TREE/SUB/", {"sub/deeper/one", "sub/noise.bin"}, 0},
        {"'tree/*.txt' 'tree/*/one'", {"notes.txt", "sub/deeper/one"}, 0},
        {"'*/s?b'", {"sub/deeper/one", "sub/noise.bin"}, 0},
        {"'tree/[nt]*'", {"notes.txt", "top.cfg"}, 0},
        {"tree --exclude sub", {"notes.txt", "top.cfg"}, 0},
        {"--exclude '*.bin' --exclude=notes.txt", {"sub/deeper/one", "top.cfg"}, 0},
        {"tree/top.cfg tree/nothing", {"top.cfg"}, 1},
        {"tree/sub/noise", {}, 1},  // a name's prefix is not a directory of it
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.names);
        std::filesystem::remove_all(dir / "out");
        const ToolRun r = Shell(dir, "quern x -C out a.zmar " + c.names);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(FilesBelow(dir / "out/tree"), c.files);
        if (c.status != 0) {
            EXPECT_NE(r.err.find(": not found in archive"), std::string::npos) << r.err;
        }
    }
    // --exclude on creation leaves out matching files and whole directories.
    const ToolRun r = Shell(dir, "quern c b.zmar tree --exclude deeper --exclude '*.cfg' && quern x -C out2 b.zmar");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(FilesBelow(dir / "out2/tree"), (std::vector<std::string>{"notes.txt", "sub/noise.bin"}));
}

TEST(QuernHabits, ToStdoutAndArchivesOnStandardInputAndOutput) {
    TempDir dir;
    MakeTree(dir / "tree");
    ASSERT_EQ(Shell(dir, "quern c a.zmar tree").status, 0);
    ToolRun r = Shell(dir, "quern x -O a.zmar 'tree/*.cfg' tree/notes.txt");
    EXPECT_EQ(r.status, 0) << r.err;
    // Archive order, data only.
    EXPECT_EQ(r.out, ReadFileText(dir / "tree/notes.txt") + "cfg");
    EXPECT_EQ(ListDirectory(dir.Path()), (std::vector<std::string>{"a.zmar", "tree"}));
    r = Shell(dir, "quern x -vO a.zmar tree/top.cfg");
    EXPECT_EQ(r.out, "cfg");
    EXPECT_EQ(r.err, "tree/top.cfg\n");  // the listing keeps out of the data

    // A pipe from c to x, and l and t reading standard input.
    r = Shell(dir, "quern c - tree | quern x -C out -");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(FilesBelow(dir / "out/tree"), FilesBelow(dir / "tree"));
    for (const auto& f : FilesBelow(dir / "tree")) EXPECT_EQ(ReadFileBytes(dir / "out/tree/" + f), ReadFileBytes(dir / "tree/" + f));
    r = Shell(dir, "quern c - tree > b.zmar && cmp a.zmar b.zmar && quern t - < b.zmar && quern l - < a.zmar | tail -1");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("4 entries OK\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" 4 files\n"), std::string::npos) << r.out;
    // Nothing of standard input is left behind in the temporary directory.
    MakeDirs(dir / "tmp");
    r = Shell(dir, "TMPDIR=" + ShellQuote(dir / "tmp") + " quern l - < a.zmar");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ListDirectory(dir / "tmp"), std::vector<std::string>{});
}

TEST(QuernHabits, ExistingFilesKeptOnlyWhenAsked) {
    TempDir dir;
    MakeTree(dir / "tree");
    ASSERT_EQ(Shell(dir, "quern c a.zmar tree").status, 0);
    MakeDirs(dir / "out/tree");
    struct Case { const char* option; int status; const char* message; bool replaced; };
    for (const Case c : {Case{"--keep-old-files", 1, "tree/top.cfg: exists, not replaced (--keep-old-files)", false},
                         Case{"--skip-old-files", 0, "", false}, Case{"", 0, "", true}}) {
        SCOPED_TRACE(c.option);
        WriteFileBytes(dir / "out/tree/top.cfg", Text("mine"));
        const ToolRun r = Shell(dir, std::string("quern x -C out ") + c.option + " a.zmar");
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.err, *c.message ? std::string("quern: ") + c.message + "\n" : "");
        EXPECT_EQ(ReadFileText(dir / "out/tree/top.cfg"), c.replaced ? "cfg" : "mine");
        EXPECT_EQ(ReadFileText(dir / "out/tree/sub/deeper/one"), "1");  // the others are extracted
    }
}

TEST(QuernHabits, ProgressIsDrawnOnlyOnATerminal) {
    TempDir dir;
    MakeDirs(dir / "big");
    WriteFileBytes(dir / "big/data", RandomBytes(3 << 20, 11));
    // Piped: no bar, no carriage returns, nothing at all on standard error.
    ToolRun r = Shell(dir, "quern c a.zmar big && quern x -C out a.zmar && quern t a.zmar");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // On a terminal (script gives the program a pseudo-terminal).
    for (const char* command : {"c b.zmar big", "x -C out2 a.zmar", "t a.zmar"}) {
        r = Shell(dir, "script -qfec " + ShellQuote(QuernProgram() + " " + command) + " /dev/null");
        EXPECT_EQ(r.status, 0) << command << ": " << r.out;
        EXPECT_NE(r.out.find("100% [##############################]"), std::string::npos) << command << ": " << r.out;
        EXPECT_NE(r.out.find('\r'), std::string::npos) << command;
    }
    EXPECT_EQ(ReadFileBytes(dir / "a.zmar"), ReadFileBytes(dir / "b.zmar"));
}

TEST(QuernHabits, EachFailureIsOneLineWithTheFileAndTheSystemsReason) {
    TempDir dir;
    MakeTree(dir / "tree");
    ASSERT_EQ(Shell(dir, "quern c a.zmar tree").status, 0);
    MakeDirs(dir / "blocked/tree/top.cfg");  // a directory where a file goes
    struct Case { std::string command; int status; std::string message; };
    const Case cases[] = {
        {"quern c - tree > /dev/full", 1, "quern: -: cannot write standard output: No space left on device"},
        {"quern c nowhere/a.zmar tree", 1, "quern: nowhere/a.zmar: Cannot create file nowhere/a.zmar: No such file or directory"},
        {"quern x -C blocked a.zmar", 1, "quern: tree/top.cfg: Cannot create file blocked/tree/top.cfg: Is a directory"},
        {"quern l nothing.zmar", 1, "quern: Cannot open file nothing.zmar: No such file or directory"},
        {"quern c b.zmar tree missing", 1, "quern: missing: no such file or directory"},
        {"quern x -O a.zmar tree/top.cfg > /dev/full", 1, "quern: tree/top.cfg: cannot write standard output: No space left on device"},
        {"quern l - < /dev/null", 1, "quern: Can't recognize compressed file header"},  // no archive
        {"quern x -k 1 --scramble a.zmar", 2, "quern: option --scramble does not go with 'x' (quern --help tells more)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        const ToolRun r = Shell(dir, c.command);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.err.substr(0, c.message.size()), c.message) << r.err;
        EXPECT_LE(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
    }
    // The entries after a failed one are still extracted.
    EXPECT_EQ(ReadFileText(dir / "blocked/tree/sub/deeper/one"), "1");
    // Also when a later entry has the failed one's name: the walk that goes
    // on passes over the entries that had their turn.
    WriteFileBytes(dir / "dup.zmar", MakeArchive({{.name = "a", .data = Text("xx"), .type = ctLh5, .checksum = 1},
                                                  {.name = "b", .data = Text("b")},
                                                  {.name = "A", .data = Text("second")}}));
    const ToolRun r = Shell(dir, "quern x -v -C dup dup.zmar");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("quern: a: ", 0), 0u) << r.err;
    EXPECT_EQ(r.out, "a\nb\nA\n");
    EXPECT_EQ(ReadFileText(dir / "dup/b"), "b");
    EXPECT_EQ(ReadFileText(dir / "dup/A"), "second");
    EXPECT_FALSE(platform::FileExists(dir / "b.zmar"));
}

TEST(QuernHabits, LinksAndEmptyDirectoriesAreReportedAsTarWould) {
    TempDir dir;
    MakeTree(dir / "tree");
    MakeDirs(dir / "tree/empty");
    std::filesystem::create_symlink("top.cfg", dir / "tree/alias.cfg");
    std::filesystem::create_directory_symlink("sub", dir / "tree/sublink");
    std::filesystem::create_symlink("gone", dir / "tree/broken");
    ToolRun r = Shell(dir, "quern c a.zmar tree && quern x -C out a.zmar");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Lines(r.err), (std::vector<std::string>{
                                "quern: warning: tree/alias.cfg: link stored as the file it points to",
                                "quern: warning: tree/broken: broken link, not stored",
                                "quern: warning: tree/empty: empty directory, not stored (archives hold files only)",
                                "quern: warning: tree/sublink: link to a directory, not stored (archives hold no links)",
                            }));
    EXPECT_EQ(FilesBelow(dir / "out/tree"), (std::vector<std::string>{"alias.cfg", "notes.txt", "sub/deeper/one",
                                                                      "sub/noise.bin", "top.cfg"}));
    EXPECT_EQ(ReadFileText(dir / "out/tree/alias.cfg"), "cfg");
}

TEST(QuernHabits, ProgramsBecomeExecutableAndNewFilesFollowTheUmask) {
    TempDir dir;
    MakeDirs(dir / "tree");
    WriteFileBytes(dir / "tree/script", Text("#!/bin/sh\necho hi\n"));
    WriteFileBytes(dir / "tree/program", Bytes{0x7F, 'E', 'L', 'F', 2, 1, 1, 0});
    WriteFileBytes(dir / "tree/text", Text("#not a script"));
    WriteFileBytes(dir / "tree/tiny", Text("#"));
    struct Case { const char* umask; unsigned program, plain; };
    for (const Case c : {Case{"022", 0755, 0644}, Case{"027", 0750, 0640}, Case{"077", 0700, 0600}}) {
        SCOPED_TRACE(c.umask);
        std::filesystem::remove_all(dir / "out");
        const ToolRun r = Shell(dir, std::string("umask ") + c.umask + " && quern c a.zmar tree && quern x -C out a.zmar");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Mode(dir / "a.zmar"), c.plain);
        EXPECT_EQ(Mode(dir / "out/tree/script"), c.program);
        EXPECT_EQ(Mode(dir / "out/tree/program"), c.program);
        EXPECT_EQ(Mode(dir / "out/tree/text"), c.plain);
        EXPECT_EQ(Mode(dir / "out/tree/tiny"), c.plain);
        EXPECT_EQ(Shell(dir, "out/tree/script").out, "hi\n");
    }
}

TEST(QuernHabits, NamesAreStoredInWindows1252AndComeBackAsUtf8) {
    TempDir dir;
    MakeDirs(dir / "tree/d\xC3\xA9j\xC3\xA0");                               // "déjà"
    WriteFileBytes(dir / "tree/d\xC3\xA9j\xC3\xA0/\xE2\x82\xAC.txt", Text("euro"));  // "€.txt"
    WriteFileBytes(dir / "tree/plain.txt", Text("plain"));
    WriteFileBytes(dir / "tree/\xE4\xB8\xAD.txt", Text("zhong"));              // "中.txt": not in 1252
    ToolRun r = Shell(dir, "quern c a.zmar tree");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quern: tree/\xE4\xB8\xAD.txt: the name cannot be written in code page 1252; not stored "
                     "(--code-page 65001 keeps UTF-8 names)\n");
    // The stored bytes are Windows-1252: "d\xE9j\xE0\\\x80.txt".
    const Bytes archive = ReadFileBytes(dir / "a.zmar");
    const std::string raw(archive.begin(), archive.end());
    EXPECT_NE(raw.find("tree\\d\xE9j\xE0\\\x80.txt"), std::string::npos);
    EXPECT_EQ(raw.find("\xC3\xA9"), std::string::npos);

    r = Shell(dir, "quern l a.zmar && quern x -C out a.zmar");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(" tree/d\xC3\xA9j\xC3\xA0/\xE2\x82\xAC.txt\n"), std::string::npos) << r.out;
    EXPECT_EQ(ReadFileText(dir / "out/tree/d\xC3\xA9j\xC3\xA0/\xE2\x82\xAC.txt"), "euro");
    // Selection by the UTF-8 name the user sees.
    r = Shell(dir, "quern x -O a.zmar 'tree/d\xC3\xA9j\xC3\xA0'");
    EXPECT_EQ(r.out, "euro");

    // UTF-8 kept as it is on request, for archives that stay on POSIX.
    r = Shell(dir, "quern c --code-page 65001 b.zmar tree && quern x --code-page=utf-8 -C out2 b.zmar");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFileText(dir / "out2/tree/\xE4\xB8\xAD.txt"), "zhong");
    EXPECT_EQ(Shell(dir, "quern c --code-page 932 c.zmar tree").status, 2);
    // An OEM code page on request: "é" is 0x82 in 437, "€" it has not.
    WriteFileBytes(dir / "tree/d\xC3\xA9j\xC3\xA0/notes", Text("n"));
    r = Shell(dir, "quern c --code-page 437 --exclude '*.txt' d.zmar tree && quern l --code-page cp437 d.zmar");
    EXPECT_EQ(r.status, 0) << r.err;
    const Bytes oem = ReadFileBytes(dir / "d.zmar");
    EXPECT_NE(std::string(oem.begin(), oem.end()).find("tree\\d\x82j\x85"), std::string::npos);
}

TEST(QuernHabits, SourceDateEpochGivesByteIdenticalArchives) {
    TempDir dir;
    MakeTree(dir / "tree");
    WriteFileBytes(dir / "tree/old", Text("old"));
    // 2000-01-01 00:00:00 UTC; "old" is older and keeps its own date.
    const std::string env = "TZ=UTC SOURCE_DATE_EPOCH=946684800 ";
    ToolRun r = Shell(dir, "touch -d '1999-06-01 12:00:00' tree/old && " + env + "quern c a.zmar tree");
    ASSERT_EQ(r.status, 0) << r.err;
    r = Shell(dir, "sleep 2; touch tree/notes.txt tree/sub/noise.bin && " + env + "quern c b.zmar tree && cmp a.zmar b.zmar");
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    r = Shell(dir, "TZ=UTC quern l a.zmar");
    EXPECT_NE(r.out.find("2000-01-01 00:00:00 LH5    no   "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1999-06-01 12:00:00 NON    no   0000013F          3          3 100.0% tree/old\n"),
              std::string::npos) << r.out;
    r = Shell(dir, "SOURCE_DATE_EPOCH=yesterday quern c c.zmar tree");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quern: SOURCE_DATE_EPOCH is not a number of seconds: yesterday\n");
}

#endif  // _WIN32
