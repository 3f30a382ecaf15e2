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

// ---- frame/AddDevice.cpp ----------------------------------------------------------

// At most this many readers exist at once; unit numbers run from 0 to 99.
constexpr ULONG CCID_MAX_DEVICES = 100;

// Default of "EventsFifoSize" (messages the event ring holds); it replaces a negative
// value and one whose ring size would not fit a LONG.
constexpr LONG CCID_EVENTS_FIFO_SIZE_DEFAULT = 16;

// Default reader capabilities until the start reads the class descriptor.
constexpr ULONG CCID_DEFAULT_CLOCK_KHZ = 4000;
constexpr ULONG CCID_DEFAULT_DATA_RATE_BPS = 10750;
constexpr ULONG CCID_DEFAULT_MAX_IFSD = 253;

// Size of the smart-card library's request and reply buffers.
constexpr ULONG CCID_SMARTCARD_BUFFER_SIZE = 288;

// Milliseconds an exchange waits for each bulk transfer (five minutes).
constexpr ULONG CCID_EXCHANGE_TIMEOUT_MS = 300000;

// The add-device routine: creates, registers and attaches a reader's device object and
// prepares its state. PASSIVE_LEVEL.
DRIVER_ADD_DEVICE CcidAddDevice;

// Sets the initial state of a new reader's extension and asks the bus for the device
// capabilities.
_IRQL_requires_(PASSIVE_LEVEL)
VOID CcidInitializeDeviceState(_In_ PDEVICE_OBJECT DeviceObject);

// ---- frame/CreateClose.cpp --------------------------------------------------------

// IRP_MJ_CREATE, IRP_MJ_CLOSE and IRP_MJ_SYSTEM_CONTROL (PASSIVE_LEVEL; system control at
// the caller's IRQL). Create admits one handle at a time; close ends a parked event read.
DRIVER_DISPATCH CcidCreate;
DRIVER_DISPATCH CcidClose;
DRIVER_DISPATCH CcidSystemControl;

// ---- frame/ReaderRegistry.cpp -----------------------------------------------------

// Keys CcidQueryRegistryValue reads from.
constexpr ULONG CCID_DRIVER_KEY = 0;
constexpr ULONG CCID_DEVICE_KEY = 1;

// Bytes of the Unicode buffer a vendor string is read with, and of its ANSI copy.
constexpr USHORT CCID_VENDOR_STRING_UNICODE_BYTES = 64;
constexpr USHORT CCID_VENDOR_STRING_ANSI_BYTES = MAXIMUM_ATTR_STRING_LENGTH;

// Reads one value of the driver key (Which CCID_DRIVER_KEY) or the device hardware key
// (CCID_DEVICE_KEY) into Destination as a direct registry query stores it; with a non-zero
// DefaultLength the current contents of Destination are the default. A value of another
// type than DefaultType is not read. Returns TRUE when the query succeeded.
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN CcidQueryRegistryValue(_In_ PDEVICE_OBJECT DeviceObject, _In_ ULONG Which, _In_ PCWSTR ValueName,
                               _In_ ULONG DefaultType, _In_ ULONG DefaultLength, _Inout_ PVOID Destination);

// Fills the smart-card library's extension (buffers, reader functions, vendor names,
// default capabilities) and initialises the library; returns SmartcardInitialize's status.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidInitializeSmartcardExtension(_In_ PDEVICE_OBJECT DeviceObject);

// Registers the further interface classes listed under the device key's subkey "Key".
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidRegisterExtraInterfaces(_In_ PDEVICE_OBJECT DeviceObject);

// Query routine called for each value under "Key"; Context is the reader's device object.
// (Declared in full: mingw-w64 has only the pointer type of query routines.)
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS NTAPI CcidExtraInterfaceQueryRoutine(_In_ PWSTR ValueName, _In_ ULONG ValueType, _In_ PVOID ValueData,
                                              _In_ ULONG ValueLength, _In_ PVOID Context, _In_ PVOID EntryContext);
