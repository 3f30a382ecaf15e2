// The per-reader state: the device extension of each reader's device object, the small
// reader-private block the smart-card library hands back to the reader functions, and
// the constants they are built from.
#pragma once

#include "CcidPlatform.h"

// Pool tag of every block the driver allocates. Tags are stored little-endian, so the
// multi-character constant is written reversed for a pool dump to read "TAL_".
constexpr ULONG CCID_POOL_TAG = '_LAT';
static_assert(CCID_POOL_TAG == 0x5F4C4154, "pool dumps must show TAL_");

// Tag under which the dispatch routines hold the smart-card library's remove lock.
constexpr ULONG CCID_REMOVE_LOCK_TAG = 'Ccid';
static_assert(CCID_REMOVE_LOCK_TAG == 0x43636964, "remove-lock tag");

// Slots of DEVICE_EXTENSION::PipeInfo.
constexpr ULONG PIPE_INTERRUPT_IN = 0;
constexpr ULONG PIPE_BULK_OUT = 1;
constexpr ULONG PIPE_BULK_IN = 2;
constexpr ULONG PIPE_COUNT = 3;

// 100-ns units per millisecond, for relative kernel time-outs (negative intervals).
constexpr LONGLONG CCID_TICKS_PER_MS = 10000;

// Interrupt-pipe messages are at most this long (a slot-change message is 2 bytes,
// a hardware error 4).
constexpr ULONG CCID_INTERRUPT_MESSAGE_MAX = 8;

// Interfaces a reader may register besides the smart-card reader interface.
constexpr ULONG CCID_EXTRA_INTERFACE_MAX = 4;

