// The platform layer as the rest of the system relies on it; the same tests run
// natively and, built for Windows, under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include <quern/Platform.h>
#include <quern/Stream.h>
#include <quern/StringList.h>
#include "tests/support/SmallDisk.h"
#include "tests/platform/DialogCloser.h"
#include "tests/support/TestSupport.h"

using namespace quern;

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
constexpr bool OnWindows = true;
#else
constexpr bool OnWindows = false;
#endif

uint32_t Pack(int year, int month, int day, int hour, int minute, int second) {
    const uint32_t date = static_cast<uint32_t>(((year - 1980) << 9) | (month << 5) | day);
    const uint32_t time = static_cast<uint32_t>((hour << 11) | (minute << 5) | (second / 2));
    return (date << 16) | time;
}

std::string ChildProgram() {
    const std::string self = platform::ModuleFileName();
    return self.substr(0, self.find_last_of(platform::PathDelim) + 1) + (OnWindows ? "quern_child.exe" : "quern_child");
}

}  // namespace

TEST(PlatformFiles, ShareModesDecideWhetherASecondOpenSucceeds) {
    using platform::FileAccess;
    using platform::FileShare;
    struct Case {
        const char* what;
        FileAccess firstAccess;
        FileShare firstShare;
        FileAccess secondAccess;
        FileShare secondShare;
        bool windows, posix;  // POSIX maps the modes onto advisory locks
    };
    const Case cases[] = {
        {"exclusive holder refuses an exclusive reader", FileAccess::Read, FileShare::Exclusive, FileAccess::Read,
         FileShare::Exclusive, false, false},
        {"exclusive holder refuses a deny-write reader", FileAccess::Read, FileShare::Exclusive, FileAccess::Read,
         FileShare::DenyWrite, false, false},
        {"exclusive holder refuses a deny-none reader", FileAccess::Read, FileShare::Exclusive, FileAccess::Read,
         FileShare::DenyNone, false, true},
        {"the setup's deny-none read lets the wizard read", FileAccess::Read, FileShare::DenyNone, FileAccess::Read,
         FileShare::DenyNone, true, true},
        {"a deny-none reader refuses an exclusive opener", FileAccess::Read, FileShare::DenyNone, FileAccess::Read,
         FileShare::Exclusive, false, true},
        {"deny-write holders share reading", FileAccess::Read, FileShare::DenyWrite, FileAccess::Read,
         FileShare::DenyWrite, true, true},
        {"a deny-write holder refuses a writer", FileAccess::Read, FileShare::DenyWrite, FileAccess::ReadWrite,
         FileShare::DenyNone, false, true},
        {"a deny-read holder refuses a reader", FileAccess::Write, FileShare::DenyRead, FileAccess::Read,
         FileShare::DenyNone, false, true},
    };
    TempDir dir;
    const std::string name = dir / "shared.bin";
    WriteFileText(name, "data");
    for (const auto& c : cases) {
        const platform::FileHandle first = platform::OpenFile(name, c.firstAccess, c.firstShare);
        ASSERT_NE(first, platform::InvalidFile) << c.what;
        const platform::FileHandle second = platform::OpenFile(name, c.secondAccess, c.secondShare);
        EXPECT_EQ(second != platform::InvalidFile, OnWindows ? c.windows : c.posix) << c.what;
        platform::CloseFile(second);
        platform::CloseFile(first);
    }
}

TEST(PlatformFiles, CreateTruncatesAndHoldsTheFileExclusively) {
    TempDir dir;
    const std::string name = dir / "out.bin";
    WriteFileText(name, "old contents");
    const platform::FileHandle created = platform::CreateFile(name);
    ASSERT_NE(created, platform::InvalidFile);
    EXPECT_EQ(platform::SeekFile(created, 0, 2), 0);
    EXPECT_EQ(platform::OpenFile(name, platform::FileAccess::Read, platform::FileShare::DenyWrite),
              platform::InvalidFile);
    EXPECT_EQ(platform::WriteFile(created, "abc", 3), 3);
    platform::CloseFile(created);
    EXPECT_EQ(ReadFileText(name), "abc");
    // Creating inside a missing directory fails instead of leaving a handle.
    EXPECT_EQ(platform::CreateFile(dir / "missing" + platform::PathDelim + "x"), platform::InvalidFile);
}

