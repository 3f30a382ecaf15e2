// I/O calls: IRP allocation, initialisation and release, IofCallDriver, the IRPs the I/O
// manager builds for kernel callers, MDLs.
//
// The I/O manager keeps a record per IRP in a side table (never in the IRP itself), and a
// "frame" per IofCallDriver: the driver that received the IRP at a given stack location.
// The completion walk marks the frames it passes; together with the dispatch routine's
// return value this decides the pending checks without touching an IRP that another
// thread may already have completed and freed.
#include <array>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "internal.h"
#include "io_manager.h"
#include "kernel_state.h"

using namespace hosted;
using namespace hosted::detail;

namespace {

struct Frame {
  PIRP irp;
  int level;  // the stack location (CurrentLocation) the target received
  UCHAR major;
  UCHAR minor;
  bool walked = false;        // the completion walk passed this location
  bool markedAtWalk = false;  // ... and found SL_PENDING_RETURNED there
  bool returnedPending = false;
  bool irpGone = false;       // the IRP was freed while the dispatch routine still ran
};

struct IrpRecord {
  std::uint64_t serial = 0;
  std::size_t allocationSize = 0;  // 0: memory of the caller (IoInitializeIrp in place)
  ThreadState* walker = nullptr;   // the thread running its completion walk
  std::vector<std::uint64_t> frames;
  // Set for IRPs that IoBuildDeviceIoControlRequest built.
  bool built = false;
  void* systemBuffer = nullptr;
  PMDL mdl = nullptr;
  void* outputBuffer = nullptr;
  ULONG outputLength = 0;
};

constexpr unsigned char kFreedIrpByte = 0xDB;
constexpr std::size_t kQuarantineSize = 128;
constexpr std::size_t kSpareNodes = 64;

// The records and frames that go are kept as spare nodes of their tables (a record with
// its frame list's capacity), so that an IRP's life and each IofCallDriver allocate none.
struct IrpTable {
  using Records = std::unordered_map<PIRP, IrpRecord>;
  using Frames = std::unordered_map<std::uint64_t, Frame>;
  std::mutex mutex;
  Records irps;
  Frames frames;
  std::uint64_t serial = 0;
  std::uint64_t allocations = 0;  // by AllocateIrp
  std::uint64_t nextFrame = 0;
  // Freed IRPs kept poisoned a while so stale use shows: a ring, the oldest at `next`.
  std::array<PIRP, kQuarantineSize> quarantine{};
  std::size_t quarantineNext = 0;
  std::vector<Records::node_type> spareRecords;
  std::vector<Frames::node_type> spareFrames;

