// Routines of the USB transport (usb/), grouped by defining file.
#pragma once

#include "CcidDevice.h"
#include "CcidWire.h"

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

// Sends a CCID class request (URB_FUNCTION_CLASS_INTERFACE) to the reader's interface and
// waits for it; *Transferred receives the bytes of the data stage.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS UsbSendClassRequest(_In_ PDEVICE_OBJECT DeviceObject, _In_ UCHAR Request, _In_ USHORT Value,
                             _In_ ULONG TransferFlags, _Inout_updates_bytes_opt_(Length) PVOID Buffer, _In_ ULONG Length,
                             _Out_ PULONG Transferred);

// ---- usb/UsbConfigure.cpp ---------------------------------------------------------

// Bytes asked for by the first read of the configuration descriptor set; a longer set
// costs one more read with its whole wTotalLength.
constexpr ULONG CCID_CONFIGURATION_FIRST_READ = 521;

// Interface class of smart-card readers.
constexpr LONG CCID_INTERFACE_CLASS_SMART_CARD = 0x0B;

// The reader needs its bulk-in, bulk-out and interrupt-in endpoints.
constexpr UCHAR CCID_ENDPOINTS_MIN = 3;

// Enables the reader's device interfaces, reads the device and configuration descriptors,
// selects the configuration with the first smart-card interface and records its pipes.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS UsbConfigureDevice(_In_ PDEVICE_OBJECT DeviceObject);

// Selects the configuration held in ConfigurationDescriptor and fills the pipe slots.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS UsbSelectConfiguration(_In_ PDEVICE_OBJECT DeviceObject);

// Copies the reader's 54-byte CCID class descriptor into Descriptor: from the
// configuration set when it holds one, otherwise by asking the reader.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidGetClassDescriptor(_In_ PDEVICE_OBJECT DeviceObject, _Out_ PCCID_CLASS_DESCRIPTOR Descriptor);

// ---- usb/UsbBulkTransfer.cpp ------------------------------------------------------

// Bulk requests are cut into chunks of at most this many bytes (a multiple of 64).
constexpr ULONG CCID_BULK_CHUNK_MAX = 4096;

// A zero-filled bulk-or-interrupt transfer URB for one pipe slot, from non-paged pool
// (the caller frees it with CCID_POOL_TAG); NULL when out of pool or for a bad slot.
_IRQL_requires_max_(DISPATCH_LEVEL)
PURB UsbBuildTransferUrb(_In_ PDEVICE_OBJECT DeviceObject, _In_ PVOID Buffer, _In_ ULONG PipeIndex,
                         _In_ ULONG Length);

// Moves Length bytes on the bulk-in (In TRUE) or bulk-out pipe, each chunk waited for at
// most TimeoutMs milliseconds (0: no time-out); *Transferred counts what moved. A chunk
// that times out is aborted and gives STATUS_TIMEOUT.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS UsbBulkTransfer(_In_ PDEVICE_OBJECT DeviceObject, _Inout_updates_bytes_(Length) PVOID Buffer,
                         _In_ ULONG Length, _In_ ULONG TimeoutMs, _Out_ PULONG Transferred, _In_ BOOLEAN In);

// ---- usb/CcidExchange.cpp ---------------------------------------------------------

// Successful reads shorter than a header (stray zero-length packets) the exchange skips
// before it gives up on a response.
constexpr ULONG CCID_SHORT_READS_MAX = 4;

// The lock that every sender of CCID commands holds while it takes a sequence number and
// runs its exchanges (MutexGuard). CcidExchange takes it too.
inline KMUTEX& CcidExchangeLock(PDEVICE_OBJECT DeviceObject)
{
    return CcidGetReaderExtension(DeviceObject)->ExchangeLock;
}

// Takes the reader's next bSeq and advances it (255 is followed by 0), atomically. The
// caller holds the exchange lock until the exchange that uses the number is over; only
// the CCID abort takes one without it.
_IRQL_requires_max_(DISPATCH_LEVEL)
UCHAR CcidTakeSequenceNumber(_In_ PDEVICE_OBJECT DeviceObject);

// Fills the header of a command that carries PayloadLength bytes (code, length, slot 0,
// the reader's next bSeq, message-specific bytes 7 to 9 zero) and the header of the
// response the exchange is to expect for it. The caller holds the exchange lock until the
// exchange is over, and sets any message-specific byte afterwards.
_IRQL_requires_(PASSIVE_LEVEL)
VOID CcidPrepareCommand(_In_ PDEVICE_OBJECT DeviceObject, _Out_ PCCID_HEADER Command, _In_ UCHAR MessageType,
                        _In_ ULONG PayloadLength, _In_ UCHAR ResponseType, _Out_ PCCID_HEADER Expected);

// Writes Command to the reader and reads until the response that matches Header (expected
// bMessageType, bSlot and bSeq) arrives; copies its header into Header and, when asked,
// hands its payload to the caller in a pool block (freed with CCID_POOL_TAG).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidExchange(_In_ PDEVICE_OBJECT DeviceObject, _In_reads_bytes_(CommandLength) PUCHAR Command,
                      _In_ ULONG CommandLength, _Inout_ PCCID_HEADER Header, _Out_opt_ PUCHAR* Reply,
                      _Out_opt_ PULONG ReplyLength);

// Sends the escape "TALMOR_DRIVER_3004" that identifies the driver to the reader.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidSendDriverIdentification(_In_ PDEVICE_OBJECT DeviceObject);

// ---- usb/UsbInterrupt.cpp ---------------------------------------------------------

// The interrupt-in request's own data: lives as long as the request, freed by its
// completion routine when the pipe stops.
typedef struct _INTERRUPT_CONTEXT {
    PDEVICE_OBJECT DeviceObject;
    PURB Urb;  // the URB of the transfer in flight
} INTERRUPT_CONTEXT, *PINTERRUPT_CONTEXT;

static_assert(sizeof(INTERRUPT_CONTEXT) == 16, "INTERRUPT_CONTEXT is two pointers");

// Kernel time the stopper waits for the ended interrupt request before it aborts the pipe
// again (a re-arm may have slipped past the first abort), and how many aborts it sends
// before it waits for the request without a time-out.
constexpr ULONG CCID_INTERRUPT_STOP_WAIT_MS = 100;
constexpr ULONG CCID_INTERRUPT_STOP_ABORTS_MAX = 10;

// Arms the interrupt-in request; returns the status of sending it (normally STATUS_PENDING).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS UsbStartInterruptPipe(_In_ PDEVICE_OBJECT DeviceObject);

// Completion of the interrupt-in request: delivers or queues the message, tracks the card
// state, and sends the request again until a transfer fails or a stop is requested.
IO_COMPLETION_ROUTINE UsbInterruptComplete;

// Stops a running interrupt pipe (InterruptPipeRunning set): aborts it, waits until its
// request has ended, and clears InterruptPipeRunning. Does nothing when it is not running.
_IRQL_requires_(PASSIVE_LEVEL)
VOID UsbStopInterruptPipe(_In_ PDEVICE_OBJECT DeviceObject);
