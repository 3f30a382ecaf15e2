// The event ring and the parked event read meet three paths at once: the interrupt-pipe
// completion that fills them, the dispatch that reads or parks, and the cancel routine.
// An application that reads and cancels as fast as it can while the reader sends a burst
// of messages must receive every message exactly once, from a read or from the ring.

#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <atomic>
#include <set>

#include "CcidIoctl.h"
#include "CcidWire.h"
#include "driver_bench.h"
#include "scard.h"

namespace {

using ccid_test::Bytes;
using ccid_test::ReaderBench;

constexpr int kMessages = 120;

Bytes Message(int i) { return {CCID_RDR_TO_PC_HARDWARE_ERROR, 0, static_cast<std::uint8_t>(i), 1}; }

TEST(EventRace, EveryMessageArrivesOnceWhileReadsParkAndCancel) {
  hosted::Registry::SetDword("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ccid", "EventsFifoSize",
                             kMessages + 8);
  ReaderBench bench;
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto reader = scard::Reader::Open(bench.Bus().Pdo(), &status);
  ASSERT_EQ(status, STATUS_SUCCESS);

  std::multiset<Bytes> received;
  auto take = [&](const std::shared_ptr<hosted::UserRequest>& request) {
    const hosted::UserIoResult result = request->Result();
    if (result.status == STATUS_SUCCESS) {
      received.insert(Bytes(result.output.begin(), result.output.begin() + static_cast<long>(result.information)));
    } else {
      EXPECT_EQ(result.status, STATUS_CANCELLED);
    }
  };
  std::atomic<bool> sent{false};
  hosted::KernelThread application("application", [&] {
    for (int round = 0; !sent.load(); ++round) {
      auto request = reader->ControlAsync(IOCTL_CCID_READ_EVENT, {}, 8);
      if (round % 3 == 0) request->Cancel();
      request->Wait();
      take(request);
    }
  });
  for (int i = 0; i < kMessages; ++i) {
    bench.Reader().InjectInterrupt(Message(i));
    bench.WaitInterruptIdle();  // a reader keeps only a few messages for the host
  }
  sent = true;
  while (!application.Finished()) {  // a read may be parked on the empty ring
    reader->File().CancelIo();
    hosted::Scheduler::Settle();
  }
  application.Join();

  // What no read took is in the ring, oldest first; the empty ring parks the last read.
  for (;;) {
    auto request = reader->ControlAsync(IOCTL_CCID_READ_EVENT, {}, 8);
    hosted::Scheduler::Settle();
    if (!request->Done()) {
      request->Cancel();
      request->Wait();
      take(request);
      break;
    }
    take(request);
  }
  received.erase(Bytes{CCID_RDR_TO_PC_NOTIFY_SLOT_CHANGE, 0x00});  // the reader's first message
  std::multiset<Bytes> expected;
  for (int i = 0; i < kMessages; ++i) expected.insert(Message(i));
  EXPECT_EQ(received, expected);
}

}  // namespace
