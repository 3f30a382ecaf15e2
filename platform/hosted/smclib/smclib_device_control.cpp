// SmartcardDeviceControl: the request flow of the standard smart-card control codes.
//
// Towards the driver it behaves as SMCLIB.SYS does:
//  - parameters the driver passes wrongly (no extension, an extension not initialised or of
//    an old Version, no IRP, an IRP that is not a device-control request) make it return
//    STATUS_INVALID_PARAMETER without completing the IRP, which the driver then completes;
//  - every request it accepts it answers itself or through the reader function, and then
//    completes (or, for card tracking, parks in OsData->NotificationIrp and returns
//    STATUS_PENDING);
//  - one request at a time: a second caller waits on OsData->Mutex until the first is
//    done (it is not refused with STATUS_DEVICE_BUSY), so no two reader functions run at
//    once and a T=1 exchange is never interleaved with another request;
//  - a reader function other than card tracking that returns STATUS_PENDING keeps its IRP
//    in OsData->CurrentIrp; until the driver completes that IRP and clears CurrentIrp,
//    every request is completed with STATUS_DEVICE_BUSY.
//
// Choices where the library's documentation is silent: a card counts as present when
// CurrentState is above SCARD_ABSENT (SCARD_UNKNOWN counts as absent); a power request
// whose minor code is not one of the three is refused with STATUS_INVALID_PARAMETER, and a
// reset whose reply buffer cannot hold a 33-byte ATR with STATUS_BUFFER_TOO_SMALL, both
// before the driver is called; the library does not judge the card's presence before a
// power, eject, swallow or confiscate request (the reader function does, from the reader);
// a power request starts a new T=1 session. GET_LAST_ERROR answers the ULONG LastError with
// STATUS_SUCCESS (STATUS_BUFFER_TOO_SMALL below 4 bytes): the WDM library keeps no last
// error of its own and never writes the field, so the answer is 0 unless the driver stored
// a value there. GET_PERF_CNTR is not supported. TRANSMIT and SET_PROTOCOL:
// smclib_protocol_requests.cpp.

#include <smclib.h>

#include <string>

#include "smclib_internal.h"
#include "smclib_requests.h"
#include "hosted/kernel/verifier.h"

namespace {
constexpr const char* kRoutine = "SmartcardDeviceControl";
}  // namespace

namespace hosted::smclib {

ULONG ReadCurrentState(PSMARTCARD_EXTENSION extension) {
  KIRQL irql;
  KeAcquireSpinLock(&extension->OsData->SpinLock, &irql);
  const ULONG state = extension->ReaderCapabilities.CurrentState;
  KeReleaseSpinLock(&extension->OsData->SpinLock, irql);
  return state;
}

NTSTATUS RunReaderFunction(PSMARTCARD_EXTENSION extension, PIRP irp, PIO_STACK_LOCATION stack, ULONG slot,
                           ULONG minor) {
  PREADER_FUNCTION function = extension->ReaderFunction[slot];
  if (function == NULL) return STATUS_NOT_SUPPORTED;
  auto* buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  irp->IoStatus.Information = 0;
  extension->IoRequest.RequestBuffer = buffer;
  extension->IoRequest.RequestBufferLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  extension->IoRequest.ReplyBuffer = buffer;
  extension->IoRequest.ReplyBufferLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  extension->IoRequest.Information = reinterpret_cast<PULONG>(&irp->IoStatus.Information);
  extension->MajorIoControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
  extension->MinorIoControlCode = minor;
  extension->OsData->CurrentIrp = irp;
  const NTSTATUS status = function(extension);
  if (status == STATUS_PENDING) {
    // The driver owns the request now; the library is busy until it is done with it.
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
  }
  extension->OsData->CurrentIrp = NULL;
  return status;
}

NTSTATUS FinishReaderFunction(PIRP irp, PIO_STACK_LOCATION stack, NTSTATUS status) {
  if (status == STATUS_PENDING) return status;
  const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  ULONG_PTR information = irp->IoStatus.Information;
  if (information > outputLength) {
    Verifier::Report(Check::InvalidParameter, kRoutine,
                     "the reader function set *Information to " + std::to_string(information) +
                         ", more than the reply buffer of " + std::to_string(outputLength) + " bytes");
    information = outputLength;
  }
  return CompleteRequest(irp, status, NT_ERROR(status) ? 0 : information);
}

NTSTATUS CallReaderFunction(PSMARTCARD_EXTENSION extension, PIRP irp, PIO_STACK_LOCATION stack, ULONG slot,
                            ULONG minor) {
  return FinishReaderFunction(irp, stack, RunReaderFunction(extension, irp, stack, slot, minor));
}

}  // namespace hosted::smclib

