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

// IOCTL_SMARTCARD_GET_ATTRIBUTE / _SET_ATTRIBUTE (smclib_attributes.cpp); both complete the IRP.
NTSTATUS GetAttribute(PSMARTCARD_EXTENSION extension, PIRP irp, PIO_STACK_LOCATION stack);
NTSTATUS SetAttribute(PIRP irp, PIO_STACK_LOCATION stack);

}  // namespace hosted::smclib
