// Counts the blocks taken from and given back to the COM task allocator while it is alive, which is
// where BSTRs and SAFEARRAYs come from: a leak shows as Outstanding() != 0. It can also make an
// allocation fail, to drive out-of-memory paths. The thread is in a single-threaded apartment meanwhile.
// The automation runtime keeps freed BSTRs in a cache and hands them out again without asking the
// allocator; the spy turns that cache off (SetOaNoCache) for the process so that every BSTR counts.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <utility>

class AllocationSpy : public IMallocSpy {
public:
    AllocationSpy() {
        CoInitialize(nullptr);
        const auto noCache = reinterpret_cast<void(WINAPI*)()>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"oleaut32.dll"), "SetOaNoCache")));
        if (noCache != nullptr) noCache();
        active_ = noCache != nullptr && SUCCEEDED(CoRegisterMallocSpy(this));
    }
    virtual ~AllocationSpy() {
        if (active_) CoRevokeMallocSpy();
        CoUninitialize();
    }

    bool Active() const { return active_; }
    long Outstanding() const { return allocated_ - freed_; }
    // The next `skip` allocations succeed, the one after them fails.
    void FailAllocationAfter(long skip) { failAt_ = attempts_ + skip + 1; }

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        const bool known = riid == IID_IUnknown || riid == IID_IMallocSpy;
        *object = known ? static_cast<IMallocSpy*>(this) : nullptr;
        return known ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives on the test's stack
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    // A failure is asked for with a size no heap can give. Wine allocates the size it was first asked
    // for all the same, so PostAlloc then withholds the block: that one small block stays unreachable.
    STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T size) override {
        failing_ = ++attempts_ == failAt_;
        return failing_ ? ~static_cast<SIZE_T>(0) / 2 : size;
    }
    STDMETHODIMP_(void*) PostAlloc(void* block) override {
        if (std::exchange(failing_, false)) return nullptr;
        if (block != nullptr) ++allocated_;
        return block;
    }
    STDMETHODIMP_(void*) PreFree(void* block, BOOL spied) override {
        if (block != nullptr && spied) ++freed_;
        return block;
    }
    STDMETHODIMP_(void) PostFree(BOOL) override {}
    STDMETHODIMP_(SIZE_T) PreRealloc(void* block, SIZE_T size, void** newBlock, BOOL) override {
        *newBlock = block;
        return size;
    }
    STDMETHODIMP_(void*) PostRealloc(void* block, BOOL) override { return block; }
    STDMETHODIMP_(void*) PreGetSize(void* block, BOOL) override { return block; }
    STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T size, BOOL) override { return size; }
    STDMETHODIMP_(void*) PreDidAlloc(void* block, BOOL) override { return block; }
    STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int allocated) override { return allocated; }
    STDMETHODIMP_(void) PreHeapMinimize() override {}
    STDMETHODIMP_(void) PostHeapMinimize() override {}

private:
    bool active_ = false;
    bool failing_ = false;
    long allocated_ = 0, freed_ = 0, attempts_ = 0, failAt_ = 0;
};
