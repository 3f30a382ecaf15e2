// The interrupt-in pipe on a started reader: messages delivered to a waiting event read or
// queued in the ring (17 entries by default, the oldest dropped when full), slot changes
// turned into the card state and card tracking, messages that are not interpreted, the
// abort, a failed re-arm, and the card state set before the pipe is armed.

#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <atomic>
#include <string>
#include <thread>

#include "CcidFrame.h"
#include "CcidGuards.h"
#include "CcidReader.h"
#include "CcidUsb.h"
#include "driver_bench.h"

namespace {

using ccid_test::Bytes;
using ccid_test::LibraryRequest;
using ccid_test::ReaderBench;

// The messages in the ring, oldest first.
std::vector<Bytes> Ring(PDEVICE_EXTENSION extension) {
  std::vector<Bytes> messages;
  SpinLockGuard guard(extension->EventLock);
  for (LONG at = extension->EventFifoRead; at != extension->EventFifoWrite;
       at = (at + 1) % extension->EventFifoEntries) {
    const EVENT_FIFO_ENTRY& entry = extension->EventFifo[at];
    messages.emplace_back(entry.Data, entry.Data + entry.Length);
  }
  return messages;
}

// An event read parked as the device-control dispatch parks it: in PendingEventIrp with a
// cancel routine and its own I/O reference.
class ParkedEventRead {
 public:
  ParkedEventRead(PDEVICE_OBJECT fdo, ULONG outputLength) : fdo_(fdo), buffer_(outputLength + 1, 0xEE) {
    irp_ = IoAllocateIrp(static_cast<CCHAR>(fdo->StackSize + 1), FALSE);
    IoSetNextIrpStackLocation(irp_);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp_);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    irp_->AssociatedIrp.SystemBuffer = buffer_.data();
    IoSetCompletionRoutine(irp_, OnComplete, this, TRUE, TRUE, TRUE);
    IoSetNextIrpStackLocation(irp_);
    IoGetCurrentIrpStackLocation(irp_)->DeviceObject = fdo;
    PDEVICE_EXTENSION extension = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
    SpinLockGuard guard(extension->EventLock);
    (void)IoSetCancelRoutine(irp_, Cancel);
    IoMarkIrpPending(irp_);
    extension->PendingEventIrp = irp_;
    CcidIncrementIoCount(fdo);
  }
  ~ParkedEventRead() {
    EXPECT_TRUE(ccid_test::WaitUntil([this] { return completed_.load(); }));
    if (completed_) IoFreeIrp(irp_);
  }
  bool Completed() const { return completed_; }
  NTSTATUS Status() const { return irp_->IoStatus.Status; }
  ULONG_PTR Information() const { return irp_->IoStatus.Information; }
  ULONG StateAtCompletion() const { return stateAtCompletion_; }
  Bytes Output() const { return Bytes(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(Information())); }

 private:
  static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto* read = static_cast<ParkedEventRead*>(context);
    read->stateAtCompletion_ =
        static_cast<PDEVICE_EXTENSION>(read->fdo_->DeviceExtension)->SmartcardExtension.ReaderCapabilities.CurrentState;
    read->completed_ = true;
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  static VOID NTAPI Cancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ADD_FAILURE() << "the test never cancels its event read";
  }

  PDEVICE_OBJECT fdo_;
  PIRP irp_ = nullptr;
  Bytes buffer_;
  std::atomic<ULONG> stateAtCompletion_{SCARD_UNKNOWN};
  std::atomic<bool> completed_{false};
};

class InterruptPipeTest : public ::testing::Test {
 protected:
  void Start(ccid_test::BenchOptions options = {}) {
    bench_ = std::make_unique<ReaderBench>(options);
    ASSERT_EQ(bench_->Plug(), STATUS_SUCCESS);
  }
  void Send(const Bytes& message) {
    bench_->Reader().InjectInterrupt(message);
    bench_->WaitInterruptIdle();
  }
  PDEVICE_EXTENSION Extension() { return bench_->Extension(); }
  ULONG CardState() { return bench_->Smartcard()->ReaderCapabilities.CurrentState; }

  std::unique_ptr<ReaderBench> bench_;
};