namespace {

using hosted::Check;
using hosted::Verifier;
using hosted::smclib::CallReaderFunction;
using hosted::smclib::CompleteRequest;
using hosted::smclib::ReadCurrentState;

// IOCTL_SMARTCARD_IS_PRESENT / _IS_ABSENT: answered at once when the state already matches,
// else parked in NotificationIrp for the card-tracking reader function.
NTSTATUS TrackCard(PSMARTCARD_EXTENSION extension, PIRP irp, ULONG code) {
  const bool wantPresent = code == IOCTL_SMARTCARD_IS_PRESENT;
  POS_DEP_DATA osData = extension->OsData;
  PREADER_FUNCTION tracking = extension->ReaderFunction[RDF_CARD_TRACKING];
  KIRQL irql;
  KeAcquireSpinLock(&osData->SpinLock, &irql);
  const bool present = extension->ReaderCapabilities.CurrentState > SCARD_ABSENT;
  if (present == wantPresent) {
    KeReleaseSpinLock(&osData->SpinLock, irql);
    return CompleteRequest(irp, STATUS_SUCCESS);
  }
  if (osData->NotificationIrp != NULL) {
    KeReleaseSpinLock(&osData->SpinLock, irql);
    return CompleteRequest(irp, STATUS_DEVICE_BUSY);  // one tracking request at a time
  }
  if (tracking == NULL) {
    KeReleaseSpinLock(&osData->SpinLock, irql);
    return CompleteRequest(irp, STATUS_NOT_SUPPORTED);
  }
  // Marked pending before it is published: the driver may complete it from another thread
  // as soon as it is in NotificationIrp.
  IoMarkIrpPending(irp);
  irp->IoStatus.Information = 0;
  osData->NotificationIrp = irp;
  KeReleaseSpinLock(&osData->SpinLock, irql);

  extension->MajorIoControlCode = code;
  extension->MinorIoControlCode = 0;
  const NTSTATUS status = tracking(extension);
  if (status != STATUS_PENDING) {
    // The reader function refused to track: the request ends with its status, unless the
    // driver has already taken it out.
    KeAcquireSpinLock(&osData->SpinLock, &irql);
    const bool stillParked = osData->NotificationIrp == irp;
    if (stillParked) osData->NotificationIrp = NULL;
    KeReleaseSpinLock(&osData->SpinLock, irql);
    if (stillParked) CompleteRequest(irp, status);
  }
  return STATUS_PENDING;
}

// IOCTL_SMARTCARD_GET_STATE: the reader's CurrentState.
NTSTATUS GetState(PSMARTCARD_EXTENSION extension, PIRP irp, PIO_STACK_LOCATION stack) {
  if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
    return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
  }
  *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer) = ReadCurrentState(extension);
  return CompleteRequest(irp, STATUS_SUCCESS, sizeof(ULONG));
}

// IOCTL_SMARTCARD_GET_LAST_ERROR: the extension's LastError.
NTSTATUS GetLastError(PSMARTCARD_EXTENSION extension, PIRP irp, PIO_STACK_LOCATION stack) {
  if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
    return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
  }
  *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer) = extension->LastError;
  return CompleteRequest(irp, STATUS_SUCCESS, sizeof(ULONG));
}

