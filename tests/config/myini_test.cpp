#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include <quern/Myini.h>
#include "config/StrToInt.h"
#include <quern/Exceptions.h>
#include <quern/Stream.h>
#include "tests/support/TestSupport.h"

using namespace quern;

using namespace testing_support;

namespace {

std::vector<std::string> Items(const TStringList& list) {
    std::vector<std::string> items;
    for (int i = 0; i < list.Count(); ++i) items.push_back(list.Strings(i));
    return items;
}

// A reader over a settings file holding `text`, written to a fresh directory.
struct SettingsFile {
    explicit SettingsFile(const std::string& text) : path(dir / "install.ini") { WriteFileText(path, text); }
    TempDir dir;
    std::string path;
};

}  // namespace

TEST(StrToInt, ConvertsLikeTheClassLibrary) {
    struct Case {
        const char* text;
        bool ok;
        int32_t value;
    };
    const Case cases[] = {
        {"0", true, 0},
        {"12", true, 12},
        {"+12", true, 12},
        {"-12", true, -12},
        {"   -12", true, -12},
        {"007", true, 7},
        {"2147483647", true, INT32_MAX},
        {"-2147483648", true, INT32_MIN},
        {"2147483648", false, 0},
        {"-2147483649", false, 0},
        {"99999999999999999999999", false, 0},
        {"$10", true, 16},
        {"$aBc", true, 0xABC},
        {"$7FFFFFFF", true, INT32_MAX},
        {"$80000000", true, INT32_MIN},
        {"$FFFFFFFF", true, -1},
        {"$0000000001", true, 1},  // leading zeros: the value still fits 32 bits
        {"$100000000", false, 0},
        {"", false, 0},
        {"   ", false, 0},
        {"+", false, 0},
        {"-", false, 0},
        {"$", false, 0},
        {"-$1", false, 0},
        {"$-1", false, 0},
        {"+-1", false, 0},
        {"1 ", false, 0},
        {"\t1", false, 0},  // only the space character leads
        {"1x", false, 0},
        {"0x10", false, 0},
        {"1e3", false, 0},
        {"$G", false, 0},
    };
    for (const auto& c : cases) {
        int32_t value = 12345;
        EXPECT_EQ(TryStrToInt(c.text, value), c.ok) << '"' << c.text << '"';
        EXPECT_EQ(value, c.ok ? c.value : 12345) << '"' << c.text << '"';
        EXPECT_EQ(StrToIntDef(c.text, -7), c.ok ? c.value : -7) << '"' << c.text << '"';
    }
}

// The layout of the shipped settings file: capitalised headers, one language
// key with an empty value, an empty line and then free text without "=".
TEST(MyIniFile, ReadsTheShippedLayout) {
    SettingsFile file(
        "[LANGUAGES]\r\n"
        "English=\r\n"
        "\r\n"
        "This setup installs the product. Text without an equals sign\r\n"
        "\r\n"
        "[GENERAL SETTINGS]\r\n"
        "Restart Windows=0\r\n");
    TMyIniFile ini(file.path);
    TStringList languages;
    languages.Add("stale");
    ini.ReadSection("Languages", languages);
    EXPECT_EQ(Items(languages), std::vector<std::string>{"English"});
    EXPECT_EQ(ini.ReadInteger("General Settings", "Restart Windows", 7), 0);
    EXPECT_EQ(ini.FileName(), file.path);
    EXPECT_EQ(ini.Lines().Count(), 7);
}

TEST(MyIniFile, ReadSectionLineRules) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> keys;  // of section "S"
    };
    const Case cases[] = {
        {"reverse order", "[S]\nX=1\nY=2\nZ=3\n", {"Z", "Y", "X"}},
        {"empty line ends it", "[S]\nX=1\n\nY=2\n", {"X"}},
        {"next header ends it", "[S]\nX=1\n[T]\nY=2\n", {"X"}},
        {"header ignores case", "[s]\nX=1\n", {"X"}},
        {"blank after ] is no header", "[S] \nX=1\n", {}},
        {"blank before [ is no header", " [S]\nX=1\n", {}},
        {"second header never read", "[S]\nA=1\n\n[S]\nB=2\n", {"A"}},
        {"keys kept raw, duplicates kept", "[S]\n K =1\nA=1\nA=2\n", {"A", "A", " K "}},
        // ";" is no comment: without "=" the key is empty, with "=" it is the text before it.
        {"semicolon lines and empty keys", "[S]\n;note\n;a=b\n=v\nfree text\n", {"", "", ";a", ""}},
        {"mixed line ends", "[S]\rX=1\r\nY=2\nZ=3", {"Z", "Y", "X"}},
        {"header as last line", "[S]", {}},
        {"missing section", "[T]\nX=1\n", {}},
        {"empty file", "", {}},
    };
    for (const auto& c : cases) {
        SettingsFile file(c.text);
        TMyIniFile ini(file.path);
        TStringList keys;
        ini.ReadSection("S", keys);
        EXPECT_EQ(Items(keys), c.keys) << c.name;
    }
}

