// The built wizard, run as a child process on a hand-made temporary
// directory the way the setup bootstrap leaves it: install.ini, a language
// file, a read-me and a hand-off file, all in a directory whose name has
// blanks, and a fake setup executable holding the payload archive.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <quern/ArchiveWriter.h>
#include <quern/Quern.h>
#include <quern/Myini.h>
#include <quern/Platform.h>
#include <quern/Stream.h>
#include "tests/support/LhaMember.h"
#include "tests/support/TestSupport.h"
#include "wizard/Wizard.h"

using namespace quern;

namespace {

using testing_support::Bytes;
using testing_support::ShellQuote;
using testing_support::ReadFileBytes;
using testing_support::ReadFileText;
using testing_support::WriteFileBytes;
using testing_support::WriteFileText;

constexpr uint32_t SampleDate = 0x25616BC9;  // 1 November 1998, 13:30:18

struct PayloadEntry {
    std::string name;  // stored form, "\" between components
    Bytes data;
    uint8_t type = ctNone;
    int32_t lockFlag = 0;
};

// Ten copies of 2000 random bytes: the LH5 encoder finds the repeats, so the
// entry stays coded (an incompressible one would be stored, unchecked).
Bytes Repetitive() {
    Bytes block = testing_support::RandomBytes(2000, 7), out;
    for (int i = 0; i < 10; ++i) out.insert(out.end(), block.begin(), block.end());
    return out;
}

Bytes ArchiveBytes(const std::vector<PayloadEntry>& entries, int32_t key = 0) {
    TArchiveWriter writer;
    writer.Key = key;
    for (const PayloadEntry& e : entries) writer.AddMemory(e.name, e.data, SampleDate, 0x20, e.type, e.lockFlag);
    TMemoryStream stream;
    writer.WriteToStream(stream);
    return stream.Bytes();
}


std::string WizardProgram() { return testing_support::built::Wizard; }

// The console streams write CR LF on Windows.
std::string WithLineFeeds(std::string text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
    return out;
}

struct RunResult {
    int exitCode;
    std::string out, err;
};

// Builds the temporary directory and the setup file, runs the wizard on them.
class WizardFixture : public ::testing::Test {
public:  // the failure table's rows spoil the fixture through these
    static constexpr size_t FillerSize = 3000;

    testing_support::TempDir root;
    std::string tempDir = root / "Setup Temp 1" + platform::PathDelim;
    std::string handOff = tempDir + "QNV1A2B.ini";
    std::string setupFile = root / "my setup.exe";
    std::string destination = root / "Installed Product";
    std::string reportFile = root / "report.txt";

    std::vector<PayloadEntry> entries = {
        {"top.txt", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}},
        {"bin\\tool.dat", Repetitive(), ctLh5},
        {"docs\\manual\\guide.txt", Bytes(5000, 'g'), ctRle},
        {"docs\\empty.dat", Bytes{}},
    };
    // After the payload: a well-formed entry of a second archive, which a
    // payload reader that runs past Size would take for a fifth file.
    Bytes trailer;
    std::string installIni;
    std::vector<std::pair<std::string, std::string>> params;  // the hand-off file's lines

    void SetUp() override {
        ASSERT_TRUE(platform::CreateDirectory(tempDir));
        const Bytes extra = ArchiveBytes({{"extra.txt", Bytes(50, 'x')}});
        trailer.assign(extra.begin() + ArchiveHeaderSize, extra.end());
        installIni =
            "[LANGUAGES]\r\nEnglish=\r\nDeutsch=\r\n\r\nFree text after the list\r\n"
            "[GENERAL SETTINGS]\r\nProduct Name=Demo Product\r\nInstall Directory=" + destination +
            "\r\nReport File=" + reportFile + "\r\nRestart Windows=0\r\n";
        WriteFileText(tempDir + "install.ini", installIni);
        WriteFileText(tempDir + "Deutsch.lng",
                      "[Messages]\nInstalling=Installiere %1 nach %2\nDone=Fertig: %1, %2 Dateien\n"
                      "Failed=Fehler: %1\n");
        WriteFileText(tempDir + "readme.txt", "Read this\r\nfirst.");
    }

