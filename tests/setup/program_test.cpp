// The built programs as a user runs them: mksetup makes a setup program, the
// setup program runs as a real process with its own temporary directory.
#include <gtest/gtest.h>

#include <filesystem>

#include <quern/Platform.h>
#include "setup/Integrity.h"
#include "setup/Payload.h"
#include "tests/support/LhaMember.h"
#include "tests/support/TestSupport.h"

using namespace quern;

using namespace testing_support;
namespace fs = std::filesystem;

#ifndef _WIN32  // under Wine the programs are driven by scripts/windows-e2e.sh

namespace {



// Runs `command` with TMPDIR set to `temp`; standard error goes to `err`.
int RunWithTemp(const std::string& command, const std::string& temp, const std::string& err) {
    return RunCommand("TMPDIR=" + ShellQuote(temp) + " " + command + " >/dev/null 2>" + ShellQuote(err));
}

// "mksetup -o OUT --stub <the Linux stub>", to be completed with the inputs.
std::string Mksetup(const std::string& out) {
    return ShellQuote(built::Mksetup) + " -o " + ShellQuote(out) + " --stub " +
           ShellQuote(built::Setup);
}

}  // namespace

TEST(SetupProgram, ABareStubReportsCorruptDataAndLeavesNothing) {
    TempDir dir;
    fs::create_directory(dir / "tmp");
    const int status = RunWithTemp(ShellQuote(built::Setup), dir / "tmp", dir / "err");
    EXPECT_NE(status, 0);
    EXPECT_EQ(ReadFileText(dir / "err"), "Error: Error reading data. Possible corrupt file.\n");
    EXPECT_TRUE(ListDirectory(dir / "tmp").empty());
}

TEST(SetupProgram, ReportsARandomArchiveAsCorruptAndRemovesEverything) {
    TempDir dir;
    fs::create_directory(dir / "tmp");
    WriteFileBytes(dir / "archive.bin", RandomBytes(1 << 20, 11));
    WriteFileBytes(dir / "payload.bin", RandomBytes(1000, 12));
    ASSERT_EQ(RunCommand(Mksetup(dir / "my setup") + " --archive " + ShellQuote(dir / "archive.bin") +
                         " --payload " + ShellQuote(dir / "payload.bin")),
              0);
    // Copied whole and vouched for by the record, but no archive: the
    // settings' extraction fails, the sequence cleans up.
    EXPECT_EQ(RunWithTemp(ShellQuote(dir / "my setup"), dir / "tmp", dir / "err"), 81) << ReadFileText(dir / "err");
    EXPECT_EQ(ReadFileText(dir / "err"), "Error: Error reading data. Possible corrupt file.\n");
    EXPECT_TRUE(ListDirectory(dir / "tmp").empty());
}

TEST(Mksetup, AppendsAnIntegrityRecordAfterThePayload) {
    TempDir dir;
    const Bytes archive = RandomBytes(70'001, 21), payload = RandomBytes(40'003, 22);
    WriteFileBytes(dir / "archive.bin", archive);
    WriteFileBytes(dir / "payload.bin", payload);
    ASSERT_EQ(RunCommand(Mksetup(dir / "setup") + " --archive " + ShellQuote(dir / "archive.bin") + " --payload " +
                         ShellQuote(dir / "payload.bin")),
              0);
    const Bytes image = ReadFileBytes(dir / "setup");
    const size_t stub = fs::file_size(built::Setup);
    const size_t trailerAt = std::max<size_t>(stub, PayloadScanStart);
    const size_t recordAt = trailerAt + 13 + archive.size() + payload.size();
    ASSERT_EQ(image.size(), recordAt + IntegrityRecordSize);
    const auto record = ParseIntegrityRecord(image.data() + recordAt, IntegrityRecordSize);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->ArchiveLength, static_cast<int32_t>(archive.size()));
    EXPECT_EQ(record->PayloadSize, static_cast<int32_t>(payload.size()));
    EXPECT_EQ(record->RecordStart, recordAt);
    EXPECT_EQ(record->DataCrc, Crc32(image.data() + trailerAt, recordAt - trailerAt));
}

