// Routines of the USB transport (usb/), grouped by defining file.
#pragma once

#include "CcidDevice.h"

// ---- usb/UsbSubmit.cpp ------------------------------------------------------------

// Completion routine of every IRP the driver sends down and waits for: sets the event
// passed as context and keeps the IRP for its sender.
IO_COMPLETION_ROUTINE UsbCompletionSetEvent;

// (Re)initialises a driver-allocated IRP of StackSize locations to carry Urb to the
// lower USB stack, with CompletionRoutine called on success, error and cancel.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID UsbPrepareUrbIrp(_Inout_ PIRP Irp, _In_ PURB Urb, _In_ CCHAR StackSize,
                      _In_ PIO_COMPLETION_ROUTINE CompletionRoutine, _In_opt_ PVOID CompletionContext);

// Sends one URB to the lower device and waits for it without a time-out; returns the
// IRP's final status.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS UsbSubmitUrbSync(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PURB Urb);

// Resets the reader's USB port.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS UsbResetPort(_In_ PDEVICE_OBJECT DeviceObject);

// Aborts every request pending on one pipe slot (PIPE_INTERRUPT_IN, PIPE_BULK_OUT or
// PIPE_BULK_IN); on the 5.1 family the pipe is reset as well.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS UsbAbortPipe(_In_ PDEVICE_OBJECT DeviceObject, _In_ ULONG PipeIndex);

// Resets one pipe and clears its stall; PipeInformation is one of the PipeInfo slots.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS UsbResetPipe(_In_ PDEVICE_OBJECT DeviceObject, _In_ PUSBD_PIPE_INFORMATION PipeInformation);
