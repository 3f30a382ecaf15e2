// Library routines the hosted stand-in does not provide yet. Each call is a verifier
// violation naming the routine, never a silent success.

#include <smclib.h>

#include "smclib_internal.h"

using hosted::smclib::ReportUnimplemented;

extern "C" NTSTATUS NTAPI SmartcardT0Request(PSMARTCARD_EXTENSION)
{
    ReportUnimplemented("SmartcardT0Request");
    return STATUS_NOT_IMPLEMENTED;
}

extern "C" NTSTATUS NTAPI SmartcardT0Reply(PSMARTCARD_EXTENSION)
{
    ReportUnimplemented("SmartcardT0Reply");
    return STATUS_NOT_IMPLEMENTED;
}

extern "C" NTSTATUS NTAPI SmartcardT1Request(PSMARTCARD_EXTENSION)
{
    ReportUnimplemented("SmartcardT1Request");
    return STATUS_NOT_IMPLEMENTED;
}

extern "C" NTSTATUS NTAPI SmartcardT1Reply(PSMARTCARD_EXTENSION)
{
    ReportUnimplemented("SmartcardT1Reply");
    return STATUS_NOT_IMPLEMENTED;
}

extern "C" NTSTATUS NTAPI SmartcardRawRequest(PSMARTCARD_EXTENSION)
{
    ReportUnimplemented("SmartcardRawRequest");
    return STATUS_NOT_IMPLEMENTED;
}

extern "C" NTSTATUS NTAPI SmartcardRawReply(PSMARTCARD_EXTENSION)
{
    ReportUnimplemented("SmartcardRawReply");
    return STATUS_NOT_IMPLEMENTED;
}

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
