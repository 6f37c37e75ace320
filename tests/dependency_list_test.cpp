// The dependency list taken from the array the application hands over: which elements count, how
// duplicates go, and which values are refused before anything is read.
#include <gtest/gtest.h>

#include <random>

#include "dependency_arrays.h"
#include "sldw/sldw_command.h"

using QARCAX::command_detail::DependencyList;

namespace {

std::wstring ListOf(const UniqueVariant& value) {
    std::wstring list = L"untouched";
    EXPECT_TRUE(DependencyList(value.Get(), list));
    return list;
}

}  // namespace

TEST(DependencyList, OddIndexesDistinctNonEmptyInOrder) {
    const struct {
        Elements elements;
        VARTYPE type;
        LONG lower;
        const wchar_t* expected;
    } cases[] = {
        {{L"n0", L"A", L"n2", L"B", L"n4", L"C"}, VT_BSTR, 0, L"A|B|C"},
        {{L"only"}, VT_BSTR, 0, L""},
        {{}, VT_BSTR, 0, L""},
        {{L"", L"X", L"", L"Y", L"", L"X", L"", L""}, VT_BSTR, 0, L"X|Y"},
        {{L"", std::nullopt, L"", L"Y", L"", L"Y"}, VT_BSTR, 0, L"Y"},
        // Case matters; a longer name containing another is not a duplicate of it.
        {{L"", L"a.sldprt", L"", L"A.SLDPRT", L"", L"xa.sldprt"}, VT_BSTR, 0, L"a.sldprt|A.SLDPRT|xa.sldprt"},
        // Absolute indexes: with lower bound 1 the first and third elements are read, the fourth not.
        {{L"first", L"second", L"third", L"fourth"}, VT_BSTR, 1, L"first|third"},
        // With lower bound 5 indexes 1 and 3 lie outside the array: nothing is read.
        {{L"a", L"b", L"c", L"d"}, VT_BSTR, 5, L""},
        // Strings inside VARIANTs read the same; non-strings and empty VARIANTs count as empty.
        {{L"", L"P", L"", std::nullopt, L"", L"P", L"", L"Q"}, VT_VARIANT, 0, L"P|Q"},
        // Elements holding "|": the rule tests text, so pieces of an earlier element count as present.
        {{L"", L"a|b", L"", L"a", L"", L"b|c", L"", L"b"}, VT_BSTR, 0, L"a|b|b|c"},
        {{L"", L"a", L"", L"b", L"", L"a|b", L"", L"b|a"}, VT_BSTR, 0, L"a|b|b|a"},
        {{L"", L"|", L"", L"x", L"", L"|"}, VT_BSTR, 0, L"||x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, ListOf(DependencyArray(c.elements, c.type, c.lower))) << c.expected;
    }
}

TEST(DependencyList, RefusesValuesThatAreNotStringVectorsWithoutReadingThem) {
    std::wstring list = L"untouched";
    UniqueVariant empty;
    EXPECT_FALSE(DependencyList(empty.Get(), list));
    EXPECT_EQ(L"", list);

    UniqueVariant nullArray;
    nullArray.Ptr()->vt = VT_ARRAY | VT_BSTR;
    nullArray.Ptr()->parray = nullptr;
    EXPECT_FALSE(DependencyList(nullArray.Get(), list));

    UniqueVariant numbers;
    SAFEARRAYBOUND bound = {4, 0};
    numbers.Ptr()->vt = VT_ARRAY | VT_I4;
    numbers.Ptr()->parray = SafeArrayCreate(VT_I4, 1, &bound);
    EXPECT_FALSE(DependencyList(numbers.Get(), list));

    // A VARIANT whose type claims strings over an array of another element type.
    UniqueVariant lying;
    lying.Ptr()->vt = VT_ARRAY | VT_BSTR;
    lying.Ptr()->parray = SafeArrayCreate(VT_I4, 1, &bound);
    EXPECT_FALSE(DependencyList(lying.Get(), list));

    UniqueVariant twoDimensions;
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    twoDimensions.Ptr()->vt = VT_ARRAY | VT_BSTR;
    twoDimensions.Ptr()->parray = SafeArrayCreate(VT_BSTR, 2, bounds);
    EXPECT_FALSE(DependencyList(twoDimensions.Get(), list));

    UniqueVariant text;
    text.Ptr()->vt = VT_BSTR;
    text.Ptr()->bstrVal = SysAllocString(L"a|b");
    EXPECT_FALSE(DependencyList(text.Get(), list));
    EXPECT_EQ(L"", list);
}

// Random lists compared with the rule written out literally: many duplicates in a large array, and a
// small alphabet of names with "|" in them where the text test and plain equality part ways.
TEST(DependencyList, MatchesTheLiteralRuleOnRandomArrays) {
    std::mt19937 random(20261206);
    const struct {
        size_t size;
        std::vector<std::wstring> alphabet;
    } runs[] = {
        {100000, {}},
        {4000, {L"a", L"b", L"a|b", L"|a", L"b|", L"|", L"", L"ab", L"b|a|", L"||"}},
    };
    for (const auto& run : runs) {
        Elements elements(run.size);
        for (auto& element : elements) {
            if (run.alphabet.empty()) {
                element = L"C:\\parts\\p" + std::to_wstring(random() % 500) + L".SLDPRT";
            } else {
                element = run.alphabet[random() % run.alphabet.size()];
            }
        }
        elements[7] = std::nullopt;
        const UniqueVariant value = DependencyArray(elements);
        ASSERT_NE(nullptr, value.Get().parray);
        EXPECT_EQ(LiteralDependencies(value.Get().parray), ListOf(value)) << run.size;
    }
    // All names distinct: the list is every odd element. A search through the list for each name
    // would take minutes here instead of milliseconds.
    Elements distinct(200000);
    std::wstring expected;
    for (size_t i = 0; i < distinct.size(); ++i) {
        distinct[i] = L"C:\\p\\" + std::to_wstring(i);
        if (i % 2 == 1) expected += (expected.empty() ? L"" : L"|") + *distinct[i];
    }
    EXPECT_EQ(expected, ListOf(DependencyArray(distinct)));
}
