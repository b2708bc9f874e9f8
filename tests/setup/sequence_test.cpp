// The installation sequence with real archives, real files and a real
// wizard process, driven in-process through the form so that the restart
// request can be observed (and never made).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include <quern/ArchiveWriter.h>
#include <quern/Platform.h>
#include "setup/Genfile.h"
#include "setup/Payload.h"
#include "setup/SetupUnit.h"
#include "tests/platform/DialogCloser.h"
#include "tests/setup/SetupHarness.h"
#include "tests/support/RecordingWindow.h"
#include "tests/support/TestSupport.h"

using namespace quern;

using namespace testing_support;
using namespace setup_harness;
namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
const char* const kExe = ".exe";
constexpr bool OnWindows = true;
#else
const char* const kExe = "";
constexpr bool OnWindows = false;
#endif

std::string ChildProgram() { return built::Child; }
std::string WizardProgram() { return built::Wizard; }

constexpr uint32_t kDate = 0x2561'6BC9;  // 1 November 1998, 13:30:18

// The embedded archive: each file stored under "<temp>\" + name.
Bytes WizardArchive(const std::map<std::string, Bytes>& files, uint8_t type = ctLh5) {
    TArchiveWriter writer;
    for (const auto& [name, data] : files) writer.AddMemory("<temp>\\" + name, data, kDate, 0x20, type);
    TMemoryStream out;
    writer.WriteToStream(out);
    return out.Bytes();
}

class SequenceTest : public SetupHarness {};

std::string Settings(const std::string& extra) {
    return "[LANGUAGES]\r\nEnglish=\r\nDeutsch=\r\n\r\nfree text\r\n\r\n[GENERAL SETTINGS]\r\nRestart Windows=0\r\n" +
           extra;
}

}  // namespace

TEST(RunAndWaitTest, WaitsForARealChildWhileProcessingMessages) {
    TempDir dir;
    fs::create_directory(dir / "with spaces");
    const std::string request = dir / "with spaces" + platform::PathDelim + "hand off.ini";
    WriteFileText(request, "450 7");
    RecordingWindow::Record record;
    TApplication application(std::make_unique<RecordingWindow>(record));
    const int32_t code = RunAndWait(application, ChildProgram().c_str(), request.c_str(), 1);
    EXPECT_EQ(code, 7);
    // The parameter string arrives whole, spaces and all, without quotes.
    EXPECT_EQ(ReadFileText(request + ".seen"), request);
    EXPECT_GE(record.ProcessMessagesCalls, 3);
    // The Windows shell answers a failed launch with a modal box of its own.
    DialogCloser closer;
    EXPECT_EQ(RunAndWait(application, (dir / "no such program").c_str(), request.c_str(), 1), -1);
    EXPECT_EQ(closer.Seen().size(), OnWindows ? 1u : 0u);
}

TEST(RestartCodes, MapTheSetting) {
    EXPECT_EQ(RestartCodeFor(1), 0x42u);
    for (int32_t setting : {2, -1, 16}) EXPECT_EQ(RestartCodeFor(setting), 0x43u) << setting;
}

