// Formatting and upper-casing.
#include <gtest/gtest.h>

#include <string>

#include "Public/text_helpers.h"

// The Microsoft runtime's conversions (%s takes a wide string in a wide format); FormatString's text
// whole however long, FormatBuffered's whole when it fills the buffer exactly (longer texts cut there:
// the guard's table); upper case for a to z only under the default locale.
TEST(TextHelpers, FormatsWholeOrCutToTheBufferAndUpperCase) {
    const std::wstring part(9'990, L'x'), exact(kFormatBufferChars, L'e');
    EXPECT_EQ(FormatString(L"%s%010d|%S|%hs|%ls", part.c_str(), 42, "narrow", "half", L"wide"),
              part + L"0000000042|narrow|half|wide");
    EXPECT_EQ(FormatBuffered(L"%s", exact.c_str()), exact);
    EXPECT_EQ(ToUpper(L"sldworks2010 \x00E4\x00F6\x00FC \x4E2D-_"), L"SLDWORKS2010 \x00E4\x00F6\x00FC \x4E2D-_");
}
