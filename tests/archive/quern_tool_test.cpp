// The quern program, run as a child process on real directory trees.
// Runs the tool through a POSIX shell; the native run covers it.
#ifndef _WIN32
#include <gtest/gtest.h>

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
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

const std::string Sep(1, platform::PathDelim);

// A small tree: text, incompressible noise, an empty file, nested directories.
void MakeTree(const std::string& root) {
    for (const char* d : {"", "/sub", "/sub/deeper"}) platform::CreateDirectory(root + d);
    std::string text;
    for (int i = 0; i < 2000; ++i) text += "row " + std::to_string(i % 50) + " ........\n";
    WriteFileBytes(root + "/notes.txt", Text(text));
    WriteFileBytes(root + "/sub/noise.bin", RandomBytes(30000, 3));
    WriteFileBytes(root + "/sub/deeper/empty", {});
    WriteFileBytes(root + "/sub/deeper/one", Text("1"));
}

std::vector<std::string> TreeFiles() { return {"notes.txt", "sub/noise.bin", "sub/deeper/empty", "sub/deeper/one"}; }

}  // namespace

TEST(QuernTool, CreateListTestAndExtractATree) {
    TempDir dir;
    MakeTree(dir / "tree");
    struct Case { const char* args; const char* method; };
    for (const Case c : {Case{"", "LH5"}, Case{"-m none", "NON"}, Case{"-m rle -k 0x1234", "RLE"},
                         Case{"-m lzh -k -77 --scramble", "LZH"}}) {
        SCOPED_TRACE(c.args);
        const bool locked = std::string(c.args).find("-k") != std::string::npos;
        const std::string key = locked ? std::string(c.args).substr(std::string(c.args).find("-k")) : "";
        const std::string keyArg = locked ? key.substr(0, key.find(" --scramble")) : "";
        ToolRun r = Quern(dir, std::string("c ") + c.args + " a.zmar tree");
        ASSERT_EQ(r.status, 0) << r.err;
        const Bytes header = ReadFileBytes(dir / "a.zmar");
        ASSERT_GE(header.size(), 21u);
        EXPECT_EQ(std::string(header.begin() + 5, header.begin() + 8), c.method);

        r = Quern(dir, "l a.zmar");
        ASSERT_EQ(r.status, 0) << r.err;
        for (const auto& f : TreeFiles()) EXPECT_NE(r.out.find("tree" + Sep + platform::ToNativeSeparators(f)), std::string::npos) << f;
        EXPECT_NE(r.out.find(locked ? " yes " : " no "), std::string::npos);

        r = Quern(dir, "t a.zmar " + keyArg);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "4 entries OK\n");

        r = Quern(dir, "x a.zmar -C out " + keyArg);
        ASSERT_EQ(r.status, 0) << r.err;
        for (const auto& f : TreeFiles()) {
            EXPECT_EQ(ReadFileBytes(dir / "out/tree/" + f), ReadFileBytes(dir / "tree/" + f)) << f;
            EXPECT_EQ(platform::GetFileDatePacked(dir / "out/tree/" + f), platform::GetFileDatePacked(dir / "tree/" + f));
        }
        EXPECT_EQ(Quern(dir, "x a.zmar -C again tree" + Sep + "notes.txt " + keyArg).status, 0);
        EXPECT_EQ(ListDirectory(dir / "again/tree"), std::vector<std::string>{"notes.txt"});
        if (locked) {
            r = Quern(dir, "t a.zmar");
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.err.find("File locked -- valid key required"), std::string::npos) << r.err;
        }
        testing_support::RunCommand("rm -rf '" + dir / "out" + "' '" + dir / "again" + "'");
    }
}

TEST(QuernTool, TestReportsTheDamagedEntry) {
    TempDir dir;
    // "fine" claims to be LH5 but holds two plain bytes: whatever the decoder
    // makes of them, their checksum is not 1.
    WriteFileBytes(dir / "d.zmar", MakeArchive({{.name = "fine", .data = Text("ok"), .type = ctLh5, .checksum = 1},
                                                {.name = "x", .data = Text("x")}}));
    ToolRun r = Quern(dir, "t d.zmar");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("fine: "), std::string::npos) << r.err;
    EXPECT_EQ(ListDirectory(dir.Path()), std::vector<std::string>{"d.zmar"});
}

TEST(QuernTool, UnsafeNamesAreRefusedAndNothingLandsOutsideTheTarget) {
    TempDir dir;
    platform::CreateDirectory(dir / "outside");
    const std::string rooted = platform::ToStoredSeparators(dir / "outside" + Sep + "rooted");
    WriteFileBytes(dir / "evil.zmar", MakeArchive({Entry{.name = "..\\evil", .data = Text("1")},
                                                   Entry{.name = rooted, .data = Text("2")},
                                                   Entry{.name = "a\\..\\..\\evil2", .data = Text("3")},
                                                   Entry{.name = "C:evil3", .data = Text("4")},
                                                   Entry{.name = "fine.txt", .data = Text("5")}}));
    platform::CreateDirectory(dir / "target");
    ToolRun r = Quern(dir, "x evil.zmar -C target");
    EXPECT_EQ(r.status, 1);
    for (const char* name : {"..\\evil", "a\\..\\..\\evil2", "C:evil3"})
        EXPECT_NE(r.err.find(platform::ToNativeSeparators(name) + ": "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(platform::ToNativeSeparators(rooted) + ": rooted path"), std::string::npos) << r.err;
    EXPECT_EQ(ListDirectory(dir.Path()), (std::vector<std::string>{"evil.zmar", "outside", "target"}));
    EXPECT_EQ(ListDirectory(dir / "outside"), std::vector<std::string>{});
    EXPECT_EQ(ListDirectory(dir / "target"), std::vector<std::string>{"fine.txt"});

    // Asked for explicitly, rooted names are written where they point.
    r = Quern(dir, "x evil.zmar -C target -P " + platform::ToNativeSeparators(rooted));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFileBytes(dir / "outside/rooted"), Text("2"));
}

TEST(QuernTool, UsageAndFailuresGiveOneMessageAndAStatus) {
    TempDir dir;
    struct Case { std::string args; int status; const char* message; };
    const Case cases[] = {
        {"--help", 0, nullptr},
        {"", 2, "usage: quern"},
        {"z a.zmar", 2, "unknown command 'z'"},
        {"x", 2, "no archive named"},
        {"c -m zip a.zmar x", 2, "unknown method zip"},
        {"c --scramble a.zmar x", 2, "--scramble needs a key"},
        {"l missing.zmar", 1, "Cannot open file missing.zmar"},
        {"x missing.zmar NAME", 1, "Cannot open file missing.zmar"},
        {"c a.zmar no-such-path", 1, "no-such-path: no such file or directory"},
    };
    for (const auto& c : cases) {
        const ToolRun r = Quern(dir, c.args);
        EXPECT_EQ(r.status, c.status) << c.args;
        const std::string& text = c.status == 0 ? r.out : r.err;
        EXPECT_NE(text.find(c.message ? c.message : "usage: quern"), std::string::npos) << c.args << ": " << text;
    }
    EXPECT_FALSE(platform::FileExists(dir / "a.zmar"));
}

#endif  // _WIN32