TEST(PlatformFiles, ReadFailureIsMinusOneNotEndOfFile) {
    TempDir dir;
    const std::string name = dir / "write-only.bin";
    WriteFileText(name, "0123456789");
    TFileStream out(name, fmOpenWrite | fmShareExclusive);
    char buf[4];
    EXPECT_EQ(out.Read(buf, 4), -1);
    EXPECT_EQ(out.Seek(-1, SeekOrigin::Begin), -1);
    EXPECT_EQ(out.Seek(3, SeekOrigin::End), 13);  // past the end is a valid position
}

TEST(PlatformFiles, AttributesFollowTheWindowsLayout) {
    TempDir dir;
    const std::string file = dir / "f.txt";
    WriteFileText(file, "x");
    auto attributes = platform::GetFileAttributes(file);
    ASSERT_TRUE(attributes);
    EXPECT_EQ(*attributes & (platform::faDirectory | platform::faReadOnly), 0u);

    ASSERT_TRUE(platform::SetFileAttributes(file, platform::faArchive | platform::faReadOnly));
    EXPECT_EQ(*platform::GetFileAttributes(file) & platform::faReadOnly, platform::faReadOnly);
    ASSERT_TRUE(platform::SetFileAttributes(file, platform::faArchive));
    EXPECT_EQ(*platform::GetFileAttributes(file) & platform::faReadOnly, 0u);

    EXPECT_EQ(*platform::GetFileAttributes(dir.Path()) & platform::faDirectory, platform::faDirectory);
    EXPECT_FALSE(platform::GetFileAttributes(dir / "missing"));
    EXPECT_FALSE(platform::SetFileAttributes(dir / "missing", platform::faArchive));
    EXPECT_TRUE(platform::FileExists(file));
    EXPECT_FALSE(platform::FileExists(dir.Path()));
    EXPECT_TRUE(platform::DirectoryExists(dir.Path()));
    EXPECT_FALSE(platform::DirectoryExists(file));
}

TEST(PlatformFiles, PackedLocalTimesRoundTrip) {
    const uint32_t cases[] = {
        Pack(1980, 1, 1, 0, 0, 0),      // the first packable second
        0x25616BC9,                     // 1 November 1998, 13:30:18, as archives store it
        Pack(2000, 2, 29, 12, 0, 0),    // leap day
        Pack(2037, 7, 15, 8, 15, 30),   // summer time where the zone has it
        Pack(2099, 12, 31, 23, 59, 58), // beyond 32-bit time_t
    };
    TempDir dir;
    const std::string name = dir / "dated.bin";
    for (const uint32_t packed : cases) {
        const platform::FileHandle file = platform::CreateFile(name);
        ASSERT_NE(file, platform::InvalidFile);
        EXPECT_TRUE(platform::SetFileDatePacked(file, packed)) << std::hex << packed;
        platform::CloseFile(file);
        EXPECT_EQ(platform::GetFileDatePacked(name).value_or(0), packed) << std::hex << packed;
    }
    // Fields no calendar has are refused, and the file keeps its time.
    const uint32_t invalid[] = {Pack(1999, 13, 1, 0, 0, 0), Pack(1999, 0, 1, 0, 0, 0), Pack(1999, 1, 1, 24, 0, 0)};
    const platform::FileHandle file = platform::OpenFile(name, platform::FileAccess::ReadWrite,
                                                         platform::FileShare::Exclusive);
    for (const uint32_t packed : invalid) EXPECT_FALSE(platform::SetFileDatePacked(file, packed)) << std::hex << packed;
    platform::CloseFile(file);
    EXPECT_EQ(platform::GetFileDatePacked(name).value_or(0), cases[4]);
    EXPECT_FALSE(platform::GetFileDatePacked(dir / "missing"));
}

