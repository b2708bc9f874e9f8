// The wizard's pure pieces: how a Windows command line yields the parameter
// string, and the payload window.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/CommandLine.h"
#include <quern/Stream.h>
#include "wizard/SpanStream.h"

using namespace quern;

namespace {

TEST(CommandLine, ParametersAfterTheProgramName) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"\"C:\\Program Files\\x\\inst32.exe\" C:\\Temp dir\\QNV1.ini", "C:\\Temp dir\\QNV1.ini"},
        {"inst32.exe   C:\\a b.ini", "C:\\a b.ini"},
        {"\"C:\\x y\\inst32.exe\"\t C:\\t.ini ", "C:\\t.ini "},  // trailing blank kept
        {"\"C:\\x\"y.exe arg", "arg"},                         // the token runs on after the quote
        {"inst32.exe", ""},
        {"\"inst32.exe\"", ""},
        {"\"unterminated name", ""},
        {"", ""},
    };
    for (const auto& [line, expected] : cases) EXPECT_EQ(platform::ParametersAfterProgramName(line), expected) << line;
}

TEST(SpanStream, ReadsOnlyInsideTheSpan) {
    TMemoryStream base(std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    TSpanStream span(base, 3, 4);  // bytes 3..6
    EXPECT_EQ(span.Size(), 4);
    uint8_t buffer[10] = {};
    EXPECT_EQ(span.Read(buffer, 10), 4);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), (std::vector<uint8_t>{3, 4, 5, 6}));
    EXPECT_EQ(span.Read(buffer, 1), 0);
    EXPECT_EQ(span.Seek(2, SeekOrigin::Begin), 2);
    EXPECT_EQ(span.Read(buffer, 10), 2);
    EXPECT_EQ(buffer[0], 5);
    EXPECT_EQ(span.Seek(100, SeekOrigin::Current), 104);  // beyond the end reads as the end
    EXPECT_EQ(span.Read(buffer, 1), 0);
    EXPECT_EQ(span.Seek(-200, SeekOrigin::Current), -1);
    EXPECT_EQ(span.Position(), 104);
    EXPECT_EQ(span.Seek(INT64_MAX, SeekOrigin::End), -1);  // no overflow
    EXPECT_EQ(span.Write(buffer, 1), -1);
}

}  // namespace
