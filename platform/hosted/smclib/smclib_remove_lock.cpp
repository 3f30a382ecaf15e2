// The library's remove lock with the semantics of the kernel's IO_REMOVE_LOCK: every
// acquisition counts a reference remembered with its tag; once
// SmartcardReleaseRemoveLockAndWait has started, acquisitions fail with
// STATUS_DELETE_PENDING, and the wait returns when every other holder has released.
// Misuse (a release with a tag that holds nothing, a second wait, a wait without a
// reference of one's own, an exit with holders left) is a verifier violation.

#include <smclib.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "smclib_internal.h"
#include "hosted/kernel/verifier.h"

namespace hosted::smclib {
namespace {

struct Holder {
    ULONG tag;
    std::thread::id thread;
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<POS_DEP_DATA, std::vector<Holder>> holders;
};

Registry& Locks()
{
    static Registry* registry = new Registry();  // lives for the whole process
    return *registry;
}

// "'Ccid' (0x43636964)": the tag as written in source, and its value.
std::string TagName(ULONG tag)
{
    std::string text = "'";
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = static_cast<char>((tag >> shift) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    char value[16];
    std::snprintf(value, sizeof(value), "%08X", tag);
    return text + "' (0x" + value + ")";
}

// The OS data of an initialised extension, or a report naming the routine.
POS_DEP_DATA OsDataOf(PSMARTCARD_EXTENSION extension, const char* routine)
{
    if (extension == nullptr || extension->OsData == nullptr) {
        Verifier::Report(Check::InvalidParameter, routine, "the smart-card extension is not initialised");
        return nullptr;
    }
    return extension->OsData;
}

// Drops one reference; the last one signals the waiter. Called with the registry locked.
void DropReference(POS_DEP_DATA osData)
{
    if (InterlockedDecrement(&osData->RemoveLock.RefCount) == 0) {
        KeSetEvent(&osData->RemoveLock.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

NTSTATUS Acquire(PSMARTCARD_EXTENSION extension, ULONG tag, const char* routine)
{
    POS_DEP_DATA osData = OsDataOf(extension, routine);
    if (osData == nullptr) return STATUS_INVALID_PARAMETER;

    std::lock_guard<std::mutex> lock(Locks().mutex);
    if (osData->RemoveLock.Removed) {
        return STATUS_DELETE_PENDING;
    }
    InterlockedIncrement(&osData->RemoveLock.RefCount);
    Locks().holders[osData].push_back({tag, std::this_thread::get_id()});
    return STATUS_SUCCESS;
}

void Release(PSMARTCARD_EXTENSION extension, ULONG tag, const char* routine)
{
    POS_DEP_DATA osData = OsDataOf(extension, routine);
    if (osData == nullptr) return;

    std::lock_guard<std::mutex> lock(Locks().mutex);
    std::vector<Holder>& holders = Locks().holders[osData];
    // The caller's own acquisition with this tag if there is one, else anyone's.
    auto mine = std::find_if(holders.rbegin(), holders.rend(), [&](const Holder& holder) {
        return holder.tag == tag && holder.thread == std::this_thread::get_id();
    });
    auto any = std::find_if(holders.rbegin(), holders.rend(), [&](const Holder& holder) { return holder.tag == tag; });
    auto found = mine != holders.rend() ? mine : any;
    if (found == holders.rend()) {
        ReportMisuse(routine, "released with tag " + TagName(tag) + ", which holds no reference");
        return;
    }
    holders.erase(std::next(found).base());
    DropReference(osData);
}

}  // namespace

void RegisterRemoveLock(POS_DEP_DATA osData)
{
    std::lock_guard<std::mutex> lock(Locks().mutex);
    Locks().holders[osData].clear();
}

std::size_t UnregisterRemoveLock(POS_DEP_DATA osData)
{
    std::lock_guard<std::mutex> lock(Locks().mutex);
    auto entry = Locks().holders.find(osData);
    if (entry == Locks().holders.end()) return 0;
    const std::size_t outstanding = entry->second.size();
    Locks().holders.erase(entry);
    return outstanding;
}

}  // namespace hosted::smclib

using namespace hosted::smclib;

extern "C" NTSTATUS NTAPI SmartcardAcquireRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag)
{
    return Acquire(SmartcardExtension, Tag, "SmartcardAcquireRemoveLockWithTag");
}

extern "C" NTSTATUS NTAPI SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension)
{
    return Acquire(SmartcardExtension, 0, "SmartcardAcquireRemoveLock");
}

extern "C" VOID NTAPI SmartcardReleaseRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag)
{
    Release(SmartcardExtension, Tag, "SmartcardReleaseRemoveLockWithTag");
}

extern "C" VOID NTAPI SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension)
{
    Release(SmartcardExtension, 0, "SmartcardReleaseRemoveLock");
}

// Gives back the caller's own reference and the base reference, refuses every later
// acquisition, and waits (PASSIVE_LEVEL) until every other holder has released.
extern "C" VOID NTAPI SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension)
{
    constexpr const char* kRoutine = "SmartcardReleaseRemoveLockAndWait";
    HostedPagedCodeCheck(kRoutine);
    POS_DEP_DATA osData = OsDataOf(SmartcardExtension, kRoutine);
    if (osData == nullptr) return;

    bool wait = false;
    {
        std::lock_guard<std::mutex> lock(Locks().mutex);
        if (osData->RemoveLock.Removed) {
            ReportMisuse(kRoutine, "called a second time");
            return;
        }
        osData->RemoveLock.Removed = TRUE;

        std::vector<Holder>& holders = Locks().holders[osData];
        auto mine = std::find_if(holders.rbegin(), holders.rend(),
                                 [&](const Holder& holder) { return holder.thread == std::this_thread::get_id(); });
        if (mine != holders.rend()) {
            holders.erase(std::next(mine).base());
            DropReference(osData);
        } else {
            ReportMisuse(kRoutine, "the caller holds no reference of its own to give back");
        }

        // The base reference taken by SmartcardInitialize.
        wait = InterlockedDecrement(&osData->RemoveLock.RefCount) > 0;
        if (!wait) {
            KeSetEvent(&osData->RemoveLock.RemoveEvent, IO_NO_INCREMENT, FALSE);
        }
    }
    if (wait) {
        (void)KeWaitForSingleObject(&osData->RemoveLock.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
    }
}
