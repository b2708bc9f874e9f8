// The start handler's flows, driven through the real form and application
// objects over a recording window, on real setup files in a private
// temporary directory.
#include <gtest/gtest.h>

#include <filesystem>

#include <quern/Exceptions.h>
#include <quern/Platform.h>
#include "setup/Genfile.h"
#include "setup/Payload.h"
#include "setup/SetupUnit.h"
#include "tests/setup/SetupHarness.h"
#include "tests/support/RecordingWindow.h"
#include "tests/support/TestSupport.h"

using namespace quern;

using namespace testing_support;
using namespace setup_harness;

namespace {
class DriverTest : public SetupHarness {};
}  // namespace


TEST_F(DriverTest, CopiesTheArchiveForTheSequenceAndRemovesItAfterwards) {
    const Bytes archive = RandomBytes(1'000'003, 7);  // not a multiple of the block size
    const Bytes payload = RandomBytes(5000, 8);
    InstallInputs seen;
    Bytes copy;
    std::vector<std::string> tempWhileRunning;
    std::filesystem::perms dirPerms{};
    const SetupRun run = RunImage(SetupImage(archive, payload), WithSequence([&](TForm1&, const InstallInputs& inputs) {
        seen = inputs;
        copy = ReadFileBytes(inputs.TempArchive);
        tempWhileRunning = LeftInTemp();
        dirPerms = std::filesystem::status(platform::ExtractFilePath(inputs.TempArchive)).permissions();
        return 0;
    }));

    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(copy == archive) << "the temporary archive differs from the embedded one";
    EXPECT_EQ(seen.PayloadSize, 5000);
    EXPECT_EQ(seen.PayloadStart, PayloadScanStart + 13 + static_cast<int32_t>(archive.size()));
    EXPECT_EQ(seen.ExeName, ExeName());
    // One private directory of ours in the temporary path, holding the QNV file.
    ASSERT_EQ(tempWhileRunning.size(), 1u);
    EXPECT_EQ(platform::ExtractFilePath(seen.TempArchive), dir_ / "tmp" + platform::PathDelim + tempWhileRunning[0] +
                                                      platform::PathDelim);
    EXPECT_EQ(seen.TempArchive.substr(platform::ExtractFilePath(seen.TempArchive).size(), 3), "QNV");
#ifndef _WIN32
    EXPECT_EQ(dirPerms & std::filesystem::perms::all, std::filesystem::perms::owner_all);
#endif

    // Bar: range set to the archive length, advanced by the bytes read per
    // block with messages pumped after each, then the range 0..100.
    ASSERT_GE(run.window.MaxHistory.size(), 2u);
    EXPECT_EQ(run.window.MaxHistory[run.window.MaxHistory.size() - 2], static_cast<int32_t>(archive.size()));
    EXPECT_EQ(run.window.MaxHistory.back(), 100);
    const size_t blocks = (archive.size() + ScanBlockSize - 1) / ScanBlockSize;
    EXPECT_EQ(run.window.ProcessMessagesCalls, static_cast<int>(blocks));
    // The last read takes the archive's remainder and the payload behind it.
    EXPECT_EQ(run.window.Positions.back(), static_cast<int32_t>(archive.size() + payload.size()));

    EXPECT_TRUE(run.window.Boxes.empty());
    EXPECT_TRUE(run.window.Closed);
    EXPECT_TRUE(run.restarts.empty());
    EXPECT_TRUE(LeftInTemp().empty());
}

