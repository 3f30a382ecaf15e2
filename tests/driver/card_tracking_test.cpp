// Card tracking on a started reader: the parked request made cancellable, completed by a
// state change, by its cancellation or by the cleanup of a handle, exactly once when these
// race; and the request cancelled before the reader function saw it.

#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <atomic>
#include <thread>

#include "CcidFrame.h"
#include "CcidReader.h"
#include "driver_bench.h"
#include "reader/ccid_wire.h"

namespace {

using ccid_test::Bytes;
using ccid_test::LibraryRequest;
using ccid_test::ReaderBench;

// A success status of no meaning, to see that the cleanup leaves the status block alone.
constexpr NTSTATUS kUntouchedStatus = static_cast<NTSTATUS>(0x0000BEEF);

class CardTrackingTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(bench_.Plug(), STATUS_SUCCESS); }

  // IRP_MJ_CLEANUP sent to the reader as the I/O manager sends it; returns the dispatch
  // routine's status and the request's final status.
  std::pair<NTSTATUS, NTSTATUS> Cleanup() {
    PIRP irp = IoAllocateIrp(bench_.Fdo()->StackSize, FALSE);
    irp->IoStatus.Status = kUntouchedStatus;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_CLEANUP;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP, PVOID event) NTAPI -> NTSTATUS {
          KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &done, TRUE, TRUE, TRUE);
    const NTSTATUS returned = IofCallDriver(bench_.Fdo(), irp);
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    const NTSTATUS final = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return {returned, final};
  }
  void SlotChange(bool present) {
    bench_.Reader().InjectInterrupt({CCID_RDR_TO_PC_NOTIFY_SLOT_CHANGE, static_cast<UCHAR>(present ? 0x03 : 0x02)});
  }
  POS_DEP_DATA OsData() { return bench_.Smartcard()->OsData; }

  ReaderBench bench_;
};

TEST_F(CardTrackingTest, ReaderFunctionPendsAlsoWithoutAParkedRequest) {
  EXPECT_EQ(OsData()->NotificationIrp, nullptr);
  EXPECT_EQ(CcidCardTracking(bench_.Smartcard()), STATUS_PENDING);
}

TEST_F(CardTrackingTest, ParkedRequestIsCancellable) {
  LibraryRequest present(bench_.Fdo(), IOCTL_SMARTCARD_IS_PRESENT);
  ASSERT_EQ(present.Send(), STATUS_PENDING);
  EXPECT_EQ(OsData()->NotificationIrp, present.Irp());
  EXPECT_EQ(present.Irp()->CancelRoutine, &CcidCardTrackingCancel);
  EXPECT_TRUE(present.Cancel());
  ASSERT_TRUE(present.Wait());
  EXPECT_EQ(present.Status(), STATUS_CANCELLED);
  EXPECT_EQ(present.Information(), 0u);
  EXPECT_EQ(OsData()->NotificationIrp, nullptr);
}

// The cleanup of a handle ends the waiting request with STATUS_SUCCESS; the cleanup request
// itself keeps its status block and the dispatch returns STATUS_SUCCESS.
TEST_F(CardTrackingTest, CleanupEndsTheParkedRequest) {
  {
    LibraryRequest present(bench_.Fdo(), IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_EQ(present.Send(), STATUS_PENDING);
    const auto [returned, final] = Cleanup();
    ASSERT_TRUE(present.Completed()) << "completed before the cleanup request";
    EXPECT_EQ(present.Status(), STATUS_SUCCESS);
    EXPECT_EQ(returned, STATUS_SUCCESS);
    EXPECT_EQ(final, kUntouchedStatus);
  }
  const LONG ioCount = bench_.Extension()->IoCount;
  const auto [returned, final] = Cleanup();
  EXPECT_EQ(returned, STATUS_SUCCESS);
  EXPECT_EQ(final, kUntouchedStatus);
  EXPECT_EQ(bench_.Extension()->IoCount, ioCount) << "cleanup takes no I/O reference";
}

// A request cancelled before the reader function installed its cancel routine stays parked
// until the next state change, which completes it as cancelled.
TEST_F(CardTrackingTest, RequestCancelledBeforeTrackingEndsCancelledAtTheNextChange) {
  LibraryRequest present(bench_.Fdo(), IOCTL_SMARTCARD_IS_PRESENT);
  EXPECT_FALSE(present.Cancel()) << "nothing to call yet";
  ASSERT_EQ(present.Send(), STATUS_PENDING);
  EXPECT_FALSE(present.Completed());
  SlotChange(true);
  ASSERT_TRUE(present.Wait());
  EXPECT_EQ(present.Status(), STATUS_CANCELLED);
}

// A state change, the cancellation and a cleanup racing for the same request: it is
// completed exactly once (the verifier fails a second completion), with one of the two
// statuses, and the field is empty afterwards.
TEST_F(CardTrackingTest, CancelStateChangeAndCleanupRacingCompleteTheRequestOnce) {
  bool present = false;
  int cancelled = 0;
  int succeeded = 0;
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    LibraryRequest request(bench_.Fdo(), present ? IOCTL_SMARTCARD_IS_ABSENT : IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_EQ(request.Send(), STATUS_PENDING);
    present = !present;
    std::atomic<bool> go{false};
    std::thread canceller([&] {
      while (!go) std::this_thread::yield();
      (void)request.Cancel();
    });
    std::thread cleaner;
    if (round % 3 == 0) {
      cleaner = std::thread([&] {
        while (!go) std::this_thread::yield();
        CcidCompleteCardTracking(bench_.Smartcard());
      });
    }
    go = true;
    SlotChange(present);
    canceller.join();
    if (cleaner.joinable()) cleaner.join();
    ASSERT_TRUE(request.Wait());
    bench_.WaitInterruptIdle();
    EXPECT_EQ(OsData()->NotificationIrp, nullptr);
    if (request.Status() == STATUS_CANCELLED) {
      ++cancelled;
    } else {
      EXPECT_EQ(request.Status(), STATUS_SUCCESS);
      ++succeeded;
    }
  }
  EXPECT_EQ(cancelled + succeeded, 200);
}

}  // namespace