  // A fresh record for `irp` (one left by memory that went without IoFreeIrp is replaced).
  IrpRecord& NewRecordLocked(PIRP irp) {
    if (spareRecords.empty()) return irps[irp] = IrpRecord();
    Records::node_type node = std::move(spareRecords.back());
    spareRecords.pop_back();
    node.key() = irp;
    auto inserted = irps.insert(std::move(node));
    IrpRecord& record = inserted.position->second;
    std::vector<std::uint64_t> frameList = std::move(record.frames);
    frameList.clear();
    record = IrpRecord();
    record.frames = std::move(frameList);
    return record;
  }
  void EraseRecordLocked(Records::iterator record) {
    Records::node_type node = irps.extract(record);
    if (spareRecords.size() < kSpareNodes) spareRecords.push_back(std::move(node));
  }
  void NewFrameLocked(std::uint64_t id, const Frame& frame) {
    if (spareFrames.empty()) {
      frames[id] = frame;
      return;
    }
    Frames::node_type node = std::move(spareFrames.back());
    spareFrames.pop_back();
    node.key() = id;
    node.mapped() = frame;
    frames.insert(std::move(node));
  }
  void EraseFrameLocked(Frames::iterator frame) {
    Frames::node_type node = frames.extract(frame);
    if (spareFrames.size() < kSpareNodes) spareFrames.push_back(std::move(node));
  }
};

IrpTable& Table() {
  static IrpTable* table = new IrpTable();
  return *table;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kImmediateFree = true;  // AddressSanitizer's own quarantine catches stale use
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kImmediateFree = true;
#else
constexpr bool kImmediateFree = false;
#endif
#else
constexpr bool kImmediateFree = false;
#endif

// With the table lock held: removes a frame id from its IRP's list.
void DetachFrameLocked(IrpTable& t, std::uint64_t id) {
  auto frame = t.frames.find(id);
  if (frame == t.frames.end()) return;
  auto record = t.irps.find(frame->second.irp);
  if (!frame->second.irpGone && record != t.irps.end()) {
    auto& list = record->second.frames;
    for (auto it = list.begin(); it != list.end(); ++it) {
      if (*it == id) {
        list.erase(it);
        break;
      }
    }
  }
  t.EraseFrameLocked(frame);
}

// With the table lock held: the record goes, and its frames lose their IRP.
void ForgetIrpLocked(IrpTable& t, PIRP irp) {
  auto record = t.irps.find(irp);
  if (record == t.irps.end()) return;
  for (std::uint64_t id : record->second.frames) {
    auto frame = t.frames.find(id);
    if (frame == t.frames.end()) continue;
    if (frame->second.walked && frame->second.returnedPending) {
      t.EraseFrameLocked(frame);
    } else {
      frame->second.irpGone = true;
    }
  }
  t.EraseRecordLocked(record);
}

void ReleaseIrpMemory(PIRP irp, std::size_t size) {
  std::memset(irp, kFreedIrpByte, size);
  if (kImmediateFree) {
    std::free(irp);
    return;
  }
  IrpTable& t = Table();
  PIRP evicted = nullptr;
  {
    std::lock_guard<std::mutex> lock(t.mutex);
    evicted = t.quarantine[t.quarantineNext];
    t.quarantine[t.quarantineNext] = irp;
    t.quarantineNext = (t.quarantineNext + 1) % kQuarantineSize;
  }
  std::free(evicted);
}

void InitializeIrpMemory(PIRP irp, USHORT packetSize, CCHAR stackSize) {
  std::memset(irp, 0, packetSize);
  irp->Type = IO_TYPE_IRP;
  irp->Size = packetSize;
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->ApcEnvironment = 0;
  InitializeListHead(&irp->ThreadListEntry);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(
      reinterpret_cast<char*>(irp) + sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION));
}

// Allocates and initialises an IRP on behalf of `routine` (injectable under that name).
PIRP AllocateIrp(const char* routine, CCHAR stackSize, bool chargeQuota, const void* caller) {
  if (stackSize < 0) {
    Verifier::Report(Check::InvalidParameter, routine, "negative stack size " + std::to_string(stackSize));
    return NULL;
  }
  const USHORT size = IoSizeOfIrp(stackSize);
  if (ShouldFailAllocation(routine, 'Irp ', size, caller)) return NULL;
  auto* irp = static_cast<PIRP>(std::aligned_alloc(16, (size + 15u) & ~15u));
  if (irp == NULL) return NULL;
  InitializeIrpMemory(irp, size, stackSize);
  irp->AllocationFlags = IRP_ALLOCATED_FIXED_SIZE | (chargeQuota ? IRP_QUOTA_CHARGED : 0);
  IrpTable& t = Table();
  std::lock_guard<std::mutex> lock(t.mutex);
  IrpRecord& record = t.NewRecordLocked(irp);
  record.serial = ++t.serial;
  ++t.allocations;
  record.allocationSize = size;
  return irp;
}

struct ScratchLocation {
  IO_STACK_LOCATION location;
  PIRP owner = nullptr;
};

ScratchLocation& Scratch() {
  static thread_local ScratchLocation scratch;
  return scratch;
}

// A target with no stack location left: reported, and the IRP is failed as if a driver
// below had completed it with STATUS_INVALID_DEVICE_REQUEST (running the completion
// routine the caller set in the scratch location) so that no caller waits forever.
NTSTATUS FailUnderflow(PDEVICE_OBJECT device, PIRP irp) {
  Verifier::Report(Check::IrpStackUnderflow, "IofCallDriver",
                   "IRP " + PointerText(irp) + " sent to device " + PointerText(device) + " with no stack location left (" +
                       std::to_string(irp->StackCount) + " allocated)");
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  ScratchLocation& scratch = Scratch();
  if (scratch.owner == irp && scratch.location.CompletionRoutine != NULL &&
      (scratch.location.Control & SL_INVOKE_ON_ERROR)) {
    PIO_COMPLETION_ROUTINE routine = scratch.location.CompletionRoutine;
    PVOID context = scratch.location.Context;
    scratch.owner = nullptr;
    PDEVICE_OBJECT current =
        irp->CurrentLocation <= irp->StackCount ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : NULL;
    const DriverRoutineCall call;
    routine(current, irp, context);
  }
  return STATUS_INVALID_DEVICE_REQUEST;
}

// Sends the IRP to a target that cannot take it: the target's location is entered and the
// IRP completed with `status` at once.
NTSTATUS FailAtTarget(PDEVICE_OBJECT device, PIRP irp, NTSTATUS status) {
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
  IoGetCurrentIrpStackLocation(irp)->DeviceObject = device;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Closes a frame when the dispatch routine returns, and applies the pending checks that
// can be decided now.
// `irp` may be gone by now: only its address is named in a report, and the text is made
// only for one.
void EndFrame(std::uint64_t id, NTSTATUS status, PIRP irp, UCHAR major, UCHAR minor) {
  IrpTable& t = Table();
  Check check = Check::IrpNotCompleted;
  std::string problem;
  const auto what = [&] { return IrpText(irp, major, minor); };
  {
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.frames.find(id);
    if (it == t.frames.end()) return;
    Frame& frame = it->second;
    if (status == STATUS_PENDING) {
      if (!frame.walked) {
        frame.returnedPending = true;  // decided when the completion walk gets here
        return;
      }
      if (!frame.markedAtWalk) {
        check = Check::PendingNotMarked;
        problem = "the dispatch routine returned STATUS_PENDING for " + what() +
                  " without IoMarkIrpPending (the IRP was completed without SL_PENDING_RETURNED)";
      }
    } else if (!frame.walked && !frame.irpGone) {
      problem = "the dispatch routine returned " + StatusText(status) + " for " + what() +
                " but nobody completed the IRP";
    } else if (frame.walked && frame.markedAtWalk) {
      check = Check::PendingMarkedNotReturned;
      problem = "the dispatch routine marked " + what() + " pending but returned " + StatusText(status);
    }
    DetachFrameLocked(t, id);
  }
  if (!problem.empty()) Verifier::Report(check, "IofCallDriver", problem);
}

}  // namespace

namespace hosted::detail {

bool IsLiveIrp(PIRP irp) {
  std::lock_guard<std::mutex> lock(Table().mutex);
  return Table().irps.count(irp) != 0;
}

PIO_STACK_LOCATION ScratchStackLocation(PIRP irp) {
  ScratchLocation& scratch = Scratch();
  if (scratch.owner != irp) {
    std::memset(&scratch.location, 0, sizeof scratch.location);
    scratch.owner = irp;
  }
  return &scratch.location;
}

bool ScratchBelongsTo(PIRP irp) { return Scratch().owner == irp; }

void NoteLevelCompleted(PIRP irp, int level, bool pendingReturned) {
  IrpTable& t = Table();
  std::vector<std::string> problems;
  {
    std::lock_guard<std::mutex> lock(t.mutex);
    auto record = t.irps.find(irp);
    if (record == t.irps.end()) return;
    // A detached frame leaves this list: the next one then takes its place.
    const std::vector<std::uint64_t>& ids = record->second.frames;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      const std::uint64_t id = ids[i];
      Frame& frame = t.frames.at(id);
      if (frame.level != level || frame.walked) continue;
      frame.walked = true;
      frame.markedAtWalk = pendingReturned;
      if (frame.returnedPending) {
        if (!pendingReturned) {
          problems.push_back("the dispatch routine returned STATUS_PENDING for " +
                             IrpText(irp, frame.major, frame.minor) + " without IoMarkIrpPending");
        }
        DetachFrameLocked(t, id);
        if (i >= ids.size() || ids[i] != id) --i;
      }
    }
  }
  for (const std::string& problem : problems) Verifier::Report(Check::PendingNotMarked, "IofCompleteRequest", problem);
}

bool BeginCompletion(PIRP irp, const char* routine) {
  IrpTable& t = Table();
  std::string problem;
  {
    std::lock_guard<std::mutex> lock(t.mutex);
    auto record = t.irps.find(irp);
    if (record == t.irps.end()) {
      problem = "IRP " + PointerText(irp) + " is not allocated (completed and freed already, or never allocated)";
    } else if (irp->CurrentLocation > irp->StackCount) {
      problem = "IRP " + PointerText(irp) + " is held by no driver (completed already, or never sent)";
    } else if (record->second.walker != nullptr) {
      problem = "IRP " + PointerText(irp) + " completed while another completion of it is running";
    } else {
      record->second.walker = &CurrentThread();
      return true;
    }
  }
  Verifier::Report(Check::IrpCompletedTwice, routine, problem);
  return false;
}

bool CompletionRunning(PIRP irp) {
  std::lock_guard<std::mutex> lock(Table().mutex);
  auto record = Table().irps.find(irp);
  return record != Table().irps.end() && record->second.walker != nullptr;
}

void SuspendCompletion(PIRP irp) {
  std::lock_guard<std::mutex> lock(Table().mutex);
  auto record = Table().irps.find(irp);
  if (record != Table().irps.end()) record->second.walker = nullptr;
}

bool ResumeCompletion(PIRP irp) {
  IrpTable& t = Table();
  std::string problem;
  Check check = Check::IrpCompletedTwice;
  {
    std::lock_guard<std::mutex> lock(t.mutex);
    auto record = t.irps.find(irp);
    if (record == t.irps.end()) {
      check = Check::IrpFreedInUse;
      problem = "IRP " + PointerText(irp) +
                " was freed by its completion routine, which did not return STATUS_MORE_PROCESSING_REQUIRED";
    } else if (record->second.walker != nullptr) {
      problem = "IRP " + PointerText(irp) + " was completed again while its completion routine ran";
    } else {
      record->second.walker = &CurrentThread();
      return true;
    }
  }
  Verifier::Report(check, "IofCompleteRequest", problem);
  return false;
}

void FinishTopCompletion(PIRP irp) {
  IrpTable& t = Table();
  IrpRecord record;
  bool problem = false;
  {
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.irps.find(irp);
    if (it == t.irps.end()) return;
    it->second.walker = nullptr;
    if (!it->second.built) {
      problem = true;
    } else {
      record = it->second;
      ForgetIrpLocked(t, irp);
    }
  }
  if (problem) {
    // Windows would queue the I/O manager's completion to the IRP's thread, which an IRP
    // a driver allocated does not have; here it simply goes back to its owner.
    Verifier::Report(Check::IrpCompletedToTop, "IofCompleteRequest",
                     "IRP " + PointerText(irp) +
                         ", allocated by a driver (IoAllocateIrp/IoInitializeIrp), was completed past its top stack "
                         "location: its sender's completion routine must return STATUS_MORE_PROCESSING_REQUIRED");
    return;
  }
  // The I/O manager's completion for a built IRP: output copied back for buffered I/O,
  // status block and event delivered, unless a failure was returned synchronously (the
  // caller then has the status from IoCallDriver), and the IRP freed.
  const NTSTATUS status = irp->IoStatus.Status;
  if (record.systemBuffer != nullptr && (irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(status) &&
      record.outputBuffer != nullptr) {
    const std::size_t copy = irp->IoStatus.Information < record.outputLength ? irp->IoStatus.Information
                                                                             : record.outputLength;
    std::memcpy(record.outputBuffer, record.systemBuffer, copy);
  }
  const bool deliver = !NT_ERROR(status) || irp->PendingReturned;
  PKEVENT event = irp->UserEvent;
  if (deliver && irp->UserIosb != NULL) *irp->UserIosb = irp->IoStatus;
  std::free(record.systemBuffer);
  std::free(record.mdl);
  ReleaseIrpMemory(irp, record.allocationSize);
  if (deliver && event != NULL) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

std::uint64_t IrpSerial() {
  std::lock_guard<std::mutex> lock(Table().mutex);
  return Table().serial;
}

void ReportIrpLeaks(std::uint64_t since, std::string_view context) {
  IrpTable& t = Table();
  std::vector<std::pair<PIRP, IrpRecord>> leaked;
  {
    std::lock_guard<std::mutex> lock(t.mutex);
    for (const auto& [irp, record] : t.irps) {
      if (record.serial > since) leaked.emplace_back(irp, record);
    }
    for (const auto& entry : leaked) ForgetIrpLocked(t, entry.first);
  }
  for (const auto& [irp, record] : leaked) {
    Verifier::Report(Check::IrpLeaked, record.built ? "IoBuildDeviceIoControlRequest" : "IoAllocateIrp",
                     "IRP " + PointerText(irp) + " still allocated " + std::string(context) +
                         (irp->CurrentLocation <= irp->StackCount ? " (a driver still holds it)" : ""));
    if (record.allocationSize != 0) {
      std::free(record.systemBuffer);
      std::free(record.mdl);
      ReleaseIrpMemory(irp, record.allocationSize);
    }
  }
}

}  // namespace hosted::detail

namespace hosted {

std::size_t OutstandingIrps() {
  std::lock_guard<std::mutex> lock(Table().mutex);
  return Table().irps.size();
}

}  // namespace hosted

// ---- IoGetNextIrpStackLocation (underflow) ---------------------------------------------
extern "C" PIO_STACK_LOCATION HostedNextStackUnderflow(PIRP Irp, const char* Routine) {
  Verifier::Report(Check::IrpStackUnderflow, Routine,
                   "IRP " + PointerText(Irp) + " has no stack location below the current one (" +
                       std::to_string(Irp->StackCount) + " allocated); writes go to a scratch location");
  return ScratchStackLocation(Irp);
}

std::uint64_t hosted::Irps::Allocations() {
  IrpTable& t = Table();
  std::lock_guard<std::mutex> lock(t.mutex);
  return t.allocations;
}

// ---- IoAllocateIrp ---------------------------------------------------------------------
extern "C" PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  if (CurrentIrql() > DISPATCH_LEVEL) {
    Verifier::Report(Check::IrqlInvalid, "IoAllocateIrp", "called above DISPATCH_LEVEL");
  }
  return AllocateIrp("IoAllocateIrp", StackSize, ChargeQuota != FALSE, __builtin_return_address(0));
}

// ---- IoInitializeIrp -------------------------------------------------------------------
// Zeroes and sets up the packet; an IRP in memory the I/O manager did not allocate is
// adopted (and must then never go to IoFreeIrp).
extern "C" VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  if (StackSize < 0 || PacketSize < IoSizeOfIrp(StackSize)) {
    Verifier::Report(Check::InvalidParameter, "IoInitializeIrp",
                     "packet size " + std::to_string(PacketSize) + " too small for " + std::to_string(StackSize) +
                         " stack locations (needs " + std::to_string(IoSizeOfIrp(StackSize < 0 ? 0 : StackSize)) + ")");
    return;
  }
  IrpTable& t = Table();
  std::string problem;
  {
    std::lock_guard<std::mutex> lock(t.mutex);
    auto record = t.irps.find(Irp);
    if (record == t.irps.end()) {
      t.NewRecordLocked(Irp).serial = ++t.serial;
    } else if (record->second.allocationSize != 0 && PacketSize > record->second.allocationSize) {
      problem = "packet size " + std::to_string(PacketSize) + " overruns the IRP's allocation of " +
                std::to_string(record->second.allocationSize) + " bytes";
    } else {
      for (std::uint64_t id : record->second.frames) {
        if (!t.frames.at(id).walked) problem = "IRP " + PointerText(Irp) + " re-initialised while a driver holds it";
      }
    }
  }
  if (!problem.empty()) {
    Verifier::Report(Check::InvalidParameter, "IoInitializeIrp", problem);
    return;
  }
  InitializeIrpMemory(Irp, PacketSize, StackSize);
}