TEST(PlatformFiles, DeleteAndDirectories) {
    TempDir dir;
    const std::string file = dir / "gone.txt";
    WriteFileText(file, "x");
    EXPECT_TRUE(platform::DeleteFile(file));
    EXPECT_FALSE(platform::FileExists(file));
    EXPECT_FALSE(platform::DeleteFile(file));

    const std::string sub = dir / "sub";
    EXPECT_TRUE(platform::CreateDirectory(sub));
    EXPECT_TRUE(platform::DirectoryExists(sub));
    int code = 0;
    EXPECT_FALSE(platform::CreateDirectory(sub, &code));
    EXPECT_EQ(code, OnWindows ? 183 : 17);  // ERROR_ALREADY_EXISTS, EEXIST
    EXPECT_FALSE(platform::ErrorText(code).empty());
    EXPECT_NE(platform::ErrorText(code).back(), '.');
    EXPECT_NE(platform::ErrorText(code).back(), '\n');
    code = 0;
    EXPECT_FALSE(platform::CreateDirectory(dir / "no" + platform::PathDelim + "such", &code));
    EXPECT_NE(code, 0);
    EXPECT_TRUE(platform::RemoveDirectory(sub));
    EXPECT_FALSE(platform::DirectoryExists(sub));
    EXPECT_FALSE(platform::RemoveDirectory(sub));
}

TEST(PlatformFiles, RenameReplacesAnExistingTarget) {
    TempDir dir;
    WriteFileText(dir / "new.ini", "new");
    WriteFileText(dir / "old.ini", "old");
    EXPECT_TRUE(platform::RenameFile(dir / "new.ini", dir / "old.ini"));
    EXPECT_FALSE(platform::FileExists(dir / "new.ini"));
    EXPECT_EQ(ReadFileText(dir / "old.ini"), "new");
    EXPECT_FALSE(platform::RenameFile(dir / "new.ini", dir / "other.ini"));
}

// A file written without a name (as entries decoded ahead are) and then
// adopted by a pending file is put in place whole by the commit, or not at
// all by the abandon, and leaves no other file behind; where it cannot be
// adopted (another file system), the pending file stays as it was.
TEST(PlatformFiles, AnAdoptedUnnamedFileIsPutInPlaceWholeOrNotAtAll) {
    TempDir dir;
    const std::string sub = dir / "sub" + platform::PathDelim;
    ASSERT_TRUE(platform::CreateDirectory(dir / "sub"));
    const Bytes payload = RandomBytes(100000, 3);
    const auto unnamedWith = [&](const std::string& in) {
        const platform::FileHandle file = platform::CreateUnnamedFile(in);
        if (file != platform::InvalidFile) {
            EXPECT_EQ(platform::WriteFile(file, payload.data(), static_cast<int32_t>(payload.size())),
                      static_cast<int32_t>(payload.size()));
        }
        return file;
    };
    const auto begin = [&](const std::string& base, platform::PendingFile& pending) {
        platform::PlaceError error;
        ASSERT_TRUE(platform::BeginFile(base, "sub" + std::string(1, platform::PathDelim) + "t", false, pending, error));
        ASSERT_EQ(platform::WriteFile(pending.file, "partial", 7), 7);
    };
    if (OnWindows) {
        EXPECT_EQ(platform::CreateUnnamedFile(dir.Path()), platform::InvalidFile);
        return;
    }
    for (const bool commit : {true, false}) {
        WriteFileText(sub + "t", "old");
        const platform::FileHandle unnamed = unnamedWith(dir.Path());
        ASSERT_NE(unnamed, platform::InvalidFile);
        EXPECT_EQ(ListDirectory(dir.Path()), std::vector<std::string>{"sub"});  // it has no name
        platform::PendingFile pending;
        begin(dir.Path(), pending);
        ASSERT_TRUE(platform::AdoptFile(pending, unnamed));
        platform::CloseFile(unnamed);  // the pending file holds its own handle
        EXPECT_EQ(ListDirectory(sub).size(), 2u);  // the target and one pending file
        EXPECT_EQ(ReadFileText(sub + "t"), "old");
        if (commit) {
            platform::PlaceError error;
            ASSERT_TRUE(platform::CommitFile(pending, error));
            EXPECT_TRUE(ReadFileBytes(sub + "t") == payload);
        } else {
            platform::AbandonFile(pending);
            EXPECT_EQ(ReadFileText(sub + "t"), "old");
        }
        EXPECT_EQ(ListDirectory(sub), std::vector<std::string>{"t"}) << commit;
    }
    // The pending file on a file system of its own.
    SmallDisk mount(1024);
    if (!mount.Mounted()) GTEST_SKIP() << "no small file system can be mounted here";
    ASSERT_TRUE(platform::CreateDirectory(mount / "sub"));
    const platform::FileHandle unnamed = unnamedWith(dir.Path());
    platform::PendingFile pending;
    begin(mount.Path(), pending);
    EXPECT_FALSE(platform::AdoptFile(pending, unnamed));
    platform::CloseFile(unnamed);
    platform::PlaceError error;
    EXPECT_TRUE(platform::CommitFile(pending, error));
    EXPECT_EQ(ReadFileText(mount / "sub" + platform::PathDelim + "t"), "partial");
    EXPECT_EQ(ListDirectory(mount / "sub"), std::vector<std::string>{"t"});
}

