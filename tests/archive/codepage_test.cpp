// Stored names between their Windows code page and UTF-8.
#include <gtest/gtest.h>

#include "archive/CodePage.h"

using namespace quern;

namespace {

TEST(CodePage, EveryByteComesBackAndKnownCharactersSitWhereTheTablesSay) {
    for (const int cp : {1252, 1250, 1251, 437, 850}) {
        SCOPED_TRACE(cp);
        std::string all;
        for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
        EXPECT_EQ(codepage::FromUtf8(codepage::ToUtf8(all, cp), cp), all);
    }
    struct Case { int cp; std::string byte, utf8; };
    const Case cases[] = {
        {1252, "\x80", "\xE2\x82\xAC"},  // €
        {1252, "\xE9", "\xC3\xA9"},      // é
        {1252, "\x81", "\xC2\x81"},      // unassigned: the C1 control
        {1250, "\x8A", "\xC5\xA0"},      // Š
        {1251, "\xC0", "\xD0\x90"},      // А
        {437, "\x82", "\xC3\xA9"},       // é
        {437, "\xB0", "\xE2\x96\x91"},   // ░
        {850, "\x9B", "\xC3\xB8"},       // ø
        {65001, "\xC3\xA9", "\xC3\xA9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cp);
        EXPECT_EQ(codepage::ToUtf8("a" + c.byte, c.cp), "a" + c.utf8);
        EXPECT_EQ(codepage::FromUtf8("a" + c.utf8, c.cp), "a" + c.byte);
    }
}

TEST(CodePage, WhatCannotBeWrittenIsRefused) {
    struct Case { int cp; std::string utf8; };
    const Case cases[] = {
        {1252, "\xE4\xB8\xAD"},      // 中: not in 1252
        {437, "\xE2\x82\xAC"},       // €: not in 437
        {1252, "\xC3"},              // a cut sequence
        {1252, "\xC0\xAF"},          // an overlong "/"
        {65001, "\xED\xA0\x80"},     // a surrogate
        {65001, "\xF4\x90\x80\x80"}, // past U+10FFFF
        {1252, "\xFF"},
    };
    for (const auto& c : cases) EXPECT_EQ(codepage::FromUtf8("x" + c.utf8, c.cp), std::nullopt) << c.cp;
    EXPECT_EQ(codepage::ToUtf8("a\xFF", codepage::Utf8), "a\xEF\xBF\xBD");
    EXPECT_EQ(codepage::Parse("CP850"), 850);
    EXPECT_EQ(codepage::Parse("windows-1250"), 1250);
    EXPECT_EQ(codepage::Parse("UTF-8"), 65001);
    for (const char* unknown : {"932", "", "cp", "1252x", "99999999999"}) EXPECT_EQ(codepage::Parse(unknown), std::nullopt) << unknown;
}

}  // namespace
