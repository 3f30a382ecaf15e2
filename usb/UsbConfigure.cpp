// The reader's USB configuration: device and configuration descriptors, the selection of
// the configuration with the smart-card interface and its three pipes, and the CCID class
// descriptor that the rest of the driver takes the reader's parameters from.

#include "CcidFrame.h"
#include "CcidGuards.h"
#include "CcidUsb.h"

static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "descriptor requests are 136-byte URBs");
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136, "class requests are 136-byte URBs");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24 && sizeof(USBD_INTERFACE_INFORMATION) == 48,
              "USBD interface and pipe records");

namespace {

constexpr UCHAR CCID_DEVICE_DESCRIPTOR_SIZE = sizeof(USB_DEVICE_DESCRIPTOR);
static_assert(CCID_DEVICE_DESCRIPTOR_SIZE == 18, "the device descriptor is 18 bytes");

// Bytes of the device descriptor that hold idVendor and idProduct.
constexpr ULONG CCID_DEVICE_IDS_END = 12;

// A configuration set shorter than its own 9-byte header is no configuration.
constexpr ULONG CCID_CONFIGURATION_HEADER_SIZE = sizeof(USB_CONFIGURATION_DESCRIPTOR);
static_assert(CCID_CONFIGURATION_HEADER_SIZE == 9, "the configuration descriptor is 9 bytes");

// Reads of the configuration set before a reader whose wTotalLength keeps growing is
// given up on.
constexpr ULONG CCID_CONFIGURATION_READS_MAX = 3;

// bmAttributes of the configuration: the device supports remote wake-up.
constexpr UCHAR CCID_REMOTE_WAKEUP = 0x20;

// The two-entry interface list of the select-configuration request (the second entry,
// all zero, ends it).
constexpr ULONG CCID_INTERFACE_LIST_ENTRIES = 2;

// Endpoint address bit of an IN endpoint.
constexpr UCHAR CCID_ENDPOINT_IN = 0x80;

// Reads a standard descriptor of the device into Buffer (PASSIVE_LEVEL); *Received is
// the number of bytes that arrived.
NTSTATUS UsbReadDescriptor(PDEVICE_OBJECT DeviceObject, struct _URB_CONTROL_DESCRIPTOR_REQUEST* Urb,
                           UCHAR DescriptorType, PVOID Buffer, ULONG Length, PULONG Received)
{
    PAGED_CODE();

    RtlZeroMemory(Urb, sizeof(*Urb));
    RtlZeroMemory(Buffer, Length);
    UsbBuildGetDescriptorRequest(reinterpret_cast<PURB>(Urb), static_cast<USHORT>(sizeof(*Urb)), DescriptorType, 0,
                                 0, Buffer, NULL, Length, NULL);
    const NTSTATUS status = UsbSubmitUrbSync(DeviceObject, reinterpret_cast<PURB>(Urb));
    *Received = Urb->TransferBufferLength < Length ? Urb->TransferBufferLength : Length;
    return status;
}

// Reads the 18-byte device descriptor into DeviceDescriptor and keeps the reader's ids
// (PASSIVE_LEVEL). A block left from an earlier start is replaced.
NTSTATUS UsbReadDeviceDescriptor(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    PoolBlock<struct _URB_CONTROL_DESCRIPTOR_REQUEST> urb(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                                         CCID_POOL_TAG);
    if (!urb) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    CcidFreePoolAndNull(extension->DeviceDescriptor);
    extension->DeviceDescriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, CCID_DEVICE_DESCRIPTOR_SIZE, CCID_POOL_TAG));
    if (extension->DeviceDescriptor == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    ULONG received = 0;
    const NTSTATUS status = UsbReadDescriptor(DeviceObject, urb.Get(), USB_DEVICE_DESCRIPTOR_TYPE,
                                              extension->DeviceDescriptor, CCID_DEVICE_DESCRIPTOR_SIZE, &received);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // Only ids that arrived are taken; a short descriptor leaves them 0.
    if (received >= CCID_DEVICE_IDS_END) {
        const PUCHAR bytes = reinterpret_cast<PUCHAR>(extension->DeviceDescriptor);
        extension->IdVendor = CcidReadLe16(bytes + 8);
        extension->IdProduct = CcidReadLe16(bytes + 10);
    }
    return status;
}

