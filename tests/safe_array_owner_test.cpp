// The SAFEARRAY owner: it frees the array with every element, and it lets code check an array's shape
// before reading from it.
#include <gtest/gtest.h>

#include "Public/com_owners.h"
#include "allocation_spy.h"

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

TEST(UniqueSafeArray, IsVectorAcceptsOnlyTheExpectedShape) {
    LONG lower = -1, count = -1;
    const UniqueSafeArray list(BstrVector(1, 4));
    ASSERT_TRUE(list.IsVector(VT_BSTR, lower, count));
    EXPECT_EQ(1, lower);
    EXPECT_EQ(4, count);

    EXPECT_FALSE(list.IsVector(VT_VARIANT, lower, count));
    EXPECT_FALSE(UniqueSafeArray().IsVector(VT_BSTR, lower, count));
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    EXPECT_FALSE(UniqueSafeArray(SafeArrayCreate(VT_BSTR, 2, bounds)).IsVector(VT_BSTR, lower, count));
}

}  // namespace