// The reader's first message (slot 0 empty) is queued at start; sixteen more fill the
// default ring of 17 entries, which holds 16 messages: the first one is dropped.
TEST_F(InterruptPipeTest, RingOfSeventeenKeepsTheLastSixteenMessages) {
  Start();
  ASSERT_EQ(Extension()->EventFifoEntries, 17);
  const std::vector<Bytes> initial = Ring(Extension());
  ASSERT_EQ(initial.size(), 1u);
  EXPECT_EQ(initial[0], (Bytes{0x50, 0x00})) << "slot 0 empty, nothing changed";

  std::vector<Bytes> sent;
  for (UCHAR i = 0; i < 16; ++i) {
    sent.push_back({CCID_RDR_TO_PC_HARDWARE_ERROR, 0, i, 0x01});
    Send(sent.back());
  }
  EXPECT_EQ(Ring(Extension()), sent);
  EXPECT_EQ(CardState(), ULONG{SCARD_ABSENT}) << "hardware errors are not interpreted";
}

// "EventsFifoSize" 0: a ring of one entry, in which every message is dropped at once.
TEST_F(InterruptPipeTest, RingOfOneEntryDropsEveryMessage) {
  hosted::Registry::SetDword("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ccid", "EventsFifoSize", 0);
  Start();
  ASSERT_EQ(Extension()->EventFifoEntries, 1);
  Send({CCID_RDR_TO_PC_HARDWARE_ERROR, 0, 1, 1});
  EXPECT_TRUE(Ring(Extension()).empty());
}

