// Routines the hosted kernel declares but does not implement (yet): each call is a
// verifier violation naming the routine, and the call fails as Windows would fail it.
// Also the trivial thread and version queries.
#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

// ---- KeGetCurrentThread / PsGetCurrentThread -------------------------------------------
extern "C" PKTHREAD NTAPI KeGetCurrentThread(void) { return reinterpret_cast<PKTHREAD>(&CurrentThread()); }
extern "C" PETHREAD NTAPI PsGetCurrentThread(void) { return reinterpret_cast<PETHREAD>(&CurrentThread()); }

// ---- KeSetPriorityThread ---------------------------------------------------------------
extern "C" KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  (void)Thread;
  (void)Priority;
  return 8;  // the normal priority the thread had
}

// ---- IoGetCurrentProcess ---------------------------------------------------------------
extern "C" PEPROCESS NTAPI IoGetCurrentProcess(void) {
  static char systemProcess;
  return reinterpret_cast<PEPROCESS>(&systemProcess);
}

// ---- IoIsWdmVersionAvailable -----------------------------------------------------------
// The kernel offers WDM 6.3 (Windows 8.1 and later report this).
extern "C" BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  return MajorVersion < 6 || (MajorVersion == 6 && MinorVersion <= 0x30);
}

#define NOT_IMPLEMENTED(name) Unimplemented(#name)

// Routines no driver of this bench calls: they stay stubs until one does, so that what
// the kernel implements is exactly what drivers rely on.
extern "C" PVOID NTAPI ExAllocatePoolWithQuotaTag(POOL_TYPE, SIZE_T, ULONG) {
  NOT_IMPLEMENTED(ExAllocatePoolWithQuotaTag);
  return NULL;
}
extern "C" VOID NTAPI IoReuseIrp(PIRP, NTSTATUS) { NOT_IMPLEMENTED(IoReuseIrp); }
extern "C" NTSTATUS NTAPI IoSetCompletionRoutineEx(PDEVICE_OBJECT, PIRP, PIO_COMPLETION_ROUTINE, PVOID, BOOLEAN,
                                                  BOOLEAN, BOOLEAN) {
  NOT_IMPLEMENTED(IoSetCompletionRoutineEx);
  return STATUS_INSUFFICIENT_RESOURCES;
}
extern "C" KIRQL NTAPI KeRaiseIrqlToDpcLevel(void) {
  NOT_IMPLEMENTED(KeRaiseIrqlToDpcLevel);
  return CurrentIrql();
}
extern "C" LONG NTAPI KeReadStateMutex(PRKMUTEX) {
  NOT_IMPLEMENTED(KeReadStateMutex);
  return 0;
}
extern "C" NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING, PCWSTR) {
  NOT_IMPLEMENTED(RtlAppendUnicodeToString);
  return STATUS_NOT_IMPLEMENTED;
}
extern "C" VOID NTAPI RtlInitString(PSTRING, PCSZ) { NOT_IMPLEMENTED(RtlInitString); }
extern "C" NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG, ULONG, PUNICODE_STRING) {
  NOT_IMPLEMENTED(RtlIntegerToUnicodeString);
  return STATUS_NOT_IMPLEMENTED;
}
extern "C" NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING, ULONG, PULONG) {
  NOT_IMPLEMENTED(RtlUnicodeStringToInteger);
  return STATUS_NOT_IMPLEMENTED;
}
extern "C" WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
  NOT_IMPLEMENTED(RtlUpcaseUnicodeChar);
  return SourceCharacter;
}
extern "C" NTSTATUS NTAPI ZwCreateKey(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG, PUNICODE_STRING, ULONG, PULONG) {
  NOT_IMPLEMENTED(ZwCreateKey);
  return STATUS_NOT_IMPLEMENTED;
}
extern "C" NTSTATUS NTAPI RtlCheckRegistryKey(ULONG, PWSTR) {
  NOT_IMPLEMENTED(RtlCheckRegistryKey);
  return STATUS_NOT_IMPLEMENTED;
}

extern "C" PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG, PDEVICE_OBJECT, PVOID, ULONG, PLARGE_INTEGER, PKEVENT,
                                                  PIO_STATUS_BLOCK) {
  NOT_IMPLEMENTED(IoBuildSynchronousFsdRequest);
  return NULL;
}

