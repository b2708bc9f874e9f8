// The one rule for stored names written below a destination, with its verdict
// for POSIX and for Windows: both builds run the whole table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/EntryNames.h"

using namespace quern;

namespace {

struct NameCase {
    std::string name;
    std::string posix;    // expected reason on POSIX; "" = written
    std::string windows;  // expected reason on Windows
};

}  // namespace

TEST(EntryNames, OneRuleWithItsVerdictPerPlatform) {
    const std::string dots = "\"..\" path component";
    const std::vector<NameCase> cases = {
        {"a.txt", "", ""},
        {"dir\\sub\\f.txt", "", ""},
        {"dir/f", "", ""},
        {".profile", "", ""},
        {"a..b", "", ""},
        {"..a", "", ""},
        {"a b\\c d", "", ""},
        {"console.txt", "", ""},
        {"com10", "", ""},
        {"", "empty name", "empty name"},
        {"\\x", "rooted path", "rooted path"},
        {"/x", "rooted path", "rooted path"},
        {"\\\\server\\share\\x", "rooted path", "rooted path"},
        {"C:x", "drive or stream qualified path", "drive or stream qualified path"},
        {"file.txt:stream", "drive or stream qualified path", "drive or stream qualified path"},
        {"..", dots, dots},
        {"..\\evil", dots, dots},
        {"a\\..\\..\\evil", dots, dots},
        {"a/../evil", dots, dots},
        {"a\\.\\b", "\".\" path component", "\".\" path component"},
        {"e\\...\\f.txt", "\"...\" path component", "\"...\" path component"},
        {".. \\x.txt", "\".. \" path component", "\".. \" path component"},  // Windows strips the blank
        {"a\\\\b.txt", "empty path component", "empty path component"},
        {"a//b.txt", "empty path component", "empty path component"},
        {"dir\\", "empty path component", "empty path component"},
        {std::string("victim.txt\0.jpg", 15), "control character in name", "control character in name"},
        {"a\x1b[2Jb", "control character in name", "control character in name"},
        {"tab\there", "control character in name", "control character in name"},
        {"del\x7f", "control character in name", "control character in name"},
        {"nul", "", "device name \"nul\""},
        {"dir\\CON.txt", "", "device name \"CON.txt\""},
        {"aux .c", "", "device name \"aux .c\""},
        {"Com1\\x", "", "device name \"Com1\""},
        {"lpt9.log", "", "device name \"lpt9.log\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UnsafeNameReason(c.name, false), c.posix) << "POSIX: " << PrintableName(c.name);
        EXPECT_EQ(UnsafeNameReason(c.name, true), c.windows) << "Windows: " << PrintableName(c.name);
#ifdef _WIN32
        EXPECT_EQ(UnsafeNameReason(c.name), c.windows) << PrintableName(c.name);
#else
        EXPECT_EQ(UnsafeNameReason(c.name), c.posix) << PrintableName(c.name);
#endif
    }
}

TEST(EntryNames, NameBelowTheDestination) {
    EXPECT_EQ(NameBelow("/d/", "/d/a/b.txt"), "a/b.txt");
    EXPECT_EQ(NameBelow("/d/", "/d/../x"), "");
    EXPECT_EQ(NameBelow("/d/", "/dx/a"), "");
    EXPECT_EQ(NameBelow("/d/", "/d/"), "");
    EXPECT_EQ(NameBelow("/d/", "/e/a"), "");
}

TEST(EntryNames, PrintableNameShowsControlCharacters) {
    EXPECT_EQ(PrintableName(std::string("victim.txt\0.jpg", 15)), "victim.txt^@.jpg");
    EXPECT_EQ(PrintableName("a\x1b[2J\x7f"), "a^[[2J^?");
    EXPECT_EQ(PrintableName("dir\\plain name.txt"), "dir\\plain name.txt");
}
