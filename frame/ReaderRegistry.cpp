// A reader's registry settings and its registration with the smart-card library: the
// event-ring size from the driver key, the vendor and reader-type names and the further
// interface classes from the device hardware key, and the library's extension.

#include "CcidFeatures.h"
#include "CcidFrame.h"
#include "CcidGuards.h"
#include "CcidReader.h"

namespace {

// A registry key handle closed when the scope ends.
class [[nodiscard]] RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey()
    {
        if (Handle != NULL) {
            (VOID) ZwClose(Handle);
        }
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    HANDLE Handle = NULL;
};

// TRUE when the value is absent (its default applies) or of the expected type
// (PASSIVE_LEVEL). A direct registry query stores whatever type it finds, so a value of
// another type, such as a number where a string is expected, must never reach it.
BOOLEAN CcidRegistryValueTypeIs(HANDLE Key, PCWSTR ValueName, ULONG Type)
{
    PAGED_CODE();

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    KEY_VALUE_PARTIAL_INFORMATION header;
    ULONG resultLength = 0;
    // The fixed part is all that is needed: a longer value reports STATUS_BUFFER_OVERFLOW
    // with the fixed part filled in.
    const NTSTATUS status =
        ZwQueryValueKey(Key, &name, KeyValuePartialInformation, &header, sizeof(header), &resultLength);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        return TRUE;
    }
    if (status != STATUS_SUCCESS && status != STATUS_BUFFER_OVERFLOW) {
        return FALSE;
    }
    return header.Type == Type;
}

// Opens the driver key, the one DriverEntry was given (PASSIVE_LEVEL).
NTSTATUS CcidOpenDriverKey(PHANDLE Key)
{
    PAGED_CODE();

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &DriverRegistryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    return ZwOpenKey(Key, KEY_READ, &attributes);
}

// Reads a vendor string of the device key into an attribute of at most 32 ANSI bytes
// (PASSIVE_LEVEL). An absent, unreadable or non-string value leaves the name empty; a
// longer one keeps what the conversion fits into the 32 bytes.
VOID CcidReadVendorString(PDEVICE_OBJECT DeviceObject, PCWSTR ValueName, _VENDOR_ATTR_STRING* Attribute)
{
    PAGED_CODE();

    UNICODE_STRING value;
    value.Length = 0;
    value.MaximumLength = CCID_VENDOR_STRING_UNICODE_BYTES;
    value.Buffer = NULL;
    (VOID) CcidQueryRegistryValue(DeviceObject, CCID_DEVICE_KEY, ValueName, REG_SZ, 0, &value);

    ANSI_STRING ansi;
    ansi.Length = 0;
    ansi.MaximumLength = CCID_VENDOR_STRING_ANSI_BYTES;
    ansi.Buffer = reinterpret_cast<PCHAR>(Attribute->Buffer);
    if (value.Buffer != NULL) {
        // A name too long for the attribute is cut; the cut name is still a name.
        (VOID) RtlUnicodeStringToAnsiString(&ansi, &value, FALSE);
        RtlFreeUnicodeString(&value);
    }
    Attribute->Length = ansi.Length;
}

}  // namespace

// Reads one registry value into Destination (PASSIVE_LEVEL). The value's type is checked
// first: only a value of DefaultType is stored.
_Use_decl_annotations_
BOOLEAN CcidQueryRegistryValue(PDEVICE_OBJECT DeviceObject, ULONG Which, PCWSTR ValueName, ULONG DefaultType,
                               ULONG DefaultLength, PVOID Destination)
{
    PAGED_CODE();

    if (Which != CCID_DRIVER_KEY && Which != CCID_DEVICE_KEY) {
        return FALSE;
    }
    PoolBlock<UCHAR> defaultCopy(NonPagedPool, DefaultLength != 0 ? DefaultLength : 1, CCID_POOL_TAG);
    if (!defaultCopy) {
        return FALSE;
    }
    if (DefaultLength != 0) {
        RtlCopyMemory(defaultCopy.Get(), Destination, DefaultLength);
    }

    RegistryKey key;
    ULONG relativeTo;
    PCWSTR path;
    if (Which == CCID_DRIVER_KEY) {
        // A missing driver key is no error: the defaults apply.
        if (NT_SUCCESS(CcidOpenDriverKey(&key.Handle)) && !CcidRegistryValueTypeIs(key.Handle, ValueName, DefaultType)) {
            return FALSE;
        }
        relativeTo = RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL;
        path = DriverRegistryPath.Buffer;
    } else {
        PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
        if (!NT_SUCCESS(IoOpenDeviceRegistryKey(extension->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE,
                                                KEY_ALL_ACCESS, &key.Handle))) {
            return FALSE;
        }
        if (!CcidRegistryValueTypeIs(key.Handle, ValueName, DefaultType)) {
            return FALSE;
        }
        relativeTo = RTL_REGISTRY_HANDLE;
        path = static_cast<PCWSTR>(key.Handle);
    }

    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof(table));
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = const_cast<PWSTR>(ValueName);
    table[0].EntryContext = Destination;
    if (DefaultLength != 0) {
        table[0].DefaultType = DefaultType;
        table[0].DefaultData = defaultCopy.Get();
        table[0].DefaultLength = DefaultLength;
    }
    return NT_SUCCESS(RtlQueryRegistryValues(relativeTo, path, table, NULL, NULL));
}

