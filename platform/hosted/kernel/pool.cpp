// Pool: tagged blocks with bookkeeping, verifier checks and failure injection.
//
// Every block sits between two guard zones filled with kPoolGuardByte, inside the one
// allocation that holds it (so AddressSanitizer still sees accesses beyond the zones). The
// guards are checked when the block is freed, at every leak check and at the end of each
// test; a freed block is filled with kPoolFreedByte and, outside AddressSanitizer builds
// (whose own quarantine does this job), kept a while in a bounded quarantine whose pattern
// is checked when it leaves, so that a write after the free shows.
#include "pool.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <random>
#include <unordered_map>

#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace {

constexpr std::size_t kGuardSize = 16;             // before the block, and at least this after it
constexpr std::size_t kQuarantineBlocks = 256;     // freed blocks kept poisoned ...
constexpr std::size_t kQuarantineBytes = 1 << 20;  // ... up to this many bytes of them

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kQuarantine = false;  // AddressSanitizer's own quarantine catches stale use
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kQuarantine = false;
#else
constexpr bool kQuarantine = true;
#endif
#else
constexpr bool kQuarantine = true;
#endif

std::size_t Rounded(std::size_t size) { return (size + 15) & ~static_cast<std::size_t>(15); }
unsigned char* BaseOf(void* block) { return static_cast<unsigned char*>(block) - kGuardSize; }
// Bytes after the block that belong to its rear guard.
std::size_t RearGuard(std::size_t size) { return Rounded(size) - size + kGuardSize; }

struct BlockInfo {
  ULONG tag;
  POOL_TYPE type;
  std::size_t size;
  std::uint64_t serial;
  const char* routine;  // the allocating kernel routine
  const void* caller;   // its caller, where known
};

struct Quarantined {
  void* block;
  BlockInfo info;
};

struct RuleState {
  FailureRule rule;
  std::uint64_t matches = 0;
  std::uint64_t failures = 0;
  std::mt19937 random;
};

// The freed blocks kept poisoned, oldest first, in a fixed ring.
class Quarantine {
 public:
  std::size_t size() const { return count_; }
  std::size_t bytes() const { return bytes_; }
  const Quarantined& operator[](std::size_t i) const { return ring_[(first_ + i) % ring_.size()]; }
  // Room for one more than the bound: a free adds its block, then the oldest leave.
  void PushBack(const Quarantined& entry) {
    ring_[(first_ + count_) % ring_.size()] = entry;
    ++count_;
    bytes_ += entry.info.size;
  }
  Quarantined PopFront() {
    const Quarantined entry = ring_[first_];
    first_ = (first_ + 1) % ring_.size();
    --count_;
    bytes_ -= entry.info.size;
    return entry;
  }

 private:
  std::array<Quarantined, kQuarantineBlocks + 1> ring_{};
  std::size_t first_ = 0;
  std::size_t count_ = 0;
  std::size_t bytes_ = 0;
};

// A block's record moves between the live and the freed table (the node itself, so that
// allocating and freeing an address that was in use before allocates no record).
using BlockTable = std::unordered_map<void*, BlockInfo>;

struct PoolState {
  std::mutex mutex;
  BlockTable live;
  BlockTable freed;  // until the address is handed out again
  Quarantine quarantine;
  std::uint64_t serial = 0;
  std::unordered_map<ULONG, std::uint64_t> allocationsByTag;
  std::vector<RuleState> rules;
  std::uint64_t attempts = 0;
  std::uint64_t injected = 0;
  struct LoggedAttempt {
    const char* routine;
    ULONG tag;
    SIZE_T size;
    std::string caller;  // named when logged: a driver image's routines are gone after unload
    bool allocation;
    bool failed;
  };
  bool logging = false;
  std::vector<LoggedAttempt> log;
};

PoolState& State() {
  static PoolState* state = new PoolState();
  return *state;
}