// Several threads read one handle, each at its own offset; the file's own
// position is left alone on POSIX.
TEST(PlatformFiles, ReadsAtAnOffsetNeedNoSharedPosition) {
    TempDir dir;
    const Bytes data = RandomBytes(200000, 4);
    WriteFileBytes(dir / "f", data);
    const platform::FileHandle file = platform::OpenFile(dir / "f", platform::FileAccess::Read, platform::FileShare::DenyWrite);
    ASSERT_NE(file, platform::InvalidFile);
    ASSERT_EQ(platform::SeekFile(file, 5, 0), 5);
    std::vector<std::thread> readers;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t)
        readers.emplace_back([&, t] {
            Bytes buffer(1000);
            for (int64_t at = t * 1000; at + 1000 <= static_cast<int64_t>(data.size()); at += 4000)
                if (platform::ReadFileAt(file, at, buffer.data(), 1000) != 1000 ||
                    !std::equal(buffer.begin(), buffer.end(), data.begin() + at))
                    ++wrong;
        });
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(wrong, 0);
    uint8_t byte = 0;
    EXPECT_EQ(platform::ReadFileAt(file, static_cast<int64_t>(data.size()) - 1, &byte, 10), 1);
    EXPECT_EQ(byte, data.back());
    EXPECT_EQ(platform::ReadFileAt(file, static_cast<int64_t>(data.size()) + 10, &byte, 1), 0);
    if (!OnWindows) {
        EXPECT_EQ(platform::SeekFile(file, 0, 1), 5);
    }
    platform::CloseFile(file);
}

TEST(PlatformFiles, DiskFreeOfTheCurrentAndTheNamedDrive) {
    TempDir dir;
    const int current = platform::CurrentDrive();
    if (OnWindows) {
        ASSERT_GE(current, 1);
        ASSERT_LE(current, 26);
        const char letter = dir.Path()[0];
        ASSERT_EQ(dir.Path()[1], ':');
        EXPECT_GT(platform::DiskFree((letter & ~0x20) - 64, dir.Path()).value_or(0), 0u);
        EXPECT_FALSE(platform::DiskFree(27, dir.Path()));
    } else {
        EXPECT_EQ(current, 0);
    }
    EXPECT_GT(platform::DiskFree(0, dir / "not-yet-there.bin").value_or(0), 0u);
}

TEST(PlatformTemp, TempPathIsAnExistingDirectoryWithTrailingSeparator) {
    const std::string temp = platform::TempPath();
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(temp.back(), platform::PathDelim);
    EXPECT_TRUE(platform::DirectoryExists(temp));
}

TEST(PlatformTemp, TempFileNamesAreFreshEmptyFilesWithThePrefix) {
    TempDir dir;
    const std::string a = platform::CreateTempFileName(dir.Path(), "QNV");
    const std::string b = platform::CreateTempFileName(dir.Path(), "QNV");
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    EXPECT_NE(a, b);
    for (const std::string& name : {a, b}) {
        EXPECT_EQ(name.rfind(dir / "QNV", 0), 0u) << name;
        EXPECT_EQ(AsciiLower(name.substr(name.size() - 4)), ".tmp") << name;
        EXPECT_TRUE(platform::FileExists(name)) << name;
        EXPECT_EQ(ReadFileBytes(name).size(), 0u) << name;
    }
    EXPECT_EQ(platform::CreateTempFileName(dir / "missing" + platform::PathDelim, "QNV"), "");
}

