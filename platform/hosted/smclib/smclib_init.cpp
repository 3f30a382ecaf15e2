// The smart-card library's life cycle as SMCLIB.SYS runs it for a reader driver:
// SmartcardInitialize allocates the operating-system data (with its spin lock, mutex and
// remove lock) and the request and reply buffers; SmartcardExit frees them.

#include <smclib.h>

#include <new>
#include <string>

#include "smclib_internal.h"
#include "hosted/kernel/verifier.h"

namespace hosted::smclib {
namespace {

// ISO 7816-3 clock rate conversion, indexed by FI: {F, maximum clock in Hz}.
CLOCK_RATE_CONVERSION ClockRateConversionTable[16] = {
    {372, 4000000},  {372, 5000000},  {558, 6000000},  {744, 8000000},   {1116, 12000000}, {1488, 16000000},
    {1860, 20000000}, {0, 0},         {0, 0},          {512, 5000000},   {768, 7500000},   {1024, 10000000},
    {1536, 15000000}, {2048, 20000000}, {0, 0},        {0, 0},
};

// ISO 7816-3 bit rate adjustment, indexed by DI: D as numerator / divisor.
BIT_RATE_ADJUSTMENT BitRateAdjustmentTable[16] = {
    {0, 0}, {1, 1}, {2, 1}, {4, 1}, {8, 1}, {16, 1}, {32, 1}, {0, 0},
    {12, 1}, {20, 1}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0},
};

// The OS data block: OS_DEP_DATA as the driver sees it, then the library's own state.
constexpr std::size_t kStateOffset =
    (sizeof(OS_DEP_DATA) + alignof(LibraryState) - 1) / alignof(LibraryState) * alignof(LibraryState);
constexpr std::size_t kOsBlockSize = kStateOffset + sizeof(LibraryState);

LibraryState* StateIn(POS_DEP_DATA osData)
{
    return reinterpret_cast<LibraryState*>(reinterpret_cast<PUCHAR>(osData) + kStateOffset);
}

// Allocates one of the two exchange buffers, at least MIN_BUFFER_SIZE bytes.
PUCHAR AllocateBuffer(ULONG& size)
{
    if (size < MIN_BUFFER_SIZE) size = MIN_BUFFER_SIZE;
    auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kPoolTag));
    if (buffer != nullptr) RtlZeroMemory(buffer, size);
    return buffer;
}

void FreeBuffer(PUCHAR& buffer)
{
    if (buffer != nullptr) {
        ExFreePoolWithTag(buffer, kPoolTag);
        buffer = nullptr;
    }
}

}  // namespace

LibraryState* StateOf(PSMARTCARD_EXTENSION extension)
{
    if (extension == nullptr || extension->OsData == nullptr) return nullptr;
    return StateIn(extension->OsData);
}

void RestartT1Session(PSMARTCARD_EXTENSION extension)
{
    const UCHAR nad = extension->T1.NAD;  // the one field the driver may set
    RtlZeroMemory(&extension->T1, sizeof extension->T1);
    extension->T1.NAD = nad;
    extension->T1.State = T1_INIT;
}

void ReportMisuse(const char* routine, std::string message)
{
    Verifier::Report(Check::RemoveLockMisuse, routine, std::move(message));
}

void ReportUnimplemented(const char* routine)
{
    Verifier::Report(Check::Unimplemented, routine, "the hosted smart-card library does not implement this routine");
}

}  // namespace hosted::smclib

using namespace hosted::smclib;

// ---- SmartcardInitialize ------------------------------------------------------------
extern "C" NTSTATUS NTAPI SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension)
{
    if (SmartcardExtension == nullptr) {
        hosted::Verifier::Report(hosted::Check::InvalidParameter, "SmartcardInitialize", "no smart-card extension");
        return STATUS_INVALID_PARAMETER;
    }
    if (SmartcardExtension->Version < SMCLIB_VERSION_REQUIRED) {
        return STATUS_INVALID_PARAMETER;
    }
    if (SmartcardExtension->OsData != nullptr) {
        hosted::Verifier::Report(hosted::Check::InvalidParameter, "SmartcardInitialize",
                                 "the extension is already initialised (OsData is set)");
        return STATUS_INVALID_PARAMETER;
    }

    auto* osData = static_cast<POS_DEP_DATA>(ExAllocatePoolWithTag(NonPagedPoolNx, kOsBlockSize, kPoolTag));
    if (osData == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(osData, sizeof(OS_DEP_DATA));

    SMARTCARD_REQUEST& request = SmartcardExtension->SmartcardRequest;
    SMARTCARD_REPLY& reply = SmartcardExtension->SmartcardReply;
    request.Buffer = AllocateBuffer(request.BufferSize);
    reply.Buffer = AllocateBuffer(reply.BufferSize);
    if (request.Buffer == nullptr || reply.Buffer == nullptr) {
        FreeBuffer(request.Buffer);
        FreeBuffer(reply.Buffer);
        ExFreePoolWithTag(osData, kPoolTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    request.BufferLength = 0;
    reply.BufferLength = 0;

    KeInitializeMutex(&osData->Mutex, 0);
    KeInitializeSpinLock(&osData->SpinLock);
    osData->RemoveLock.Removed = FALSE;
    osData->RemoveLock.RefCount = 1;  // the base reference, given back by ReleaseRemoveLockAndWait
    KeInitializeEvent(&osData->RemoveLock.RemoveEvent, NotificationEvent, FALSE);
    InitializeListHead(&osData->RemoveLock.TagList);

    SmartcardExtension->CardCapabilities.ClockRateConversion = ClockRateConversionTable;
    SmartcardExtension->CardCapabilities.BitRateAdjustment = BitRateAdjustmentTable;
    new (StateIn(osData)) LibraryState();
    RestartT1Session(SmartcardExtension);
    SmartcardExtension->OsData = osData;
    RegisterRemoveLock(osData);
    return STATUS_SUCCESS;
}

// ---- SmartcardExit ------------------------------------------------------------------
extern "C" VOID NTAPI SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension)
{
    HostedPagedCodeCheck("SmartcardExit");
    if (SmartcardExtension == nullptr) {
        hosted::Verifier::Report(hosted::Check::InvalidParameter, "SmartcardExit", "no smart-card extension");
        return;
    }

    FreeBuffer(SmartcardExtension->SmartcardRequest.Buffer);
    FreeBuffer(SmartcardExtension->SmartcardReply.Buffer);
    SmartcardExtension->SmartcardRequest.BufferLength = 0;
    SmartcardExtension->SmartcardReply.BufferLength = 0;

    POS_DEP_DATA osData = SmartcardExtension->OsData;
    if (osData == nullptr) {
        return;
    }
    const std::size_t holders = UnregisterRemoveLock(osData);
    if (holders != 0) {
        ReportMisuse("SmartcardExit", "the remove lock is still held by " + std::to_string(holders) +
                                          " acquisition(s); call SmartcardReleaseRemoveLockAndWait first");
    }
    StateIn(osData)->~LibraryState();
    SmartcardExtension->OsData = nullptr;
    ExFreePoolWithTag(osData, kPoolTag);
}
