// Add-device: the functional device object of a reader, registered in the smart-card
// reader interface class, attached to the USB device stack, with its registry settings,
// the smart-card library's extension and its initial state. Nothing is sent to the reader.

#include "CcidFrame.h"
#include "CcidGuards.h"
#include "CcidUsb.h"

namespace {

// Capabilities record version the capabilities query announces.
constexpr USHORT CCID_DEVICE_CAPABILITIES_VERSION = 1;
// "Not known" for the bus address and UI number the bus driver fills in.
constexpr ULONG CCID_CAPABILITY_UNKNOWN = 0xFFFFFFFF;

// Frees every interface name a failed add-device registered (PASSIVE_LEVEL). The
// registrations themselves stay with the PnP manager, which drops them with the device.
VOID CcidFreeInterfaceNames(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();

    for (ULONG index = 0; index < Extension->ExtraInterfaceCount; ++index) {
        RtlFreeUnicodeString(&Extension->ExtraInterfaceNames[index]);
    }
    Extension->ExtraInterfaceCount = 0;
    if (Extension->ReaderInterfaceName.Buffer != NULL) {
        RtlFreeUnicodeString(&Extension->ReaderInterfaceName);
    }
}

// Undoes a failed add-device (PASSIVE_LEVEL): the reader block, the event ring and the
// interface names are freed, the device is detached and deleted. Returns Status.
NTSTATUS CcidFailAddDevice(PDEVICE_OBJECT DeviceObject, NTSTATUS Status)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    if (extension->SmartcardExtension.ReaderExtension != NULL) {
        ExFreePoolWithTag(extension->SmartcardExtension.ReaderExtension, CCID_POOL_TAG);
        extension->SmartcardExtension.ReaderExtension = NULL;
    }
    CcidFreePoolAndNull(extension->EventFifo);
    CcidFreeInterfaceNames(extension);
    if (extension->LowerDeviceObject != NULL) {
        IoDetachDevice(extension->LowerDeviceObject);
    }
    IoDeleteDevice(DeviceObject);
    return Status;
}

// The number of entries of the event ring: "EventsFifoSize" + 1 (PASSIVE_LEVEL). A value
// below 0 would give a ring of no entries, and the largest one a count that wraps when one
// is added; both are replaced by the default. Any other size stands, and the allocation of
// the ring decides whether the machine can hold it.
LONG CcidEventRingEntries(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    LONG size = CCID_EVENTS_FIFO_SIZE_DEFAULT;
    // Without the value (or with one of another type) the default stands.
    (VOID) CcidQueryRegistryValue(DeviceObject, CCID_DRIVER_KEY, KTEXT("EventsFifoSize"), REG_DWORD, sizeof(size),
                                  &size);
    if (size < 0 || size == MAXLONG) {
        size = CCID_EVENTS_FIFO_SIZE_DEFAULT;
    }
    return size + 1;
}

