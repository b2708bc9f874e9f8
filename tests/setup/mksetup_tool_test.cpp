// mksetup as a user meets it, run as a real process on real trees: what a
// wizard directory lacks, links and names in the payload, reproducible
// setups, progress and summary, memory that does not grow with the payload.
#include <gtest/gtest.h>

#include <filesystem>

#include <quern/Platform.h>
#include "tests/support/LhaMember.h"
#include "tests/support/TestSupport.h"

using namespace quern;

using namespace testing_support;
namespace fs = std::filesystem;

#ifndef _WIN32  // under Wine the programs are driven by scripts/windows-e2e.sh

namespace {


struct Outcome {
    int status;
    std::string out, err;
};

// Runs a shell command line inside dir with "mksetup" standing for the built
// program; standard output and error are captured.
Outcome Shell(const TempDir& dir, const std::string& line) {
    std::string command;
    for (size_t i = 0; i < line.size();) {
        if (line.compare(i, 7, "mksetup") == 0 && (i == 0 || line[i - 1] == ' ')) {
            command += ShellQuote(built::Mksetup);
            i += 7;
        } else {
            command += line[i++];
        }
    }
    const std::string full = "cd " + ShellQuote(dir.Path()) + " && { " + command + " ; } >" + ShellQuote(dir / ".out") +
                             " 2>" + ShellQuote(dir / ".err");
    Outcome r{RunCommand(full), ReadFileText(dir / ".out"), ReadFileText(dir / ".err")};
    platform::DeleteFile(dir / ".out");
    platform::DeleteFile(dir / ".err");
    return r;
}

// A wizard directory like demo/wizard, installing into `destination`.
void MakeWizard(const std::string& dir, const std::string& destination) {
    fs::create_directories(dir);
    WriteFileText(dir + "/install.ini", "[LANGUAGES]\r\nEnglish=\r\n\r\n[GENERAL SETTINGS]\r\nProduct Name=Tool\r\n"
                                        "Install Directory=" + destination + "\r\nShow ReadMe=0\r\n");
    WriteFileText(dir + "/english.lng", "[Messages]\r\n");
}

}  // namespace

TEST(MksetupTool, SaysExactlyWhatTheWizardDirectoryLacks) {
    TempDir dir;
    fs::create_directories(dir / "payload");
    WriteFileText(dir / "payload/a.txt", "a");
    MakeWizard(dir / "template", "@INSTALL_DIR@");
    MakeWizard(dir / "nolang", dir / "inst");
    fs::remove(dir / "nolang/english.lng");
    struct Case { std::string args; int status; std::string message; };
    const Case cases[] = {
        {"--wizard template", 1,
         "mksetup: template/install.ini: \"Install Directory\" is still the placeholder @INSTALL_DIR@; set it to the "
         "directory to install into, or remove the line for the wizard's default $HOME/<Product Name>\n"},
        {"--wizard nolang", 1,
         "mksetup: install.ini names the language \"English\" but the wizard directory has no English.lng\n"},
        {"--wizard payload", 1, "mksetup: the wizard directory has no install.ini: payload/install.ini\n"},
        {"--wizard missing", 1, "mksetup: wizard directory missing does not exist\n"},
        // With a stub of one's own no wizard is chosen for one.
        {"--wizard template --stub " + ShellQuote(built::Setup), 1, "placeholder @INSTALL_DIR@"},
        {"--wizard nolang -m zip", 2, "mksetup: unknown method zip (lh5, lzh, rle or none) (see mksetup --help)\n"},
        {"--wizard nolang --payload", 2, "mksetup: option --payload needs a value (see mksetup --help)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const Outcome r = Shell(dir, "mksetup -o setup --payload payload " + c.args);
        EXPECT_EQ(r.status, c.status);
        if (c.message.back() == '\n')
            EXPECT_EQ(r.err, c.message);
        else
            EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir / "setup"));
        EXPECT_FALSE(fs::exists(dir / "setup.part"));
    }
    // The stub's own wizard is named when a directory has none.
    WriteFileText(dir / "nolang/english.lng", "[Messages]\r\n");
    fs::copy_file(dir / "nolang/english.lng", dir / "nolang/x");
    Outcome r = Shell(dir, "mksetup -o setup --wizard nolang --payload payload --stub " + ShellQuote(built::Setup));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "mksetup: the wizard directory has no inst32.exe: nolang/inst32.exe (copy the wizard program there "
                     "under that name, on Linux too; with --stub no wizard is chosen for you)\n");
}