// ---- IoFreeIrp -------------------------------------------------------------------------
extern "C" VOID NTAPI IoFreeIrp(PIRP Irp) {
  IrpTable& t = Table();
  Check check = Check::IrpFreedTwice;
  std::string problem;
  std::size_t size = 0;
  {
    std::lock_guard<std::mutex> lock(t.mutex);
    auto record = t.irps.find(Irp);
    if (record == t.irps.end()) {
      problem = "IRP " + PointerText(Irp) + " is not allocated (freed twice, or freed by the I/O manager)";
    } else if (record->second.allocationSize == 0) {
      check = Check::InvalidParameter;
      problem = "IRP " + PointerText(Irp) + " lives in its owner's memory and was not allocated by IoAllocateIrp";
    } else if (record->second.built) {
      check = Check::IrpFreedInUse;
      problem = "IRP " + PointerText(Irp) + " was built by IoBuildDeviceIoControlRequest: the I/O manager frees it";
    } else if (record->second.walker != nullptr) {
      check = Check::IrpFreedInUse;
      problem = "IRP " + PointerText(Irp) + " freed while its completion is running";
    } else {
      for (std::uint64_t id : record->second.frames) {
        const Frame& frame = t.frames.at(id);
        if (!frame.walked) {
          check = Check::IrpFreedInUse;
          problem = IrpText(Irp, frame.major, frame.minor) + " freed while the driver at stack location " +
                    std::to_string(frame.level) + " still holds it (sent down, not completed back)";
          break;
        }
      }
      if (problem.empty()) {
        size = record->second.allocationSize;
        ForgetIrpLocked(t, Irp);
      }
    }
  }
  if (!problem.empty()) {
    // A checked free is refused: the IRP stays allocated, its holders keep working.
    Verifier::Report(check, "IoFreeIrp", problem);
    return;
  }
  ReleaseIrpMemory(Irp, size);
}