// The device-interface class of smart-card readers, where the smart-card service looks.
constexpr GUID GUID_DEVINTERFACE_SMARTCARD_READER = {
    0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

// One interrupt-pipe message kept in the event ring until an event read takes it.
typedef struct _EVENT_FIFO_ENTRY {
    UCHAR Data[CCID_INTERRUPT_MESSAGE_MAX];  // the message as received
    ULONG Length;                            // bytes of Data received, 0 to 8
} EVENT_FIFO_ENTRY, *PEVENT_FIFO_ENTRY;

static_assert(sizeof(EVENT_FIFO_ENTRY) == 12, "EVENT_FIFO_ENTRY is 8 data bytes and a length");

// Reader-private data reached through SMARTCARD_EXTENSION::ReaderExtension.
typedef struct _READER_EXTENSION {
    BOOLEAN CardPresent;        // the last slot-change message reported a card
    BOOLEAN ApduLevelExchange;  // the card was reset on a reader exchanging short APDUs
    UCHAR SequenceNumber;       // bSeq of the next CCID command, wraps from 255 to 0

    // Serialises the CCID exchanges of the reader with the taking of SequenceNumber, so
    // that two senders never interleave messages on the bulk pipes. A mutex: the holder
    // waits for the reader at PASSIVE_LEVEL, and a sender may nest (set protocol resets
    // the card while it holds the lock).
    KMUTEX ExchangeLock;

    // Guards the taking of SequenceNumber alone: the CCID abort takes its number while a
    // PIN entry holds ExchangeLock, so that its ABORT request reaches the reader at once.
    KSPIN_LOCK SequenceLock;

    // The CCID abort's rule: once the ABORT class request has gone, the next command on
    // the bulk-out pipe is PC_to_RDR_Abort. The abort sets AbortPending and sends its class
    // request holding CommandGate; every command is written holding it, after checking
    // AbortPending (a command other than PC_to_RDR_Abort is then refused), so no command
    // can slip between the class request and PC_to_RDR_Abort. The abort clears the flag
    // once its PC_to_RDR_Abort exchange has ended.
    KMUTEX CommandGate;
    BOOLEAN AbortPending;

    // Ending the interrupt-in request: the stopper sets InterruptStopRequested and aborts
    // the pipe until the completion routine, which re-arms the request only while no stop
    // is requested, signals InterruptStopped on its way out.
    LONG InterruptStopRequested;
    KEVENT InterruptStopped;
} READER_EXTENSION;

// The device extension of a reader's functional device object.
typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT Self;
    SMARTCARD_EXTENSION SmartcardExtension;
    PDEVICE_OBJECT LowerDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    DEVICE_POWER_STATE DevicePowerState;

    // USB configuration.
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSBD_INTERFACE_INFORMATION InterfaceInformation;
    USBD_PIPE_INFORMATION PipeInfo[PIPE_COUNT];

    // Power.
    DEVICE_CAPABILITIES DeviceCapabilities;
    PIRP PendingSystemPowerIrp;
    PIRP WaitWakeIrp;
    BOOLEAN RemoteWakeupSupported;
    BOOLEAN WaitWakeIdle;
    BOOLEAN Opened;

    // Outstanding-I/O count: RemoveEvent is set when it falls to 0, NoPendingIoEvent
    // when it falls to 1; neither is ever reset.
    KEVENT RemoveEvent;
    KEVENT NoPendingIoEvent;
    KSPIN_LOCK IoCountLock;
    LONG IoCount;

    ULONG UnitNumber;

    // Plug and Play and power state.
    BOOLEAN SurpriseRemoved;
    BOOLEAN Removed;
    BOOLEAN RemovePending;
    BOOLEAN StopPending;
    BOOLEAN Started;
    BOOLEAN WaitWakeArmed;

    // Cancelling the wait-wake request, under WaitWakeLock (with WaitWakeIrp and
    // WaitWakeIdle): a path that cancels WaitWakeIrp is marked while IoCancelIrp runs, and a
    // completion of the request that finds the mark parks the IRP (WaitWakeParked) for that
    // path to complete again, so the IRP is not freed while IoCancelIrp still uses it.
    KSPIN_LOCK WaitWakeLock;
    BOOLEAN WaitWakeCancelling;
    BOOLEAN WaitWakeParked;

    // Ring of interrupt-pipe messages and the one parked event read, under EventLock.
    PEVENT_FIFO_ENTRY EventFifo;
    LONG EventFifoWrite;
    LONG EventFifoRead;
    LONG EventFifoEntries;
    KSPIN_LOCK EventLock;
    PIRP PendingEventIrp;
    ULONG LastReportedState;

    ULONG ExchangeTimeout;  // milliseconds

    UCHAR InterruptBuffer[CCID_INTERRUPT_MESSAGE_MAX];
    BOOLEAN InterruptPipeRunning;

    // Device interfaces.
    UNICODE_STRING ExtraInterfaceNames[CCID_EXTRA_INTERFACE_MAX];
    ULONG ExtraInterfaceCount;
    UNICODE_STRING ReaderInterfaceName;

    // From the device and CCID class descriptors.
    USHORT IdVendor;
    USHORT IdProduct;
    ULONG CcidFeatures;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// The extension has one layout in the hosted and the Windows build; these pin it so that a
// type that differs between the two platforms' headers shows at compile time.
#define CCID_OFFSET(field) __builtin_offsetof(DEVICE_EXTENSION, field)
static_assert(CCID_OFFSET(SmartcardExtension) == 8, "DEVICE_EXTENSION layout");
static_assert(CCID_OFFSET(LowerDeviceObject) == 1008, "DEVICE_EXTENSION layout");
static_assert(CCID_OFFSET(PipeInfo) == 1056, "DEVICE_EXTENSION layout");
static_assert(CCID_OFFSET(RemoveEvent) == 1216, "DEVICE_EXTENSION layout");
static_assert(CCID_OFFSET(EventFifo) == 1304, "DEVICE_EXTENSION layout");
static_assert(CCID_OFFSET(ReaderInterfaceName) == 1440, "DEVICE_EXTENSION layout");
static_assert(CCID_OFFSET(CcidFeatures) == 1460, "DEVICE_EXTENSION layout");
static_assert(sizeof(DEVICE_EXTENSION) == 1464, "DEVICE_EXTENSION layout");
#undef CCID_OFFSET

// The extension of a reader's device object.
inline PDEVICE_EXTENSION CcidGetExtension(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}

// The reader-private block of a reader's device object.
inline PREADER_EXTENSION CcidGetReaderExtension(PDEVICE_OBJECT DeviceObject)
{
    return CcidGetExtension(DeviceObject)->SmartcardExtension.ReaderExtension;
}