    // Writes the setup file (filler, payload, trailer) and the hand-off file
    // with the given Start and Size (defaults: the payload's true place).
    void WriteSetup(const Bytes& payload) {
        Bytes file = testing_support::RandomBytes(FillerSize, 3);
        file.insert(file.end(), payload.begin(), payload.end());
        file.insert(file.end(), trailer.begin(), trailer.end());
        WriteFileBytes(setupFile, file);
        params = {{"Start", std::to_string(FillerSize)},
                  {"Size", std::to_string(payload.size())},
                  {"Source", setupFile},
                  {"ReadMe", tempDir + "readme.txt"},
                  {"Temp", tempDir + "QNV1A2B.tmp"}};
    }
    void WriteHandOff() {
        std::string text = "[Params]\r\n";
        for (const auto& [key, value] : params) text += key + "=" + value + "\r\n";
        WriteFileText(handOff, text);
    }
    void SetParam(const std::string& key, const std::string& value) {
        for (auto& p : params)
            if (p.first == key) p.second = value;
    }
    void ReplaceSetting(const std::string& key, const std::string& value) {
        const size_t at = installIni.find("\n" + key + "=") + 1;
        installIni.replace(at, installIni.find('\r', at) - at, key + "=" + value);
        WriteFileText(tempDir + "install.ini", installIni);
    }
    void AddSetting(const std::string& line) {
        installIni += line + "\r\n";
        WriteFileText(tempDir + "install.ini", installIni);
    }

    RunResult Run(const std::string& parameters) {
        const std::string out = root / "stdout.txt", err = root / "stderr.txt";
        std::string command = ShellQuote(WizardProgram()) + " " + parameters + " >" + ShellQuote(out) + " 2>" + ShellQuote(err);
#ifdef _WIN32
        command = "\"" + command + "\"";  // cmd.exe drops the outer pair
#endif
        const int code = testing_support::RunCommand(command);
        return {code, WithLineFeeds(ReadFileText(out)), WithLineFeeds(ReadFileText(err))};
    }
    RunResult RunOnHandOff() {
        WriteHandOff();
        return Run(ShellQuote(handOff));
    }
};

TEST_F(WizardFixture, InstallsThePayloadByteForByteAndReportsWhatItSawAndDid) {
    WriteSetup(ArchiveBytes(entries));
    const RunResult r = RunOnHandOff();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");

    for (const PayloadEntry& e : entries) {
        const std::string path = destination + platform::PathDelim + platform::ToNativeSeparators(e.name);
        EXPECT_EQ(ReadFileBytes(path), e.data) << e.name;
    }
    EXPECT_FALSE(platform::FileExists(destination + platform::PathDelim + "extra.txt"));

    // ReadSection gives the keys last line first, so Deutsch is chosen and
    // its texts are used; English.lng does not exist.
    EXPECT_NE(r.out.find("Read me:\nRead this\nfirst.\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Installiere Demo Product nach " + destination + "\n"), std::string::npos) << r.out;
    // Paths as the platform writes them: "bin/tool.dat" on POSIX.
    EXPECT_NE(r.out.find("  " + platform::ToNativeSeparators("bin\\tool.dat") + " (20000 bytes)\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Fertig: Demo Product, 4 Dateien\n"), std::string::npos) << r.out;
    EXPECT_LT(r.out.find("Read me:"), r.out.find("Installiere"));

    const std::string expected =
        "[Temporary Directory]\n"
        "Path=" + tempDir + "\n"
        "install.ini=present\n"
        "inst32.exe=absent\n"
        "readme.txt=present\n"
        "Deutsch.lng=present\n"
        "English.lng=absent\n"
        "[Languages]\n"
        "Count=2\n"
        "Key1=Deutsch\n"
        "Key2=English\n"
        "Chosen=Deutsch\n"
        "Messages=" + tempDir + "Deutsch.lng\n"
        "[Params]\n"
        "Start=3000\n"
        "Size=" + params[1].second + "\n"
        "Source=" + setupFile + "\n"
        "ReadMe=" + tempDir + "readme.txt\n"
        "Temp=" + tempDir + "QNV1A2B.tmp\n"
        "[Settings]\n"
        "Product Name=Demo Product\n"
        "Install Directory=" + destination + "\n"
        "Key=0\n"
        "Show ReadMe=1\n"
        "Request Restart=0\n"
        "[Installed Files]\n"
        "top.txt=6\n"
        "bin\\tool.dat=20000\n"
        "docs\\manual\\guide.txt=5000\n"
        "docs\\empty.dat=0\n"
        "[Result]\n"
        "Files=4\n"
        "Restart Windows=0\n"
        "Exit Code=0\n"
        "Message=\n";
    EXPECT_EQ(ReadFileText(reportFile), expected);
    EXPECT_EQ(ReadFileText(tempDir + "install.ini"), installIni) << "no restart requested, nothing written";
}