// ---- IofCallDriver ---------------------------------------------------------------------
// Moves to the target's stack location and runs its dispatch routine in this thread.
extern "C" NTSTATUS __fastcall IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const KIRQL irql = CurrentIrql();
  if (irql > DISPATCH_LEVEL) {
    Verifier::Report(Check::IrqlInvalid, "IofCallDriver", "called above DISPATCH_LEVEL");
  }
  if (!IsLiveIrp(Irp)) {
    Verifier::Report(Check::IrpUnknown, "IofCallDriver", "IRP " + PointerText(Irp) + " is not allocated");
    return STATUS_INVALID_PARAMETER;
  }
  if (Irp->CurrentLocation <= 1) return FailUnderflow(DeviceObject, Irp);
  if (!IsLiveDevice(DeviceObject)) {
    Verifier::Report(Check::DeviceInvalid, "IofCallDriver",
                     "IRP " + PointerText(Irp) + " sent to " + PointerText(DeviceObject) +
                         ", which is not a device object (deleted?)");
    return FailAtTarget(DeviceObject, Irp, STATUS_NO_SUCH_DEVICE);
  }
  Irp->CurrentLocation--;
  Irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  location->DeviceObject = DeviceObject;
  const UCHAR major = location->MajorFunction;
  const UCHAR minor = location->MinorFunction;
  if (!CurrentThread().heldLocks.empty()) CheckNoSpinLockHeldAtCall("IofCallDriver", IrpText(Irp, major, minor));
  if (major > IRP_MJ_MAXIMUM_FUNCTION) {
    Verifier::Report(Check::InvalidParameter, "IofCallDriver", "major function " + Hex(major, 2) + " out of range");
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    return FailAtTarget(DeviceObject, Irp, STATUS_INVALID_DEVICE_REQUEST);
  }
  std::uint64_t id;
  {
    IrpTable& t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    id = ++t.nextFrame;
    t.NewFrameLocked(id, Frame{Irp, Irp->CurrentLocation, major, minor});
    t.irps.at(Irp).frames.push_back(id);
  }
  if (major == IRP_MJ_POWER) NotePowerDispatch(DeviceObject, Irp);
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[major];
  const std::size_t locks = CurrentThread().heldLocks.size();
  const NTSTATUS status = dispatch(DeviceObject, Irp);
  if (!ReturnedClean(irql, locks)) CheckRoutineReturn(("dispatch routine for " + MajorName(major)).c_str(), irql, locks);
  EndFrame(id, status, Irp, major, minor);
  return status;
}