// Fills the library's extension with the reader's defaults and initialises the library
// (PASSIVE_LEVEL). The reader functions of the slots built so far are installed.
_Use_decl_annotations_
NTSTATUS CcidInitializeSmartcardExtension(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    PSMARTCARD_EXTENSION smartcard = &CcidGetExtension(DeviceObject)->SmartcardExtension;
    smartcard->SmartcardReply.BufferSize = CCID_SMARTCARD_BUFFER_SIZE;
    smartcard->SmartcardRequest.BufferSize = CCID_SMARTCARD_BUFFER_SIZE;
    smartcard->Version = SMCLIB_VERSION;
    smartcard->ReaderFunction[RDF_CARD_POWER] = CcidCardPower;
    smartcard->ReaderFunction[RDF_TRANSMIT] = CcidTransmit;
    smartcard->ReaderFunction[RDF_CARD_TRACKING] = CcidCardTracking;
    smartcard->ReaderFunction[RDF_SET_PROTOCOL] = CcidSetProtocol;
    smartcard->ReaderFunction[RDF_IOCTL_VENDOR] = CcidVendorIoctl;

    CcidReadVendorString(DeviceObject, KTEXT("VendorName"), &smartcard->VendorAttr.VendorName);
    CcidReadVendorString(DeviceObject, KTEXT("IfdType"), &smartcard->VendorAttr.IfdType);

    smartcard->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
    SCARD_READER_CAPABILITIES& capabilities = smartcard->ReaderCapabilities;
    capabilities.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    capabilities.ReaderType = SCARD_READER_TYPE_USB;
    capabilities.MechProperties = 0;
    capabilities.CurrentState = SCARD_UNKNOWN;
    capabilities.Channel = 0;
    capabilities.CLKFrequency.Default = CCID_DEFAULT_CLOCK_KHZ;
    capabilities.CLKFrequency.Max = CCID_DEFAULT_CLOCK_KHZ;
    capabilities.DataRate.Default = CCID_DEFAULT_DATA_RATE_BPS;
    capabilities.DataRate.Max = CCID_DEFAULT_DATA_RATE_BPS;
    capabilities.MaxIFSD = CCID_DEFAULT_MAX_IFSD;
    smartcard->VendorAttr.UnitNo = NextUnitNumber % CCID_MAX_DEVICES;

    return SmartcardInitialize(smartcard);
}

// Registers one interface class per value under "Key" of the device key (PASSIVE_LEVEL).
// No subkey, or an empty one, registers nothing and succeeds.
_Use_decl_annotations_
NTSTATUS CcidRegisterExtraInterfaces(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    RegistryKey key;
    NTSTATUS status = IoOpenDeviceRegistryKey(CcidGetExtension(DeviceObject)->PhysicalDeviceObject,
                                              PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key.Handle);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    RTL_QUERY_REGISTRY_TABLE table[3];
    RtlZeroMemory(table, sizeof(table));
    table[0].Flags = RTL_QUERY_REGISTRY_SUBKEY;
    table[0].Name = const_cast<PWSTR>(KTEXT("Key"));
    table[1].QueryRoutine = CcidExtraInterfaceQueryRoutine;
    table[1].Flags = RTL_QUERY_REGISTRY_REQUIRED;
    status = RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key.Handle), table, DeviceObject, NULL);
    return status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_SUCCESS : status;
}

// Registers the interface class named by one value under "Key" (PASSIVE_LEVEL). A value
// that is no string or no GUID fails add-device. Only four names fit the extension: values
// beyond the fourth are ignored, so a long list still leaves a working reader.
_Use_decl_annotations_
NTSTATUS CcidExtraInterfaceQueryRoutine(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
                                        PVOID Context, PVOID EntryContext)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(ValueName);
    UNREFERENCED_PARAMETER(EntryContext);

    PDEVICE_OBJECT deviceObject = static_cast<PDEVICE_OBJECT>(Context);
    PDEVICE_EXTENSION extension = CcidGetExtension(deviceObject);
    if (extension->ExtraInterfaceCount >= CCID_EXTRA_INTERFACE_MAX) {
        return STATUS_SUCCESS;
    }
    if (ValueType != REG_SZ || ValueData == NULL || ValueLength > MAXUSHORT) {
        return STATUS_UNSUCCESSFUL;
    }

    // The registry's length counts the terminating NUL.
    UNICODE_STRING text;
    text.Buffer = static_cast<PWCH>(ValueData);
    text.Length = static_cast<USHORT>(ValueLength);
    text.MaximumLength = static_cast<USHORT>(ValueLength);
    GUID interfaceClass;
    NTSTATUS status = RtlGUIDFromString(&text, &interfaceClass);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = IoRegisterDeviceInterface(extension->PhysicalDeviceObject, &interfaceClass, NULL,
                                       &extension->ExtraInterfaceNames[extension->ExtraInterfaceCount]);
    if (NT_SUCCESS(status)) {
        extension->ExtraInterfaceCount++;
    }
    return status;
}
