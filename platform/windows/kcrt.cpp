// The small C++ runtime a kernel image needs: allocation operators over tagged
// non-paged pool, the handler of a pure virtual call, and the stack protector's guard
// and failure routine with the image entry that seeds the guard. The driver has no
// global objects with constructors, so nothing else of a C++ start-up is required.

#include <wdm.h>

#include "CcidFrame.h"

namespace {

// Pool tag of blocks that C++ allocation operators hand out; reads "TALc" in pool dumps.
constexpr ULONG KCRT_POOL_TAG = 'cLAT';

// Bug-check code the driver raises for a call through an unset virtual function; its
// first parameter tells the cause in a dump.
constexpr ULONG KCRT_BUGCHECK_CODE = 'CCID';
constexpr ULONG_PTR KCRT_PURE_VIRTUAL_CALL = 1;

// DRIVER_OVERRAN_STACK_BUFFER: a stack buffer overrun wrote over a routine's guard.
constexpr ULONG KCRT_DRIVER_OVERRAN_STACK_BUFFER = 0xF7;

// The guard until the entry seeds it (MSVC's default security cookie, so a dump of an
// unseeded image reads the same as one of an MSVC driver).
constexpr ULONG_PTR KCRT_DEFAULT_STACK_GUARD = 0x00002B992DDFA232ULL;

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

extern "C" {

// Compared by every routine -fstack-protector-strong instruments (those with arrays or
// address-taken locals, such as the parsers of device-supplied data).
ULONG_PTR __stack_chk_guard = KCRT_DEFAULT_STACK_GUARD;

// Called by an instrumented routine whose guard was overwritten: the stack is corrupt,
// so nothing may return through it; stop the machine.
__attribute__((noreturn)) void __stack_chk_fail()
{
    KeBugCheckEx(KCRT_DRIVER_OVERRAN_STACK_BUFFER, reinterpret_cast<ULONG_PTR>(__builtin_return_address(0)),
                 __stack_chk_guard, 0, 0);
}

// The image entry (PASSIVE_LEVEL): seeds the guard from the time-stamp and performance
// counters and this load's addresses, then runs DriverEntry. It and the seeding are not
// instrumented, since the guard changes under them.
__attribute__((no_stack_protector)) NTSTATUS GsDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    const LARGE_INTEGER counter = KeQueryPerformanceCounter(NULL);
    ULONG_PTR guard = static_cast<ULONG_PTR>(__builtin_ia32_rdtsc()) ^ static_cast<ULONG_PTR>(counter.QuadPart) ^
                      reinterpret_cast<ULONG_PTR>(DriverObject) ^ (reinterpret_cast<ULONG_PTR>(&counter) << 16);
    // Neither zero nor the well-known default.
    if (guard == 0 || guard == KCRT_DEFAULT_STACK_GUARD) {
        guard = KCRT_DEFAULT_STACK_GUARD ^ 0x5A5A;
    }
    __stack_chk_guard = guard;
    return DriverEntry(DriverObject, RegistryPath);
}

}  // extern "C"

extern "C" void __cxa_pure_virtual()
{
    KeBugCheckEx(KCRT_BUGCHECK_CODE, KCRT_PURE_VIRTUAL_CALL, 0, 0, 0);
}
