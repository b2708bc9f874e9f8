#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <quern/IniFiles.h>
#include <quern/Myini.h>
#include "config/ProfileWriter.h"
#include <quern/Stream.h>
#include "tests/support/TestSupport.h"

using namespace quern;

using namespace testing_support;

namespace {

// The five writes of the installation sequence, in its order.
void WriteHandOff(TIniFile& ini, int32_t start, int32_t size, const std::string& source,
                  const std::string& readMe, const std::string& temp) {
    ini.WriteInteger("Params", "Start", start);
    ini.WriteInteger("Params", "Size", size);
    ini.WriteString("Params", "Source", source);
    ini.WriteString("Params", "ReadMe", readMe);
    ini.WriteString("Params", "Temp", temp);
}

}  // namespace

TEST(ProfileWriter, SetsOneKeyAndKeepsTheRest) {
    struct Case {
        const char* name;
        std::string before;
        std::string section, key, value;
        std::string after;
    };
    const Case cases[] = {
        {"new file", "", "Params", "Start", "1", "[Params]\r\nStart=1\r\n"},
        {"replace", "[Params]\r\nStart=1\r\n", "Params", "Start", "2", "[Params]\r\nStart=2\r\n"},
        {"case and blanks ignored, file's key kept", "[params]\n  START = 1\nOther=x\n", "Params", "Start", "2",
         "[params]\nSTART=2\nOther=x\n"},
        {"header with blanks", "  [ Params ]  \r\nStart=1\r\n", "params", "start", "2",
         "  [ Params ]  \r\nStart=2\r\n"},
        {"new key after the section's last line", "[A]\nk=1\n\n[B]\nz=0\n", "A", "n", "5",
         "[A]\nk=1\nn=5\n\n[B]\nz=0\n"},
        {"empty section", "[A]\n[B]\n", "A", "k", "1", "[A]\nk=1\n[B]\n"},
        {"header as unterminated last line", "[A]", "A", "k", "1", "[A]\r\nk=1\r\n"},
        {"new section appended at the end", "x=0\n[A]\nk=1", "B", "x", "1", "x=0\n[A]\nk=1\n[B]\nx=1\n"},
        {"key looked up in its own section only", "[A]\nk=1\n[B]\nk=2\n", "B", "k", "3", "[A]\nk=1\n[B]\nk=3\n"},
        {"first of two equal sections", "[A]\nk=1\n[a]\nk=2\n", "A", "k", "9", "[A]\nk=9\n[a]\nk=2\n"},
        {"first of two equal keys", "[A]\nk=1\nK=2\n", "A", "k", "9", "[A]\nk=9\nK=2\n"},
        {"comment is no key", "[A]\n;k=1\n", "A", "k", "2", "[A]\n;k=1\nk=2\n"},
        {"bare key line takes the value", "[A]\nk\n", "A", "k", "2", "[A]\nk=2\n"},
        {"[ without ] is no header", "[A]\n[odd\nk=1\n", "A", "k", "2", "[A]\n[odd\nk=2\n"},
        {"lone CR line ends kept", "[A]\rk=1\r", "A", "n", "2", "[A]\rk=1\rn=2\r"},
        {"value written unchanged", "", "P", "Source", " C:\\My Files\\a=b.exe ",
         "[P]\r\nSource= C:\\My Files\\a=b.exe \r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(config::SetProfileKey(c.before, c.section, c.key, c.value), c.after) << c.name;
    }
}

// Requests no key line can hold: a line break would add lines of its own (a
// path with a newline could plant keys), "=" or "[" would change the key.
TEST(ProfileWriter, RefusesWhatOneKeyLineCannotHold) {
    struct Case {
        std::string section, key, value;
    };
    const Case cases[] = {
        {"P", "", "1"},       {"P", "  ", "1"},        {"P", "a=b", "1"},          {"P", "[x]", "1"},
        {"P", "k", "1\r\nStart=0"}, {"P", "k", "1\n"}, {"P", "k", std::string("1\0", 2)},
        {"P\n", "k", "1"},    {"a]b", "k", "1"},       {"P", "k\r", "1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(config::SetProfileKey("[P]\r\nk=0\r\n", c.section, c.key, c.value), std::nullopt)
            << c.section << "/" << c.key << "/" << c.value;
    }
}

TEST(IniFile, WritesTheHandOffFile) {
    TempDir dir;
    // Paths with blanks and "=": the reader takes everything after the first "=".
    const std::string handOff = dir / "Qu ern=1.ini";
    const std::string source = "C:\\Program Files\\set=up.exe";
    const std::string readMe = "C:\\Temp dir\\readme.txt";
    const std::string temp = "C:\\Temp dir\\Qu ern=1.tmp";
    {
        TIniFile ini(handOff);
        EXPECT_EQ(ini.FileName(), handOff);
        EXPECT_FALSE(platform::FileExists(handOff));  // creation touches nothing
        WriteHandOff(ini, 431559, 358379, source, readMe, temp);
    }
#ifndef _WIN32
    EXPECT_EQ(ReadFileText(handOff),
              "[Params]\r\nStart=431559\r\nSize=358379\r\nSource=" + source + "\r\nReadMe=" + readMe +
                  "\r\nTemp=" + temp + "\r\n");
#endif
    TMyIniFile check(handOff);
    EXPECT_EQ(check.ReadInteger("Params", "Start", 0), 431559);
    EXPECT_EQ(check.ReadInteger("Params", "Size", 0), 358379);
    EXPECT_EQ(check.ReadString("Params", "Source", ""), source);
    EXPECT_EQ(check.ReadString("Params", "ReadMe", ""), readMe);
    EXPECT_EQ(check.ReadString("Params", "Temp", ""), temp);
    EXPECT_EQ(ListDirectory(dir.Path()), std::vector<std::string>{"Qu ern=1.ini"});
}

TEST(IniFile, WriteIntegerDecimalText) {
    TempDir dir;
    TIniFile ini(dir / "n.ini");
    ini.WriteInteger("P", "Min", INT32_MIN);
    ini.WriteInteger("P", "Neg", -5);
    ini.WriteInteger("P", "Zero", 0);
#ifndef _WIN32
    EXPECT_EQ(ReadFileText(ini.FileName()), "[P]\r\nMin=-2147483648\r\nNeg=-5\r\nZero=0\r\n");
#endif
}

// The hand-off name is not unique per run: a file left by an earlier run gets
// the five keys renewed and keeps everything else.
TEST(IniFile, LeftOverFileKeepsOtherContent) {
    TempDir dir;
    const std::string handOff = dir / "QRN1A.ini";
    WriteFileText(handOff,
                  "; written by an earlier run\n"
                  "[Other]\n"
                  "Start=1\n"
                  "\n"
                  "[PARAMS]\n"
                  "size = 10\n"
                  "Extra=keep me\n"
                  "Start=5\n"
                  "\n"
                  "[Tail]\n"
                  "x=y\n");
    TIniFile ini(handOff);
    WriteHandOff(ini, 431559, 358379, "/opt/set up.exe", "/tmp/d/readme.txt", "/tmp/d/QRN1A.tmp");
#ifndef _WIN32
    EXPECT_EQ(ReadFileText(handOff),
              "; written by an earlier run\n"
              "[Other]\n"
              "Start=1\n"
              "\n"
              "[PARAMS]\n"
              "size=358379\n"
              "Extra=keep me\n"
              "Start=431559\n"
              "Source=/opt/set up.exe\n"
              "ReadMe=/tmp/d/readme.txt\n"
              "Temp=/tmp/d/QRN1A.tmp\n"
              "\n"
              "[Tail]\n"
              "x=y\n");
#endif
    EXPECT_EQ(ListDirectory(dir.Path()), std::vector<std::string>{"QRN1A.ini"});
}

TEST(IniFile, RefusedWriteRaisesAndLeavesTheFileAsItWas) {
    TempDir dir;
    const std::string old = "[Params]\r\nStart=1\r\n";
    auto expectRefused = [&](const std::string& fileName, const char* what) {
        const std::vector<std::string> before = ListDirectory(dir.Path());
        try {
            TIniFile(fileName).WriteInteger("Params", "Start", 431559);
            ADD_FAILURE() << what << ": no exception";
        } catch (const EIniFileException& e) {
            EXPECT_EQ(e.Message, "Unable to write to " + fileName) << what;
        }
        EXPECT_EQ(ListDirectory(dir.Path()), before) << what << ": a file was left behind";
    };

    expectRefused(dir / "no such dir/h.ini", "missing directory");

    const std::string held = dir / "held.ini";
    WriteFileText(held, old);
    {
        TFileStream holder(held, fmOpenReadWrite | fmShareExclusive);
        expectRefused(held, "file held without sharing");
    }
    EXPECT_EQ(ReadFileText(held), old);

    // The new content is complete before the rename, which fails here.
    const std::string directory = dir / "is a directory";
    std::filesystem::create_directory(directory);
    std::ofstream(directory + "/inside").put('x');
    expectRefused(directory, "name of a directory");
}

// Needs rights that honour directory permissions; skipped otherwise (root).
TEST(IniFile, ReadOnlyDirectoryRefusesTheWrite) {
    namespace fs = std::filesystem;
    TempDir dir;
    const std::string old = "[Params]\r\nStart=1\r\n";
    const std::string locked = dir / "locked";
    fs::create_directory(locked);
    WriteFileText(locked + "/h.ini", old);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    const bool canWrite = std::ofstream(locked + "/probe").good();
    if (canWrite) {
        fs::remove(locked + "/probe");
    } else {
        try {
            TIniFile(locked + "/h.ini").WriteInteger("Params", "Start", 431559);
            ADD_FAILURE() << "read-only directory: no exception";
        } catch (const EIniFileException& e) {
            EXPECT_EQ(e.Message, "Unable to write to " + locked + "/h.ini");
        }
        EXPECT_EQ(ListDirectory(locked), std::vector<std::string>{"h.ini"});
        EXPECT_EQ(ReadFileText(locked + "/h.ini"), old);
    }
    fs::permissions(locked, fs::perms::owner_all);
    if (canWrite) GTEST_SKIP() << "running with rights that ignore directory permissions";
}
