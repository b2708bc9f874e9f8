// The hostile archives of the generator through quern x, t and l: exit
// status, and what lies inside and outside the destination afterwards.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include <quern/ArchiveWriter.h>
#include "tests/archive/HostileArchives.h"
#include "tests/archive/QuernRun.h"
#include "tests/support/SmallDisk.h"

using namespace archive_fixture;
using namespace quern;
using testing_support::SmallDisk;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;
namespace fs = std::filesystem;

namespace {

// The regular files below root, "/" between components, sorted; links are
// not followed.
std::vector<std::string> RegularFiles(const std::string& root) {
    std::vector<std::string> files;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
        if (it->is_regular_file() && !it->is_symlink()) files.push_back(fs::relative(it->path(), root).generic_string());
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

TEST(HostileArchives, NothingOutsideTheDestinationNoOutputFromNothingNoPartialFiles) {
    for (const auto& h : HostileArchives()) {
        SCOPED_TRACE(h.what);
        TempDir dir;
        WriteFileBytes(dir / "h.zmar", h.bytes);
        fs::create_directories(dir / "outside/dir");
        WriteFileBytes(dir / "outside/file", Text("precious"));
        fs::create_directories(dir / "dest");
        for (const auto& link : h.fileLinks) fs::create_symlink(dir / "outside/file", dir / "dest/" + link);
        for (const auto& link : h.dirLinks) fs::create_directory_symlink(dir / "outside/dir", dir / "dest/" + link);

        const ToolRun x = Quern(dir, "x h.zmar -C dest");
        EXPECT_EQ(x.status, h.x) << x.err;
        EXPECT_EQ(x.err.empty(), h.x == 0) << x.err;
        const ToolRun t = Quern(dir, "t h.zmar");
        EXPECT_EQ(t.status, h.t) << t.err;
        const ToolRun l = Quern(dir, "l h.zmar");
        EXPECT_EQ(l.status, h.l) << l.err;

        EXPECT_EQ(RegularFiles(dir / "dest"), h.written);
        EXPECT_EQ(RegularFiles(dir / "outside"), std::vector<std::string>{"file"});
        EXPECT_EQ(ReadFileBytes(dir / "outside/file"), Text("precious"));
        for (const auto& link : h.fileLinks) EXPECT_TRUE(fs::is_symlink(dir / "dest/" + link)) << link;
        for (const auto& link : h.dirLinks) EXPECT_TRUE(fs::is_symlink(dir / "dest/" + link)) << link;
        EXPECT_EQ(RegularFiles(dir.Path()).size(), h.written.size() + 2);  // h.zmar, outside/file: nothing else
    }
}

TEST(HostileArchives, AFullDiskLeavesNoPartialFileAndAnOlderFileAsItWas) {
    SmallDisk disk(128);
    if (!disk.Mounted()) GTEST_SKIP() << "skipped: no small file system (tmpfs) can be mounted here";
    TempDir dir;
    const Bytes big = testing_support::RandomBytes(200 * 1024, 11);
    WriteFileBytes(dir / "big.zmar", MakeArchive({Plain("small", "s"), {.name = "big", .data = big, .checksum = ByteSum(big)}}));
    WriteFileBytes(disk / "big", Text("older"));
    const std::string target = "-C " + testing_support::ShellQuote(disk.Path());
    // With the free-space check quern refuses the entry before writing it.
    ToolRun x = Quern(dir, "x big.zmar " + target);
    EXPECT_EQ(x.status, 1);
    EXPECT_NE(x.err.find("Not enough disk space to expand"), std::string::npos) << x.err;
    EXPECT_EQ(ReadFileBytes(disk / "big"), Text("older"));
    EXPECT_EQ(RegularFiles(disk.Path()), (std::vector<std::string>{"big", "small"}));
}
#endif  // _WIN32