#ifndef _WIN32
// The bootstrap passes the path as one argument; a shell that split it at its
// blanks still reaches the same file.
TEST_F(WizardFixture, HandOffPathSplitAtItsBlanksIsJoinedAgain) {
    WriteSetup(ArchiveBytes(entries));
    WriteHandOff();
    const RunResult r = Run(handOff);  // unquoted: "…/Setup", "Temp", "1/QNV1A2B.ini"
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadFileBytes(destination + "/top.txt"), entries[0].data);
}
#endif

TEST_F(WizardFixture, RequestRestartIsWrittenBackAsRestartWindows) {
    AddSetting("Request Restart=2");
    WriteSetup(ArchiveBytes(entries));
    const RunResult r = RunOnHandOff();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // What the bootstrap reads after the wizard ended.
    EXPECT_EQ(TMyIniFile(tempDir + "install.ini").ReadInteger("General Settings", "Restart Windows", 0), 2);
    EXPECT_NE(ReadFileText(reportFile).find("Restart Windows=2\n"), std::string::npos);
}

TEST_F(WizardFixture, LockedEntriesNeedTheKeyFromInstallIni) {
    // Locked and scrambled with 0x1234567; the right key, none, a wrong one.
    WriteSetup(ArchiveBytes({{"secret.bin", Repetitive(), ctLh5, 2}}, 0x1234567));
    const std::string settings = installIni;
    for (const auto& [keyLine, exitCode] :
         std::vector<std::pair<std::string, int>>{{"Key=19088743", 0}, {"", 4}, {"Key=19088744", 4}}) {
        SCOPED_TRACE(keyLine);
        platform::DeleteFile(destination + platform::PathDelim + "secret.bin");  // a failure leaves an older file as it was
        installIni = settings;
        AddSetting(keyLine);
        const RunResult r = RunOnHandOff();
        EXPECT_EQ(r.exitCode, exitCode) << r.err;
        if (exitCode == 0) {
            EXPECT_EQ(ReadFileBytes(destination + platform::PathDelim + "secret.bin"), Repetitive());
        } else {
            EXPECT_NE(r.err.find("entry \"secret.bin\": File locked -- valid key required"), std::string::npos)
                << r.err;
            EXPECT_FALSE(platform::FileExists(destination + platform::PathDelim + "secret.bin"));
        }
    }
}

TEST_F(WizardFixture, MissingLanguageFileFallsBackToEnglishAndSaysSo) {
    platform::DeleteFile(tempDir + "Deutsch.lng");
    AddSetting("Show ReadMe=0");
    WriteSetup(ArchiveBytes(entries));
    const RunResult r = RunOnHandOff();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Deutsch.lng not found; using the built-in English texts"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Installing Demo Product into " + destination), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Demo Product is installed (4 files)."), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Read this"), std::string::npos) << "Show ReadMe=0";
}

// Each row spoils one thing; the wizard must fail with its exit code and a
// one-line reason, and install nothing.
TEST_F(WizardFixture, FailuresExitWithTheirCodeAndOneLine) {
    struct Case {
        const char* what;
        std::function<void(WizardFixture&)> spoil;
        int exitCode;
        std::string reason;  // part of the stderr line
    };
    const Bytes good = ArchiveBytes(entries);
    const size_t setupSize = FillerSize + good.size() + trailer.size();
    const std::vector<Case> cases = {
        {"Start past the end", [&](WizardFixture& f) { f.SetParam("Start", std::to_string(setupSize - 10)); }, 3,
         "lies outside"},
        {"Size one byte too long",
         [&](WizardFixture& f) { f.SetParam("Size", std::to_string(setupSize - FillerSize + 1)); }, 3,
         "lies outside"},
        {"Start far beyond any file", [](WizardFixture& f) { f.SetParam("Start", "2147483647"); }, 3,
         "lies outside"},
        {"Source missing", [](WizardFixture& f) { f.SetParam("Source", f.root / "gone.exe"); }, 3,
         "cannot open the setup file"},
        {"Start not a number", [](WizardFixture& f) { f.SetParam("Start", "12x"); }, 2, "bad \"Start\""},
        {"Size negative", [](WizardFixture& f) { f.SetParam("Size", "-5"); }, 2, "bad \"Size\""},
        {"Temp missing", [](WizardFixture& f) { f.params.pop_back(); }, 2, "no \"Temp\""},
        {"Start pointing into the filler", [](WizardFixture& f) { f.SetParam("Start", "100"); }, 4,
         "payload: Can't recognize compressed file header"},
        {"Size too small for an archive", [](WizardFixture& f) { f.SetParam("Size", "20"); }, 4, "holds no archive"},
        {"relative Install Directory", [](WizardFixture& f) { f.ReplaceSetting("Install Directory", "Product"); }, 2,
         "must be an absolute path"},
    };
    const std::string settings = installIni;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        installIni = settings;
        WriteFileText(tempDir + "install.ini", installIni);
        WriteSetup(good);
        c.spoil(*this);
        const RunResult r = RunOnHandOff();
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        EXPECT_EQ(r.err.rfind("Fehler: ", 0), 0u) << "the language's failure text: " << r.err;
        EXPECT_FALSE(platform::DirectoryExists(destination));
        // The report still records how the run ended.
        EXPECT_NE(ReadFileText(reportFile).find("Exit Code=" + std::to_string(c.exitCode) + "\n"),
                  std::string::npos);
    }
}

