// The routines the hosted platform exports to driver images (image_loader.h), under the
// module and name Windows exports them by. platform/windows/imports.allow lists what the
// driver image may import; a test keeps the two lists equal.
#include <wdm.h>
#include <usbdlib.h>
#include <smclib.h>

#include <cstring>

#include "image_loader.h"

namespace hosted {
namespace {

// The kernel's memcpy tolerates overlapping buffers; a driver image calls both with the
// Microsoft x64 convention.
__attribute__((ms_abi)) void* ImageMemcpy(void* destination, const void* source, size_t length) {
  return length == 0 ? destination : std::memmove(destination, source, length);
}

__attribute__((ms_abi)) void* ImageMemset(void* destination, int value, size_t length) {
  return length == 0 ? destination : std::memset(destination, value, length);
}

template <typename Routine>
const void* Address(Routine* routine) {
  return reinterpret_cast<const void*>(routine);
}

}  // namespace

const std::vector<ImageExport>& ImageExports() {
  static const std::vector<ImageExport> exports{
      {"HAL.dll", "KeQueryPerformanceCounter", Address(&KeQueryPerformanceCounter)},
      {"ntoskrnl.exe", "DbgPrint", Address(&DbgPrint)},
      {"ntoskrnl.exe", "ExAllocatePoolWithTag", Address(&ExAllocatePoolWithTag)},
      {"ntoskrnl.exe", "ExFreePool", Address(&ExFreePool)},
      {"ntoskrnl.exe", "ExFreePoolWithTag", Address(&ExFreePoolWithTag)},
      {"ntoskrnl.exe", "ExQueueWorkItem", Address(&ExQueueWorkItem)},
      {"ntoskrnl.exe", "IoAcquireCancelSpinLock", Address(&IoAcquireCancelSpinLock)},
      {"ntoskrnl.exe", "IoAllocateIrp", Address(&IoAllocateIrp)},
      {"ntoskrnl.exe", "IoAttachDeviceToDeviceStack", Address(&IoAttachDeviceToDeviceStack)},
      {"ntoskrnl.exe", "IoBuildDeviceIoControlRequest", Address(&IoBuildDeviceIoControlRequest)},
      {"ntoskrnl.exe", "IoCancelIrp", Address(&IoCancelIrp)},
      {"ntoskrnl.exe", "IoCreateDevice", Address(&IoCreateDevice)},
      {"ntoskrnl.exe", "IoDeleteDevice", Address(&IoDeleteDevice)},
      {"ntoskrnl.exe", "IoDeleteSymbolicLink", Address(&IoDeleteSymbolicLink)},
      {"ntoskrnl.exe", "IoDetachDevice", Address(&IoDetachDevice)},
      {"ntoskrnl.exe", "IoFreeIrp", Address(&IoFreeIrp)},
      {"ntoskrnl.exe", "IoInitializeIrp", Address(&IoInitializeIrp)},
      {"ntoskrnl.exe", "IoOpenDeviceRegistryKey", Address(&IoOpenDeviceRegistryKey)},
      {"ntoskrnl.exe", "IoRegisterDeviceInterface", Address(&IoRegisterDeviceInterface)},
      {"ntoskrnl.exe", "IoReleaseCancelSpinLock", Address(&IoReleaseCancelSpinLock)},
      {"ntoskrnl.exe", "IoSetDeviceInterfaceState", Address(&IoSetDeviceInterfaceState)},
      {"ntoskrnl.exe", "IofCallDriver", Address(&IofCallDriver)},
      {"ntoskrnl.exe", "IofCompleteRequest", Address(&IofCompleteRequest)},
      {"ntoskrnl.exe", "KeAcquireSpinLockAtDpcLevel", Address(&KeAcquireSpinLockAtDpcLevel)},
      {"ntoskrnl.exe", "KeAcquireSpinLockRaiseToDpc", Address(&KeAcquireSpinLockRaiseToDpc)},
      {"ntoskrnl.exe", "KeBugCheckEx", Address(&KeBugCheckEx)},
      {"ntoskrnl.exe", "KeClearEvent", Address(&KeClearEvent)},
      {"ntoskrnl.exe", "KeInitializeEvent", Address(&KeInitializeEvent)},
      {"ntoskrnl.exe", "KeInitializeMutex", Address(&KeInitializeMutex)},
      {"ntoskrnl.exe", "KeReleaseMutex", Address(&KeReleaseMutex)},
      {"ntoskrnl.exe", "KeReleaseSpinLock", Address(&KeReleaseSpinLock)},
      {"ntoskrnl.exe", "KeReleaseSpinLockFromDpcLevel", Address(&KeReleaseSpinLockFromDpcLevel)},
      {"ntoskrnl.exe", "KeSetEvent", Address(&KeSetEvent)},
      {"ntoskrnl.exe", "KeWaitForSingleObject", Address(&KeWaitForSingleObject)},
      {"ntoskrnl.exe", "RtlCopyUnicodeString", Address(&RtlCopyUnicodeString)},
      {"ntoskrnl.exe", "RtlFreeUnicodeString", Address(&RtlFreeUnicodeString)},
      {"ntoskrnl.exe", "RtlGUIDFromString", Address(&RtlGUIDFromString)},
      {"ntoskrnl.exe", "RtlInitUnicodeString", Address(&RtlInitUnicodeString)},
      {"ntoskrnl.exe", "RtlIsNtDdiVersionAvailable", Address(&RtlIsNtDdiVersionAvailable)},
      {"ntoskrnl.exe", "RtlQueryRegistryValues", Address(&RtlQueryRegistryValues)},
      {"ntoskrnl.exe", "RtlUnicodeStringToAnsiString", Address(&RtlUnicodeStringToAnsiString)},
      {"ntoskrnl.exe", "ZwClose", Address(&ZwClose)},
      {"ntoskrnl.exe", "ZwOpenKey", Address(&ZwOpenKey)},
      {"ntoskrnl.exe", "ZwQueryValueKey", Address(&ZwQueryValueKey)},
      {"ntoskrnl.exe", "memcpy", Address(&ImageMemcpy)},
      {"ntoskrnl.exe", "memset", Address(&ImageMemset)},
      {"USBD.SYS", "USBD_CreateConfigurationRequestEx", Address(&USBD_CreateConfigurationRequestEx)},
      {"USBD.SYS", "USBD_ParseConfigurationDescriptorEx", Address(&USBD_ParseConfigurationDescriptorEx)},
      {"SMCLIB.SYS", "SmartcardAcquireRemoveLockWithTag", Address(&SmartcardAcquireRemoveLockWithTag)},
      {"SMCLIB.SYS", "SmartcardDeviceControl", Address(&SmartcardDeviceControl)},
      {"SMCLIB.SYS", "SmartcardExit", Address(&SmartcardExit)},
      {"SMCLIB.SYS", "SmartcardInitialize", Address(&SmartcardInitialize)},
      {"SMCLIB.SYS", "SmartcardRawReply", Address(&SmartcardRawReply)},
      {"SMCLIB.SYS", "SmartcardRawRequest", Address(&SmartcardRawRequest)},
      {"SMCLIB.SYS", "SmartcardReleaseRemoveLockAndWait", Address(&SmartcardReleaseRemoveLockAndWait)},
      {"SMCLIB.SYS", "SmartcardReleaseRemoveLockWithTag", Address(&SmartcardReleaseRemoveLockWithTag)},
      {"SMCLIB.SYS", "SmartcardT0Reply", Address(&SmartcardT0Reply)},
      {"SMCLIB.SYS", "SmartcardT0Request", Address(&SmartcardT0Request)},
      {"SMCLIB.SYS", "SmartcardT1Reply", Address(&SmartcardT1Reply)},
      {"SMCLIB.SYS", "SmartcardT1Request", Address(&SmartcardT1Request)},
      {"SMCLIB.SYS", "SmartcardUpdateCardCapabilities", Address(&SmartcardUpdateCardCapabilities)},
      {"ntoskrnl.exe", "PoCallDriver", Address(&PoCallDriver)},
      {"ntoskrnl.exe", "PoStartNextPowerIrp", Address(&PoStartNextPowerIrp)},
      {"ntoskrnl.exe", "PoSetPowerState", Address(&PoSetPowerState)},
      {"ntoskrnl.exe", "PoRequestPowerIrp", Address(&PoRequestPowerIrp)},
      {"ntoskrnl.exe", "IoAllocateWorkItem", Address(&IoAllocateWorkItem)},
      {"ntoskrnl.exe", "IoQueueWorkItem", Address(&IoQueueWorkItem)},
      {"ntoskrnl.exe", "IoFreeWorkItem", Address(&IoFreeWorkItem)},
      {"ntoskrnl.exe", "KeDelayExecutionThread", Address(&KeDelayExecutionThread)},
      {"ntoskrnl.exe", "IoInvalidateDeviceState", Address(&IoInvalidateDeviceState)},
      {"ntoskrnl.exe", "IoWMIRegistrationControl", Address(&IoWMIRegistrationControl)},
      {"SMCLIB.SYS", "SmartcardAcquireRemoveLock", Address(&SmartcardAcquireRemoveLock)},
      {"SMCLIB.SYS", "SmartcardCreateLink", Address(&SmartcardCreateLink)},
      {"SMCLIB.SYS", "SmartcardGetDebugLevel", Address(&SmartcardGetDebugLevel)},
      {"SMCLIB.SYS", "SmartcardInvertData", Address(&SmartcardInvertData)},
      {"SMCLIB.SYS", "SmartcardLogError", Address(&SmartcardLogError)},
      {"SMCLIB.SYS", "SmartcardReleaseRemoveLock", Address(&SmartcardReleaseRemoveLock)},
      {"SMCLIB.SYS", "SmartcardSetDebugLevel", Address(&SmartcardSetDebugLevel)},
  };
  return exports;
}

}  // namespace hosted
