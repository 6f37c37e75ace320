// The SAFEARRAY owner: it frees the array with every element, and it lets code check an array's shape
// before reading from it.
#include <gtest/gtest.h>

#include "Public/com_owners.h"
#include "allocation_spy.h"

namespace {

// A one-dimensional array of `count` BSTRs from `lower` on, each element a new string.
SAFEARRAY* BstrVector(LONG lower, ULONG count) {
    SAFEARRAYBOUND bound = {count, lower};
    SAFEARRAY* array = SafeArrayCreate(VT_BSTR, 1, &bound);
    for (LONG i = 0; array != nullptr && i < static_cast<LONG>(count); ++i) {
        LONG index = lower + i;
        UniqueBstr text = UniqueBstr::Copy(L"file.sldprt");
        SafeArrayPutElement(array, &index, text.Get());  // puts a copy
    }
    return array;
}

TEST(UniqueSafeArray, DestroysTheArrayAndItsElementsOnEveryPath) {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    {
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
    CoUninitialize();
}

TEST(UniqueSafeArray, IsVectorAcceptsOnlyTheExpectedShape) {
    LONG lower = -1;
    LONG count = -1;
    UniqueSafeArray list(BstrVector(1, 4));
    ASSERT_TRUE(list.IsVector(VT_BSTR, lower, count));
    EXPECT_EQ(1, lower);
    EXPECT_EQ(4, count);

    EXPECT_FALSE(list.IsVector(VT_VARIANT, lower, count));
    EXPECT_FALSE(UniqueSafeArray().IsVector(VT_BSTR, lower, count));
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    UniqueSafeArray matrix(SafeArrayCreate(VT_BSTR, 2, bounds));
    EXPECT_FALSE(matrix.IsVector(VT_BSTR, lower, count));
}

}  // namespace