TEST_F(WizardFixture, WhatCannotBeWrittenExitsWithSix) {
    const std::string settings = installIni;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Report File", root / "no such directory" + platform::PathDelim + "report.txt"},
        {"Install Directory", setupFile},  // a file, not a directory
    };
    for (const auto& [key, value] : cases) {
        SCOPED_TRACE(key);
        installIni = settings;
        ReplaceSetting(key, value);
        WriteSetup(ArchiveBytes(entries));
        const RunResult r = RunOnHandOff();
        EXPECT_EQ(r.exitCode, 6) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
}

TEST_F(WizardFixture, NoParameterOrNoHandOffFileIsASettingsFailure) {
    EXPECT_EQ(Run("").exitCode, 2);
    const RunResult r = Run(ShellQuote(tempDir + "absent.ini"));
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("hand-off file not found"), std::string::npos) << r.err;
}

// The stored checksum of the LH5 entry is raised by one: the data decodes,
// the sum does not match, and the failure names the entry.
TEST_F(WizardFixture, DamagedPayloadFailsNamingTheEntry) {
    Bytes payload = ArchiveBytes(entries);
    TMemoryStream stream(payload);
    TStringList listing;
    TQuern().ListArchiveStream(stream, listing);
    const auto* info = static_cast<const TArchiveFileInfo*>(listing.Objects(1));
    ++payload[static_cast<size_t>(info->HeaderOffset) + 17];  // Checksum, low byte
    TQuern::FreeListing(&listing);

    WriteSetup(payload);
    const RunResult r = RunOnHandOff();
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_NE(r.err.find("entry \"bin\\tool.dat\": Bad checksum during expansion"), std::string::npos) << r.err;
}

// Stored names that would land outside the destination. The safe entry that
// comes first must not be written either: the names are checked before any
// file is.
TEST_F(WizardFixture, EntriesOutsideTheDestinationAreRefusedAndNothingIsWritten) {
    const std::string rooted = platform::ToStoredSeparators(root / "evil.txt");
    const std::vector<std::string> unsafe = {
        "..\\evil.txt", "docs\\..\\..\\evil.txt", "docs/../../evil.txt", rooted, "C:\\evil.txt", ".. \\evil.txt",
    };
    for (const std::string& name : unsafe) {
        SCOPED_TRACE(name);
        WriteSetup(ArchiveBytes({{"safe.txt", Bytes{'s'}}, {name, Bytes{'e', 'v', 'i', 'l'}}}));
        const RunResult r = RunOnHandOff();
        EXPECT_EQ(r.exitCode, 5);
        EXPECT_NE(r.err.find("refused entry"), std::string::npos) << r.err;
        EXPECT_FALSE(platform::DirectoryExists(destination));
        EXPECT_FALSE(platform::FileExists(root / "evil.txt"));
    }
}

}  // namespace

