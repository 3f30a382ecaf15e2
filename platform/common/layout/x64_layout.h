// Sizes and field offsets of the structures that cross between the driver and the kernel,
// USBD and SMCLIB, as Windows x64 lays them out. layout_probe.cpp checks every row against
// the headers of each build: the hosted build (the project's headers, g++ or clang) and the
// Windows build (mingw-w64's DDK headers). A row a build's headers disagree with fails that
// build, so the hosted driver, the hosted kernel and a loaded ccid.sys read and write the
// same bytes.
//
// SIZE(type, bytes) is checked where the structure is allocated or embedded.
// KERNEL_SIZE(type, bytes) is the size of a structure only the kernel allocates; the
// driver reaches it by pointer. mingw-w64's DEVICE_OBJECT lacks the 16-byte alignment
// (MEMORY_ALLOCATION_ALIGNMENT) Windows gives it, so its size there is 328; the offsets are
// those of Windows, and the device extension after it is 16-byte aligned only because the
// kernel, not the driver, places it.
// FIELD(type, member, offset) is the offset of a member the driver or the platform touches.
//
// SMARTCARD_EXTENSION and its parts are pinned in smclib.h, which both builds share.
#pragma once

// clang-format off
#define CCID_X64_LAYOUT(SIZE, KERNEL_SIZE, FIELD) \
  SIZE(LIST_ENTRY, 16) \
  FIELD(LIST_ENTRY, Blink, 8) \
  SIZE(UNICODE_STRING, 16) \
  FIELD(UNICODE_STRING, MaximumLength, 2) \
  FIELD(UNICODE_STRING, Buffer, 8) \
  SIZE(LARGE_INTEGER, 8) \
  SIZE(IO_STATUS_BLOCK, 16) \
  FIELD(IO_STATUS_BLOCK, Status, 0) \
  FIELD(IO_STATUS_BLOCK, Information, 8) \
  SIZE(DISPATCHER_HEADER, 24) \
  FIELD(DISPATCHER_HEADER, SignalState, 4) \
  FIELD(DISPATCHER_HEADER, WaitListHead, 8) \
  SIZE(KEVENT, 24) \
  SIZE(KMUTEX, 56) \
  FIELD(KMUTEX, MutantListEntry, 24) \
  FIELD(KMUTEX, OwnerThread, 40) \
  FIELD(KMUTEX, Abandoned, 48) \
  SIZE(KSPIN_LOCK, 8) \
  SIZE(KDPC, 64) \
  FIELD(KDPC, DeferredRoutine, 24) \
  FIELD(KDPC, DeferredContext, 32) \
  SIZE(KTIMER, 64) \
  SIZE(MDL, 48) \
  FIELD(MDL, ByteCount, 40) \
  SIZE(IRP, 208) \
  FIELD(IRP, Type, 0) \
  FIELD(IRP, Size, 2) \
  FIELD(IRP, MdlAddress, 8) \
  FIELD(IRP, Flags, 16) \
  FIELD(IRP, AssociatedIrp.SystemBuffer, 24) \
  FIELD(IRP, ThreadListEntry, 32) \
  FIELD(IRP, IoStatus, 48) \
  FIELD(IRP, RequestorMode, 64) \
  FIELD(IRP, PendingReturned, 65) \
  FIELD(IRP, StackCount, 66) \
  FIELD(IRP, CurrentLocation, 67) \
  FIELD(IRP, Cancel, 68) \
  FIELD(IRP, CancelIrql, 69) \
  FIELD(IRP, ApcEnvironment, 70) \
  FIELD(IRP, AllocationFlags, 71) \
  FIELD(IRP, UserIosb, 72) \
  FIELD(IRP, UserEvent, 80) \
  FIELD(IRP, Overlay, 88) \
  FIELD(IRP, CancelRoutine, 104) \
  FIELD(IRP, UserBuffer, 112) \
  FIELD(IRP, Tail.Overlay.DriverContext, 120) \
  FIELD(IRP, Tail.Overlay.Thread, 152) \
  FIELD(IRP, Tail.Overlay.AuxiliaryBuffer, 160) \
  FIELD(IRP, Tail.Overlay.ListEntry, 168) \
  FIELD(IRP, Tail.Overlay.CurrentStackLocation, 184) \
  FIELD(IRP, Tail.Overlay.OriginalFileObject, 192) \
  SIZE(IO_STACK_LOCATION, 72) \
  FIELD(IO_STACK_LOCATION, MinorFunction, 1) \
  FIELD(IO_STACK_LOCATION, Flags, 2) \
  FIELD(IO_STACK_LOCATION, Control, 3) \
  FIELD(IO_STACK_LOCATION, Parameters, 8) \
  FIELD(IO_STACK_LOCATION, Parameters.Create.SecurityContext, 8) \
  FIELD(IO_STACK_LOCATION, Parameters.Create.Options, 16) \
  FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength, 8) \
  FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength, 16) \
  FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode, 24) \
  FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer, 32) \
  FIELD(IO_STACK_LOCATION, Parameters.Power.SystemContext, 8) \
  FIELD(IO_STACK_LOCATION, Parameters.Power.Type, 16) \
  FIELD(IO_STACK_LOCATION, Parameters.Power.State, 24) \
  FIELD(IO_STACK_LOCATION, Parameters.Power.ShutdownType, 32) \
  FIELD(IO_STACK_LOCATION, Parameters.WaitWake.PowerState, 8) \
  FIELD(IO_STACK_LOCATION, Parameters.DeviceCapabilities.Capabilities, 8) \
  FIELD(IO_STACK_LOCATION, Parameters.QueryDeviceRelations.Type, 8) \
  FIELD(IO_STACK_LOCATION, Parameters.QueryId.IdType, 8) \
  FIELD(IO_STACK_LOCATION, Parameters.UsageNotification.InPath, 8) \
  FIELD(IO_STACK_LOCATION, Parameters.UsageNotification.Type, 16) \
  FIELD(IO_STACK_LOCATION, Parameters.StartDevice.AllocatedResources, 8) \
  FIELD(IO_STACK_LOCATION, Parameters.StartDevice.AllocatedResourcesTranslated, 16) \
  FIELD(IO_STACK_LOCATION, Parameters.Others.Argument1, 8) \
  FIELD(IO_STACK_LOCATION, Parameters.Others.Argument2, 16) \
  FIELD(IO_STACK_LOCATION, Parameters.Others.Argument3, 24) \
  FIELD(IO_STACK_LOCATION, Parameters.Others.Argument4, 32) \
  FIELD(IO_STACK_LOCATION, DeviceObject, 40) \
  FIELD(IO_STACK_LOCATION, FileObject, 48) \
  FIELD(IO_STACK_LOCATION, CompletionRoutine, 56) \
  FIELD(IO_STACK_LOCATION, Context, 64) \
  KERNEL_SIZE(DEVICE_OBJECT, 336) \
  FIELD(DEVICE_OBJECT, Size, 2) \
  FIELD(DEVICE_OBJECT, ReferenceCount, 4) \
  FIELD(DEVICE_OBJECT, DriverObject, 8) \
  FIELD(DEVICE_OBJECT, NextDevice, 16) \
  FIELD(DEVICE_OBJECT, AttachedDevice, 24) \
  FIELD(DEVICE_OBJECT, CurrentIrp, 32) \
  FIELD(DEVICE_OBJECT, Flags, 48) \
  FIELD(DEVICE_OBJECT, Characteristics, 52) \
  FIELD(DEVICE_OBJECT, DeviceExtension, 64) \
  FIELD(DEVICE_OBJECT, DeviceType, 72) \
  FIELD(DEVICE_OBJECT, StackSize, 76) \
  FIELD(DEVICE_OBJECT, AlignmentRequirement, 152) \
  FIELD(DEVICE_OBJECT, DeviceLock, 280) \
  FIELD(DEVICE_OBJECT, SectorSize, 304) \
  FIELD(DEVICE_OBJECT, DeviceObjectExtension, 312) \
  SIZE(DRIVER_OBJECT, 336) \
  FIELD(DRIVER_OBJECT, DeviceObject, 8) \
  FIELD(DRIVER_OBJECT, Flags, 16) \
  FIELD(DRIVER_OBJECT, DriverStart, 24) \
  FIELD(DRIVER_OBJECT, DriverSize, 32) \
  FIELD(DRIVER_OBJECT, DriverSection, 40) \
  FIELD(DRIVER_OBJECT, DriverExtension, 48) \
  FIELD(DRIVER_OBJECT, DriverName, 56) \
  FIELD(DRIVER_OBJECT, HardwareDatabase, 72) \
  FIELD(DRIVER_OBJECT, FastIoDispatch, 80) \
  FIELD(DRIVER_OBJECT, DriverInit, 88) \
  FIELD(DRIVER_OBJECT, DriverStartIo, 96) \
  FIELD(DRIVER_OBJECT, DriverUnload, 104) \
  FIELD(DRIVER_OBJECT, MajorFunction, 112) \
  FIELD(DRIVER_EXTENSION, AddDevice, 8) \
  FIELD(DRIVER_EXTENSION, Count, 16) \
  FIELD(DRIVER_EXTENSION, ServiceKeyName, 24) \
  SIZE(FILE_OBJECT, 216) \
  FIELD(FILE_OBJECT, DeviceObject, 8) \
  FIELD(FILE_OBJECT, FsContext, 24) \
  FIELD(FILE_OBJECT, FsContext2, 32) \
  SIZE(DEVICE_CAPABILITIES, 64) \
  FIELD(DEVICE_CAPABILITIES, Version, 2) \
  FIELD(DEVICE_CAPABILITIES, Address, 8) \
  FIELD(DEVICE_CAPABILITIES, UINumber, 12) \
  FIELD(DEVICE_CAPABILITIES, DeviceState, 16) \
  FIELD(DEVICE_CAPABILITIES, SystemWake, 44) \
  FIELD(DEVICE_CAPABILITIES, DeviceWake, 48) \
  FIELD(DEVICE_CAPABILITIES, D1Latency, 52) \
  FIELD(DEVICE_CAPABILITIES, D3Latency, 60) \
  SIZE(POWER_STATE, 4) \
  SIZE(WORK_QUEUE_ITEM, 32) \
  FIELD(WORK_QUEUE_ITEM, WorkerRoutine, 16) \
  FIELD(WORK_QUEUE_ITEM, Parameter, 24) \
  SIZE(IO_REMOVE_LOCK, 32) \
  SIZE(RTL_QUERY_REGISTRY_TABLE, 56) \
  FIELD(RTL_QUERY_REGISTRY_TABLE, Flags, 8) \
  FIELD(RTL_QUERY_REGISTRY_TABLE, Name, 16) \
  FIELD(RTL_QUERY_REGISTRY_TABLE, EntryContext, 24) \
  FIELD(RTL_QUERY_REGISTRY_TABLE, DefaultType, 32) \
  FIELD(RTL_QUERY_REGISTRY_TABLE, DefaultData, 40) \
  FIELD(RTL_QUERY_REGISTRY_TABLE, DefaultLength, 48) \
  SIZE(KEY_VALUE_PARTIAL_INFORMATION, 16) \
  FIELD(KEY_VALUE_PARTIAL_INFORMATION, Type, 4) \
  FIELD(KEY_VALUE_PARTIAL_INFORMATION, DataLength, 8) \
  FIELD(KEY_VALUE_PARTIAL_INFORMATION, Data, 12) \
  SIZE(KEY_VALUE_FULL_INFORMATION, 24) \
  FIELD(KEY_VALUE_FULL_INFORMATION, DataOffset, 8) \
  FIELD(KEY_VALUE_FULL_INFORMATION, Name, 20) \
  SIZE(OBJECT_ATTRIBUTES, 48) \
  FIELD(OBJECT_ATTRIBUTES, RootDirectory, 8) \
  FIELD(OBJECT_ATTRIBUTES, ObjectName, 16) \
  FIELD(OBJECT_ATTRIBUTES, Attributes, 24) \
  FIELD(OBJECT_ATTRIBUTES, SecurityDescriptor, 32) \
  SIZE(GUID, 16) \
  SIZE(INTERFACE, 32) \
  SIZE(USB_DEVICE_DESCRIPTOR, 18) \
  FIELD(USB_DEVICE_DESCRIPTOR, bcdUSB, 2) \
  FIELD(USB_DEVICE_DESCRIPTOR, bMaxPacketSize0, 7) \
  FIELD(USB_DEVICE_DESCRIPTOR, idVendor, 8) \
  FIELD(USB_DEVICE_DESCRIPTOR, idProduct, 10) \
  FIELD(USB_DEVICE_DESCRIPTOR, bcdDevice, 12) \
  FIELD(USB_DEVICE_DESCRIPTOR, bNumConfigurations, 17) \
  SIZE(USB_CONFIGURATION_DESCRIPTOR, 9) \
  FIELD(USB_CONFIGURATION_DESCRIPTOR, wTotalLength, 2) \
  FIELD(USB_CONFIGURATION_DESCRIPTOR, bNumInterfaces, 4) \
  FIELD(USB_CONFIGURATION_DESCRIPTOR, bmAttributes, 7) \
  FIELD(USB_CONFIGURATION_DESCRIPTOR, MaxPower, 8) \
  SIZE(USB_INTERFACE_DESCRIPTOR, 9) \
  FIELD(USB_INTERFACE_DESCRIPTOR, bInterfaceNumber, 2) \
  FIELD(USB_INTERFACE_DESCRIPTOR, bAlternateSetting, 3) \
  FIELD(USB_INTERFACE_DESCRIPTOR, bNumEndpoints, 4) \
  FIELD(USB_INTERFACE_DESCRIPTOR, bInterfaceClass, 5) \
  FIELD(USB_INTERFACE_DESCRIPTOR, bInterfaceProtocol, 7) \
  SIZE(USB_ENDPOINT_DESCRIPTOR, 7) \
  FIELD(USB_ENDPOINT_DESCRIPTOR, bEndpointAddress, 2) \
  FIELD(USB_ENDPOINT_DESCRIPTOR, bmAttributes, 3) \
  FIELD(USB_ENDPOINT_DESCRIPTOR, wMaxPacketSize, 4) \
  FIELD(USB_ENDPOINT_DESCRIPTOR, bInterval, 6) \
  SIZE(USB_COMMON_DESCRIPTOR, 2) \
  SIZE(USB_STRING_DESCRIPTOR, 4) \
  SIZE(struct _URB_HEADER, 24) \
  FIELD(struct _URB_HEADER, Function, 2) \
  FIELD(struct _URB_HEADER, Status, 4) \
  FIELD(struct _URB_HEADER, UsbdDeviceHandle, 8) \
  FIELD(struct _URB_HEADER, UsbdFlags, 16) \
  SIZE(struct _URB_SELECT_CONFIGURATION, 88) \
  FIELD(struct _URB_SELECT_CONFIGURATION, ConfigurationDescriptor, 24) \
  FIELD(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle, 32) \
  FIELD(struct _URB_SELECT_CONFIGURATION, Interface, 40) \
  SIZE(struct _URB_SELECT_INTERFACE, 80) \
  FIELD(struct _URB_SELECT_INTERFACE, ConfigurationHandle, 24) \
  FIELD(struct _URB_SELECT_INTERFACE, Interface, 32) \
  SIZE(struct _URB_PIPE_REQUEST, 40) \
  FIELD(struct _URB_PIPE_REQUEST, PipeHandle, 24) \
  SIZE(struct _URB_BULK_OR_INTERRUPT_TRANSFER, 128) \
  FIELD(struct _URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle, 24) \
  FIELD(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags, 32) \
  FIELD(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength, 36) \
  FIELD(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer, 40) \
  FIELD(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL, 48) \
  FIELD(struct _URB_BULK_OR_INTERRUPT_TRANSFER, UrbLink, 56) \
  FIELD(struct _URB_BULK_OR_INTERRUPT_TRANSFER, hca, 64) \
  SIZE(struct _URB_CONTROL_DESCRIPTOR_REQUEST, 136) \
  FIELD(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength, 36) \
  FIELD(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer, 40) \
  FIELD(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferMDL, 48) \
  FIELD(struct _URB_CONTROL_DESCRIPTOR_REQUEST, UrbLink, 56) \
  FIELD(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index, 130) \
  FIELD(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType, 131) \
  FIELD(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId, 132) \
  SIZE(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, 136) \
  FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags, 32) \
  FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength, 36) \
  FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBuffer, 40) \
  FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferMDL, 48) \
  FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, UrbLink, 56) \
  FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, RequestTypeReservedBits, 128) \
  FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request, 129) \
  FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value, 130) \
  FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index, 132) \
  SIZE(struct _URB_CONTROL_GET_STATUS_REQUEST, 136) \
  FIELD(struct _URB_CONTROL_GET_STATUS_REQUEST, TransferBufferLength, 36) \
  FIELD(struct _URB_CONTROL_GET_STATUS_REQUEST, TransferBuffer, 40) \
  FIELD(struct _URB_CONTROL_GET_STATUS_REQUEST, Index, 132) \
  SIZE(struct _URB_CONTROL_FEATURE_REQUEST, 136) \
  FIELD(struct _URB_CONTROL_FEATURE_REQUEST, FeatureSelector, 130) \
  FIELD(struct _URB_CONTROL_FEATURE_REQUEST, Index, 132) \
  SIZE(URB, 152) \
  SIZE(USBD_PIPE_INFORMATION, 24) \
  FIELD(USBD_PIPE_INFORMATION, EndpointAddress, 2) \
  FIELD(USBD_PIPE_INFORMATION, Interval, 3) \
  FIELD(USBD_PIPE_INFORMATION, PipeType, 4) \
  FIELD(USBD_PIPE_INFORMATION, PipeHandle, 8) \
  FIELD(USBD_PIPE_INFORMATION, MaximumTransferSize, 16) \
  FIELD(USBD_PIPE_INFORMATION, PipeFlags, 20) \
  SIZE(USBD_INTERFACE_INFORMATION, 48) \
  FIELD(USBD_INTERFACE_INFORMATION, InterfaceNumber, 2) \
  FIELD(USBD_INTERFACE_INFORMATION, AlternateSetting, 3) \
  FIELD(USBD_INTERFACE_INFORMATION, Class, 4) \
  FIELD(USBD_INTERFACE_INFORMATION, SubClass, 5) \
  FIELD(USBD_INTERFACE_INFORMATION, Protocol, 6) \
  FIELD(USBD_INTERFACE_INFORMATION, InterfaceHandle, 8) \
  FIELD(USBD_INTERFACE_INFORMATION, NumberOfPipes, 16) \
  FIELD(USBD_INTERFACE_INFORMATION, Pipes, 24) \
  SIZE(USBD_INTERFACE_LIST_ENTRY, 16) \
  FIELD(USBD_INTERFACE_LIST_ENTRY, Interface, 8) \
  SIZE(SCARD_IO_REQUEST, 8) \
  FIELD(SCARD_IO_REQUEST, cbPciLength, 4)
// clang-format on
