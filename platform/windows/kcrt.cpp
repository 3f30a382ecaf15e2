// The small C++ runtime a kernel image needs: allocation operators over tagged
// non-paged pool, and the handler of a pure virtual call. The driver has no global
// objects with constructors, so nothing else of a C++ start-up is required.

#include <wdm.h>

namespace {

// Pool tag of blocks that C++ allocation operators hand out; reads "TALc" in pool dumps.
constexpr ULONG KCRT_POOL_TAG = 'cLAT';

// Bug-check code the driver raises for a call through an unset virtual function; its
// first parameter tells the cause in a dump.
constexpr ULONG KCRT_BUGCHECK_CODE = 'CCID';
constexpr ULONG_PTR KCRT_PURE_VIRTUAL_CALL = 1;

void* KcrtAllocate(size_t size)
{
    return ExAllocatePoolWithTag(NonPagedPool, size == 0 ? 1 : size, KCRT_POOL_TAG);
}

void KcrtFree(void* block)
{
    if (block != nullptr) {
        ExFreePoolWithTag(block, KCRT_POOL_TAG);
    }
}

}  // namespace

void* operator new(size_t size) { return KcrtAllocate(size); }
void* operator new[](size_t size) { return KcrtAllocate(size); }
void operator delete(void* block) noexcept { KcrtFree(block); }
void operator delete[](void* block) noexcept { KcrtFree(block); }
void operator delete(void* block, size_t) noexcept { KcrtFree(block); }
void operator delete[](void* block, size_t) noexcept { KcrtFree(block); }

extern "C" void __cxa_pure_virtual()
{
    KeBugCheckEx(KCRT_BUGCHECK_CODE, KCRT_PURE_VIRTUAL_CALL, 0, 0, 0);
}
