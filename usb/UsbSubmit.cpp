// URBs to the lower USB stack, carried by IRPs the driver allocates itself, and the
// requests built on them: synchronous submission, port reset, pipe abort and pipe reset.

#include "CcidFrame.h"
#include "CcidGuards.h"
#include "CcidUsb.h"

static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40, "pipe requests are 40-byte URBs");

namespace {

// Every completion routine of a driver-sent URB runs on success, error and cancel.
constexpr BOOLEAN CCID_INVOKE_ON_SUCCESS = TRUE;
constexpr BOOLEAN CCID_INVOKE_ON_ERROR = TRUE;
constexpr BOOLEAN CCID_INVOKE_ON_CANCEL = TRUE;

// Priority increment of the events the driver sets.
constexpr KPRIORITY CCID_EVENT_INCREMENT = 1;

// Sends one pipe request (abort or reset) for a pipe handle and waits for it (PASSIVE_LEVEL).
// The URB lives in pool only for the duration of the request. A slot that configuration
// left without a pipe has no handle: the request is refused with
// STATUS_INVALID_DEVICE_STATE before anything is sent, as a transfer on it is.
NTSTATUS UsbSubmitPipeRequest(PDEVICE_OBJECT DeviceObject, USHORT Function, USBD_PIPE_HANDLE PipeHandle)
{
    PAGED_CODE();

    if (PipeHandle == NULL) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    PoolBlock<struct _URB_PIPE_REQUEST> urb(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST), CCID_POOL_TAG);
    if (!urb) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    RtlZeroMemory(urb.Get(), sizeof(struct _URB_PIPE_REQUEST));
    urb->Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->Hdr.Function = Function;
    urb->PipeHandle = PipeHandle;
    return UsbSubmitUrbSync(DeviceObject, reinterpret_cast<PURB>(urb.Get()));
}

}  // namespace

// Completion of a driver-sent IRP that its sender waits for (IRQL <= DISPATCH_LEVEL):
// sets the event given as context and touches nothing else.
_Use_decl_annotations_
NTSTATUS UsbCompletionSetEvent(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID CompletionContext)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);

    KeSetEvent(static_cast<PKEVENT>(CompletionContext), CCID_EVENT_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the sender reads the status and frees the IRP
}

// Re-initialises Irp (fresh, or being sent again from its own completion routine) to
// carry Urb in its next-lower stack location.
_Use_decl_annotations_
VOID UsbPrepareUrbIrp(PIRP Irp, PURB Urb, CCHAR StackSize, PIO_COMPLETION_ROUTINE CompletionRoutine,
                      PVOID CompletionContext)
{
    IoInitializeIrp(Irp, IoSizeOfIrp(StackSize), StackSize);

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;

    IoSetCompletionRoutine(Irp, CompletionRoutine, CompletionContext, CCID_INVOKE_ON_SUCCESS,
                           CCID_INVOKE_ON_ERROR, CCID_INVOKE_ON_CANCEL);
}

// Sends Urb to the lower device and waits without a time-out (PASSIVE_LEVEL). The IRP is
// this routine's from allocation to free; the URB's result members are the caller's to read.
_Use_decl_annotations_
NTSTATUS UsbSubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    const CCHAR stackSize = extension->LowerDeviceObject->StackSize;

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    PIRP irp = IoAllocateIrp(stackSize, FALSE);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    UsbPrepareUrbIrp(irp, Urb, stackSize, UsbCompletionSetEvent, &event);

    // The completion routine runs however the call ends, so the event alone tells when
    // the IRP is back; the call's own status is not needed.
    (VOID) IofCallDriver(extension->LowerDeviceObject, irp);
    (VOID) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);

    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

// Resets the reader's port through the hub (PASSIVE_LEVEL). The I/O manager frees the IRP.
_Use_decl_annotations_
NTSTATUS UsbResetPort(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus = {};

    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_RESET_PORT, extension->LowerDeviceObject, NULL, 0,
                                             NULL, 0, TRUE, &event, &ioStatus);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    NTSTATUS status = IofCallDriver(extension->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        (VOID) KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}

// Aborts the requests pending on one pipe slot (PASSIVE_LEVEL); on the 5.1 family the pipe
// is then reset whatever the abort returned. A slot outside the PipeInfo array is refused
// without sending anything.
_Use_decl_annotations_
NTSTATUS UsbAbortPipe(PDEVICE_OBJECT DeviceObject, ULONG PipeIndex)
{
    PAGED_CODE();

    if (PipeIndex >= PIPE_COUNT) {
        return STATUS_INVALID_PARAMETER;
    }

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    const NTSTATUS status =
        UsbSubmitPipeRequest(DeviceObject, URB_FUNCTION_ABORT_PIPE, extension->PipeInfo[PipeIndex].PipeHandle);

    if (OsVersionCode == CCID_OS_WINXP) {
        (VOID) UsbResetPipe(DeviceObject, &extension->PipeInfo[PipeIndex]);
    }
    return status;
}

// Resets one pipe and clears a stall on it (PASSIVE_LEVEL).
_Use_decl_annotations_
NTSTATUS UsbResetPipe(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION PipeInformation)
{
    PAGED_CODE();

    return UsbSubmitPipeRequest(DeviceObject, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL,
                                PipeInformation->PipeHandle);
}

// Sends a CCID class request to the reader's interface on the default pipe and waits for
// it (PASSIVE_LEVEL). The request names the interface the reader was configured with, which
// on a composite device need not be interface 0. *Transferred is what the data stage
// moved, whatever the status; STATUS_INSUFFICIENT_RESOURCES means nothing was sent.
_Use_decl_annotations_
NTSTATUS UsbSendClassRequest(PDEVICE_OBJECT DeviceObject, UCHAR Request, USHORT Value, ULONG TransferFlags,
                             PVOID Buffer, ULONG Length, PULONG Transferred)
{
    PAGED_CODE();

    *Transferred = 0;
    PoolBlock<struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST> urb(
        NonPagedPool, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), CCID_POOL_TAG);
    if (!urb) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    const USHORT index =
        extension->InterfaceInformation != NULL ? extension->InterfaceInformation->InterfaceNumber : 0;
    RtlZeroMemory(urb.Get(), sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    UsbBuildVendorRequest(reinterpret_cast<PURB>(urb.Get()), URB_FUNCTION_CLASS_INTERFACE,
                          static_cast<USHORT>(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)), TransferFlags, 0,
                          Request, Value, index, Buffer, NULL, Length, NULL);

    const NTSTATUS status = UsbSubmitUrbSync(DeviceObject, reinterpret_cast<PURB>(urb.Get()));
    *Transferred = urb->TransferBufferLength;
    return status;
}
