// Whole-kernel state checks: what a test (or a tool run) left behind.
//
// A snapshot records how far each object counter had got. CheckForLeaks reports as
// violations everything created after the snapshot that still exists (IRPs, pool blocks,
// device objects, registry handles, work items, spin locks held), then releases it so that
// the next test starts clean.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace hosted {

struct KernelSnapshot {
  std::uint64_t pool = 0;
  std::uint64_t irps = 0;
  std::uint64_t devices = 0;
  std::uint64_t handles = 0;
  std::uint64_t workItems = 0;
};

KernelSnapshot TakeSnapshot();

// Waits for the work queue to drain, checks the guard bytes of every pool block (and the
// freed pattern of the quarantined ones), then reports leaks since `since`. `context` ends the
// messages, e.g. "at the end of the test".
// Returns the number of pool blocks it found leaked.
std::size_t CheckForLeaks(const KernelSnapshot& since, std::string_view context);

// Spin locks held by any thread: reported, then forgotten.
std::size_t HeldSpinLockCount();
void CheckNoSpinLocksHeld(std::string_view context);

// The calling thread back at PASSIVE_LEVEL (a raised IRQL is reported first).
void ResetCurrentThread(std::string_view context);

// Number of IRPs currently allocated (by IoAllocateIrp, IoBuild*, or initialised in place).
std::size_t OutstandingIrps();

// Blocks until every queued work item has run.
void DrainWorkQueue();
std::size_t PendingWorkItems();
// While held, queued work items wait (a hold point for tests that force an interleaving);
// HeldWorkItems counts those waiting.
void HoldWorkItems(bool hold);
std::size_t HeldWorkItems();

}  // namespace hosted