TEST(MksetupTool, APayloadTreeInstallsWithItsLinksNamesAndPrograms) {
    TempDir dir;
    const std::string dest = dir / "installed";
    MakeWizard(dir / "wizard", dest);
    fs::create_directories(dir / "payload/bin");
    fs::create_directories(dir / "payload/empty");
    fs::create_directories(dir / "payload/caf\xC3\xA9");                                 // "café"
    WriteFileText(dir / "payload/bin/tool", "#!/bin/sh\necho tool ran\n");
    WriteFileText(dir / "payload/caf\xC3\xA9/\xE2\x82\xAC.txt", "euro");                // "€.txt"
    WriteFileText(dir / "payload/readme.txt", "read");
    fs::create_symlink("tool", dir / "payload/bin/tool-link");
    fs::create_symlink("nowhere", dir / "payload/broken");
    fs::create_directory_symlink("bin", dir / "payload/bin-link");
    fs::create_directory(dir / "tmp");

    // The default stub and, for a directory without inst32.exe, the reference wizard.
    Outcome r = Shell(dir, "mksetup -o setup --wizard wizard --payload payload");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "mksetup: warning: payload/bin/tool-link: link stored as the file it points to\n"
                     "mksetup: warning: payload/bin-link: link to a directory, not stored (archives hold no links)\n"
                     "mksetup: warning: payload/broken: broken link, not stored\n"
                     "mksetup: warning: payload/empty: empty directory, not stored (archives hold files only)\n");
    // A note on the wizard it took, and the one-line summary.
    const std::vector<std::string> lines = [&] {
        std::vector<std::string> v;
        for (size_t s = 0, e; (e = r.out.find('\n', s)) != std::string::npos; s = e + 1) v.push_back(r.out.substr(s, e - s));
        return v;
    }();
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0].rfind("mksetup: wizard has no inst32.exe; using the reference wizard ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("setup: ", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find("; wizard "), std::string::npos);
    EXPECT_NE(lines[1].find(" (3 files), payload "), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find(" (4 files, "), std::string::npos) << lines[1];

    r = Shell(dir, "TMPDIR=" + ShellQuote(dir / "tmp") + " ./setup");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("  caf\xC3\xA9/\xE2\x82\xAC.txt (4 bytes)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  bin/tool-link (24 bytes)\n"), std::string::npos) << r.out;
    EXPECT_EQ(ReadFileText(dest + "/caf\xC3\xA9/\xE2\x82\xAC.txt"), "euro");
    EXPECT_EQ(Shell(dir, ShellQuote(dest + "/bin/tool")).out, "tool ran\n");
    EXPECT_EQ(Shell(dir, ShellQuote(dest + "/bin/tool-link")).out, "tool ran\n");
    EXPECT_NE(RunCommand("test -x " + ShellQuote(dest + "/readme.txt")), 0);

    // A name Windows-1252 has no byte for is refused, and no setup is written.
    WriteFileText(dir / "payload/\xE4\xB8\xAD.txt", "zhong");
    r = Shell(dir, "mksetup -o setup2 --wizard wizard --payload payload 2>&1 | grep -v warning");
    EXPECT_EQ(r.out.find("mksetup: payload/\xE4\xB8\xAD.txt: the name cannot be written in code page 1252 "
                         "(--code-page 65001 keeps UTF-8 names)\n"
                         "mksetup: the payload directory payload could not be read whole; no setup written\n"),
              r.out.find("mksetup: payload/")) << r.out;
    EXPECT_NE(r.out.find("no setup written"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(dir / "setup2"));
}

TEST(MksetupTool, SourceDateEpochGivesByteIdenticalSetups) {
    TempDir dir;
    MakeWizard(dir / "wizard", "/opt/tool");
    fs::copy_file(built::Wizard, dir / "wizard/inst32.exe");
    fs::create_directories(dir / "payload/docs");
    WriteFileBytes(dir / "payload/docs/data.bin", RandomBytes(100'000, 5));
    WriteFileText(dir / "payload/top.txt", std::string(3000, 't'));
    const std::string make = "TZ=UTC SOURCE_DATE_EPOCH=1700000000 mksetup --wizard wizard --payload payload -o ";
    ASSERT_EQ(Shell(dir, make + "one").status, 0);
    // Later, with every input touched again: the same bytes.
    Outcome r = Shell(dir, "sleep 2 && touch wizard/* payload/top.txt payload/docs/data.bin && " + make + "two && cmp one two");
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    // Without it the dates are the files' own, and the setups differ.
    r = Shell(dir, "TZ=UTC mksetup --wizard wizard --payload payload -o three && cmp -s one three");
    EXPECT_EQ(r.status, 1) << r.err;
}

TEST(MksetupTool, ProgressOnATerminalAndTheOutputFollowsTheUmask) {
    TempDir dir;
    MakeWizard(dir / "wizard", "/opt/tool");
    fs::copy_file(built::Wizard, dir / "wizard/inst32.exe");
    fs::create_directories(dir / "payload");
    WriteFileBytes(dir / "payload/data.bin", RandomBytes(2'000'000, 8));
    const std::string make = "mksetup --wizard wizard --payload payload -o ";
    Outcome r = Shell(dir, "umask 027 && " + make + "piped");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(fs::status(dir / "piped").permissions() & fs::perms::all,
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    r = Shell(dir, "script -qfec " + ShellQuote(built::Mksetup + " --wizard wizard --payload payload -o tty") +
                       " /dev/null");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("100% [##############################] data.bin"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("tty: "), std::string::npos) << r.out;  // the summary after the bar
}

// Memory, not time: the peak resident size of mksetup on a 300 MB payload
// stays far below the payload (it used to hold the setup twice over). The
// payload is stored (-m none) to keep the run short; the codecs' work areas
// are fixed in size whatever the method.
TEST(MksetupTool, MemoryDoesNotGrowWithThePayload) {
    if (RunCommand("test -x /usr/bin/time") != 0) GTEST_SKIP() << "/usr/bin/time is not installed";
    TempDir dir;
    MakeWizard(dir / "wizard", "/opt/tool");
    fs::copy_file(built::Wizard, dir / "wizard/inst32.exe");
    fs::create_directories(dir / "payload");
    ASSERT_EQ(RunCommand("head -c 300000000 /dev/urandom > " + ShellQuote(dir / "payload/big.bin")), 0);
    WriteFileText(dir / "payload/small.txt", "small");
    const Outcome r = Shell(dir, "/usr/bin/time -f 'peak %M KB' mksetup -m none --wizard wizard --payload payload -o setup");
    ASSERT_EQ(r.status, 0) << r.err;
    const size_t at = r.err.find("peak ");
    ASSERT_NE(at, std::string::npos) << r.err;
    const long peakKb = std::stol(r.err.substr(at + 5));
    // The sanitizers' shadow memory counts here too; without them it is a few MB.
    EXPECT_LT(peakKb, 100 * 1024) << r.err;
    EXPECT_GT(fs::file_size(dir / "setup"), 300'000'000u);
}

#endif