extern "C" PIRP NTAPI IoBuildAsynchronousFsdRequest(ULONG, PDEVICE_OBJECT, PVOID, ULONG, PLARGE_INTEGER,
                                                   PIO_STATUS_BLOCK) {
  NOT_IMPLEMENTED(IoBuildAsynchronousFsdRequest);
  return NULL;
}

extern "C" NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING, ACCESS_MASK, PFILE_OBJECT*, PDEVICE_OBJECT*) {
  NOT_IMPLEMENTED(IoGetDeviceObjectPointer);
  return STATUS_NOT_IMPLEMENTED;
}

extern "C" NTSTATUS NTAPI IoGetDeviceProperty(PDEVICE_OBJECT, DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG) {
  NOT_IMPLEMENTED(IoGetDeviceProperty);
  return STATUS_NOT_IMPLEMENTED;
}

extern "C" VOID NTAPI IoInvalidateDeviceRelations(PDEVICE_OBJECT, DEVICE_RELATION_TYPE) {
  NOT_IMPLEMENTED(IoInvalidateDeviceRelations);
}

extern "C" VOID NTAPI IoInvalidateDeviceState(PDEVICE_OBJECT) { NOT_IMPLEMENTED(IoInvalidateDeviceState); }

extern "C" NTSTATUS NTAPI IoWMIRegistrationControl(PDEVICE_OBJECT, ULONG) {
  NOT_IMPLEMENTED(IoWMIRegistrationControl);
  return STATUS_NOT_IMPLEMENTED;
}

extern "C" PVOID NTAPI IoAllocateErrorLogEntry(PVOID, UCHAR) {
  NOT_IMPLEMENTED(IoAllocateErrorLogEntry);
  return NULL;
}

extern "C" VOID NTAPI IoWriteErrorLogEntry(PVOID) { NOT_IMPLEMENTED(IoWriteErrorLogEntry); }

extern "C" NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE, ACCESS_MASK, PVOID, KPROCESSOR_MODE, PVOID*, PVOID) {
  NOT_IMPLEMENTED(ObReferenceObjectByHandle);
  return STATUS_NOT_IMPLEMENTED;
}

extern "C" VOID NTAPI KeInitializeTimer(PKTIMER) { NOT_IMPLEMENTED(KeInitializeTimer); }
extern "C" VOID NTAPI KeInitializeTimerEx(PKTIMER, TIMER_TYPE) { NOT_IMPLEMENTED(KeInitializeTimerEx); }

extern "C" BOOLEAN NTAPI KeSetTimer(PKTIMER, LARGE_INTEGER, PKDPC) {
  NOT_IMPLEMENTED(KeSetTimer);
  return FALSE;
}

extern "C" BOOLEAN NTAPI KeSetTimerEx(PKTIMER, LARGE_INTEGER, LONG, PKDPC) {
  NOT_IMPLEMENTED(KeSetTimerEx);
  return FALSE;
}

extern "C" BOOLEAN NTAPI KeCancelTimer(PKTIMER) {
  NOT_IMPLEMENTED(KeCancelTimer);
  return FALSE;
}

extern "C" BOOLEAN NTAPI KeReadStateTimer(PKTIMER) {
  NOT_IMPLEMENTED(KeReadStateTimer);
  return FALSE;
}

extern "C" VOID NTAPI KeInitializeDpc(PRKDPC, PKDEFERRED_ROUTINE, PVOID) { NOT_IMPLEMENTED(KeInitializeDpc); }

extern "C" BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC, PVOID, PVOID) {
  NOT_IMPLEMENTED(KeInsertQueueDpc);
  return FALSE;
}

extern "C" BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC) {
  NOT_IMPLEMENTED(KeRemoveQueueDpc);
  return FALSE;
}

extern "C" NTSTATUS NTAPI RtlWriteRegistryValue(ULONG, PCWSTR, PCWSTR, ULONG, PVOID, ULONG) {
  NOT_IMPLEMENTED(RtlWriteRegistryValue);
  return STATUS_NOT_IMPLEMENTED;
}
