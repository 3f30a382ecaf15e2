// Library routines the hosted stand-in does not provide yet. Each call is a verifier
// violation naming the routine, never a silent success.

#include <smclib.h>

#include "smclib_internal.h"

using hosted::smclib::ReportUnimplemented;

extern "C" VOID NTAPI SmartcardInitializeCardCapabilities(PSMARTCARD_EXTENSION)
{
    ReportUnimplemented("SmartcardInitializeCardCapabilities");
}

extern "C" NTSTATUS NTAPI SmartcardCreateLink(PUNICODE_STRING, PUNICODE_STRING)
{
    ReportUnimplemented("SmartcardCreateLink");
    return STATUS_NOT_IMPLEMENTED;
}

extern "C" VOID NTAPI SmartcardLogError(PVOID, NTSTATUS, PUNICODE_STRING, ULONG)
{
    ReportUnimplemented("SmartcardLogError");
}

extern "C" ULONG NTAPI SmartcardGetDebugLevel(void)
{
    ReportUnimplemented("SmartcardGetDebugLevel");
    return 0;
}

extern "C" VOID NTAPI SmartcardSetDebugLevel(ULONG)
{
    ReportUnimplemented("SmartcardSetDebugLevel");
}