// ---- IoBuildDeviceIoControlRequest -----------------------------------------------------
// Builds a device-control IRP for the target's stack; the I/O manager frees it when it
// completes, after writing the status block and setting the event.
extern "C" PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  if (CurrentIrql() != PASSIVE_LEVEL) {
    Verifier::Report(Check::IrqlInvalid, "IoBuildDeviceIoControlRequest", "called above PASSIVE_LEVEL");
  }
  if (!IsLiveDevice(DeviceObject)) {
    Verifier::Report(Check::DeviceInvalid, "IoBuildDeviceIoControlRequest", "target is not a device object");
    return NULL;
  }
  PIRP irp = AllocateIrp("IoBuildDeviceIoControlRequest", DeviceObject->StackSize, false, __builtin_return_address(0));
  if (irp == NULL) return NULL;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  void* systemBuffer = nullptr;
  PMDL mdl = nullptr;
  switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
      const ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
      if (length != 0) {
        systemBuffer = std::calloc(1, length);
        if (InputBuffer != NULL && InputBufferLength != 0) std::memcpy(systemBuffer, InputBuffer, InputBufferLength);
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (OutputBuffer != NULL ? IRP_INPUT_OPERATION : 0);
      }
      irp->AssociatedIrp.SystemBuffer = systemBuffer;
      irp->UserBuffer = OutputBuffer;
      break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (InputBufferLength != 0 && InputBuffer != NULL) {
        systemBuffer = std::calloc(1, InputBufferLength);
        std::memcpy(systemBuffer, InputBuffer, InputBufferLength);
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      }
      irp->AssociatedIrp.SystemBuffer = systemBuffer;
      if (OutputBuffer != NULL && OutputBufferLength != 0) {
        mdl = static_cast<PMDL>(std::calloc(1, sizeof(MDL)));
        mdl->Size = sizeof(MDL);
        mdl->MdlFlags = MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED;
        mdl->MappedSystemVa = OutputBuffer;
        mdl->StartVa = reinterpret_cast<PVOID>(reinterpret_cast<ULONG_PTR>(OutputBuffer) & ~static_cast<ULONG_PTR>(PAGE_SIZE - 1));
        mdl->ByteOffset = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(OutputBuffer) & (PAGE_SIZE - 1));
        mdl->ByteCount = OutputBufferLength;
        irp->MdlAddress = mdl;
      }
      break;
    default:  // METHOD_NEITHER
      next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
      irp->UserBuffer = OutputBuffer;
      break;
  }
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(&CurrentThread());
  std::lock_guard<std::mutex> lock(Table().mutex);
  IrpRecord& record = Table().irps.at(irp);
  record.built = true;
  record.systemBuffer = systemBuffer;
  record.mdl = mdl;
  record.outputBuffer = OutputBuffer;
  record.outputLength = OutputBufferLength;
  return irp;
}