// The types a driver may ask for: paged pool and non-executable non-paged pool, each also
// cache-aligned; executable non-paged pool (NonPagedPool without the NX opt-in) is known
// but refused as Driver Verifier's code integrity check refuses it; anything else (the
// must-succeed and session types, garbage) is a misuse.
enum class PoolTypeKind { Accepted, Executable, Invalid };
PoolTypeKind ClassifyPoolType(POOL_TYPE type) {
  switch (static_cast<int>(type)) {
    case PagedPool:
    case PagedPoolCacheAligned:
    case NonPagedPoolNx:
    case NonPagedPoolNxCacheAligned:
      return PoolTypeKind::Accepted;
    case 0:  // NonPagedPool, NonPagedPoolExecute
    case 4:  // NonPagedPoolCacheAligned
      return PoolTypeKind::Executable;
    default:
      return PoolTypeKind::Invalid;
  }
}

bool IsPagedType(POOL_TYPE type) {
  return (static_cast<int>(type) & 1) != 0 && static_cast<int>(type) < static_cast<int>(NonPagedPoolNx);
}

thread_local int injectionExempt = 0;  // InjectionExemptScope nesting in this thread

std::string CallerText(const void* address);

// With the pool lock held: whether this call fails under the rules.
bool MatchRulesLocked(PoolState& s, const char* routine, ULONG tag, SIZE_T size, bool isAllocation,
                      NTSTATUS* status, const void* caller);

bool MatchRules(PoolState& s, const char* routine, ULONG tag, SIZE_T size, bool isAllocation, NTSTATUS* status,
                const void* caller) {
  if (injectionExempt > 0) return false;
  if (isAllocation) s.attempts++;
  const bool failed = MatchRulesLocked(s, routine, tag, size, isAllocation, status, caller);
  if (s.logging) s.log.push_back({routine, tag, size, caller != nullptr ? CallerText(caller) : std::string(), isAllocation, failed});
  return failed;
}

bool MatchRulesLocked(PoolState& s, const char* routine, ULONG tag, SIZE_T size, bool isAllocation,
                      NTSTATUS* status, const void*) {
  for (RuleState& r : s.rules) {
    const FailureRule& rule = r.rule;
    if (rule.routine.empty() ? !isAllocation : rule.routine != routine) continue;
    if (rule.tag != 0 && rule.tag != tag) continue;
    if (rule.size != 0 && rule.size != size) continue;
    if (rule.maxFailures != 0 && r.failures >= rule.maxFailures) continue;
    const std::uint64_t match = ++r.matches;
    bool fail;
    if (rule.probability > 0) {
      fail = std::uniform_real_distribution<double>(0.0, 1.0)(r.random) < rule.probability;
    } else if (rule.nth != 0) {
      fail = match == rule.nth;
    } else {
      fail = match > rule.skip;
    }
    if (fail) {
      r.failures++;
      s.injected++;
      if (status != NULL) *status = rule.status;
      return true;
    }
  }
  return false;
}

std::atomic<CodeAddressNamer> codeAddressNamer{nullptr};

// "CcidExchange+0x4c" or "driver_tests+0x1a2b3" (for addr2line) for a code address;
// "ccid.sys+0x1234 (CcidExchange+0x4c)" in a driver image.
std::string CallerText(const void* address) {
  if (const CodeAddressNamer namer = codeAddressNamer.load(); namer != nullptr && address != nullptr) {
    std::string name = namer(address);
    if (!name.empty()) return name;
  }
  Dl_info info;
  if (address == nullptr || dladdr(address, &info) == 0) return PointerText(address);
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  if (info.dli_sname != nullptr && info.dli_saddr != nullptr) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled != nullptr ? demangled : info.dli_sname;
    std::free(demangled);
    return name + "+" + Hex(at - reinterpret_cast<std::uintptr_t>(info.dli_saddr));
  }
  std::string module = info.dli_fname != nullptr ? info.dli_fname : "?";
  const std::size_t slash = module.rfind('/');
  if (slash != std::string::npos) module.erase(0, slash + 1);
  return module + "+" + Hex(at - reinterpret_cast<std::uintptr_t>(info.dli_fbase));
}

// "block 0x... (tag 'TAL_', 24 bytes, from ExAllocatePoolWithTag called by ...)".
std::string BlockText(const void* block, const BlockInfo& info) {
  std::string text = "block " + PointerText(block) + " (tag " + TagText(info.tag) + ", " + std::to_string(info.size) +
                     " bytes, from " + info.routine;
  if (info.caller != nullptr) text += " called by " + CallerText(info.caller);
  return text + ")";
}

