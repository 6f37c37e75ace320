// The dependency list taken from the array the application hands over: which elements count, how
// duplicates go, which values are refused before anything is read, and that it matches the rule
// written out literally on large random arrays in linear time. And the owner of such arrays.
#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "allocation_spy.h"
#include "bench/dependency_arrays.h"
#include "sldw/sldw_command.h"

using qar::detail::DependencyList;

using qar::UniqueSafeArray;
using qar::UniqueVariant;

using qar::detail::DependencyList;

namespace {

// Any other value: `vt` with `payload` as its array or string.
UniqueVariant Raw(VARTYPE vt, void* payload) {
    UniqueVariant value;
    value.Ptr()->vt = vt;
    value.Ptr()->byref = payload;
    return value;
}

std::wstring ListOf(const VARIANT& value, bool accepted = true) {
    std::wstring list = L"untouched";
    EXPECT_EQ(accepted, DependencyList(value, list));
    return list;
}

}  // namespace

TEST(DependencyList, OddIndexesDistinctNonEmptyInOrderAndOnlyStringVectors) {
    SAFEARRAYBOUND square[2] = {{2, 0}, {2, 0}};
    const struct {
        UniqueVariant value;
        const wchar_t* expected;  // null: refused, the list left empty
    } cases[] = {
        {DependencyArray({L"n0", L"A", L"n2", L"B", L"n4", L"C"}), L"A|B|C"},
        {DependencyArray({}), L""},
        {DependencyArray({L"", L"X", L"", L"Y", L"", L"X", L"", L""}), L"X|Y"},
        {DependencyArray({L"", std::nullopt, L"", L"Y", L"", L"Y"}), L"Y"},
        // Case matters; a longer name containing another is not a duplicate of it.
        {DependencyArray({L"", L"a.sldprt", L"", L"A.SLDPRT", L"", L"xa.sldprt"}),
         L"a.sldprt|A.SLDPRT|xa.sldprt"},
        // Absolute indexes: with lower bound 1 the first and third elements are read; from 5 none.
        {DependencyArray({L"first", L"second", L"third", L"fourth"}, VT_BSTR, 1), L"first|third"},
        {DependencyArray({L"a", L"b", L"c", L"d"}, VT_BSTR, 5), L""},
        // Strings inside VARIANTs read the same; empty VARIANTs count as empty.
        {DependencyArray({L"", L"P", L"", std::nullopt, L"", L"P", L"", L"Q"}, VT_VARIANT), L"P|Q"},
        // Elements holding "|": the rule tests text, so pieces of an earlier element count as present.
        {DependencyArray({L"", L"a|b", L"", L"a", L"", L"b|c", L"", L"b"}), L"a|b|b|c"},
        {DependencyArray({L"", L"a", L"", L"b", L"", L"a|b", L"", L"b|a"}), L"a|b|b|a"},
        {DependencyArray({L"", L"|", L"", L"x", L"", L"|"}), L"||x"},
        {UniqueVariant(), nullptr},
        {Raw(VT_ARRAY | VT_BSTR, nullptr), nullptr},
        {DependencyArray({std::nullopt, std::nullopt}, VT_I4), nullptr},
        {Raw(VT_ARRAY | VT_BSTR, SafeArrayCreate(VT_BSTR, 2, square)), nullptr},
        {Raw(VT_BSTR, SysAllocString(L"a|b")), nullptr},
        // The value's type claims strings over an array of numbers: the array's own type decides.
        {DependencyArray({std::nullopt, std::nullopt}, VT_I4, 0, VT_BSTR), nullptr},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected ? c.expected : L"", ListOf(c.value.Get(), c.expected != nullptr))
            << (c.expected ? c.expected : L"refused");
    }
}

// Random lists compared with the literal rule: many duplicates in a large array, and a small
// alphabet of names with "|" in them where the text test and plain equality part ways.
TEST(DependencyList, MatchesTheLiteralRuleOnRandomArraysInLinearTime) {
    std::mt19937 random(20261206);
    const std::vector<std::wstring> alphabets[] = {
        {}, {L"a", L"b", L"a|b", L"|a", L"b|", L"|", L"", L"ab", L"b|a|", L"||"}};
    for (const auto& alphabet : alphabets) {
        Elements elements(alphabet.empty() ? 100000 : 4000);
        for (auto& element : elements) {
            element = alphabet.empty() ? L"C:\\parts\\p" + std::to_wstring(random() % 500) + L".SLDPRT"
                                       : alphabet[random() % alphabet.size()];
        }
        elements[7] = std::nullopt;
        const UniqueVariant value = DependencyArray(elements);
        EXPECT_EQ(LiteralDependencies(value.Get().parray), ListOf(value.Get())) << elements.size();
    }
    // All names distinct: the list is every odd element. A search through the list for each name
    // takes more than a minute here (measured: half a minute for 200,000 elements) instead of a
    // fraction of a second.
    Elements distinct(300000);
    std::wstring expected;
    for (size_t i = 0; i < distinct.size(); ++i) {
        distinct[i] = L"C:\\p\\" + std::to_wstring(i);
        if (i % 2 == 1) expected += (expected.empty() ? L"" : L"|") + *distinct[i];
    }
    const UniqueVariant value = DependencyArray(distinct);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(expected, ListOf(value.Get()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << "not linear";
}

// The SAFEARRAY owner frees the array with every element on every path.
TEST(UniqueSafeArray, DestroysTheArrayAndItsElementsOnEveryPath) {
    AllocationSpy spy;
    ASSERT_TRUE(spy.Active());
    const auto array = [](size_t count) {
        return DependencyArray(Elements(count, L"file.sldprt")).Release().parray;
    };
    {
        UniqueSafeArray kept(array(3)), replaced(array(2)), out;
        replaced = std::move(kept);
        *out.Put() = array(1);
        *out.Put() = array(1);
        EXPECT_NE(0, spy.Outstanding());
    }
    EXPECT_EQ(0, spy.Outstanding());
    SAFEARRAY* const handedOver = UniqueSafeArray(array(1)).Release();
    ASSERT_NE(nullptr, handedOver);
    EXPECT_NE(0, spy.Outstanding());
    SafeArrayDestroy(handedOver);
    EXPECT_EQ(0, spy.Outstanding());
}