TEST_F(DriverTest, DamagedAppendedDataShowsTheOneErrorBoxAndEnds) {
    const Bytes archive = RandomBytes(70000, 1);
    struct Case {
        const char* what;
        Bytes image;
    };
    Bytes noMagic(PayloadScanStart + 50000, 0x90);
    Bytes bareStub(150000, 0x90);
    const Case cases[] = {
        {"no magic after the scan start", noMagic},
        {"a bare stub that ends before the scan start", bareStub},
        {"archive length past the end of the file",
         SetupImage(archive, {}, static_cast<int32_t>(archive.size()) + 40000)},
        // Not the progress bar's range error: a negative length is damage.
        {"negative archive length", SetupImage(archive, {}, -5)},
        {"negative payload size", [&] {
             Bytes image = SetupImage(archive, {});
             for (int i = 0; i < 4; ++i) image[PayloadScanStart + 9 + i] = 0xFF;
             return image;
         }()},
        {"payload past the end of the file", [&] {
             Bytes image = SetupImage(archive, RandomBytes(100, 2));
             image.resize(image.size() - 1);
             return image;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        bool sequenceRan = false;
        const SetupRun run = RunImage(c.image, WithSequence([&](TForm1&, const InstallInputs&) {
            sequenceRan = true;
            return 1;
        }));
        EXPECT_FALSE(sequenceRan);
        ASSERT_EQ(run.window.Boxes.size(), 1u);
        EXPECT_EQ(run.window.Boxes[0].Text, "Error reading data. Possible corrupt file.");
        EXPECT_EQ(run.window.Boxes[0].Caption, "Error");
        EXPECT_EQ(run.window.Boxes[0].Flags, 0x10u);
        EXPECT_TRUE(run.window.Boxes[0].Owned);
        EXPECT_TRUE(run.window.Terminated);
        EXPECT_TRUE(run.window.Closed);
        EXPECT_EQ(run.exitCode, seCorruptData);
        EXPECT_TRUE(run.restarts.empty());
        EXPECT_TRUE(LeftInTemp().empty());
    }
}

TEST_F(DriverTest, EscapedExceptionsAreReportedOnceAndEndTheProgram) {
    const Bytes archive = RandomBytes(1000, 2);
    struct Case {
        const char* what;
        Bytes image;
        std::function<int32_t(TForm1&, const InstallInputs&)> sequence;
        std::string box;
    };
    const Case cases[] = {
        {"the sequence fails after hiding the form", SetupImage(archive, {}, 1000),
         [](TForm1& form, const InstallInputs& inputs) -> int32_t {
             form.Hide();
             throw Exception("Unable to write to " + ChangeFileExt(inputs.TempArchive, ".ini"));
         },
         ""},
        {"a message ending in a full stop gets no second one", SetupImage(archive, {}, 1000),
         [](TForm1&, const InstallInputs&) -> int32_t { throw Exception("Disk full."); }, "Disk full."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const SetupRun run = RunImage(c.image, WithSequence(c.sequence));
        ASSERT_EQ(run.window.Boxes.size(), 1u);
        if (!c.box.empty()) EXPECT_EQ(run.window.Boxes[0].Text, c.box);
        else EXPECT_EQ(run.window.Boxes[0].Text.rfind("Unable to write to ", 0), 0u);
        EXPECT_EQ(run.window.Boxes[0].Caption, "Quillset Setup Utility");
        EXPECT_EQ(run.window.Boxes[0].Flags, 0x10u);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_TRUE(run.restarts.empty());
        EXPECT_TRUE(LeftInTemp().empty());
    }
}

TEST_F(DriverTest, RestartRequestFollowsTheSetting) {
    const Bytes archive = RandomBytes(100, 3);
    struct Case {
        int32_t setting;
        std::vector<uint32_t> requests;
    };
    const Case cases[] = {{0, {}}, {1, {0x42}}, {2, {0x43}}, {-1, {0x43}}, {16, {0x43}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting);
        const SetupRun run = RunImage(SetupImage(archive, {}, 100), WithSequence([&](TForm1&, const InstallInputs&) { return c.setting; }));
        EXPECT_EQ(run.restarts, c.requests);
        // Only once everything is deleted: the archive copy was still there while the sequence ran.
        for (const auto& left : run.tempAtRestart) EXPECT_TRUE(left.empty()) << left.size() << " files left";
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_TRUE(run.window.Boxes.empty());
    }
}

TEST_F(DriverTest, TheWizardsOutcomeDecidesStatusAndRestart) {
    const Bytes archive = RandomBytes(100, 3);
    struct Case {
        const char* what;
        InstallOutcome outcome;
        int status;
        bool restart;
    };
    const Case cases[] = {
        {"ran to its end", {true, true, 0, 1}, 0, true},
        {"ran to its end with exit code 3", {true, true, 3, 1}, 3, true},
        {"crashed or was killed", {true, false, 134, 1}, 134, false},
        {"never started", {false, false, 0, 1}, seWizardNotStarted, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const SetupRun run = RunImage(SetupImage(archive, {}), WithOutcome([&](TForm1&, const InstallInputs&) { return c.outcome; }));
        EXPECT_EQ(run.exitCode, c.status);
        EXPECT_EQ(run.restarts.size(), c.restart ? 1u : 0u);
        EXPECT_TRUE(run.window.Boxes.empty());
        EXPECT_TRUE(LeftInTemp().empty());
    }
}

TEST(ExceptionBoxText, AppendsAFullStopAfterCharactersAboveIt) {
    struct Case {
        std::string message, shown;
    };
    const Case cases[] = {{"Cannot open file x", "Cannot open file x."},
                          {"Bad decode table in archive!", "Bad decode table in archive!"},
                          {"(see above)", "(see above)"},
                          {"Code 7", "Code 7."},
                          {"ends with /", "ends with /."},
                          {"", ""}};
    for (const auto& c : cases) EXPECT_EQ(TApplication::ExceptionBoxText(c.message), c.shown);
}

TEST(PathHelpers, BehaveLikeTheClassLibrary) {
    const std::string d(1, platform::PathDelim);
    EXPECT_EQ(AddBackslash(""), d);
    EXPECT_EQ(AddBackslash("a" + d), "a" + d);
    EXPECT_EQ(AddBackslash("a"), "a" + d);
    EXPECT_EQ(ChangeFileExt("t" + d + "QNV1A.tmp", ".ini"), "t" + d + "QNV1A.ini");
    EXPECT_EQ(ChangeFileExt("t.d" + d + "QNV1A", ".ini"), "t.d" + d + "QNV1A.ini");
    EXPECT_EQ(platform::ExtractFilePath("t" + d + "u" + d + "f"), "t" + d + "u" + d);
    EXPECT_EQ(platform::ExtractFilePath("f"), "");
}

TEST(TempNames, AreUniqueEmptyFilesInPrivateDirectories) {
    TempDir dir;
    ScopedEnv env(TempPathVariable, dir.Path());
    const std::string a = NewTempFileName(), b = NewTempFileName();
    EXPECT_NE(a, b);
    EXPECT_TRUE(platform::FileExists(a));
    EXPECT_TRUE(platform::FileExists(b));
    EXPECT_TRUE(ReadFileBytes(a).empty());
    DeleteTempFileAndDirectory(a);
    DeleteTempFileAndDirectory(b);
    EXPECT_TRUE(ListDirectory(dir.Path()).empty());
}

TEST(TempNames, AMissingTemporaryDirectoryIsAnError) {
    TempDir dir;
    ScopedEnv env(TempPathVariable, dir / "does-not-exist");
    EXPECT_THROW(NewTempFileName(), EPlatformError);
}