// ---- IoAllocateMdl ---------------------------------------------------------------------
// Describes a buffer that is already mapped (all hosted memory is).
extern "C" PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                                   PIRP Irp) {
  (void)ChargeQuota;
  PMDL mdl = static_cast<PMDL>(AllocateForCaller("IoAllocateMdl", NonPagedPoolNx, sizeof(MDL), 'lMoI', __builtin_return_address(0)));
  if (mdl == NULL) return NULL;
  std::memset(mdl, 0, sizeof(MDL));
  mdl->Size = sizeof(MDL);
  mdl->MappedSystemVa = VirtualAddress;
  mdl->StartVa = reinterpret_cast<PVOID>(reinterpret_cast<ULONG_PTR>(VirtualAddress) & ~static_cast<ULONG_PTR>(PAGE_SIZE - 1));
  mdl->ByteOffset = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(VirtualAddress) & (PAGE_SIZE - 1));
  mdl->ByteCount = Length;
  if (Irp != NULL) {
    if (SecondaryBuffer && Irp->MdlAddress != NULL) {
      PMDL last = Irp->MdlAddress;
      while (last->Next != NULL) last = last->Next;
      last->Next = mdl;
    } else if (!SecondaryBuffer) {
      Irp->MdlAddress = mdl;
    }
  }
  return mdl;
}

// ---- IoFreeMdl -------------------------------------------------------------------------
extern "C" VOID NTAPI IoFreeMdl(PMDL Mdl) { ExFreePoolWithTag(Mdl, 'lMoI'); }

// ---- MmBuildMdlForNonPagedPool ---------------------------------------------------------
extern "C" VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA;
}
