// Image entry and unload: the build banner, the copy of the service-key path, the
// dispatch table, and the Windows version family that the USB transport consults.

#include "CcidFrame.h"
#include "CcidGuards.h"
#include "CcidPnp.h"
#include "CcidPower.h"
#include "CcidReader.h"

UNICODE_STRING DriverRegistryPath;
ULONG OsVersionCode;
ULONG DeviceCount;
ULONG NextUnitNumber;

namespace {

// Registry value types accepted for "CurrentVersion".
constexpr ULONG CCID_VERSION_VALUE_TYPE = REG_SZ;

// Longest "CurrentVersion" data copied into the four-character buffer ("6.1" + NUL).
constexpr ULONG CCID_OS_VERSION_DATA_MAX = CCID_OS_VERSION_CHARS * sizeof(WCHAR);

// Reduces a version string ("6.1", "5.0", ...) to its family by its first and third
// characters; anything that is not a 5.x or 6.x version counts as the 5.1 family.
ULONG CcidClassifyOsVersion(const WCHAR* Version)
{
    const WCHAR major = Version[0];
    const WCHAR minor = Version[2];

    if (major == WCHAR('6')) {
        return minor == WCHAR('1') ? CCID_OS_WIN7 : CCID_OS_VISTA;
    }
    if (major == WCHAR('5') && minor == WCHAR('0')) {
        return CCID_OS_WIN2000;
    }
    return CCID_OS_WINXP;
}

// Opens the Windows NT version key and classifies its "CurrentVersion" value (PASSIVE_LEVEL).
// A key that cannot be opened gives CCID_OS_UNKNOWN; a value that cannot be read leaves
// the buffer zero-filled, which classifies as the 5.1 family.
ULONG CcidDetermineOsVersion()
{
    PAGED_CODE();

    UNICODE_STRING keyName;
    RtlInitUnicodeString(&keyName, KTEXT("\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion"));

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE, NULL, NULL);

    HANDLE key = NULL;
    const NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
    if (status != STATUS_SUCCESS) {
        return CCID_OS_UNKNOWN;
    }

    WCHAR version[CCID_OS_VERSION_CHARS] = {};
    // The classification below copes with an unread (zero) buffer, so the status of the
    // read does not matter here.
    (VOID) CcidReadOsVersionString(key, version);
    (VOID) ZwClose(key);

    return CcidClassifyOsVersion(version);
}

}  // namespace

// Reads "CurrentVersion" of an open key into Buffer (PASSIVE_LEVEL). Buffer is written
// only when the value is a string of at most four characters, NUL included.
_Use_decl_annotations_
NTSTATUS CcidReadOsVersionString(HANDLE Key, PWCHAR Buffer)
{
    PAGED_CODE();

    PoolBlock<KEY_VALUE_FULL_INFORMATION> info(PagedPool, CCID_OS_VERSION_QUERY_BYTES, CCID_POOL_TAG);
    if (!info) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, KTEXT("CurrentVersion"));

    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &valueName, KeyValueFullInformation, info.Get(),
                                      CCID_OS_VERSION_QUERY_BYTES, &resultLength);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // Binary or numeric data is not a version string: leave the buffer as it is.
    if (info->Type != CCID_VERSION_VALUE_TYPE) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }

    // The data must lie inside the block the query filled.
    const ULONG dataOffset = info->DataOffset;
    const ULONG dataLength = info->DataLength;
    if (dataLength <= CCID_OS_VERSION_DATA_MAX && dataOffset <= CCID_OS_VERSION_QUERY_BYTES &&
        dataLength <= CCID_OS_VERSION_QUERY_BYTES - dataOffset) {
        RtlCopyMemory(Buffer, reinterpret_cast<PUCHAR>(info.Get()) + dataOffset, dataLength);
    }
    return status;
}

// Driver initialisation (PASSIVE_LEVEL): announces the build, keeps the service-key path,
// fills the dispatch table and classifies the Windows version. Fails only when the path
// buffer cannot be allocated, after everything else has been done.
extern "C" _Use_decl_annotations_
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    PAGED_CODE();

    // Before any allocation: the driver's NonPagedPool is non-executable from here on.
    ExInitializeDriverRuntime(DrvRtPoolNxOptIn);

    DbgPrint("---> DriverEntry Driver has been built %s -- %s\n", __DATE__, __TIME__);

    NTSTATUS status = STATUS_SUCCESS;
    DriverRegistryPath.Length = 0;
    DriverRegistryPath.MaximumLength = CCID_REGISTRY_PATH_BYTES;
    DriverRegistryPath.Buffer =
        static_cast<PWCH>(ExAllocatePoolWithTag(NonPagedPool, CCID_REGISTRY_PATH_BYTES, CCID_POOL_TAG));
    if (DriverRegistryPath.Buffer != NULL) {
        RtlZeroMemory(DriverRegistryPath.Buffer, CCID_REGISTRY_PATH_BYTES);
        RtlCopyUnicodeString(&DriverRegistryPath, RegistryPath);

        // A path of 256 characters or more fills the buffer without a terminator; keep
        // the last character for the NUL so readers of Buffer never run past the block.
        // The shortened path names no existing key, so its values take their defaults.
        if (DriverRegistryPath.Length > CCID_REGISTRY_PATH_BYTES - sizeof(WCHAR)) {
            DriverRegistryPath.Length = CCID_REGISTRY_PATH_BYTES - sizeof(WCHAR);
            DriverRegistryPath.Buffer[DriverRegistryPath.Length / sizeof(WCHAR)] = UNICODE_NULL;
        }
    } else {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }

    // Entry points. A major function without an entry keeps the I/O manager's default,
    // which fails the request as an invalid device request.
    DriverObject->DriverUnload = CcidUnload;
    DriverObject->DriverExtension->AddDevice = CcidAddDevice;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = CcidCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = CcidClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = CcidCleanup;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = CcidDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = CcidSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = CcidPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = CcidPower;

    OsVersionCode = CcidDetermineOsVersion();

    return status;
}

// Unload (PASSIVE_LEVEL): every device is gone by now; frees the service-key path.
_Use_decl_annotations_
VOID CcidUnload(PDRIVER_OBJECT DriverObject)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DriverObject);

    if (DriverRegistryPath.Buffer != NULL) {
        ExFreePoolWithTag(DriverRegistryPath.Buffer, CCID_POOL_TAG);
        DriverRegistryPath.Buffer = NULL;
    }
}
