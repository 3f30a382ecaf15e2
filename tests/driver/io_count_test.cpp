// The outstanding-I/O count of a reader and its two events, as stop, removal and
// power-down observe them.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "CcidFrame.h"
#include "reader_device.h"

namespace {

using ccid_test::ReaderDevice;

struct CountCase {
  const char* name;
  const char* steps;  // '+' takes a reference, '-' drops one
  LONG count;
  bool noPendingIo;   // NoPendingIoEvent signalled at the end
  bool removed;       // RemoveEvent signalled at the end
};

void PrintTo(const CountCase& row, std::ostream* out) { *out << row.name; }

class IoCountTest : public ::testing::TestWithParam<CountCase> {};

TEST_P(IoCountTest, CountAndEventsFollowTheReferences) {
  ReaderDevice reader;
  PDEVICE_EXTENSION extension = reader.Extension();
  LONG expected = 1;
  for (const char* step = GetParam().steps; *step != '\0'; ++step) {
    if (*step == '+') {
      CcidIncrementIoCount(reader.Device());
      ++expected;
    } else {
      --expected;
      EXPECT_EQ(CcidDecrementIoCount(reader.Device()), expected) << "decrement returns the new count";
    }
  }
  EXPECT_EQ(extension->IoCount, GetParam().count);
  EXPECT_EQ(KeReadStateEvent(&extension->NoPendingIoEvent) != 0, GetParam().noPendingIo);
  EXPECT_EQ(KeReadStateEvent(&extension->RemoveEvent) != 0, GetParam().removed);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, IoCountTest,
    ::testing::Values(
        CountCase{"AfterAddDevice", "", 1, false, false},
        CountCase{"FirstRequestCompletes", "+-", 1, true, false},
        CountCase{"OverlappingRequests", "++-", 2, false, false},
        CountCase{"OverlappingRequestsDone", "++--", 1, true, false},
        // Never reset: a new request leaves the event signalled.
        CountCase{"SignalledStaysSignalled", "+-+", 2, true, false},
        // 1 -> 0 signals only RemoveEvent.
        CountCase{"BaseReferenceDroppedAlone", "-", 0, false, true},
        CountCase{"RemovalAfterRequests", "+--", 0, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

// References come and go from several threads, some at DISPATCH_LEVEL as completion
// routines run: no update is lost and the lock is always given back.
TEST(IoCount, ConcurrentReferencesBalance) {
  ReaderDevice reader;
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      KIRQL oldIrql = PASSIVE_LEVEL;
      if (t % 2 == 1) KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
      for (int i = 0; i < kRounds; ++i) {
        CcidIncrementIoCount(reader.Device());
        CcidDecrementIoCount(reader.Device());
      }
      if (t % 2 == 1) KeLowerIrql(oldIrql);
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(reader.Extension()->IoCount, 1);
  EXPECT_NE(KeReadStateEvent(&reader.Extension()->NoPendingIoEvent), 0);
  EXPECT_EQ(KeReadStateEvent(&reader.Extension()->RemoveEvent), 0);
}

}  // namespace
