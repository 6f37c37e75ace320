// Formatting, upper-casing and decimal text.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "Public/text_helpers.h"

TEST(FormatString, WideConversionsOfTheMicrosoftRuntime) {
    EXPECT_EQ(FormatString(L"%s%d", L"SldWorks.Application.", 18), L"SldWorks.Application.18")
        << "%s takes a wide string in a wide format";
    EXPECT_EQ(FormatString(L"%S|%hs|%ls", "narrow", "half", L"wide"), L"narrow|half|wide");
    EXPECT_EQ(FormatString(L"close file failed, %s. ", L"E_FAIL"), L"close file failed, E_FAIL. ");
}

TEST(FormatString, NothingProducedGivesEmptyText) {
    EXPECT_EQ(FormatString(L""), L"");
    EXPECT_EQ(FormatString(L"%s", L""), L"");
}

TEST(FormatString, LongTextIsReturnedWhole) {
    const std::wstring part(9'990, L'x');
    const std::wstring text = FormatString(L"%s%010d", part.c_str(), 42);
    ASSERT_EQ(text.size(), 10'000u);
    EXPECT_EQ(text, part + L"0000000042");
}

TEST(FormatBuffered, OutputIsCutToTheBuffer) {
    std::wstring expected;
    for (int i = 0; expected.size() < 5'000; ++i) expected += std::to_wstring(i % 10);
    expected.resize(5'000);
    const std::wstring text = FormatBuffered(L"%s", expected.c_str());
    ASSERT_EQ(text.size(), kFormatBufferChars);
    EXPECT_EQ(text, expected.substr(0, kFormatBufferChars));
}

TEST(FormatBuffered, TextsThatFitKeepTheirLength) {
    const std::wstring exact(kFormatBufferChars, L'e');
    EXPECT_EQ(FormatBuffered(L"%s", exact.c_str()), exact);
    const std::wstring one_less(kFormatBufferChars - 1, L'l');
    EXPECT_EQ(FormatBuffered(L"%s", one_less.c_str()), one_less);
    EXPECT_EQ(FormatBuffered(L"%s, %s", L"Description", L"Source"), L"Description, Source");
    EXPECT_EQ(FormatBuffered(L""), L"");
}

TEST(ToUpper, OnlyLettersAToZChangeUnderTheDefaultLocale) {
    EXPECT_EQ(ToUpper(L"sldworks2010"), L"SLDWORKS2010");
    EXPECT_EQ(ToUpper(L""), L"");
    EXPECT_EQ(ToUpper(L"0123456789 \x00E4\x00F6\x00FC \x4E2D-_"), L"0123456789 \x00E4\x00F6\x00FC \x4E2D-_");
    EXPECT_EQ(ToUpper(L"AlreadyUPPER"), L"ALREADYUPPER");
}

TEST(DecimalText, SignedDecimalWithoutPadding) {
    EXPECT_EQ(DecimalText(-1), L"-1");
    EXPECT_EQ(DecimalText(657330), L"657330");
    EXPECT_EQ(DecimalText(0), L"0");
    EXPECT_EQ(DecimalText(INT_MIN), L"-2147483648");
    EXPECT_EQ(DecimalText(INT_MAX), L"2147483647");
}