TEST(PlatformTemp, PrivateDirectoriesAreFreshAndFailuresAreEmpty) {
    TempDir dir;
    const std::string a = platform::CreatePrivateDirectory(dir.Path(), "qs-");
    const std::string b = platform::CreatePrivateDirectory(dir.Path(), "qs-");
    ASSERT_FALSE(a.empty());
    EXPECT_NE(a, b);
    EXPECT_EQ(a.rfind(dir / "qs-", 0), 0u);
    EXPECT_EQ(a.back(), platform::PathDelim);
    EXPECT_TRUE(platform::DirectoryExists(a));
    WriteFileText(a + "inside.txt", "x");  // the owner can use it
    EXPECT_EQ(ReadFileText(a + "inside.txt"), "x");
    EXPECT_EQ(platform::CreatePrivateDirectory(dir / "missing" + platform::PathDelim, "qs-"), "");
}

TEST(PlatformStrings, SameTextLocaleIgnoresLetterCaseOnly) {
    struct Case {
        const char *a, *b;
        bool same;
    };
    const Case cases[] = {
        {"install.ini", "INSTALL.INI", true}, {"Languages", "languages", true}, {"", "", true},
        {"abc", "abd", false},                {"abc", "abcd", false},           {"abc", "ab", false},
    };
    for (const auto& c : cases) EXPECT_EQ(SameTextLocale(c.a, c.b), c.same) << c.a << " / " << c.b;
}

TEST(PlatformProcess, LaunchesAProgramInAPathWithSpacesAndReadsItsExitCode) {
    TempDir dir;
    const std::string folder = dir / "dir with spaces" + platform::PathDelim;
    ASSERT_TRUE(platform::CreateDirectory(folder));
    const std::string program = folder + (OnWindows ? "child prog.exe" : "child prog");
    fs::copy_file(ChildProgram(), program);
    // The request's path has spaces too: it is the whole parameter string, unquoted.
    const std::string request = folder + "hand off.ini";
    WriteFileText(request, "700 7");

    platform::ProcessHandle process = platform::NoProcess;
    ASSERT_TRUE(platform::LaunchProcess(program, request, 1, process));
    ASSERT_NE(process, platform::NoProcess);
    EXPECT_EQ(platform::WaitForProcess(process, 100), platform::WaitResult::TimedOut);
    int32_t code = 0;
    EXPECT_TRUE(platform::GetProcessExitCode(process, code));
    EXPECT_EQ(code, 259);  // still active
    EXPECT_EQ(platform::WaitForProcess(process, 30000), platform::WaitResult::Ended);
    EXPECT_TRUE(platform::GetProcessExitCode(process, code));
    EXPECT_EQ(code, 7);
    platform::CloseProcess(process);
    EXPECT_EQ(ReadFileText(request + ".seen"), request);
}

TEST(PlatformProcess, AMissingProgramIsALaunchFailure) {
    TempDir dir;
    platform::ProcessHandle process = 12345;
    {
        // The shell's own error box is not suppressed: the user learns why.
        DialogCloser closer;
        EXPECT_FALSE(platform::LaunchProcess(dir / "no such program.exe", "x", 1, process));
        EXPECT_EQ(closer.Seen().size(), OnWindows ? 1u : 0u);
    }
    EXPECT_EQ(process, platform::NoProcess);
    EXPECT_EQ(platform::WaitForProcess(platform::NoProcess, 100), platform::WaitResult::Failed);
    int32_t code = 0;
    EXPECT_FALSE(platform::GetProcessExitCode(platform::NoProcess, code));
}

TEST(PlatformProcess, ModuleFileNameIsThisProgram) {
    const std::string self = platform::ModuleFileName();
    EXPECT_TRUE(platform::FileExists(self)) << self;
    EXPECT_NE(AsciiLower(self).find("platform_tests"), std::string::npos) << self;
}
