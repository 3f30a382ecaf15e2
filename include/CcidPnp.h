// Routines of the Plug and Play subsystem (pnp/), grouped by defining file.
#pragma once

#include "CcidDevice.h"

// ---- pnp/PnpDispatch.cpp ----------------------------------------------------------

// IRP_MJ_PNP (PASSIVE_LEVEL): routes each minor function to its handler below; every path
// ends with the request's I/O reference dropped and the remove lock given back.
DRIVER_DISPATCH CcidPnp;

// Passes the request down unchanged, then drops its I/O reference and remove lock;
// returns the lower drivers' status.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidPnpPassDown(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp);

// Completes the request with Status, then drops its I/O reference and remove lock.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidPnpComplete(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp, _In_ NTSTATUS Status);

// Sends the request down and waits until the lower drivers have finished with it; the IRP
// comes back to the caller, who completes it. Returns the lower drivers' verdict;
// *CallStatus is what the call itself returned.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidPnpForwardAndWait(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp, _Out_ PNTSTATUS CallStatus);

// ---- pnp/PnpHandlers.cpp ----------------------------------------------------------

// IRP_MN_START_DEVICE: configures the reader, takes its parameters from the class
// descriptor, identifies the driver and arms the interrupt pipe.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidHandleStartDevice(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp);

// IRP_MN_QUERY_REMOVE_DEVICE: cancels a wait-wake request and marks the removal pending
// while the reader runs.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidHandleQueryRemove(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp);

// IRP_MN_REMOVE_DEVICE: stops the reader unless it was surprise-removed, releases
// everything and deletes the device object.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidHandleRemoveDevice(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp);

// IRP_MN_SURPRISE_REMOVAL: stops the interrupt pipe and reports no card.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidHandleSurpriseRemoval(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp);

// IRP_MN_QUERY_CAPABILITIES: the bus's capabilities with SurpriseRemovalOK set.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidHandleQueryCapabilities(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp);

// ---- pnp/StopRemove.cpp -----------------------------------------------------------

// Quiesces a started reader: interfaces off, card powered down, interrupt pipe stopped,
// port reset once no exchange is in flight, outstanding I/O waited for. Never fails: a
// card that does not power down loses its power with the port reset.
_IRQL_requires_(PASSIVE_LEVEL)
VOID CcidStopDevice(_In_ PDEVICE_OBJECT DeviceObject);

// Releases what add-device and start acquired, after completing a parked card-tracking
// request and draining the remove lock. Returns STATUS_SUCCESS.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidRemoveDevice(_In_ PDEVICE_OBJECT DeviceObject);