TEST(SetupProgram, InstallsADemoProductEndToEnd) {
    TempDir dir;
    fs::create_directory(dir / "tmp");
    fs::create_directories(dir / "wizard");
    fs::create_directories(dir / "payload/docs/deep");
    const std::string dest = dir / "installed";
    WriteFileText(dir / "wizard/install.ini",
                  "[LANGUAGES]\r\nEnglish=\r\nFrancais=\r\n\r\n[GENERAL SETTINGS]\r\nInstall Directory=" + dest +
                      "\r\nShow ReadMe=1\r\nReport File=" + (dir / "report.txt") + "\r\nRestart Windows=0\r\n");
    WriteFileText(dir / "wizard/english.lng", "[Messages]\r\n");
    WriteFileText(dir / "wizard/francais.lng", "[Messages]\r\n");
    WriteFileText(dir / "wizard/readme.txt", "Please read me.\n");
    fs::copy_file(built::Wizard, dir / "wizard/inst32.exe");
    WriteFileBytes(dir / "payload/docs/deep/data.bin", RandomBytes(200'000, 3));
    WriteFileText(dir / "payload/top.txt", std::string(5000, 'q'));

    const std::string mksetup = Mksetup(dir / "setup");
    ASSERT_EQ(RunCommand(mksetup + " --wizard " + ShellQuote(dir / "wizard") + " --payload " + ShellQuote(dir / "payload")), 0);
    EXPECT_EQ(RunWithTemp(ShellQuote(dir / "setup"), dir / "tmp", dir / "err"), 0) << ReadFileText(dir / "err");

    EXPECT_TRUE(ReadFileBytes(dest + "/docs/deep/data.bin") == RandomBytes(200'000, 3));
    EXPECT_EQ(ReadFileText(dest + "/top.txt"), std::string(5000, 'q'));
    EXPECT_TRUE(ListDirectory(dir / "tmp").empty());
    const std::string report = ReadFileText(dir / "report.txt");
    EXPECT_NE(report.find("Source=" + (dir / "setup")), std::string::npos) << report;
}

TEST(SetupProgram, RunsFromArchivesMadeByQuern) {
    // The wizard's files in a directory named "<temp>", so that quern stores
    // them as "<temp>\\NAME", as the setup asks for them.
    TempDir dir;
    fs::create_directory(dir / "tmp");
    fs::create_directories(dir / "<temp>");
    fs::create_directories(dir / "payload/docs");
    const std::string dest = dir / "installed";
    WriteFileText(dir / "<temp>/install.ini", "[LANGUAGES]\r\nEnglish=\r\n\r\n[GENERAL SETTINGS]\r\nInstall Directory=" +
                                                  dest + "\r\nShow ReadMe=0\r\n");
    WriteFileText(dir / "<temp>/english.lng", "[Messages]\r\n");
    fs::copy_file(built::Wizard, dir / "<temp>/inst32.exe");
    const Bytes text = Bytes(300'000, 'x');
    WriteFileBytes(dir / "payload/docs/manual.txt", text);
    WriteFileBytes(dir / "payload/noise.bin", RandomBytes(70'000, 9));

    const std::string quern = ShellQuote(built::Quern);
    ASSERT_EQ(RunCommand(quern + " c -m lh5 " + ShellQuote(dir / "wizard.zmar") + " " + ShellQuote(dir / "<temp>") + " >/dev/null"), 0);
    ASSERT_EQ(RunCommand(quern + " c -m lh5 " + ShellQuote(dir / "payload.zmar") + " " + ShellQuote(dir / "payload/docs") + " " +
                         ShellQuote(dir / "payload/noise.bin") + " >/dev/null"),
              0);
    ASSERT_EQ(RunCommand(Mksetup(dir / "setup") + " --archive " + ShellQuote(dir / "wizard.zmar") +
                         " --payload " + ShellQuote(dir / "payload.zmar")),
              0);
    EXPECT_EQ(RunWithTemp(ShellQuote(dir / "setup"), dir / "tmp", dir / "err"), 0) << ReadFileText(dir / "err");
    EXPECT_TRUE(ReadFileBytes(dest + "/docs/manual.txt") == text);
    EXPECT_TRUE(ReadFileBytes(dest + "/noise.bin") == RandomBytes(70'000, 9));
    EXPECT_TRUE(ListDirectory(dir / "tmp").empty());
}

TEST(Mksetup, ChecksTheWizardDirectory) {
    TempDir dir;
    fs::create_directories(dir / "wizard");
    fs::create_directories(dir / "payload");
    WriteFileText(dir / "payload/a.txt", "a");
    const std::string mksetup = Mksetup(dir / "setup") + " --wizard " + ShellQuote(dir / "wizard") +
                                " --payload " + ShellQuote(dir / "payload") + " 2>" + ShellQuote(dir / "err");
    struct Case {
        const char* what;
        std::function<void()> prepare;
        std::string complaint;
    };
    const Case cases[] = {
        {"no install.ini", [&] { WriteFileText(dir / "wizard/inst32.exe", "x"); }, "install.ini"},
        {"no inst32.exe",
         [&] {
             fs::remove(dir / "wizard/inst32.exe");
             WriteFileText(dir / "wizard/install.ini", "[LANGUAGES]\r\nEnglish=\r\n");
         },
         "inst32.exe"},
        {"a language without its file", [&] { WriteFileText(dir / "wizard/inst32.exe", "x"); }, "English.lng"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.prepare();
        EXPECT_NE(RunCommand(mksetup), 0);
        EXPECT_NE(ReadFileText(dir / "err").find(c.complaint), std::string::npos) << ReadFileText(dir / "err");
        EXPECT_FALSE(fs::exists(dir / "setup"));
    }
}

#endif
