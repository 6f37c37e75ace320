// The command's cache of the add-in's method identifiers: one lookup per name and object, the same
// results and messages as without it, failures looked up again, another object starting over.
#include <gtest/gtest.h>

#include "Public/dispatch_invoke.h"
#include "stand_in_add_in.h"

TEST(DispatchIdCache, OneLookupPerNameAndObjectAndTheSameReports) {
    StandInAddIn first, second;
    second.Forget(L"UpdateTable");
    DispatchIdCache ids;
    int cachedLookUps[2] = {0, 0};
    const struct {
        StandInAddIn* target;
        const wchar_t* method;
        int firstLookUps, secondLookUps;  // counts after the call
    } steps[] = {
        {&first, L"RefreshTable", 1, 0},  {&first, L"RefreshTable", 1, 0}, {&first, L"UpdateTable", 2, 0},
        {&first, L"RefreshTable", 2, 0},
        // A failed lookup is not kept; the failure report reads errNumber and errDescription by name.
        {&second, L"UpdateTable", 2, 3},  {&second, L"UpdateTable", 2, 6},  {&second, L"RefreshTable", 2, 7},
        {&first, L"RefreshTable", 3, 7},  // a new object starts over
    };
    for (const auto& step : steps) {
        int cachedCode = 0, plainCode = 0;
        std::wstring cachedMessage, plainMessage;
        const int firstBefore = first.LookUps(), secondBefore = second.LookUps();
        const int cached = InvokeByName(step.target, step.method, L"a", L"b", cachedCode, cachedMessage, &ids);
        cachedLookUps[0] += first.LookUps() - firstBefore;
        cachedLookUps[1] += second.LookUps() - secondBefore;
        EXPECT_EQ(step.firstLookUps, cachedLookUps[0]) << step.method;
        EXPECT_EQ(step.secondLookUps, cachedLookUps[1]) << step.method;
        // Without the cache: the same result and report.
        EXPECT_EQ(InvokeByName(step.target, step.method, L"a", L"b", plainCode, plainMessage), cached);
        EXPECT_EQ(plainCode, cachedCode);
        EXPECT_EQ(plainMessage, cachedMessage);
    }
    EXPECT_EQ(10u, first.Calls().size()) << "every cached call reached the object like a plain one";
}