TEST(MyIniFile, ReadStringLineRules) {
    const std::string longValue(300, 'v');
    struct Case {
        const char* name;
        std::string text;
        std::string section;
        std::string key;
        std::string expected;  // "def" is the default
    };
    const Case cases[] = {
        {"found", "[S]\nA=1\n", "S", "A", "1"},
        {"empty lines passed over", "[S]\nA=1\n\n\nB=2\n", "S", "B", "2"},
        {"first match wins", "[S]\nA=1\na=2\n", "S", "A", "1"},
        {"key ASCII case ignored", "[S]\nrestart windows=1\n", "S", "Restart Windows", "1"},
        {"section ASCII case ignored", "[GENERAL SETTINGS]\nA=1\n", "general settings", "A", "1"},
        {"no trimming of the key", "[S]\nA =1\n", "S", "A", "def"},
        {"no trimming of the line", "[S]\n A=1\n", "S", "A", "def"},
        {"value kept raw after first =", "[S]\nA= x=y \n", "S", "A", " x=y "},
        {"empty value", "[S]\nA=\n", "S", "A", ""},
        {"next header ends it", "[S]\nA=1\n[T]\nB=2\n", "S", "B", "def"},
        {"second header never read", "[S]\nA=1\n[S]\nB=2\n", "S", "B", "def"},
        {"header with blank after ]", "[S] \nA=1\n", "S", "A", "def"},
        {"missing section", "[T]\nA=1\n", "S", "A", "def"},
        {"beyond ASCII no case folding", "[S]\n\xE4=1\n", "S", "\xC4", "def"},
        {"empty key is a line without =", "[S]\nfree text\n", "S", "", "free text"},
        {"semicolon line is ordinary", "[S]\n;A=1\nA=2\n", "S", ";a", "1"},
        {"value cut to 255", "[S]\nA=" + longValue + "\n", "S", "A", longValue.substr(0, 255)},
        {"line without = cut to 255", "[S]\n" + longValue + "\n", "S", "", longValue.substr(0, 255)},
    };
    for (const auto& c : cases) {
        SettingsFile file(c.text);
        EXPECT_EQ(TMyIniFile(file.path).ReadString(c.section, c.key, "def"), c.expected) << c.name;
    }
}

TEST(MyIniFile, ReadIntegerForRestartWindows) {
    struct Case {
        std::string line;
        int32_t expected;  // 7 is the default
    };
    const Case cases[] = {
        {"Restart Windows=0", 0},
        {"Restart Windows=1", 1},
        {"restart windows=1", 1},
        {"Restart Windows= 1", 1},
        {"Restart Windows=1 ", 7},
        {"Restart Windows = 1", 7},  // the key ends in a blank
        {"Restart Windows=$10", 16},
        {"Restart Windows=$FFFFFFFF", -1},
        {"Restart Windows=-2147483648", INT32_MIN},
        {"Restart Windows=2147483648", 7},
        {"Restart Windows=", 7},
        {"Restart Windows=yes", 7},
        {"Other=1", 7},
    };
    for (const auto& c : cases) {
        SettingsFile file("[General Settings]\r\n" + c.line + "\r\n");
        EXPECT_EQ(TMyIniFile(file.path).ReadInteger("General Settings", "Restart Windows", 7), c.expected)
            << c.line;
    }
}

TEST(MyIniFile, MissingFileOrDirectoryReadsAsEmpty) {
    TempDir dir;
    for (const std::string& path : {dir / "absent.ini", dir.Path()}) {
        TMyIniFile ini(path);
        TStringList keys;
        ini.ReadSection("Languages", keys);
        EXPECT_EQ(keys.Count(), 0) << path;
        EXPECT_EQ(ini.ReadString("General Settings", "Restart Windows", "d"), "d") << path;
        EXPECT_EQ(ini.ReadInteger("General Settings", "Restart Windows", -3), -3) << path;
    }
}

TEST(MyIniFile, FileHeldWithoutSharingRaisesOpenError) {
    SettingsFile file("[LANGUAGES]\r\nEnglish=\r\n");
    TFileStream holder(file.path, fmOpenRead | fmShareExclusive);
    try {
        TMyIniFile ini(file.path);
        FAIL() << "no exception";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message, "Cannot open file " + file.path);
    }
}