#ifndef _WIN32
// Archives keep neither mode bits nor UTF-8: programs are told by their first
// bytes, and names come back from Windows-1252 (or UTF-8 when install.ini
// says "Name Code Page=65001").
TEST_F(WizardFixture, ProgramsBecomeExecutableAndNamesComeBackAsUtf8) {
    struct Case { const char* codePage; std::string stored; };
    for (const Case& c : {Case{"", "caf\xE9\\\x80 run"}, Case{"65001", "caf\xC3\xA9\\\xE2\x82\xAC run"}}) {
        SCOPED_TRACE(c.codePage);
        if (*c.codePage) AddSetting(std::string("Name Code Page=") + c.codePage);
        entries = {{c.stored, Bytes{'#', '!', '/', 'b', 'i', 'n', '/', 's', 'h', '\n'}},
                   {"bin\\elf", Bytes{0x7F, 'E', 'L', 'F', 1, 1, 1, 0}},
                   {"bin\\data", Bytes{'#', ' ', 'n', 'o'}}};
        WriteSetup(ArchiveBytes(entries));
        const RunResult r = RunOnHandOff();
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const std::string script = destination + "/caf\xC3\xA9/\xE2\x82\xAC run";
        EXPECT_EQ(ReadFileBytes(script), entries[0].data);
        EXPECT_NE(r.out.find("  caf\xC3\xA9/\xE2\x82\xAC run (10 bytes)\n"), std::string::npos) << r.out;
        EXPECT_EQ(testing_support::RunCommand("test -x " + ShellQuote(script)), 0);
        EXPECT_EQ(testing_support::RunCommand("test -x " + ShellQuote(destination + "/bin/elf")), 0);
        EXPECT_NE(testing_support::RunCommand("test -x " + ShellQuote(destination + "/bin/data")), 0);
        testing_support::RunCommand("rm -rf " + ShellQuote(destination));
    }
    ReplaceSetting("Name Code Page", "932");
    const RunResult r = RunOnHandOff();
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.err.find("\"Name Code Page\" must be 1252, 1250, 1251, 437, 850 or 65001, not 932"), std::string::npos) << r.err;
}
#endif

// The last word of a run, its "Done" text or its failure line, also goes to
// the final message (a box where the console would close over it), in the
// chosen language and under the product's name, unless "Message Boxes" is 0.
TEST_F(WizardFixture, TheLastWordGoesToTheFinalMessageUnlessTurnedOff) {
    struct Shown {
        std::string text, caption;
        bool failure;
    };
    struct Case {
        const char* what;
        std::function<void(WizardFixture&)> prepare;
        int exitCode;
        std::vector<std::string> shown;  // text, caption, "failure" or "notice"
    };
    const std::vector<Case> cases = {
        {"an installation", [](WizardFixture&) {}, 0, {"Fertig: Demo Product, 4 Dateien", "Demo Product", "notice"}},
        {"a failure", [](WizardFixture& f) { f.SetParam("Start", "2147483647"); }, 3,
         {"Fehler: payload (Start 2147483647, Size ", "Demo Product", "failure"}},
        {"no install.ini: the built-in texts and name",
         [](WizardFixture& f) { std::remove((f.tempDir + "install.ini").c_str()); }, 2,
         {"Installation failed: settings file not found: ", "Quillset Product", "failure"}},
        {"an installation, Message Boxes=0", [](WizardFixture& f) { f.AddSetting("Message Boxes=0"); }, 0, {}},
        {"a failure, Message Boxes=0",
         [](WizardFixture& f) {
             f.AddSetting("Message Boxes=0");
             f.SetParam("Start", "2147483647");
         },
         3, {}},
    };
    const std::string settings = installIni;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(destination);
        installIni = settings;
        WriteFileText(tempDir + "install.ini", installIni);
        WriteSetup(ArchiveBytes(entries));
        c.prepare(*this);
        WriteHandOff();
        std::vector<Shown> shown;
        std::ostringstream out, err;
        const int code = RunWizard(handOff, out, err, [&](const std::string& text, const std::string& caption,
                                                          bool failure) { shown.push_back({text, caption, failure}); });
        EXPECT_EQ(code, c.exitCode) << err.str();
        if (c.shown.empty()) {
            EXPECT_TRUE(shown.empty());
            continue;
        }
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].text.rfind(c.shown[0], 0), 0u) << shown[0].text;
        EXPECT_EQ(shown[0].caption, c.shown[1]);
        EXPECT_EQ(shown[0].failure, c.shown[2] == "failure");
        // The failure line on standard error is the same text.
        EXPECT_EQ(err.str(), shown[0].failure ? shown[0].text + "\n" : "");
    }
}
