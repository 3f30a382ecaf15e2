// The outstanding-I/O count of a reader. Stop, removal and power-down wait on its two
// events: NoPendingIoEvent when only the device's own reference is left, RemoveEvent
// when that one is gone too. Neither event is ever reset.

#include "CcidFrame.h"
#include "CcidGuards.h"

// Takes one reference (IRQL <= DISPATCH_LEVEL).
_Use_decl_annotations_
VOID CcidIncrementIoCount(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);

    SpinLockGuard guard(extension->IoCountLock);
    InterlockedIncrement(&extension->IoCount);
}

// Drops one reference and returns the new count (IRQL <= DISPATCH_LEVEL). The events are
// set after the lock is released.
_Use_decl_annotations_
LONG CcidDecrementIoCount(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    LONG count;
    {
        SpinLockGuard guard(extension->IoCountLock);
        count = InterlockedExchangeAdd(&extension->IoCount, -1) - 1;
    }

    if (count == 1) {
        KeSetEvent(&extension->NoPendingIoEvent, 1, FALSE);
    }
    if (count == 0) {
        KeSetEvent(&extension->RemoveEvent, 1, FALSE);
    }
    return count;
}
