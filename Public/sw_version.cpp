#include "Public/sw_version.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "Public/text_helpers.h"

namespace qar {

namespace {

// The supported versions; there is no 2009. Matched ignoring case, since installations differ in
// how they spell the product's name.
const wchar_t* const kSupportedVersions[] = {
    L"SolidWorks 2008", L"SolidWorks 2010", L"SolidWorks 2011", L"SolidWorks 2012",
    L"SolidWorks 2013", L"SolidWorks 2014", L"SOLIDWORKS 2015", L"SOLIDWORKS 2016",
};

// The ProgID numbers count years from 1992 (SolidWorks 2008 is "SldWorks.Application.16").
constexpr int kProgIdYearBase = 1992;
constexpr size_t kYearChars = 4;

}  // namespace

CSwVersion::CSwVersion() : CCaxVersion(L"SOFTWARE\\SolidWorks", L"") {}

std::wstring CSwVersion::GetProgId(const std::wstring& version) {
    if (version.empty()) return std::wstring();
    if (version.size() < kYearChars) {
        // Too short to end in a year: refused with std::out_of_range, whose text the connector's
        // guard records. Hosts have seen the standard library's own text for this position since the
        // first release, so it is kept word for word.
        throw std::out_of_range("basic_string::substr: __pos (which is " +
                                std::to_string(version.size() - kYearChars) + ") > this->size() (which is " +
                                std::to_string(version.size()) + ")");
    }
    const std::wstring yearText = version.substr(version.size() - kYearChars);
    // A tail that is no year ("SolidWorks 2014 SP5") reads as 0 and gives a ProgID no installation
    // registers ("SldWorks.Application.-1992"): activation then fails and its message names that
    // ProgID, which tells the user more than an empty one would.
    return FormatString(L"%s%d", L"SldWorks.Application.", _wtoi(yearText.c_str()) - kProgIdYearBase);
}

std::wstring CSwVersion::GetCaxName() {
    return L"SolidWorks";
}

int CSwVersion::GetCaxType() {
    return 3;
}

std::wstring CSwVersion::VersionFromRegKey(const std::wstring& subKeyName) {
    const std::wstring upperName = ToUpper(subKeyName);
    for (const wchar_t* supported : kSupportedVersions) {
        if (ToUpper(supported) == upperName) return subKeyName;
    }
    return std::wstring();
}

}  // namespace qar
