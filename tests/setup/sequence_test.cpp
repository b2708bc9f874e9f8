// The installation sequence with real archives, real files and a real
// wizard process, driven in-process through the form so that the restart
// request can be observed (and never made).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "archive/ArchiveWriter.h"
#include "platform/Platform.h"
#include "setup/Genfile.h"
#include "setup/Payload.h"
#include "setup/SetupUnit.h"
#include "tests/support/RecordingWindow.h"
#include "tests/support/TestSupport.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
const char* const kExe = ".exe";
#else
const char* const kExe = "";
#endif

std::string ChildProgram() { return BinaryDir() + "tests" + platform::PathDelim + "quern_child" + kExe; }
std::string WizardProgram() {
    return BinaryDir() + "wizard" + platform::PathDelim + "inst32" + kExe;
}

void PutInt32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

constexpr uint32_t kDate = 0x2561'6BC9;  // 1 November 1998, 13:30:18

// The embedded archive: each file stored under "<temp>\" + name.
Bytes WizardArchive(const std::map<std::string, Bytes>& files, uint8_t type = ctLh5) {
    TArchiveWriter writer;
    for (const auto& [name, data] : files) writer.AddMemory("<temp>\\" + name, data, kDate, 0x20, type);
    TMemoryStream out;
    writer.WriteToStream(out);
    return out.Bytes();
}

Bytes SetupImage(const Bytes& archive, const Bytes& payload) {
    Bytes image(PayloadScanStart, 0x90);
    const auto magic = PayloadMagic();
    image.insert(image.end(), magic.begin(), magic.end());
    PutInt32(image, static_cast<uint32_t>(archive.size()));
    PutInt32(image, static_cast<uint32_t>(payload.size()));
    image.insert(image.end(), archive.begin(), archive.end());
    image.insert(image.end(), payload.begin(), payload.end());
    return image;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct SequenceRun {
    RecordingWindow::Record window;
    int exitCode = -1;
    std::vector<uint32_t> restarts;
};

class SequenceTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directory(dir_ / "tmp");
        tmpEnv_ = std::make_unique<ScopedEnv>(TempPathVariable, dir_ / "tmp");
    }

    SequenceRun RunImage(const Bytes& image, std::function<std::string()> tempName = nullptr) {
        const std::string exe = dir_ / "my setup.exe";
        WriteFileBytes(exe, image);
        SequenceRun run;
        SetupServices services;
        services.ModuleFileName = [exe] { return exe; };
        services.RequestRestart = [&run](uint32_t code) { run.restarts.push_back(code); };
        if (tempName) services.NewTempFileName = std::move(tempName);
        TApplication application(std::make_unique<RecordingWindow>(run.window));
        application.Title = ApplicationTitle;
        TForm1 form(application, services);
        run.exitCode = application.Run(form);
        return run;
    }

    std::vector<std::string> LeftInTemp() const { return ListDirectory(dir_ / "tmp"); }

    TempDir dir_;
    std::unique_ptr<ScopedEnv> tmpEnv_;
};

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
#ifndef _WIN32  // the Windows shell answers a failed launch with a modal box of its own
    EXPECT_EQ(RunAndWait(application, (dir / "no such program").c_str(), request.c_str(), 1), -1);
#endif
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
    const SequenceRun run = RunImage(SetupImage(archive, payloadArchive));

    EXPECT_EQ(run.exitCode, 0);
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
    EXPECT_NE(seen.find("Source=" + (dir_ / "my setup.exe")), std::string::npos) << seen;
    EXPECT_NE(seen.find("readme.txt"), std::string::npos) << seen;
}

TEST_F(SequenceTest, AWizardThatAsksForARestartGetsExactlyOne) {
    const Bytes archive = WizardArchive({
        {"install.ini", Text(Settings("Install Directory=" + (dir_ / "installed") +
                                      "\r\nShow ReadMe=0\r\nRequest Restart=1\r\n"))},
        {"inst32.exe", ReadFileBytes(WizardProgram())},
        {"english.lng", Text("[Messages]\r\n")},
        {"deutsch.lng", Text("[Messages]\r\n")},
    });
    TArchiveWriter payload;
    payload.AddMemory("a.txt", Text("a"), kDate, 0x20, ctNone);
    TMemoryStream payloadBytes;
    payload.WriteToStream(payloadBytes);
    const SequenceRun run = RunImage(SetupImage(archive, payloadBytes.Bytes()));
    EXPECT_EQ(run.restarts, std::vector<uint32_t>{0x42});
    EXPECT_TRUE(LeftInTemp().empty());
}

TEST_F(SequenceTest, FaultRunsLeaveNothingAndRequestNoRestart) {
    const Bytes settings = Text(Settings("Request Restart=1\r\n"));
    Bytes damaged = WizardArchive({{"install.ini", settings}, {"inst32.exe", ReadFileBytes(ChildProgram())}});
    damaged[damaged.size() - 3] ^= 0x55;  // inside the last entry's coded data
    struct Case {
        const char* what;
        Bytes archive;
    };
    const Case cases[] = {
#ifndef _WIN32  // the Windows shell answers a failed launch with a modal box of its own
        {"no inst32.exe in the archive", WizardArchive({{"install.ini", settings}, {"english.lng", Text("x")}})},
        {"damaged entries", damaged},
        {"an empty archive", Bytes{}},
#endif
        // The test child reads the hand-off file as its request, fails to and exits 99.
        {"a wizard that exits with an error",
         WizardArchive({{"install.ini", settings}, {"inst32.exe", ReadFileBytes(ChildProgram())}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const SequenceRun run = RunImage(SetupImage(c.archive, {}));
        EXPECT_TRUE(run.restarts.empty());
        EXPECT_TRUE(LeftInTemp().empty());
        EXPECT_TRUE(run.window.Closed);
    }
}

#ifndef _WIN32
TEST_F(SequenceTest, AWizardThatCrashesLeavesNothing) {
    const Bytes archive = WizardArchive({{"install.ini", Text(Settings("Request Restart=1\r\n"))},
                                         {"inst32.exe", Text("#!/bin/sh\nkill -SEGV $$\n")}});
    const SequenceRun run = RunImage(SetupImage(archive, {}));
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
    const SequenceRun run = RunImage(SetupImage(archive, {}), [&] {
        WriteFileBytes(archiveCopy, {});
        return archiveCopy;
    });
    ASSERT_EQ(run.window.Boxes.size(), 1u);
    EXPECT_EQ(run.window.Boxes[0].Text, "Unable to write to " + (dir_ / "own" + platform::PathDelim + "QNV1.ini") + ".");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.restarts.empty());
    // Only the directory the test planted remains.
    EXPECT_EQ(ListDirectory(dir_ / "own"), std::vector<std::string>{"QNV1.ini"});
}