// IOCTL_SMARTCARD_POWER: the minor code comes in the input buffer.
NTSTATUS Power(PSMARTCARD_EXTENSION extension, PIRP irp, PIO_STACK_LOCATION stack) {
  if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG)) {
    return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  }
  const ULONG minor = *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
  if (minor != SCARD_POWER_DOWN && minor != SCARD_COLD_RESET && minor != SCARD_WARM_RESET) {
    return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  }
  if (minor != SCARD_POWER_DOWN && stack->Parameters.DeviceIoControl.OutputBufferLength < MAXIMUM_ATR_LENGTH) {
    return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);  // no room for the answer to reset
  }
  hosted::smclib::RestartT1Session(extension);
  return CallReaderFunction(extension, irp, stack, RDF_CARD_POWER, minor);
}

// Checks what the driver passed; false (after a report where it is a driver bug) when the
// call must be refused without completing the IRP.
bool DriverParametersValid(PSMARTCARD_EXTENSION extension, PIRP irp) {
  if (extension == NULL || irp == NULL) {
    Verifier::Report(Check::InvalidParameter, kRoutine, "no smart-card extension or no IRP");
    return false;
  }
  if (extension->Version < SMCLIB_VERSION_REQUIRED) return false;  // documented: the version is checked
  if (extension->OsData == NULL) {
    Verifier::Report(Check::InvalidParameter, kRoutine, "the smart-card extension is not initialised");
    return false;
  }
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
    Verifier::Report(Check::InvalidParameter, kRoutine, "the IRP is not a device-control request");
    return false;
  }
  return true;
}

// One request, with OsData->Mutex held.
NTSTATUS Dispatch(PSMARTCARD_EXTENSION extension, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  if (extension->OsData->CurrentIrp != NULL) return CompleteRequest(irp, STATUS_DEVICE_BUSY);
  switch (code) {
    case IOCTL_SMARTCARD_IS_PRESENT:
    case IOCTL_SMARTCARD_IS_ABSENT:
      return TrackCard(extension, irp, code);
    case IOCTL_SMARTCARD_GET_STATE:
      return GetState(extension, irp, stack);
    case IOCTL_SMARTCARD_POWER:
      return Power(extension, irp, stack);
    case IOCTL_SMARTCARD_GET_ATTRIBUTE:
      return hosted::smclib::GetAttribute(extension, irp, stack);
    case IOCTL_SMARTCARD_SET_ATTRIBUTE:
      return hosted::smclib::SetAttribute(extension, irp, stack);
    case IOCTL_SMARTCARD_EJECT:
      return CallReaderFunction(extension, irp, stack, RDF_CARD_EJECT, 0);
    case IOCTL_SMARTCARD_SWALLOW:
      return CallReaderFunction(extension, irp, stack, RDF_READER_SWALLOW, 0);
    case IOCTL_SMARTCARD_CONFISCATE:
      return CallReaderFunction(extension, irp, stack, RDF_CARD_CONFISCATE, 0);
    case IOCTL_SMARTCARD_GET_LAST_ERROR:
      return GetLastError(extension, irp, stack);
    case IOCTL_SMARTCARD_GET_PERF_CNTR:
      return CompleteRequest(irp, STATUS_NOT_SUPPORTED);  // the library keeps no counters
    case IOCTL_SMARTCARD_TRANSMIT:
      return hosted::smclib::Transmit(extension, irp, stack);
    case IOCTL_SMARTCARD_SET_PROTOCOL:
      return hosted::smclib::SetProtocol(extension, irp, stack);
    default:
      // Not a standard code: the driver's vendor function answers it.
      return CallReaderFunction(extension, irp, stack, RDF_IOCTL_VENDOR, 0);
  }
}

}  // namespace

// ---- SmartcardDeviceControl -----------------------------------------------------------
extern "C" NTSTATUS NTAPI SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        Verifier::Report(Check::IrqlInvalid, kRoutine, "called above PASSIVE_LEVEL");
    }
    if (!DriverParametersValid(SmartcardExtension, Irp)) {
        return STATUS_INVALID_PARAMETER;  // not completed: the driver completes it
    }
    POS_DEP_DATA osData = SmartcardExtension->OsData;
    (void)KeWaitForSingleObject(&osData->Mutex, Executive, KernelMode, FALSE, NULL);
    const NTSTATUS status = Dispatch(SmartcardExtension, Irp);
    (void)KeReleaseMutex(&osData->Mutex, FALSE);
    return status;
}