// Slot-change messages and what each does to the card state and card tracking.
TEST_F(InterruptPipeTest, SlotChangesDriveTheCardStateAndTracking) {
  Start();
  PSMARTCARD_EXTENSION smartcard = bench_->Smartcard();

  // Present without the change flag: nothing changes.
  Send({0x50, 0x01});
  EXPECT_EQ(CardState(), ULONG{SCARD_ABSENT});
  // A one-byte message reads as no change for slot 0.
  Send({0x50});
  EXPECT_EQ(CardState(), ULONG{SCARD_ABSENT});

  // Inserted: the waiting request completes once; the same message again completes nothing.
  {
    LibraryRequest present(bench_->Fdo(), IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_EQ(present.Send(), STATUS_PENDING);
    Send({0x50, 0x03});
    ASSERT_TRUE(present.Wait());
    EXPECT_EQ(present.Status(), STATUS_SUCCESS);
    EXPECT_EQ(CardState(), ULONG{SCARD_PRESENT});
    EXPECT_TRUE(bench_->ReaderExtension()->CardPresent);
  }
  smartcard->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
  smartcard->CardCapabilities.ATR.Length = 12;
  bench_->ReaderExtension()->ApduLevelExchange = TRUE;
  {
    LibraryRequest absent(bench_->Fdo(), IOCTL_SMARTCARD_IS_ABSENT);
    ASSERT_EQ(absent.Send(), STATUS_PENDING);
    Send({0x50, 0x03});
    EXPECT_FALSE(absent.Completed()) << "the same state again calls card tracking no more";
    EXPECT_EQ(smartcard->CardCapabilities.Protocol.Selected, 0u);
    EXPECT_EQ(smartcard->CardCapabilities.ATR.Length, 12) << "an insertion keeps the ATR";

    Send({0x50, 0x02});
    ASSERT_TRUE(absent.Wait());
    EXPECT_EQ(absent.Status(), STATUS_SUCCESS);
  }
  EXPECT_EQ(CardState(), ULONG{SCARD_ABSENT});
  EXPECT_EQ(smartcard->CardCapabilities.ATR.Length, 0);
  EXPECT_FALSE(bench_->ReaderExtension()->ApduLevelExchange);
  EXPECT_FALSE(bench_->ReaderExtension()->CardPresent);

  // Every message went into the ring too.
  EXPECT_EQ(Ring(Extension()).size(), 6u);
}

// A waiting event read takes the message and the ring stays as it was; the card state is
// updated after the read completed.
TEST_F(InterruptPipeTest, WaitingEventReadReceivesTheMessageInsteadOfTheRing) {
  Start();
  const std::vector<Bytes> before = Ring(Extension());
  const LONG ioCount = Extension()->IoCount;
  {
    ParkedEventRead read(bench_->Fdo(), 8);
    Send({0x50, 0x03});
    ASSERT_TRUE(read.Completed());
    EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    EXPECT_EQ(read.Output(), (Bytes{0x50, 0x03}));
    EXPECT_EQ(read.StateAtCompletion(), ULONG{SCARD_ABSENT}) << "the read completes before the state changes";
  }
  EXPECT_EQ(Ring(Extension()), before);
  EXPECT_EQ(Extension()->PendingEventIrp, nullptr);
  EXPECT_EQ(Extension()->IoCount, ioCount) << "the read's reference was dropped";
  EXPECT_EQ(CardState(), ULONG{SCARD_PRESENT});
}

// An output buffer smaller than the message: STATUS_BUFFER_TOO_SMALL, and the message is
// neither delivered nor queued.
TEST_F(InterruptPipeTest, EventReadTooSmallLosesTheMessage) {
  Start();
  const std::vector<Bytes> before = Ring(Extension());
  {
    ParkedEventRead read(bench_->Fdo(), 3);
    Send({CCID_RDR_TO_PC_HARDWARE_ERROR, 0, 7, 1});
    ASSERT_TRUE(read.Completed());
    EXPECT_EQ(read.Status(), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(read.Information(), 0u);
  }
  EXPECT_EQ(Ring(Extension()), before);
}

// The abort of the pipe (here by a stop) completes a waiting read with the USB stack's
// status for the aborted transfer, and both requests' references are released.
TEST_F(InterruptPipeTest, AbortCompletesTheWaitingReadWithTheUsbStatus) {
  Start();
  {
    ParkedEventRead read(bench_->Fdo(), 8);
    UsbStopInterruptPipe(bench_->Fdo());
    ASSERT_TRUE(read.Completed());
    EXPECT_EQ(read.Status(), static_cast<NTSTATUS>(USBD_STATUS_CANCELED));
    EXPECT_EQ(read.Information(), 0u);
  }
  EXPECT_FALSE(Extension()->InterruptPipeRunning);
  // The completion routine drops the request's reference just after it lets the stop go on.
  EXPECT_TRUE(ccid_test::WaitUntil([&] { return InterlockedCompareExchange(&Extension()->IoCount, 0, 0) == 1; }));
  EXPECT_EQ(Extension()->PendingEventIrp, nullptr);
}

// An abort that cannot be sent (no pool for its URB) leaves the request in flight: the stop
// waits exactly its interval for the pipe to end, then aborts again, which ends it.
TEST_F(InterruptPipeTest, StopAbortsAgainExactlyAfterItsWaitInterval) {
  Start();
  bench_->Bus().ClearTransfers();
  hosted::FailureRule rule;
  rule.tag = CCID_POOL_TAG;
  rule.size = sizeof(struct _URB_PIPE_REQUEST);
  rule.nth = 1;
  hosted::AllocationFailures::Add(rule);
  ccid_test::ExpectEndsExactlyAfter(CCID_INTERRUPT_STOP_WAIT_MS * hosted::Clock::kTicksPerMillisecond,
                                    [&] { UsbStopInterruptPipe(bench_->Fdo()); });
  EXPECT_FALSE(Extension()->InterruptPipeRunning);
  std::size_t aborts = 0;
  for (const hosted::usb::TransferRecord& record : bench_->Bus().Transfers())
    if (record.urbFunction == URB_FUNCTION_ABORT_PIPE) ++aborts;
  EXPECT_EQ(aborts, 1u) << "the second abort, the first never went down";
}

// A stack that never ends the request: the stop aborts a bounded number of times, one
// interval apart, then waits for the stack without a time-out (the request's memory is the
// stack's); the stack's giving it back, here at an abort that can be sent again, lets the
// stop finish.
TEST_F(InterruptPipeTest, StopAbortsABoundedNumberOfTimesThenWaitsForTheStack) {
  Start();
  hosted::FailureRule everyAbort;
  everyAbort.tag = CCID_POOL_TAG;
  everyAbort.size = sizeof(struct _URB_PIPE_REQUEST);
  everyAbort.maxFailures = 0;
  hosted::AllocationFailures::Add(everyAbort);
  const std::int64_t start = hosted::Clock::Now();
  hosted::KernelThread stop("stop", [&] { UsbStopInterruptPipe(bench_->Fdo()); });
  EXPECT_FALSE(hosted::Scheduler::RunUntil([&] { return stop.Finished(); })) << "the stop waits for the stack";
  EXPECT_EQ(hosted::Clock::Now() - start,
            std::int64_t{CCID_INTERRUPT_STOP_ABORTS_MAX} * CCID_INTERRUPT_STOP_WAIT_MS * hosted::Clock::kTicksPerMillisecond)
      << "ten aborts, one interval apart, then a wait without a time-out";
  hosted::AllocationFailures::Clear();
  ASSERT_EQ(UsbAbortPipe(bench_->Fdo(), PIPE_INTERRUPT_IN), STATUS_SUCCESS);
  stop.Join();
  EXPECT_FALSE(Extension()->InterruptPipeRunning);
}

// No pool for the next URB: the pipe ends silently and gives its reference back; the stop
// that follows finds it ended.
TEST_F(InterruptPipeTest, FailedRearmEndsThePipeQuietly) {
  Start();
  hosted::FailureRule rule;
  rule.tag = CCID_POOL_TAG;
  rule.size = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  hosted::AllocationFailures::Add(rule);
  bench_->Reader().InjectInterrupt({CCID_RDR_TO_PC_HARDWARE_ERROR, 0, 1, 1});
  ASSERT_TRUE(ccid_test::WaitUntil([&] { return InterlockedCompareExchange(&Extension()->IoCount, 0, 0) == 1; }));
  hosted::AllocationFailures::Clear();
  EXPECT_EQ(Ring(Extension()).back(), (Bytes{CCID_RDR_TO_PC_HARDWARE_ERROR, 0, 1, 1}));
  EXPECT_TRUE(Extension()->InterruptPipeRunning) << "cleared by whoever stops the device";
  ASSERT_EQ(bench_->Node().Send(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(bench_->Node().Send(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_FALSE(Extension()->InterruptPipeRunning);
}

// No pool for the interrupt request at start: the start fails with
// STATUS_INSUFFICIENT_RESOURCES and the card state is what it was before.
TEST_F(InterruptPipeTest, StartFailsWhenTheInterruptRequestCannotBeBuilt) {
  bench_ = std::make_unique<ReaderBench>();
  hosted::FailureRule rule;
  rule.tag = CCID_POOL_TAG;
  rule.size = sizeof(INTERRUPT_CONTEXT);
  hosted::AllocationFailures::Add(rule);
  EXPECT_EQ(bench_->Node().Plug(), STATUS_INSUFFICIENT_RESOURCES);
  hosted::AllocationFailures::Clear();
  EXPECT_EQ(bench_->Node().FunctionDevice(), nullptr) << "the failed start was followed by the removal";
}

// The card state is set before the pipe is armed: a reader with a card in at plug, whose
// first slot change the USB stack completes inside the arming call, ends up present.
TEST_F(InterruptPipeTest, CardStateIsSetBeforeThePipeIsArmed) {
  ccid_test::BenchOptions options;
  options.bus.mode = hosted::usb::CompletionMode::Synchronous;
  bench_ = std::make_unique<ReaderBench>(options);
  bench_->InsertCard("t0");
  ASSERT_EQ(bench_->Plug(), STATUS_SUCCESS);
  EXPECT_EQ(CardState(), ULONG{SCARD_PRESENT});
  EXPECT_EQ(Extension()->LastReportedState, ULONG{SCARD_PRESENT});
}

// Stops racing with a stream of interrupt messages: every stop finds the request ended,
// however the re-arm and the abort crossed, and nothing of the pipe is left.
TEST_F(InterruptPipeTest, StopsRacingWithMessagesAlwaysEndThePipe) {
  Start();
  std::atomic<bool> done{false};
  std::thread sender([&] {
    for (UCHAR i = 0; !done; ++i) bench_->Reader().InjectInterrupt({CCID_RDR_TO_PC_HARDWARE_ERROR, 0, i, 1});
  });
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_EQ(bench_->Node().Rebalance(), STATUS_SUCCESS);
    EXPECT_TRUE(Extension()->InterruptPipeRunning);
  }
  done = true;
  sender.join();
  bench_->WaitInterruptIdle();
  EXPECT_EQ(Extension()->IoCount, 2);
}

}  // namespace