// Reads the whole configuration set into ConfigurationDescriptor (PASSIVE_LEVEL): 521
// bytes first, then once more with wTotalLength when the set is longer. A set that did
// not arrive whole (fewer bytes than its header or its wTotalLength) is refused with
// STATUS_DEVICE_DATA_ERROR, so nothing that was not received is ever parsed.
NTSTATUS UsbReadConfigurationDescriptor(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    PoolBlock<struct _URB_CONTROL_DESCRIPTOR_REQUEST> urb(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                                         CCID_POOL_TAG);
    if (!urb) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    CcidFreePoolAndNull(extension->ConfigurationDescriptor);

    ULONG length = CCID_CONFIGURATION_FIRST_READ;
    for (ULONG read = 1;; ++read) {
        PoolBlock<USB_CONFIGURATION_DESCRIPTOR> block(NonPagedPool, length, CCID_POOL_TAG);
        if (!block) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }

        ULONG received = 0;
        const NTSTATUS status =
            UsbReadDescriptor(DeviceObject, urb.Get(), USB_CONFIGURATION_DESCRIPTOR_TYPE, block.Get(), length, &received);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (received < CCID_CONFIGURATION_HEADER_SIZE) {
            return STATUS_DEVICE_DATA_ERROR;
        }

        const ULONG totalLength = block->wTotalLength;
        if (totalLength > length) {
            if (read >= CCID_CONFIGURATION_READS_MAX) {
                return STATUS_DEVICE_DATA_ERROR;
            }
            length = totalLength;  // one more read for the whole set
            continue;
        }
        if (totalLength < CCID_CONFIGURATION_HEADER_SIZE || totalLength > received) {
            return STATUS_DEVICE_DATA_ERROR;
        }
        extension->ConfigurationDescriptor = block.Detach();
        return status;
    }
}

// Records one pipe of the selected interface in its slot: the interrupt-in pipe, the
// bulk-out pipe, and everything else (an interrupt-OUT or isochronous pipe included) in the
// bulk-in slot; a later pipe of a kind overwrites an earlier one.
VOID UsbRecordPipe(PDEVICE_EXTENSION Extension, const USBD_PIPE_INFORMATION& Pipe)
{
    const BOOLEAN in = (Pipe.EndpointAddress & CCID_ENDPOINT_IN) != 0;
    ULONG slot = PIPE_BULK_IN;
    if (Pipe.PipeType == UsbdPipeTypeInterrupt && in) {
        slot = PIPE_INTERRUPT_IN;
    } else if (Pipe.PipeType == UsbdPipeTypeBulk && !in) {
        slot = PIPE_BULK_OUT;
    }
    Extension->PipeInfo[slot] = Pipe;
}

// Keeps the interface information that the select-configuration request returned, at
// most as much as the driver's block holds, and records its pipes.
VOID UsbKeepInterfaceInformation(PDEVICE_EXTENSION Extension, const USBD_INTERFACE_INFORMATION* Selected,
                                 ULONG BlockSize)
{
    const ULONG length = Selected->Length < BlockSize ? Selected->Length : BlockSize;
    RtlCopyMemory(Extension->InterfaceInformation, Selected, length);

    // Only pipe records that lie inside what was copied are read.
    const ULONG pipesOffset = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
    const ULONG pipesCopied = length > pipesOffset ? (length - pipesOffset) / sizeof(USBD_PIPE_INFORMATION) : 0;
    ULONG pipes = Extension->InterfaceInformation->NumberOfPipes;
    if (pipes > pipesCopied) {
        pipes = pipesCopied;
    }
    for (ULONG index = 0; index < pipes; ++index) {
        UsbRecordPipe(Extension, Extension->InterfaceInformation->Pipes[index]);
    }
}

}  // namespace

