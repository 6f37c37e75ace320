// Formatting and upper-casing.
#include <gtest/gtest.h>

#include <string>

#include "Public/text_helpers.h"

TEST(FormatString, WideConversionsOfTheMicrosoftRuntime) {
    EXPECT_EQ(FormatString(L"%s%d", L"SldWorks.Application.", 18), L"SldWorks.Application.18")
        << "%s takes a wide string in a wide format";
    EXPECT_EQ(FormatString(L"%S|%hs|%ls", "narrow", "half", L"wide"), L"narrow|half|wide");
    const std::wstring part(9'990, L'x');
    EXPECT_EQ(FormatString(L"%s%010d", part.c_str(), 42), part + L"0000000042") << "10,000 characters, whole";
}

TEST(FormatBuffered, OutputIsCutToTheBufferAndShorterTextKeepsItsLength) {
    std::wstring digits;
    while (digits.size() < 5'000) digits += std::to_wstring(digits.size() % 10);
    EXPECT_EQ(FormatBuffered(L"%s", digits.c_str()), digits.substr(0, kFormatBufferChars));
    const std::wstring exact(kFormatBufferChars, L'e');
    EXPECT_EQ(FormatBuffered(L"%s", exact.c_str()), exact);
    EXPECT_EQ(FormatBuffered(L"%s, %s", L"Description", L"Source"), L"Description, Source");
}

TEST(ToUpper, OnlyLettersAToZChangeUnderTheDefaultLocale) {
    EXPECT_EQ(ToUpper(L"sldworks2010 \x00E4\x00F6\x00FC \x4E2D-_"),
              L"SLDWORKS2010 \x00E4\x00F6\x00FC \x4E2D-_");
}
