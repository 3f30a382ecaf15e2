// IRP_MJ_DEVICE_CONTROL: the state check, the library's remove lock and an I/O reference
// around every request; the driver's own control codes answered by their handlers, the
// version attribute filled in before a get-attribute request, and every other request
// handed to the smart-card library.

#include "CcidFrame.h"
#include "CcidIoctl.h"
#include "CcidReader.h"

namespace {

// Digits of DriverVersionDigits: major, minor, then the build number as two base-256 digits.
constexpr ULONG CCID_VERSION_MAJOR_DIGIT = 0;
constexpr ULONG CCID_VERSION_MINOR_DIGIT = 1;
constexpr ULONG CCID_VERSION_BUILD_HIGH_DIGIT = 2;
constexpr ULONG CCID_VERSION_BUILD_LOW_DIGIT = 3;
constexpr USHORT CCID_VERSION_BUILD_RADIX = 256;

UCHAR CcidVersionDigit(ULONG Index)
{
    return static_cast<UCHAR>(DriverVersionDigits[Index] - '0');
}

// Sets VendorAttr.IfdVersion from DriverVersionDigits: "3004" is version 3.0, build 4.
VOID CcidSetIfdVersion(PSMARTCARD_EXTENSION SmartcardExtension)
{
    SmartcardExtension->VendorAttr.IfdVersion.VersionMajor = CcidVersionDigit(CCID_VERSION_MAJOR_DIGIT);
    SmartcardExtension->VendorAttr.IfdVersion.VersionMinor = CcidVersionDigit(CCID_VERSION_MINOR_DIGIT);
    SmartcardExtension->VendorAttr.IfdVersion.BuildNumber =
        static_cast<USHORT>(CcidVersionDigit(CCID_VERSION_BUILD_HIGH_DIGIT) * CCID_VERSION_BUILD_RADIX +
                            CcidVersionDigit(CCID_VERSION_BUILD_LOW_DIGIT));
}

// Runs the handler of one of the driver's own codes (PASSIVE_LEVEL). FALSE when the code
// is not one of them. A handler that returns STATUS_PENDING no longer owns the request.
BOOLEAN CcidDispatchOwnCode(PDEVICE_OBJECT DeviceObject, PIRP Irp, PCCID_IOCTL_REQUEST Request, PNTSTATUS Status)
{
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_CCID_GET_CLASS_DESCRIPTOR:
        *Status = CcidHandleGetClassDescriptor(DeviceObject, Request);
        return TRUE;
    case IOCTL_CCID_ABORT:
        *Status = CcidHandleAbort(DeviceObject, Request);
        return TRUE;
    case IOCTL_CCID_GET_CLOCK_FREQUENCIES:
        *Status = CcidHandleClassQuery(DeviceObject, CCID_REQUEST_GET_CLOCK_FREQUENCIES, Request);
        return TRUE;
    case IOCTL_CCID_GET_DATA_RATES:
        *Status = CcidHandleClassQuery(DeviceObject, CCID_REQUEST_GET_DATA_RATES, Request);
        return TRUE;
    case IOCTL_CCID_TRANSFER:
        *Status = CcidHandleTransfer(DeviceObject, Request);
        return TRUE;
    case IOCTL_CCID_READ_EVENT:
        *Status = CcidHandleReadEvent(DeviceObject, Irp, Request);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

// IRP_MJ_DEVICE_CONTROL (PASSIVE_LEVEL). The I/O reference taken first is dropped on every
// path but a parked event read, which keeps it; the remove lock is released on every path
// after it was acquired.
_Use_decl_annotations_
NTSTATUS CcidDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    PSMARTCARD_EXTENSION smartcard = &extension->SmartcardExtension;
    CcidIncrementIoCount(DeviceObject);

    NTSTATUS status = STATUS_DELETE_PENDING;
    if (!extension->Removed && extension->Started && !extension->RemovePending && !extension->StopPending) {
        status = SmartcardAcquireRemoveLockWithTag(smartcard, CCID_REMOVE_LOCK_TAG);
    }
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        (VOID) CcidDecrementIoCount(DeviceObject);
        return status;
    }

    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    CCID_IOCTL_REQUEST request;
    request.Buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    request.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    request.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    request.Information = 0;
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_SUCCESS;

    if (CcidDispatchOwnCode(DeviceObject, Irp, &request, &status)) {
        // A timed-out bulk transfer is of the success class; the caller hears a failure.
        if (status == STATUS_TIMEOUT) {
            status = STATUS_IO_TIMEOUT;
        }
        if (status != STATUS_PENDING) {
            Irp->IoStatus.Information = request.Information;
            Irp->IoStatus.Status = status;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            (VOID) CcidDecrementIoCount(DeviceObject);
        }
        SmartcardReleaseRemoveLockWithTag(smartcard, CCID_REMOVE_LOCK_TAG);
        return status;
    }

    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SMARTCARD_GET_ATTRIBUTE) {
        CcidSetIfdVersion(smartcard);
    }
    // The library completes the request or keeps it pending itself.
    status = SmartcardDeviceControl(smartcard, Irp);
    (VOID) CcidDecrementIoCount(DeviceObject);
    SmartcardReleaseRemoveLockWithTag(smartcard, CCID_REMOVE_LOCK_TAG);
    return status;
}
