// Routines and driver-wide state of the driver frame (frame/), grouped by defining file.
#pragma once

#include "CcidDevice.h"

// ---- frame/DriverEntry.cpp --------------------------------------------------------

// Size in bytes of the buffer that keeps the driver's service-key path.
constexpr USHORT CCID_REGISTRY_PATH_BYTES = 512;

// Size in bytes of the block that receives the "CurrentVersion" registry value.
constexpr ULONG CCID_OS_VERSION_QUERY_BYTES = 62;

// Characters of the version string that the classification looks at ("6.1" + NUL).
constexpr ULONG CCID_OS_VERSION_CHARS = 4;

// Windows version families (OsVersionCode).
constexpr ULONG CCID_OS_UNKNOWN = 0;  // the version key could not be opened
constexpr ULONG CCID_OS_WIN2000 = 50;
constexpr ULONG CCID_OS_WINXP = 51;   // also every version string not starting with 5 or 6
constexpr ULONG CCID_OS_VISTA = 60;
constexpr ULONG CCID_OS_WIN7 = 61;

// Copy of the service-key path given to DriverEntry (NUL-terminated, freed at unload).
extern UNICODE_STRING DriverRegistryPath;
// Windows version family the driver runs on.
extern ULONG OsVersionCode;
// Reader bookkeeping of add-device and removal.
extern ULONG DeviceCount;
extern ULONG NextUnitNumber;

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD CcidUnload;

// Reads the "CurrentVersion" value of an open key into Buffer (four wide characters);
// PASSIVE_LEVEL. Returns the query's status, or STATUS_INSUFFICIENT_RESOURCES.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidReadOsVersionString(_In_ HANDLE Key, _Out_writes_(CCID_OS_VERSION_CHARS) PWCHAR Buffer);

// ---- frame/IoCount.cpp ------------------------------------------------------------

// Take and drop one outstanding-I/O reference of a reader (any IRQL <= DISPATCH_LEVEL).
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID CcidIncrementIoCount(_In_ PDEVICE_OBJECT DeviceObject);
_IRQL_requires_max_(DISPATCH_LEVEL)
LONG CcidDecrementIoCount(_In_ PDEVICE_OBJECT DeviceObject);