void FillGuards(void* block, std::size_t size) {
  std::memset(BaseOf(block), kPoolGuardByte, kGuardSize);
  std::memset(static_cast<unsigned char*>(block) + size, kPoolGuardByte, RearGuard(size));
}

// Whether all `n` bytes at `bytes` hold `value`: a guard zone (16 to 31 bytes) and a small
// block word by word, the last word overlapping the one before; a longer run by a
// vectorised compare of the bytes with themselves shifted by one. The checks of every
// free stay cheap.
bool AllBytesAre(const unsigned char* bytes, std::size_t n, unsigned char value) {
  constexpr std::size_t kWord = sizeof(std::uint64_t);
  if (n < kWord) {
    for (std::size_t i = 0; i < n; ++i) {
      if (bytes[i] != value) return false;
    }
    return true;
  }
  if (n > 8 * kWord) return bytes[0] == value && std::memcmp(bytes, bytes + 1, n - 1) == 0;
  const std::uint64_t pattern = 0x0101010101010101ull * value;
  std::uint64_t word;
  for (std::size_t i = 0; i + kWord < n; i += kWord) {
    std::memcpy(&word, bytes + i, kWord);
    if (word != pattern) return false;
  }
  std::memcpy(&word, bytes + n - kWord, kWord);
  return word == pattern;
}

// The first changed byte of a guard zone, described; empty when both are intact.
std::string GuardDamage(const void* block, std::size_t size) {
  const unsigned char* front = BaseOf(const_cast<void*>(block));
  if (AllBytesAre(front, kGuardSize, kPoolGuardByte) &&
      AllBytesAre(static_cast<const unsigned char*>(block) + size, RearGuard(size), kPoolGuardByte)) {
    return std::string();
  }
  for (std::size_t i = 0; i < kGuardSize; ++i) {
    if (front[i] != kPoolGuardByte) return "written " + std::to_string(kGuardSize - i) + " byte(s) before its start";
  }
  const unsigned char* rear = static_cast<const unsigned char*>(block) + size;
  const std::size_t rearSize = RearGuard(size);
  for (std::size_t i = rearSize; i-- > 0;) {
    if (rear[i] != kPoolGuardByte) return "written " + std::to_string(i + 1) + " byte(s) past its end";
  }
  return std::string();
}

// A damaged guard described for the report, its guards then put back so that one overrun
// is reported once; empty when both guards are intact.
std::string GuardReport(void* block, const BlockInfo& info, std::string_view context) {
  const std::string damage = GuardDamage(block, info.size);
  if (damage.empty()) return damage;
  FillGuards(block, info.size);
  return BlockText(block, info) + " overrun: " + damage + " " + std::string(context);
}

// A block in the quarantine whose freed pattern or guards changed, described; empty when
// it is as the free left it.
std::string QuarantineReport(const Quarantined& entry) {
  const auto* bytes = static_cast<const unsigned char*>(entry.block);
  const std::size_t scan = AllBytesAre(bytes, entry.info.size, kPoolFreedByte) ? 0 : entry.info.size;
  for (std::size_t i = 0; i < scan; ++i) {
    if (bytes[i] != kPoolFreedByte) {
      std::memset(entry.block, kPoolFreedByte, entry.info.size);  // reported once
      return BlockText(entry.block, entry.info) + " written after it was freed (offset " + std::to_string(i) + ")";
    }
  }
  return GuardReport(entry.block, entry.info, "after it was freed");
}

// The largest block the hosted pool hands out. Windows' pools live in a limited part of
// kernel address space and fail an allocation of gigabytes; the host's allocator (with
// over-commit, or under ASan) would grant it and let the zeroing that follows exhaust the
// machine, so the hosted pool fails it as Windows would.
constexpr SIZE_T kPoolBlockLimit = SIZE_T{256} << 20;

