#include <gtest/gtest.h>

#include <quern/Exceptions.h>
#include <quern/Stream.h>
#include <quern/StringList.h>
#include "tests/support/TestSupport.h"

using namespace quern;

using namespace testing_support;

TEST(StringListText, SplitsLinesLikeTheClassLibrary) {
    struct Case {
        std::string text;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\nb\rc\nd", {"a", "b", "c", "d"}},
        {"a\n\nb\n", {"a", "", "b"}},
        {"a\r\r\nb", {"a", "", "b"}},
        {"  x = 1  \n", {"  x = 1  "}},
        {std::string("a\nb\0c\nd", 7), {"a", "b"}},
    };
    for (const auto& c : cases) {
        TStringList list;
        list.SetText(c.text);
        std::vector<std::string> got;
        for (int i = 0; i < list.Count(); ++i) got.push_back(list.Strings(i));
        EXPECT_EQ(got, c.lines) << "text: " << ToHex(Bytes(c.text.begin(), c.text.end()));
    }
}

TEST(FileStream, CreateWriteReopenAndRead) {
    TempDir dir;
    const std::string name = dir / "data.bin";
    {
        TFileStream out(name, fmCreate);
        out.WriteBuffer("hello", 5);
        EXPECT_EQ(out.Size(), 5);
    }
    TFileStream in(name, fmOpenRead | fmShareDenyNone);
    char buf[8] = {};
    EXPECT_EQ(in.Read(buf, 8), 5);
    EXPECT_EQ(std::string(buf), "hello");
    EXPECT_EQ(in.Read(buf, 8), 0);
}

TEST(FileStream, FailuresCarryTheClassLibraryMessages) {
    TempDir dir;
    try {
        TFileStream s(dir / "missing", fmOpenRead);
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message, "Cannot open file " + (dir / "missing"));
    }
    try {
        TFileStream s(dir / "no" + platform::PathDelim + "such", fmCreate);
        FAIL();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message, "Cannot create file " + (dir / "no" + platform::PathDelim + "such"));
    }
}
