// What the expansion makes of the destination it writes into: links on the
// way, and the first directories of a relative target path. Run natively and
// under Wine.
#include <gtest/gtest.h>

#include <filesystem>

#include <quern/Quern.h>
#include <quern/Platform.h>
#include "tests/archive/ArchiveFixture.h"
#include "tests/archive/HostileArchives.h"

using namespace quern;

using namespace archive_fixture;
using testing_support::ListDirectory;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

const std::string Sep(1, platform::PathDelim);

// Works inside `dir` for as long as it lives.
class InDirectory {
public:
    explicit InDirectory(const std::string& dir) : old_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~InDirectory() { std::filesystem::current_path(old_); }

private:
    std::filesystem::path old_;
};

}  // namespace

TEST(Destination, ALinkOrReparsePointOnTheWayIsRefusedAndNothingLandsOutside) {
    TempDir dir;
    platform::CreateDirectory(dir / "outside");
    platform::CreateDirectory(dir / "outside" + Sep + "dir");
    WriteFileBytes(dir / "outside" + Sep + "file", Text("precious"));
    platform::CreateDirectory(dir / "dest");
    if (!platform::CreateSymbolicLink(dir / "outside" + Sep + "dir", dir / "dest" + Sep + "dirlink", true) ||
        !platform::CreateSymbolicLink(dir / "outside" + Sep + "file", dir / "dest" + Sep + "link", false))
        GTEST_SKIP() << "skipped: this system makes no symbolic links for us";
#ifdef _WIN32
    // Wine makes host links, which the Windows calls show as plain files and
    // directories: only real reparse points test the refusal.
    constexpr uint32_t ReparsePoint = 0x400;
    const auto dirLink = platform::GetFileAttributes(dir / "dest" + Sep + "dirlink");
    if (!dirLink || !(*dirLink & ReparsePoint) || !(*dirLink & platform::faDirectory))
        GTEST_SKIP() << "skipped: this system's symbolic links are no reparse points (Wine)";
#endif
    struct Case { const char* what; const char* stored; };
    for (const Case c : {Case{"a file link", "link"}, Case{"a directory link", "dirlink\\planted"},
                         Case{"a directory link further down", "dirlink\\deeper\\planted"}}) {
        WriteFileBytes(dir / "a.zmar", MakeArchive({Plain(c.stored, "hostile")}));
        TQuern quern;
        quern.SetTargetPath(dir / "dest");
        quern.MakeDirectories = true;
        quern.ExceptionOnFileError = true;
        try {
            quern.ExpandArchiveFile(dir / "a.zmar");
            ADD_FAILURE() << c.what << ": extracted";
        } catch (const EFCreateError& e) {
            EXPECT_NE(e.Reason.find("is a link, which is not followed"), std::string::npos)
                << c.what << ": " << e.Reason;
        }
        EXPECT_EQ(ReadFileBytes(dir / "outside" + Sep + "file"), Text("precious")) << c.what;
        EXPECT_EQ(ListDirectory(dir / "outside" + Sep + "dir"), std::vector<std::string>{}) << c.what;
        EXPECT_EQ(ListDirectory(dir / "dest"), (std::vector<std::string>{"dirlink", "link"})) << c.what;
    }
    // The destination itself is the caller's: a link there is followed.
    WriteFileBytes(dir / "a.zmar", MakeArchive({Plain("inside", "fine")}));
    TQuern quern;
    quern.SetTargetPath(dir / "dest" + Sep + "dirlink");
    quern.ExpandArchiveFile(dir / "a.zmar");
    EXPECT_EQ(ReadFileBytes(dir / "outside" + Sep + "dir" + Sep + "inside"), Text("fine"));
}

TEST(Destination, ShortFirstDirectoriesOfARelativePathAreCreated) {
    TempDir dir;
    WriteFileBytes(dir / "a.zmar", MakeArchive({Plain("ab\\x.txt", "ab"), Plain("q\\deep\\x.txt", "q")}));
    InDirectory inside(dir.Path());
    TQuern quern;  // TargetPath empty: names as stored, below the current directory
    quern.MakeDirectories = true;
    quern.ExceptionOnFileError = true;
    quern.ExpandArchiveFile("a.zmar");
    EXPECT_EQ(ReadFileBytes("ab" + Sep + "x.txt"), Text("ab"));
    EXPECT_EQ(ReadFileBytes("q" + Sep + "deep" + Sep + "x.txt"), Text("q"));
    TQuern::ForceDirectoryPath("c" + Sep + "d" + Sep);
    EXPECT_TRUE(platform::DirectoryExists("c" + Sep + "d"));
    EXPECT_EQ(ListDirectory(dir.Path()), (std::vector<std::string>{"a.zmar", "ab", "c", "q"}));
}