PVOID Allocate(const char* routine, POOL_TYPE type, SIZE_T size, ULONG tag, const void* caller = nullptr) {
  const KIRQL irql = CurrentIrql();
  if (irql > DISPATCH_LEVEL) {
    Verifier::Report(Check::IrqlInvalid, routine, "pool allocated above DISPATCH_LEVEL");
  } else if (irql == DISPATCH_LEVEL && IsPagedType(type)) {
    Verifier::Report(Check::PagedPoolAtDispatch, routine,
                     "paged pool (tag " + TagText(tag) + ", " + std::to_string(size) + " bytes) at DISPATCH_LEVEL");
  }
  if (size == 0) {
    Verifier::Report(Check::PoolZeroSize, routine,
                     "zero bytes of pool asked for with tag " + TagText(tag) +
                         (caller != nullptr ? " by " + CallerText(caller) : std::string()));
  }
  switch (ClassifyPoolType(type)) {
    case PoolTypeKind::Accepted: break;
    case PoolTypeKind::Executable:
      Verifier::Report(Check::ExecutablePool, routine,
                       "executable non-paged pool (tag " + TagText(tag) + ", " + std::to_string(size) + " bytes" +
                           (caller != nullptr ? ", by " + CallerText(caller) : std::string()) +
                           "): ask for NonPagedPoolNx, or build with POOL_NX_OPTIN and call "
                           "ExInitializeDriverRuntime(DrvRtPoolNxOptIn) at entry");
      break;
    case PoolTypeKind::Invalid:
      Verifier::Report(Check::InvalidParameter, routine,
                       "pool type " + std::to_string(static_cast<int>(type)) + " (tag " + TagText(tag) + ")");
      break;
  }
  PoolState& s = State();
  // The memory is made ready first, so that one lock round trip decides the failure rules
  // and records the block (a guard check sees only filled guards); a call the rules fail
  // gives it back.
  auto* base = size > kPoolBlockLimit
                   ? nullptr
                   : static_cast<unsigned char*>(std::aligned_alloc(16, kGuardSize + Rounded(size) + kGuardSize));
  void* block = base != NULL ? base + kGuardSize : nullptr;
  if (base != NULL) {
    std::memset(block, kPoolFreshByte, size);
    FillGuards(block, size);
  }
  std::unique_lock<std::mutex> lock(s.mutex);
  if (MatchRules(s, routine, tag, size, true, NULL, caller) || base == NULL) {
    lock.unlock();
    std::free(base);
    return NULL;
  }
  const BlockInfo info{tag, type, size, ++s.serial, routine, caller};
  BlockTable::node_type node = s.freed.extract(block);
  if (node.empty()) {
    s.live[block] = info;
  } else {
    node.mapped() = info;
    s.live.insert(std::move(node));
  }
  ++s.allocationsByTag[tag];
  return block;
}

// Frees a block; `expectedTag` 0 means no tag check (ExFreePool). One lock round trip
// finds the block, checks its guards, poisons it and moves it to the quarantine (the block
// is the caller's until then: no other thread reads it); the reports go out after it.
void Free(const char* routine, PVOID block, ULONG expectedTag) {
  if (block == NULL) {
    Verifier::Report(Check::PoolBadPointer, routine, "NULL pointer freed");
    return;
  }
  PoolState& s = State();
  BlockInfo info;
  std::string problem;
  Check check = Check::PoolBadPointer;
  std::string overrun;
  std::vector<std::string> stale;  // allocates only for a report
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    BlockTable::node_type node = s.live.extract(block);
    if (node.empty()) {
      auto freed = s.freed.find(block);
      if (freed != s.freed.end()) {
        check = Check::PoolDoubleFree;
        problem = "block " + PointerText(block) + " (tag " + TagText(freed->second.tag) + ", " +
                  std::to_string(freed->second.size) + " bytes) freed twice";
      } else {
        problem = PointerText(block) + " is not a pool block";
      }
    } else {
      info = node.mapped();
      s.freed.insert(std::move(node));
      overrun = GuardReport(block, info, "when it was freed");
      std::memset(block, kPoolFreedByte, info.size);
      if (!kQuarantine) {
        std::free(BaseOf(block));
      } else {
        s.quarantine.PushBack(Quarantined{block, info});
        while (s.quarantine.size() > kQuarantineBlocks || s.quarantine.bytes() > kQuarantineBytes) {
          const Quarantined entry = s.quarantine.PopFront();
          std::string report = QuarantineReport(entry);
          if (!report.empty()) stale.push_back(std::move(report));
          std::free(BaseOf(entry.block));
        }
      }
    }
  }
  if (!problem.empty()) {
    // The block stays as it is: freeing it again or freeing foreign memory is refused.
    Verifier::Report(check, routine, problem);
    return;
  }
  if (expectedTag != 0 && expectedTag != info.tag) {
    Verifier::Report(Check::PoolWrongTag, routine,
                     "block " + PointerText(block) + " allocated with tag " + TagText(info.tag) +
                         " freed with tag " + TagText(expectedTag));
  }
  const KIRQL irql = CurrentIrql();
  if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && IsPagedType(info.type))) {
    Verifier::Report(Check::PagedPoolAtDispatch, routine,
                     "block with tag " + TagText(info.tag) + " freed at IRQL " + std::to_string(irql));
  }
  if (!overrun.empty()) Verifier::Report(Check::PoolOverrun, routine, overrun);
  for (const std::string& report : stale) Verifier::Report(Check::PoolWriteAfterFree, routine, report);
}

}  // namespace

