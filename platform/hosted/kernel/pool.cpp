// Pool: tagged blocks with bookkeeping, verifier checks and failure injection.
#include "pool.h"

#include <cstdlib>
#include <cstring>
#include <random>
#include <unordered_map>

#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace {

struct BlockInfo {
  ULONG tag;
  POOL_TYPE type;
  std::size_t size;
  std::uint64_t serial;
};

struct FreedInfo {
  ULONG tag;
  std::size_t size;
};

struct RuleState {
  FailureRule rule;
  std::uint64_t matches = 0;
  std::uint64_t failures = 0;
  std::mt19937 random;
};

struct PoolState {
  std::mutex mutex;
  std::unordered_map<void*, BlockInfo> live;
  std::unordered_map<void*, FreedInfo> freed;  // until the address is handed out again
  std::uint64_t serial = 0;
  std::vector<RuleState> rules;
  std::uint64_t attempts = 0;
  std::uint64_t injected = 0;
};

PoolState& State() {
  static PoolState* state = new PoolState();
  return *state;
}

bool IsPagedType(POOL_TYPE type) {
  return (static_cast<int>(type) & 1) != 0 && static_cast<int>(type) < static_cast<int>(NonPagedPoolNx);
}

thread_local int injectionExempt = 0;  // InjectionExemptScope nesting in this thread

// With the pool lock held: whether this call fails under the rules.
bool MatchRulesLocked(PoolState& s, const char* routine, ULONG tag, SIZE_T size, bool isAllocation,
                      NTSTATUS* status) {
  if (injectionExempt > 0) return false;
  if (isAllocation) s.attempts++;
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

PVOID Allocate(const char* routine, POOL_TYPE type, SIZE_T size, ULONG tag) {
  const KIRQL irql = CurrentIrql();
  if (irql > DISPATCH_LEVEL) {
    Verifier::Report(Check::IrqlInvalid, routine, "pool allocated above DISPATCH_LEVEL");
  } else if (irql == DISPATCH_LEVEL && IsPagedType(type)) {
    Verifier::Report(Check::PagedPoolAtDispatch, routine,
                     "paged pool (tag " + TagText(tag) + ", " + std::to_string(size) + " bytes) at DISPATCH_LEVEL");
  }
  PoolState& s = State();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (MatchRulesLocked(s, routine, tag, size, true, NULL)) return NULL;
  }
  const std::size_t rounded = (size + 15) & ~static_cast<std::size_t>(15);
  void* block = std::aligned_alloc(16, rounded == 0 ? 16 : rounded);
  if (block == NULL) return NULL;
  std::memset(block, kPoolFreshByte, rounded == 0 ? 16 : rounded);
  std::lock_guard<std::mutex> lock(s.mutex);
  s.freed.erase(block);
  s.live[block] = BlockInfo{tag, type, size, ++s.serial};
  return block;
}

// Frees a block; `expectedTag` 0 means no tag check (ExFreePool).
void Free(const char* routine, PVOID block, ULONG expectedTag) {
  if (block == NULL) {
    Verifier::Report(Check::PoolBadPointer, routine, "NULL pointer freed");
    return;
  }
  PoolState& s = State();
  BlockInfo info;
  std::string problem;
  Check check = Check::PoolBadPointer;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.live.find(block);
    if (it == s.live.end()) {
      auto freed = s.freed.find(block);
      if (freed != s.freed.end()) {
        check = Check::PoolDoubleFree;
        problem = "block " + PointerText(block) + " (tag " + TagText(freed->second.tag) + ", " +
                  std::to_string(freed->second.size) + " bytes) freed twice";
      } else {
        problem = PointerText(block) + " is not a pool block";
      }
    } else {
      info = it->second;
      s.live.erase(it);
      s.freed[block] = FreedInfo{info.tag, info.size};
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
  std::memset(block, kPoolFreedByte, info.size);
  std::free(block);
}

}  // namespace

namespace hosted::detail {

InjectionExemptScope::InjectionExemptScope() { ++injectionExempt; }
InjectionExemptScope::~InjectionExemptScope() { --injectionExempt; }

bool ShouldFailAllocation(const char* routine, ULONG tag, SIZE_T size) {
  std::lock_guard<std::mutex> lock(State().mutex);
  return MatchRulesLocked(State(), routine, tag, size, true, NULL);
}

bool ShouldFailCall(const char* routine, NTSTATUS* status) {
  std::lock_guard<std::mutex> lock(State().mutex);
  return MatchRulesLocked(State(), routine, 0, 0, false, status);
}

PVOID AllocateForCaller(const char* routine, POOL_TYPE type, SIZE_T size, ULONG tag) {
  return Allocate(routine, type, size, tag);
}

std::uint64_t PoolSerial() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().serial;
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

std::uint64_t Pool::Allocations() { return PoolSerial(); }

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

}  // namespace hosted

// ---- ExAllocatePoolWithTag -------------------------------------------------------------
extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return Allocate("ExAllocatePoolWithTag", PoolType, NumberOfBytes, Tag);
}

// ---- ExAllocatePool --------------------------------------------------------------------
extern "C" PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return Allocate("ExAllocatePool", PoolType, NumberOfBytes, 'enoN');
}

// ---- ExAllocatePoolWithQuotaTag --------------------------------------------------------
extern "C" PVOID NTAPI ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return Allocate("ExAllocatePoolWithQuotaTag", PoolType, NumberOfBytes, Tag);
}

// ---- ExFreePoolWithTag -----------------------------------------------------------------
extern "C" VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { Free("ExFreePoolWithTag", P, Tag); }

// ---- ExFreePool ------------------------------------------------------------------------
extern "C" VOID NTAPI ExFreePool(PVOID P) { Free("ExFreePool", P, 0); }