TEST_F(SequenceTest, TheWizardSeesItsFilesAndThePayloadAndEverythingIsRemoved) {
    const std::string report = dir_ / "report.txt";
    const Bytes payloadArchive = [] {
        TArchiveWriter writer;
        writer.AddMemory("docs\\manual.txt", Text("the manual\n"), kDate, 0x20, ctLh5);
        writer.AddMemory("big.bin", RandomBytes(300'000, 5), kDate, 0x20, ctLh5);
        TMemoryStream out;
        writer.WriteToStream(out);
        return out.Bytes();
    }();
    const std::string dest = dir_ / "installed";
    const Bytes archive = WizardArchive({
        {"install.ini", Text(Settings("Install Directory=" + dest + "\r\nShow ReadMe=0\r\nReport File=" + report +
                                      "\r\n"))},
        {"inst32.exe", ReadFileBytes(WizardProgram())},
        {"readme.txt", Text("Read me first.\r\n")},
        {"english.lng", Text("[Messages]\r\n")},
        {"deutsch.lng", Text("[Messages]\r\n")},
    });
    SetupServices services;
    std::vector<std::string> extracted;
    services.ExtractFile = [&extracted](const std::string& archiveName, const std::string& wanted,
                                        const std::string& target, const TShowProgressEvent& progress,
                                        ExtractFailure* failure) {
        extracted.push_back(wanted);
        return ExtractArchiveFile(archiveName, wanted, target, progress, failure);
    };
    // The wizard, given a console of its own, ends with a box (Windows).
    DialogCloser closer(DialogCloser::AllProcesses);
    const SetupRun run = RunImage(SetupImage(archive, payloadArchive), services);
    const auto boxes = closer.Seen();

    EXPECT_EQ(run.exitCode, 0);
    if (OnWindows) {
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].Caption, "Quillset Product");
        EXPECT_EQ(boxes[0].Text, "Quillset Product is installed (2 files).");
    } else {
        EXPECT_TRUE(boxes.empty());
    }
    // The wizard's files, then the languages as the settings reader gives
    // them: the last line's first.
    const std::string t = "<Temp>" + std::string(1, platform::PathDelim);
    EXPECT_EQ(extracted, (std::vector<std::string>{t + "install.ini", t + "inst32.exe", t + "readme.txt",
                                                    t + "Deutsch.lng", t + "English.lng"}));
    EXPECT_TRUE(run.window.Boxes.empty());
    EXPECT_TRUE(run.window.Hidden);
    EXPECT_TRUE(run.restarts.empty());
    EXPECT_EQ(ReadFileText(dest + platform::PathDelim + "docs" + platform::PathDelim + "manual.txt"), "the manual\n");
    EXPECT_TRUE(ReadFileBytes(dest + platform::PathDelim + "big.bin") == RandomBytes(300'000, 5));
    EXPECT_TRUE(LeftInTemp().empty());

    // What the wizard saw while it ran.
    const std::string seen = ReadFileText(report);
    const int32_t start = PayloadScanStart + 13 + static_cast<int32_t>(archive.size());
    EXPECT_NE(seen.find("Start=" + std::to_string(start)), std::string::npos) << seen;
    EXPECT_NE(seen.find("Size=" + std::to_string(payloadArchive.size())), std::string::npos) << seen;
    EXPECT_NE(seen.find("Source=" + ExeName()), std::string::npos) << seen;
    // ReadMe and Temp name the files in the setup's own temporary directory.
    const size_t pathAt = seen.find("\nPath=");
    ASSERT_NE(pathAt, std::string::npos) << seen;
    const std::string tempDir = seen.substr(pathAt + 6, seen.find('\n', pathAt + 1) - pathAt - 6);
    EXPECT_EQ(platform::ExtractFilePath(tempDir), tempDir);
    EXPECT_EQ(tempDir.rfind(dir_ / "tmp", 0), 0u) << tempDir;
    EXPECT_NE(seen.find("\nReadMe=" + tempDir + "readme.txt\n"), std::string::npos) << seen;
    const size_t tempAt = seen.find("\nTemp=" + tempDir + "QNV");
    ASSERT_NE(tempAt, std::string::npos) << seen;
    EXPECT_EQ(seen.substr(seen.find('\n', tempAt + 1) - 4, 4), ".tmp") << seen;
    // Every file of the temporary directory was there while it ran; the
    // languages come in the order the settings reader gives, the last first.
    for (const char* line : {"install.ini=present", "inst32.exe=present", "readme.txt=present",
                             "English.lng=present", "Deutsch.lng=present", "Key1=Deutsch", "Key2=English"})
        EXPECT_NE(seen.find(std::string("\n") + line + "\n"), std::string::npos) << line << "\n" << seen;
}

TEST_F(SequenceTest, AWizardThatAsksForARestartGetsExactlyOne) {
    // Unattended: no box at the end.
    const Bytes archive = WizardArchive({
        {"install.ini", Text(Settings("Install Directory=" + (dir_ / "installed") +
                                      "\r\nShow ReadMe=0\r\nRequest Restart=1\r\nMessage Boxes=0\r\n"))},
        {"inst32.exe", ReadFileBytes(WizardProgram())},
        {"english.lng", Text("[Messages]\r\n")},
        {"deutsch.lng", Text("[Messages]\r\n")},
    });
    TArchiveWriter payload;
    payload.AddMemory("a.txt", Text("a"), kDate, 0x20, ctNone);
    TMemoryStream payloadBytes;
    payload.WriteToStream(payloadBytes);
    DialogCloser closer(DialogCloser::AllProcesses);
    const SetupRun run = RunImage(SetupImage(archive, payloadBytes.Bytes()));
    EXPECT_TRUE(closer.Seen().empty());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.restarts, std::vector<uint32_t>{0x42});
    ASSERT_EQ(run.tempAtRestart.size(), 1u);
    EXPECT_TRUE(run.tempAtRestart[0].empty()) << "the restart came before the clean-up";
    EXPECT_TRUE(LeftInTemp().empty());
}

#ifndef _WIN32
TEST_F(SequenceTest, AReadMeTheWizardMadeIsNotDeleted) {
    // No read-me in the archive; the wizard writes one beside its settings.
    fs::create_directory(dir_ / "own");
    const std::string own = dir_ / "own" + platform::PathDelim;
    const Bytes archive = WizardArchive({{"install.ini", Text(Settings(""))},
                                         {"inst32.exe", Text("#!/bin/sh\necho mine >\"${1%/*}/readme.txt\"\n")}},
                                        ctNone);
    SetupServices services;
    services.NewTempFileName = [&] {
        WriteFileBytes(own + "QNV1.tmp", {});
        return own + "QNV1.tmp";
    };
    const SetupRun run = RunImage(SetupImage(archive, {}), services);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(ListDirectory(dir_ / "own"), std::vector<std::string>{"readme.txt"});
    EXPECT_EQ(ReadFileText(own + "readme.txt"), "mine\n");
}
#endif

TEST_F(SequenceTest, FaultRunsLeaveNothingAndRequestNoRestart) {
    const Bytes settings = Text(Settings("Request Restart=1\r\n"));
    Bytes damaged = WizardArchive({{"install.ini", settings}, {"inst32.exe", ReadFileBytes(ChildProgram())}});
    damaged[damaged.size() - 3] ^= 0x55;  // inside the last entry's coded data
    struct Case {
        const char* what;
        Bytes archive;
        int status;
        // Windows: the boxes of other programs (the shell's, the wizard's);
        // a text of "*" stands for any.
        std::vector<std::string> boxes;
    };
    const Case cases[] = {
        {"no inst32.exe in the archive", WizardArchive({{"install.ini", settings}, {"english.lng", Text("x")}}),
         seWizardNotStarted, {"*"}},
        {"damaged entries", damaged, seCorruptData, {}},
        {"an empty archive", Bytes{}, seCorruptData, {}},
        // The test child reads the hand-off file as its request, fails to and exits 99.
        {"a wizard that exits with an error",
         WizardArchive({{"install.ini", settings}, {"inst32.exe", ReadFileBytes(ChildProgram())}}), 99, {}},
        // The real wizard, told to ask for a restart, finds no payload and
        // fails: the settings the setup rereads must still say 0. Its failure
        // is shown, and its exit code is the setup's.
        {"a wizard whose installation fails",
         WizardArchive({{"install.ini", Text(Settings("Install Directory=" + (dir_ / "installed") +
                                                      "\r\nShow ReadMe=0\r\nRequest Restart=1\r\n"))},
                        {"inst32.exe", ReadFileBytes(WizardProgram())},
                        {"english.lng", Text("[Messages]\r\n")},
                        {"deutsch.lng", Text("[Messages]\r\n")}}),
         4, {"Installation failed: the payload (0 bytes) holds no archive"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DialogCloser closer(DialogCloser::AllProcesses);
        const SetupRun run = RunImage(SetupImage(c.archive, {}));
        const auto boxes = closer.Seen();
        EXPECT_EQ(run.exitCode, c.status);
        EXPECT_TRUE(run.restarts.empty());
        EXPECT_TRUE(LeftInTemp().empty());
        EXPECT_TRUE(run.window.Closed);
        ASSERT_EQ(boxes.size(), OnWindows ? c.boxes.size() : 0u);
        for (size_t i = 0; i < boxes.size(); ++i) {
            if (c.boxes[i] != "*") {
                EXPECT_EQ(boxes[i].Text, c.boxes[i]);
            }
        }
    }
}

#ifndef _WIN32
TEST_F(SequenceTest, AWizardThatCrashesLeavesNothing) {
    const Bytes archive = WizardArchive({{"install.ini", Text(Settings("Request Restart=1\r\n"))},
                                         {"inst32.exe", Text("#!/bin/sh\nkill -SEGV $$\n")}});
    const SetupRun run = RunImage(SetupImage(archive, {}));
    EXPECT_TRUE(run.restarts.empty());
    EXPECT_TRUE(LeftInTemp().empty());
}
#endif

TEST_F(SequenceTest, AHandOffFileThatCannotBeWrittenIsReportedAndCleanedUp) {
    // The hand-off name is the archive copy's with ".ini": a directory of
    // that name makes every write to it fail.
    fs::create_directory(dir_ / "own");
    const std::string archiveCopy = dir_ / "own" + platform::PathDelim + "QNV1.tmp";
    fs::create_directory(dir_ / "own" + platform::PathDelim + "QNV1.ini");
    const Bytes archive = WizardArchive({{"install.ini", Text(Settings("Request Restart=1\r\n"))},
                                         {"inst32.exe", ReadFileBytes(ChildProgram())},
                                         {"readme.txt", Text("r")},
                                         {"english.lng", Text("x")}});
    SetupServices services;
    services.NewTempFileName = [&] {
        WriteFileBytes(archiveCopy, {});
        return archiveCopy;
    };
    const SetupRun run = RunImage(SetupImage(archive, {}), services);
    ASSERT_EQ(run.window.Boxes.size(), 1u);
    EXPECT_EQ(run.window.Boxes[0].Text, "Unable to write to " + (dir_ / "own" + platform::PathDelim + "QNV1.ini") + ".");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.restarts.empty());
    // Only the directory the test planted remains.
    EXPECT_EQ(ListDirectory(dir_ / "own"), std::vector<std::string>{"QNV1.ini"});
}
