// SolidWorks version names and the ProgIDs derived from them.
#include <gtest/gtest.h>

#include <stdexcept>

#include "Public/sw_version.h"

TEST(SwVersion, RecognisesSupportedVersionsInAnyCaseAndKeepsTheRegistrySpelling) {
    CSwVersion sw;
    for (const wchar_t* supported : {L"solidworks 2012", L"SolidWorks 2016", L"SOLIDWORKS 2008"})
        EXPECT_EQ(supported, sw.VersionFromRegKey(supported));
    for (const wchar_t* other :
         {L"SolidWorks 2009", L"SolidWorks 2017", L"SolidWorks 2014 SP5", L"2014", L""})
        EXPECT_EQ(L"", sw.VersionFromRegKey(other)) << other;
}

TEST(SwVersion, ProgIdNumberIsTheYearAtTheEndMinus1992) {
    CSwVersion sw;
    EXPECT_EQ(L"SldWorks.Application.20", sw.GetProgId(L"2012"));             // any text ending in a year
    EXPECT_EQ(L"SldWorks.Application.25", sw.GetProgId(L"SolidWorks 2017"));  // not a supported version
    EXPECT_EQ(L"SldWorks.Application.16", sw.GetProgId(L"SolidWorks 2008"));
    EXPECT_EQ(L"SldWorks.Application.-1992", sw.GetProgId(L"SolidWorks 2014 SP5"));  // no year: 0
    EXPECT_EQ(L"", sw.GetProgId(L""));
    // Too short for a year: an error that the connector's guard reports, not a read before the text.
    EXPECT_THROW(sw.GetProgId(L"201"), std::out_of_range);
}
