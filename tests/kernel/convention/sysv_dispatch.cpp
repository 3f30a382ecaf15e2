// Compiled by CTest, not by the build: a dispatch routine declared without the Windows
// calling convention must not convert to PDRIVER_DISPATCH (with NTAPI it does).
#include <wdm.h>

#ifdef CCID_WITH_NTAPI
#define CCID_CONVENTION NTAPI
#else
#define CCID_CONVENTION
#endif

static NTSTATUS CCID_CONVENTION CreateClose(PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }

void InstallDispatch(PDRIVER_OBJECT driver) { driver->MajorFunction[IRP_MJ_CREATE] = CreateClose; }