namespace hosted::detail {

InjectionExemptScope::InjectionExemptScope() { ++injectionExempt; }
InjectionExemptScope::~InjectionExemptScope() { --injectionExempt; }

bool ShouldFailAllocation(const char* routine, ULONG tag, SIZE_T size, const void* caller) {
  if (injectionExempt > 0) return false;  // as MatchRules decides, without the lock
  std::lock_guard<std::mutex> lock(State().mutex);
  return MatchRules(State(), routine, tag, size, true, NULL, caller);
}

bool ShouldFailCall(const char* routine, NTSTATUS* status, const void* caller) {
  std::lock_guard<std::mutex> lock(State().mutex);
  return MatchRules(State(), routine, 0, 0, false, status, caller);
}

PVOID AllocateForCaller(const char* routine, POOL_TYPE type, SIZE_T size, ULONG tag, const void* caller) {
  return Allocate(routine, type, size, tag, caller);
}

std::uint64_t PoolSerial() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().serial;
}

// Under the pool lock no block leaves the live set or the quarantine, so every one checked
// is still mapped; the reports go out after the lock.
std::size_t CheckPoolGuards(std::string_view context) {
  std::vector<std::string> overruns;
  std::vector<std::string> stale;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    for (const auto& [block, info] : State().live) {
      std::string report = GuardReport(block, info, context);
      if (!report.empty()) overruns.push_back(std::move(report));
    }
    const Quarantine& quarantine = State().quarantine;
    for (std::size_t i = 0; i < quarantine.size(); ++i) {
      std::string report = QuarantineReport(quarantine[i]);
      if (!report.empty()) stale.push_back(std::move(report));
    }
  }
  for (const std::string& report : overruns) Verifier::Report(Check::PoolOverrun, "pool guard check", report);
  for (const std::string& report : stale) Verifier::Report(Check::PoolWriteAfterFree, "pool guard check", report);
  return overruns.size() + stale.size();
}

std::size_t ReportPoolLeaks(std::uint64_t since, std::string_view routine, std::string_view context) {
  std::vector<std::pair<void*, BlockInfo>> leaked;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    for (const auto& [address, info] : State().live) {
      if (info.serial > since) leaked.emplace_back(address, info);
    }
  }
  if (leaked.empty()) return 0;
  std::string list;
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < leaked.size(); ++i) {
    bytes += leaked[i].second.size;
    if (i < 8) list += (i ? ", " : "") + TagText(leaked[i].second.tag) + "/" + std::to_string(leaked[i].second.size);
  }
  if (leaked.size() > 8) list += ", ...";
  Verifier::Report(Check::PoolLeak, routine,
                   std::to_string(leaked.size()) + " pool block(s), " + std::to_string(bytes) + " bytes, still allocated " +
                       std::string(context) + " (tag/size: " + list + ")");
  for (const auto& entry : leaked) Free("pool leak check", entry.first, 0);
  return leaked.size();
}

}  // namespace hosted::detail

