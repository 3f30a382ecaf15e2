// A driver image whose entry point is compiled for the System V convention, as a routine
// declared without the Microsoft x64 convention would be: it reads its DRIVER_OBJECT from
// RDI instead of RCX. The image loader's tests load it to show the fault is caught and
// named. It imports nothing; the pointer below gives it a base relocation.
#include <wdm.h>

namespace {

VOID NTAPI ProbeUnload(PDRIVER_OBJECT) {}

}  // namespace

extern "C" {

PDRIVER_UNLOAD ProbeUnloadRoutine = ProbeUnload;

__attribute__((sysv_abi, noinline)) NTSTATUS ProbeEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    DriverObject->DriverUnload = ProbeUnloadRoutine;
    return STATUS_SUCCESS;
}

}  // extern "C"
