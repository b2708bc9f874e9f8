// The extraction glue on real archives and files, the launch strings, and the
// wait for an already ended wizard.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <optional>

#include <quern/ArchiveWriter.h>
#include <quern/Platform.h>
#include "setup/Genfile.h"
#include "setup/SetupUnit.h"
#include "tests/support/RecordingWindow.h"
#include "tests/support/TestSupport.h"

using namespace quern;

using namespace testing_support;

namespace {

constexpr uint32_t kDate = 0x2561'6BC9;
const std::string D(1, platform::PathDelim);

struct Entry {
    std::string name;
    std::string text;
};

std::string ArchiveFile(const TempDir& dir, const std::vector<Entry>& entries) {
    TArchiveWriter writer;
    for (const Entry& e : entries) writer.AddMemory(e.name, Text(e.text), kDate, 0x20, ctLh5);
    TMemoryStream out;
    writer.WriteToStream(out);
    const std::string path = dir / "wizard.zmar";
    WriteFileBytes(path, out.Bytes());
    return path;
}

}  // namespace

TEST(ExtractArchiveFileTest, TakesExactlyTheWantedEntry) {
    struct Case {
        const char* what;
        std::vector<Entry> entries;
        std::string wanted;        // the file name after "<Temp>" and the delimiter
        bool targetExists;         // a file is at the target beforehand
        bool result;
        std::optional<std::string> written;  // the target's text afterwards; nothing: no file
    };
    const Case cases[] = {
        {"stored in lower case, asked with a capital T", {{"<temp>\\install.ini", "ini"}}, "install.ini", false, true,
         "ini"},
        {"letter case of the file name", {{"<temp>\\INSTALL.INI", "upper"}}, "install.ini", false, true, "upper"},
        {"the same entry twice: the later one remains",
         {{"<temp>\\inst32.exe", "first"}, {"<temp>\\readme.txt", "r"}, {"<temp>\\inst32.exe", "second"}},
         "inst32.exe", false, true, "second"},
        {"an existing target is overwritten", {{"<temp>\\readme.txt", "new"}}, "readme.txt", true, true, "new"},
        {"other entries are not written", {{"<temp>\\english.lng", "e"}, {"<temp>\\readme.txt", "r"}}, "readme.txt",
         false, true, "r"},
        {"a missing entry: true, nothing written", {{"<temp>\\english.lng", "e"}}, "readme.txt", false, true,
         std::nullopt},
        {"a name differing in a non-ASCII letter's case", {{"<temp>\\\xC4.lng", "a"}}, "\xE4.lng", false, true,
         std::nullopt},
        {"an entry outside <temp>", {{"other\\readme.txt", "o"}}, "readme.txt", false, true, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string archive = ArchiveFile(dir, c.entries);
        const std::string target = dir / "target";
        if (c.targetExists) WriteFileText(target, "old contents, longer than the new");
        ExtractFailure failure;
        EXPECT_EQ(ExtractArchiveFile(archive, TempEntryName(c.wanted), target, nullptr, &failure), c.result);
        if (c.written) EXPECT_EQ(ReadFileText(target), *c.written);
        else EXPECT_FALSE(platform::FileExists(target));
    }
}

TEST(ExtractArchiveFileTest, FailuresReturnFalseWithTheirKind) {
    TempDir dir;
    const std::string archive = ArchiveFile(dir, {{"<temp>\\install.ini", std::string(5000, 'x')}});
    Bytes damaged = ReadFileBytes(archive);
    damaged[damaged.size() - 3] ^= 0x55;
    WriteFileBytes(dir / "damaged.zmar", damaged);
    WriteFileBytes(dir / "noise.zmar", RandomBytes(100, 5));
    struct Case {
        const char* what;
        std::string archive;
    };
    const Case cases[] = {
        {"a missing archive", dir / "missing.zmar"},
        {"a file that is no archive", dir / "noise.zmar"},
        {"a damaged entry", dir / "damaged.zmar"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ExtractFailure failure;
        EXPECT_FALSE(ExtractArchiveFile(c.archive, TempEntryName("install.ini"), dir / "out.ini", nullptr, &failure));
        EXPECT_FALSE(failure.WriteFailed);
        EXPECT_FALSE(failure.Message.empty());
    }
}

TEST(LanguageKeys, OnlyPlainNamesAreUsed) {
    for (const char* key : {"English", "Deutsch", "pt-BR", "a.b", "with space"}) EXPECT_TRUE(IsSafeLanguageKey(key)) << key;
    for (const char* key : {"", "../../victim", "..\\victim", "..", "a..b", "sub/x", "sub\\x", "c:x", "/abs"})
        EXPECT_FALSE(IsSafeLanguageKey(key)) << key;
}

TEST(LaunchStrings, AreCutAt255Characters) {
    struct Case {
        size_t length, copied;
    };
    for (const Case c : {Case{0, 0}, Case{10, 10}, Case{255, 255}, Case{256, 255}, Case{300, 255}}) {
        SCOPED_TRACE(c.length);
        std::string text;
        for (size_t i = 0; i < c.length; ++i) text += static_cast<char>('a' + i % 26);
        char buffer[300];
        std::memset(buffer, '#', sizeof buffer);
        CopyLaunchString(buffer, text);
        EXPECT_EQ(std::string(buffer), text.substr(0, c.copied));
        EXPECT_EQ(buffer[c.copied + 1], '#');
    }
}

TEST(WaitForWizardTest, AWizardThatHasEndedCostsNoMessageProcessing) {
    TempDir dir;
    const std::string request = dir / "request";
    WriteFileText(request, "0 5");
    const std::string child = built::Child;
    platform::ProcessHandle process = platform::NoProcess;
    ASSERT_TRUE(platform::LaunchProcess(child, request, 1, process));
    while (platform::WaitForProcess(process, 100) == platform::WaitResult::TimedOut) {
    }
    RecordingWindow::Record record;
    TApplication application(std::make_unique<RecordingWindow>(record));
    int32_t exitCode = -1;
    EXPECT_TRUE(WaitForWizard(application, process, exitCode));
    EXPECT_EQ(exitCode, 5);
    EXPECT_EQ(record.ProcessMessagesCalls, 0);
    EXPECT_FALSE(platform::ProcessCrashed(process));
    platform::CloseProcess(process);
}