namespace hosted {

std::vector<PoolBlock> Pool::Outstanding() {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::vector<PoolBlock> blocks;
  for (const auto& [address, info] : State().live) {
    blocks.push_back(PoolBlock{address, info.tag, info.type, info.size, info.serial});
  }
  return blocks;
}

std::size_t Pool::OutstandingCount(ULONG tag) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::size_t count = 0;
  for (const auto& entry : State().live) count += (tag == 0 || entry.second.tag == tag) ? 1 : 0;
  return count;
}

std::size_t Pool::OutstandingBytes(ULONG tag) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::size_t bytes = 0;
  for (const auto& entry : State().live) bytes += (tag == 0 || entry.second.tag == tag) ? entry.second.size : 0;
  return bytes;
}

std::uint64_t Pool::Allocations(ULONG tag) {
  if (tag == 0) return PoolSerial();
  std::lock_guard<std::mutex> lock(State().mutex);
  const auto found = State().allocationsByTag.find(tag);
  return found == State().allocationsByTag.end() ? 0 : found->second;
}

void AllocationFailures::Add(const FailureRule& rule) {
  std::lock_guard<std::mutex> lock(State().mutex);
  RuleState state;
  state.rule = rule;
  state.random.seed(rule.seed);
  State().rules.push_back(state);
}

void AllocationFailures::Clear() {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().rules.clear();
  State().attempts = 0;
  State().injected = 0;
  State().log.clear();
}

void AllocationFailures::FailNth(std::uint64_t nth) {
  FailureRule rule;
  rule.nth = nth;
  Add(rule);
}

void AllocationFailures::FailTag(ULONG tag, std::uint64_t nth) {
  FailureRule rule;
  rule.tag = tag;
  rule.nth = nth;
  Add(rule);
}

void AllocationFailures::FailSize(std::size_t size, std::uint64_t nth) {
  FailureRule rule;
  rule.size = size;
  rule.nth = nth;
  Add(rule);
}

void AllocationFailures::FailRoutine(const std::string& routine, NTSTATUS status, std::uint64_t nth) {
  FailureRule rule;
  rule.routine = routine;
  rule.status = status;
  rule.nth = nth;
  Add(rule);
}

void AllocationFailures::FailRandom(double probability, std::uint32_t seed) {
  FailureRule rule;
  rule.probability = probability;
  rule.seed = seed;
  rule.maxFailures = 0;
  Add(rule);
}

std::uint64_t AllocationFailures::Attempts() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().attempts;
}

std::uint64_t AllocationFailures::Injected() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().injected;
}

void AllocationFailures::LogAttempts(bool on) {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().logging = on;
}

// The callers are named here, not as the calls happen: symbol look-up is slow.
void SetCodeAddressNamer(CodeAddressNamer namer) { codeAddressNamer.store(namer); }

std::vector<AllocationAttempt> AllocationFailures::AttemptLog() {
  std::vector<PoolState::LoggedAttempt> log;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    log = State().log;
  }
  std::vector<AllocationAttempt> attempts;
  attempts.reserve(log.size());
  for (const PoolState::LoggedAttempt& entry : log) {
    attempts.push_back(AllocationAttempt{entry.routine, entry.tag, entry.size, entry.caller, entry.allocation,
                                         entry.failed});
  }
  return attempts;
}

std::string AllocationAttempt::ToString() const {
  std::string text = routine;
  if (allocation) text += " " + TagText(tag) + " " + std::to_string(size) + " bytes";
  if (!caller.empty()) text += " from " + caller;
  return text;
}

}  // namespace hosted

// ---- ExAllocatePoolWithTag -------------------------------------------------------------
extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return Allocate("ExAllocatePoolWithTag", PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

// ---- ExAllocatePool --------------------------------------------------------------------
extern "C" PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return Allocate("ExAllocatePool", PoolType, NumberOfBytes, 'enoN', __builtin_return_address(0));
}

// ---- ExFreePoolWithTag -----------------------------------------------------------------
extern "C" VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { Free("ExFreePoolWithTag", P, Tag); }

// ---- ExFreePool ------------------------------------------------------------------------
extern "C" VOID NTAPI ExFreePool(PVOID P) { Free("ExFreePool", P, 0); }
