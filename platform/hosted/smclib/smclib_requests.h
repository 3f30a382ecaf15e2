// Request handlers of SmartcardDeviceControl shared between its files.
#pragma once

#include <smclib.h>

namespace hosted::smclib {

// Completes a request the library answers (IO_NO_INCREMENT); returns its status.
inline NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// ReaderCapabilities.CurrentState, read under OsData->SpinLock.
ULONG ReadCurrentState(PSMARTCARD_EXTENSION extension);

// Runs the reader function in `slot` for a request that carries buffers: IoRequest points
// at the system buffer for both directions, Information at the IRP's, Major is the code,
// Minor as given, CurrentIrp the request. Returns its status (STATUS_NOT_SUPPORTED for an
// empty slot); a pended request is marked pending and stays the driver's.
NTSTATUS RunReaderFunction(PSMARTCARD_EXTENSION extension, PIRP irp, PIO_STACK_LOCATION stack, ULONG slot,
                           ULONG minor);
// Completes the request with the reader function's status and byte count (0 on error,
// never more than the reply buffer), unless it pended; returns the status.
NTSTATUS FinishReaderFunction(PIRP irp, PIO_STACK_LOCATION stack, NTSTATUS status);
// Both of the above.
NTSTATUS CallReaderFunction(PSMARTCARD_EXTENSION extension, PIRP irp, PIO_STACK_LOCATION stack, ULONG slot,
                            ULONG minor);

// IOCTL_SMARTCARD_GET_ATTRIBUTE / _SET_ATTRIBUTE (smclib_attributes.cpp); both complete the IRP.
NTSTATUS GetAttribute(PSMARTCARD_EXTENSION extension, PIRP irp, PIO_STACK_LOCATION stack);
NTSTATUS SetAttribute(PSMARTCARD_EXTENSION extension, PIRP irp, PIO_STACK_LOCATION stack);

// IOCTL_SMARTCARD_TRANSMIT / _SET_PROTOCOL (smclib_protocol_requests.cpp): the library's
// checks, then the reader function; both complete the IRP unless the driver pends it.
NTSTATUS Transmit(PSMARTCARD_EXTENSION extension, PIRP irp, PIO_STACK_LOCATION stack);
NTSTATUS SetProtocol(PSMARTCARD_EXTENSION extension, PIRP irp, PIO_STACK_LOCATION stack);

}  // namespace hosted::smclib