// Asks the bus for the device capabilities (PASSIVE_LEVEL). The record is set up as the
// platform documents a capabilities query (size, version, unknown address and UI number)
// and the IRP starts as not supported; a bus that does not answer leaves the record so.
VOID CcidQueryDeviceCapabilities(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();

    PDEVICE_CAPABILITIES capabilities = &Extension->DeviceCapabilities;
    RtlZeroMemory(capabilities, sizeof(*capabilities));
    capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    capabilities->Version = CCID_DEVICE_CAPABILITIES_VERSION;
    capabilities->Address = CCID_CAPABILITY_UNKNOWN;
    capabilities->UINumber = CCID_CAPABILITY_UNKNOWN;

    PIRP irp = IoAllocateIrp(Extension->PhysicalDeviceObject->StackSize, FALSE);
    if (irp == NULL) {
        RtlZeroMemory(capabilities, sizeof(*capabilities));
        return;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = capabilities;
    IoSetCompletionRoutine(irp, UsbCompletionSetEvent, &event, TRUE, TRUE, TRUE);

    if (IofCallDriver(Extension->PhysicalDeviceObject, irp) == STATUS_PENDING) {
        (VOID) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    // The record holds whatever the bus wrote; its status is not needed.
    IoFreeIrp(irp);
}

}  // namespace

// Initial state of a new reader (PASSIVE_LEVEL), then the bus's capabilities.
_Use_decl_annotations_
VOID CcidInitializeDeviceState(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    extension->Removed = FALSE;
    extension->Opened = FALSE;
    KeInitializeEvent(&extension->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&extension->NoPendingIoEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&extension->IoCountLock);
    KeInitializeSpinLock(&extension->EventLock);
    KeInitializeSpinLock(&extension->WaitWakeLock);
    RtlZeroMemory(extension->EventFifo, sizeof(EVENT_FIFO_ENTRY) * extension->EventFifoEntries);
    extension->EventFifoWrite = 0;
    extension->EventFifoRead = 0;
    extension->PendingEventIrp = NULL;
    RtlZeroMemory(extension->InterruptBuffer, sizeof(extension->InterruptBuffer));
    extension->InterruptPipeRunning = FALSE;
    extension->ExchangeTimeout = CCID_EXCHANGE_TIMEOUT_MS;
    extension->WaitWakeIdle = TRUE;
    extension->IoCount = 0;
    extension->ConfigurationDescriptor = NULL;
    extension->DeviceDescriptor = NULL;
    extension->InterfaceInformation = NULL;

    CcidQueryDeviceCapabilities(extension);
}

// Add-device (PASSIVE_LEVEL). On failure everything created is undone and the device
// counters are left as they were.
_Use_decl_annotations_
NTSTATUS CcidAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();

    if (DeviceCount > CCID_MAX_DEVICES - 1) {
        return STATUS_UNSUCCESSFUL;
    }
    if (DeviceCount == 0) {
        NextUnitNumber = 0;
    }

    PDEVICE_OBJECT deviceObject = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), NULL, FILE_DEVICE_SMARTCARD, 0, FALSE,
                                     &deviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_EXTENSION extension = CcidGetExtension(deviceObject);
    RtlZeroMemory(extension, sizeof(DEVICE_EXTENSION));

    // A reader without its interface still works for whoever finds it otherwise.
    (VOID) IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_SMARTCARD_READER, NULL,
                                     &extension->ReaderInterfaceName);

    deviceObject->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    extension->Removed = TRUE;
    extension->PhysicalDeviceObject = PhysicalDeviceObject;
    extension->UnitNumber = NextUnitNumber % CCID_MAX_DEVICES;

    extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    extension->LastReportedState = 0;
    extension->Self = deviceObject;
    if (extension->LowerDeviceObject == NULL) {
        return CcidFailAddDevice(deviceObject, STATUS_NO_SUCH_DEVICE);
    }

    extension->EventFifoEntries = CcidEventRingEntries(deviceObject);
    extension->EventFifo = static_cast<PEVENT_FIFO_ENTRY>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(EVENT_FIFO_ENTRY) * extension->EventFifoEntries, CCID_POOL_TAG));
    if (extension->EventFifo == NULL) {
        return CcidFailAddDevice(deviceObject, STATUS_INSUFFICIENT_RESOURCES);
    }

    PREADER_EXTENSION reader =
        static_cast<PREADER_EXTENSION>(ExAllocatePoolWithTag(NonPagedPool, sizeof(READER_EXTENSION), CCID_POOL_TAG));
    if (reader == NULL) {
        return CcidFailAddDevice(deviceObject, STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlZeroMemory(reader, sizeof(READER_EXTENSION));
    KeInitializeMutex(&reader->ExchangeLock, 0);
    KeInitializeSpinLock(&reader->SequenceLock);
    KeInitializeMutex(&reader->CommandGate, 0);
    reader->AbortPending = FALSE;
    KeInitializeEvent(&reader->InterruptStopped, NotificationEvent, TRUE);  // no interrupt request yet
    extension->SmartcardExtension.ReaderExtension = reader;

    status = CcidInitializeSmartcardExtension(deviceObject);
    if (!NT_SUCCESS(status)) {
        return CcidFailAddDevice(deviceObject, status);
    }
    status = CcidRegisterExtraInterfaces(deviceObject);
    if (!NT_SUCCESS(status)) {
        SmartcardExit(&extension->SmartcardExtension);
        return CcidFailAddDevice(deviceObject, status);
    }

    extension->SmartcardExtension.OsData->DeviceObject = deviceObject;
    CcidInitializeDeviceState(deviceObject);
    CcidIncrementIoCount(deviceObject);

    NextUnitNumber++;
    DeviceCount++;
    return STATUS_SUCCESS;
}
