// The dependency list taken from the array the application hands over: which elements count, how
// duplicates go, which values are refused before anything is read, and that it matches the rule
// written out literally on large random arrays in linear time.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <random>

#include "Public/com_owners.h"
#include "sldw/sldw_command.h"

using QARCAX::command_detail::DependencyList;

namespace {

using Elements = std::vector<std::optional<std::wstring>>;  // nullopt: a null element

// A VARIANT `vt` over a vector of `type` (the two differ only for a lying value) from `lower`; in a
// VT_VARIANT array a null element is an empty VARIANT.
UniqueVariant Array(const Elements& elements, VARTYPE type = VT_BSTR, LONG lower = 0, VARTYPE vt = 0) {
    UniqueVariant value;
    SAFEARRAYBOUND bound = {static_cast<ULONG>(elements.size()), lower};
    value.Ptr()->vt = VT_ARRAY | (vt != 0 ? vt : type);
    value.Ptr()->parray = SafeArrayCreate(type, 1, &bound);
    for (LONG i = 0; i < static_cast<LONG>(elements.size()); ++i) {
        if (!elements[i]) continue;
        UniqueBstr text = UniqueBstr::Copy(*elements[i]);
        VARIANT element;
        element.vt = VT_BSTR;
        element.bstrVal = text.Get();
        LONG index = lower + i;
        SafeArrayPutElement(value.Get().parray, &index, type == VT_BSTR ? static_cast<void*>(text.Get()) : &element);
    }
    return value;
}

// Any other value: `vt` with `payload` as its array or string.
UniqueVariant Raw(VARTYPE vt, void* payload) {
    UniqueVariant value;
    value.Ptr()->vt = vt;
    value.Ptr()->byref = payload;
    return value;
}

// The rule exactly as stated: absolute indexes 1, 3, 5, ... below the element count; a null element
// is empty; skip empty ones; keep one unless "|" + list + "|" already contains "|" + it + "|".
// Quadratic on purpose: it is the reference, not an implementation.
std::wstring LiteralRule(SAFEARRAY* array) {
    std::wstring list;
    for (LONG index = 1; index < static_cast<LONG>(array->rgsabound[0].cElements); index += 2) {
        UniqueBstr element;
        if (FAILED(SafeArrayGetElement(array, &index, element.Put()))) element.Reset();
        const std::wstring text = element.CStr();
        if (text.empty() || (L"|" + list + L"|").find(L"|" + text + L"|") != std::wstring::npos) continue;
        list += (list.empty() ? L"" : L"|") + text;
    }
    return list;
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
        {Array({L"n0", L"A", L"n2", L"B", L"n4", L"C"}), L"A|B|C"},
        {Array({}), L""},
        {Array({L"", L"X", L"", L"Y", L"", L"X", L"", L""}), L"X|Y"},
        {Array({L"", std::nullopt, L"", L"Y", L"", L"Y"}), L"Y"},
        // Case matters; a longer name containing another is not a duplicate of it.
        {Array({L"", L"a.sldprt", L"", L"A.SLDPRT", L"", L"xa.sldprt"}), L"a.sldprt|A.SLDPRT|xa.sldprt"},
        // Absolute indexes: with lower bound 1 the first and third elements are read; from 5 none.
        {Array({L"first", L"second", L"third", L"fourth"}, VT_BSTR, 1), L"first|third"},
        {Array({L"a", L"b", L"c", L"d"}, VT_BSTR, 5), L""},
        // Strings inside VARIANTs read the same; empty VARIANTs count as empty.
        {Array({L"", L"P", L"", std::nullopt, L"", L"P", L"", L"Q"}, VT_VARIANT), L"P|Q"},
        // Elements holding "|": the rule tests text, so pieces of an earlier element count as present.
        {Array({L"", L"a|b", L"", L"a", L"", L"b|c", L"", L"b"}), L"a|b|b|c"},
        {Array({L"", L"a", L"", L"b", L"", L"a|b", L"", L"b|a"}), L"a|b|b|a"},
        {Array({L"", L"|", L"", L"x", L"", L"|"}), L"||x"},
        {UniqueVariant(), nullptr},
        {Raw(VT_ARRAY | VT_BSTR, nullptr), nullptr},
        {Array({std::nullopt, std::nullopt}, VT_I4), nullptr},
        {Raw(VT_ARRAY | VT_BSTR, SafeArrayCreate(VT_BSTR, 2, square)), nullptr},
        {Raw(VT_BSTR, SysAllocString(L"a|b")), nullptr},
        // The value's type claims strings over an array of numbers: the array's own type decides.
        {Array({std::nullopt, std::nullopt}, VT_I4, 0, VT_BSTR), nullptr},
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
        const UniqueVariant value = Array(elements);
        EXPECT_EQ(LiteralRule(value.Get().parray), ListOf(value.Get())) << elements.size();
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
    const UniqueVariant value = Array(distinct);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(expected, ListOf(value.Get()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << "not linear";
}
