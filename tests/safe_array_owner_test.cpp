// The SAFEARRAY owner frees the array with every element on every path. (Its shape check is the
// dependency list's: see the refused values there.)
#include <gtest/gtest.h>

#include "Public/owners.h"
#include "allocation_spy.h"

using qar::UniqueBstr;
using qar::UniqueSafeArray;

namespace {

// A one-dimensional array of `count` BSTRs from `lower` on, each element a string of its own.
SAFEARRAY* BstrVector(LONG lower, ULONG count) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, lower, count);
    const UniqueBstr text = UniqueBstr::Copy(L"file.sldprt");
    for (LONG index = lower; array != nullptr && index < lower + static_cast<LONG>(count); ++index) {
        SafeArrayPutElement(array, &index, text.Get());  // puts a copy
    }
    return array;
}

TEST(UniqueSafeArray, DestroysTheArrayAndItsElementsOnEveryPath) {
    AllocationSpy spy;
    ASSERT_TRUE(spy.Active());
    {
        UniqueSafeArray kept(BstrVector(0, 3));
        UniqueSafeArray replaced(BstrVector(0, 2));
        replaced = std::move(kept);
        UniqueSafeArray out;
        *out.Put() = BstrVector(1, 1);
        *out.Put() = BstrVector(1, 1);
        EXPECT_NE(0, spy.Outstanding());
    }
    EXPECT_EQ(0, spy.Outstanding());

    SAFEARRAY* handedOver = UniqueSafeArray(BstrVector(0, 1)).Release();
    ASSERT_NE(nullptr, handedOver);
    EXPECT_NE(0, spy.Outstanding());
    SafeArrayDestroy(handedOver);
    EXPECT_EQ(0, spy.Outstanding());
}

}  // namespace
