// Pool inspection and allocation-failure injection.
//
// Every pool block is tracked with its tag, pool type, size and allocating routine. New
// blocks are filled with kPoolFreshByte and freed blocks with kPoolFreedByte, so reads of
// uninitialised or freed pool show up as those patterns. Guard zones of kPoolGuardByte lie
// before and after every block: a write into one is reported (pool-overrun) when the block
// is freed, at every leak check and at the end of each test. A zero-byte allocation is a
// violation (pool-zero-size), as under Driver Verifier.
//
// Failure injection applies to every allocating kernel routine: ExAllocatePool*,
// IoAllocateIrp, IoBuildDeviceIoControlRequest, IoCreateDevice, IoAllocateWorkItem,
// IoAllocateMdl and the Rtl/Io routines that allocate strings. Rules that name a routine
// may also name status-returning routines that allocate nothing (ZwOpenKey,
// IoOpenDeviceRegistryKey, IoAttachDeviceToDeviceStack, IoRegisterDeviceInterface ...):
// those then fail with the rule's status.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hosted {

constexpr unsigned char kPoolFreshByte = 0xC5;
constexpr unsigned char kPoolFreedByte = 0xDF;
constexpr unsigned char kPoolGuardByte = 0xFD;

struct PoolBlock {
  void* address;
  ULONG tag;
  POOL_TYPE type;
  std::size_t size;
  std::uint64_t serial;  // allocation order
};

class Pool {
 public:
  static std::vector<PoolBlock> Outstanding();
  // Outstanding blocks with this tag (any tag when 0).
  static std::size_t OutstandingCount(ULONG tag = 0);
  static std::size_t OutstandingBytes(ULONG tag = 0);
  // Number of successful pool allocations so far (with this tag; any tag when 0): the
  // difference across an operation is what it allocated.
  static std::uint64_t Allocations(ULONG tag = 0);
};

struct FailureRule {
  // Which calls the rule looks at. Empty routine: every allocation (not the status-only
  // routines). tag / size 0: any.
  std::string routine;
  ULONG tag = 0;
  std::size_t size = 0;
  // Which of those fail: the nth matching call (1-based; 0 = every one from `skip` on),
  // or each with `probability` (0 < p <= 1, seeded).
  std::uint64_t nth = 0;
  std::uint64_t skip = 0;
  double probability = 0;
  std::uint32_t seed = 1;
  std::uint64_t maxFailures = 1;  // 0 = unlimited
  // Status returned by routines that report a status instead of NULL.
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
};

// One call the injector saw: an allocation, or a call of a status-returning routine.
struct AllocationAttempt {
  std::string routine;  // the kernel routine called ("ExAllocatePoolWithTag", "IoAllocateIrp" ...)
  ULONG tag = 0;        // 0 for a status-returning routine
  std::size_t size = 0;
  std::string caller;   // the code that called it ("CcidSubmitUrb+0x4c"), where known
  bool allocation = true;
  bool failed = false;  // a rule made it fail
  // "ExAllocatePoolWithTag 'TAL_' 40 bytes from CcidSubmitUrb+0x4c".
  std::string ToString() const;
};

// Names code addresses that dladdr cannot: the image loader's driver images. Returns ""
// for an address it does not know. Set once by the image loader.
using CodeAddressNamer = std::string (*)(const void* address);
void SetCodeAddressNamer(CodeAddressNamer namer);

class AllocationFailures {
 public:
  static void Add(const FailureRule& rule);
  static void Clear();  // removes the rules and resets the counters

  // Shorthands.
  static void FailNth(std::uint64_t nth);  // the nth allocation from now
  static void FailTag(ULONG tag, std::uint64_t nth = 1);
  static void FailSize(std::size_t size, std::uint64_t nth = 1);
  static void FailRoutine(const std::string& routine, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES,
                          std::uint64_t nth = 1);
  static void FailRandom(double probability, std::uint32_t seed);

  // Allocation attempts seen since the last Clear (to fail each one in turn), and the
  // failures injected.
  static std::uint64_t Attempts();
  static std::uint64_t Injected();

  // While on, every call the injector sees (not those of exempt system threads) goes on a
  // log, in order, so a test can count what a scenario allocates and then fail each
  // allocation in turn by its routine, tag and occurrence. Clear empties the log.
  static void LogAttempts(bool on);
  static std::vector<AllocationAttempt> AttemptLog();
};

}  // namespace hosted