// Configures the reader at start (PASSIVE_LEVEL): interfaces on, descriptors read, the
// configuration selected. Every failure is returned to the start, which fails with it.
_Use_decl_annotations_
NTSTATUS UsbConfigureDevice(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);

    // The interfaces' states do not decide the start.
    if (extension->ReaderInterfaceName.Buffer != NULL) {
        (VOID) IoSetDeviceInterfaceState(&extension->ReaderInterfaceName, TRUE);
    }
    for (ULONG index = 0; index < extension->ExtraInterfaceCount; ++index) {
        (VOID) IoSetDeviceInterfaceState(&extension->ExtraInterfaceNames[index], TRUE);
    }

    NTSTATUS status = UsbReadDeviceDescriptor(DeviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = UsbReadConfigurationDescriptor(DeviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    extension->RemoteWakeupSupported = (extension->ConfigurationDescriptor->bmAttributes & CCID_REMOTE_WAKEUP) != 0;
    return UsbSelectConfiguration(DeviceObject);
}

// Selects the configuration with its first smart-card interface (PASSIVE_LEVEL) and
// records the pipes the USB stack opened for it.
_Use_decl_annotations_
NTSTATUS UsbSelectConfiguration(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    PUSB_CONFIGURATION_DESCRIPTOR configuration = extension->ConfigurationDescriptor;

    PUSB_INTERFACE_DESCRIPTOR interface =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, -1, CCID_INTERFACE_CLASS_SMART_CARD, -1, -1);
    if (interface == NULL || interface->bNumEndpoints < CCID_ENDPOINTS_MIN) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    const ULONG listBytes = CCID_INTERFACE_LIST_ENTRIES * sizeof(USBD_INTERFACE_LIST_ENTRY);
    PoolBlock<USBD_INTERFACE_LIST_ENTRY> list(NonPagedPool, listBytes, CCID_POOL_TAG);
    if (!list) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(list.Get(), listBytes);

    // Room for bNumEndpoints + 1 pipe records.
    CcidFreePoolAndNull(extension->InterfaceInformation);
    const ULONG informationBytes = sizeof(USBD_PIPE_INFORMATION) * interface->bNumEndpoints +
                                   sizeof(USBD_INTERFACE_INFORMATION);
    extension->InterfaceInformation = static_cast<PUSBD_INTERFACE_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPool, informationBytes, CCID_POOL_TAG));
    if (extension->InterfaceInformation == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(extension->InterfaceInformation, informationBytes);
    extension->InterfaceInformation->InterfaceNumber = interface->bInterfaceNumber;
    extension->InterfaceInformation->AlternateSetting = interface->bAlternateSetting;
    extension->InterfaceInformation->NumberOfPipes = interface->bNumEndpoints;
    list.Get()[0].InterfaceDescriptor = interface;
    list.Get()[0].Interface = extension->InterfaceInformation;

    // The library allocates the URB; it is freed untagged, as the library documents.
    PURB urb = USBD_CreateConfigurationRequestEx(configuration, list.Get());
    if (urb == NULL) {
        CcidFreePoolAndNull(extension->InterfaceInformation);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    const NTSTATUS status = UsbSubmitUrbSync(DeviceObject, urb);
    if (NT_SUCCESS(status) && list.Get()[0].Interface != NULL) {
        UsbKeepInterfaceInformation(extension, list.Get()[0].Interface, informationBytes);
    }
    ExFreePool(urb);
    return status;
}

// Finds the CCID class descriptor (PASSIVE_LEVEL): the first 54-byte descriptor of type
// 0x21 that lies whole inside the configuration set; otherwise the reader's answer to
// the class GET_DESCRIPTOR request, which must bring all 54 bytes.
_Use_decl_annotations_
NTSTATUS CcidGetClassDescriptor(PDEVICE_OBJECT DeviceObject, PCCID_CLASS_DESCRIPTOR Descriptor)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    if (extension->ConfigurationDescriptor != NULL) {
        const PUCHAR set = reinterpret_cast<PUCHAR>(extension->ConfigurationDescriptor);
        const ULONG totalLength = extension->ConfigurationDescriptor->wTotalLength;

        // A descriptor of length 0 ends the walk (it would never advance), and so does one
        // that would reach beyond wTotalLength: the reader is asked instead.
        ULONG offset = set[0];
        while (offset + 1 < totalLength) {
            const ULONG length = set[offset];
            if (length == 0 || offset + length > totalLength) {
                break;
            }
            if (length == CCID_CLASS_DESCRIPTOR_SIZE && set[offset + 1] == CCID_CLASS_DESCRIPTOR_TYPE) {
                RtlCopyMemory(Descriptor, set + offset, CCID_CLASS_DESCRIPTOR_SIZE);
                return STATUS_SUCCESS;
            }
            offset += length;
        }
    }

    PoolBlock<CCID_CLASS_DESCRIPTOR> buffer(NonPagedPool, CCID_CLASS_DESCRIPTOR_SIZE, CCID_POOL_TAG);
    if (!buffer) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(buffer.Get(), CCID_CLASS_DESCRIPTOR_SIZE);
    ULONG transferred = 0;
    const NTSTATUS status = UsbSendClassRequest(DeviceObject, CCID_REQUEST_GET_DESCRIPTOR, CCID_CLASS_DESCRIPTOR_VALUE,
                                                USBD_TRANSFER_DIRECTION_IN, buffer.Get(), CCID_CLASS_DESCRIPTOR_SIZE,
                                                &transferred);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A short descriptor is refused: its missing fields would be guesses.
    if (transferred != CCID_CLASS_DESCRIPTOR_SIZE) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    RtlCopyMemory(Descriptor, buffer.Get(), CCID_CLASS_DESCRIPTOR_SIZE);
    return status;
}
