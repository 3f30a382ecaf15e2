// What the driver relies on from the smart-card library: SmartcardInitialize allocates the
// OS data and both exchange buffers, SmartcardExit frees them, and the remove lock counts
// tagged references, refuses new ones once removal has begun and drains the old ones.

#include <gtest/gtest.h>

#include <hosted/kernel/hosted.h>
#include <kernel_test_support.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "CcidDevice.h"

namespace {

// A zeroed extension as add-device prepares it before SmartcardInitialize.
std::unique_ptr<SMARTCARD_EXTENSION> NewExtension(ULONG bufferSize = MIN_BUFFER_SIZE) {
  auto extension = std::make_unique<SMARTCARD_EXTENSION>();
  std::memset(extension.get(), 0, sizeof(SMARTCARD_EXTENSION));
  extension->Version = SMCLIB_VERSION;
  extension->SmartcardRequest.BufferSize = bufferSize;
  extension->SmartcardReply.BufferSize = bufferSize;
  return extension;
}

// Violations of one check reported while `action` runs; they are the test's expectation,
// not failures.
std::size_t ViolationsOf(hosted::Check check, const std::function<void()>& action) {
  hosted::test::ExpectViolation expected(check);
  action();
  return expected.Count();
}

class SmclibContract : public ::testing::Test {
 protected:
  void SetUp() override {
    hosted::AllocationFailures::Clear();
    poolBefore_ = hosted::Pool::OutstandingCount();
  }
  void TearDown() override {
    hosted::AllocationFailures::Clear();
    EXPECT_EQ(hosted::Pool::OutstandingCount(), poolBefore_) << "the library freed what it allocated";
  }
  std::size_t poolBefore_ = 0;
};

struct BufferCase {
  ULONG requested;
  ULONG allocated;
};

TEST_F(SmclibContract, InitializeAllocatesOsDataAndBuffersOfAtLeast288Bytes) {
  for (BufferCase row : {BufferCase{0, 288}, BufferCase{100, 288}, BufferCase{288, 288}, BufferCase{1024, 1024}}) {
    SCOPED_TRACE("requested " + std::to_string(row.requested));
    auto extension = NewExtension(row.requested);
    ASSERT_EQ(SmartcardInitialize(extension.get()), STATUS_SUCCESS);
    ASSERT_NE(extension->OsData, nullptr);
    EXPECT_EQ(extension->OsData->NotificationIrp, nullptr);
    EXPECT_EQ(extension->OsData->CurrentIrp, nullptr);
    EXPECT_EQ(extension->SmartcardRequest.BufferSize, row.allocated);
    EXPECT_EQ(extension->SmartcardReply.BufferSize, row.allocated);
    ASSERT_NE(extension->SmartcardRequest.Buffer, nullptr);
    ASSERT_NE(extension->SmartcardReply.Buffer, nullptr);
    extension->SmartcardRequest.Buffer[row.allocated - 1] = 0xA5;  // the whole buffer is usable
    extension->SmartcardReply.Buffer[row.allocated - 1] = 0xA5;

    KIRQL irql;
    KeAcquireSpinLock(&extension->OsData->SpinLock, &irql);  // initialised
    KeReleaseSpinLock(&extension->OsData->SpinLock, irql);

    SmartcardExit(extension.get());
    EXPECT_EQ(extension->OsData, nullptr);
    EXPECT_EQ(extension->SmartcardRequest.Buffer, nullptr);
    EXPECT_EQ(extension->SmartcardReply.Buffer, nullptr);
  }
}

TEST_F(SmclibContract, InitializeFailsCleanlyWhenAnyAllocationFails) {
  for (std::uint64_t nth = 1; nth <= 3; ++nth) {
    SCOPED_TRACE("allocation " + std::to_string(nth));
    hosted::AllocationFailures::Clear();
    hosted::AllocationFailures::FailNth(nth);
    auto extension = NewExtension();
    EXPECT_EQ(SmartcardInitialize(extension.get()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(extension->OsData, nullptr);
    EXPECT_EQ(hosted::Pool::OutstandingCount(), poolBefore_);
  }
}

TEST_F(SmclibContract, InitializeRefusesAStructureOlderThanTheLibrary) {
  auto extension = NewExtension();
  extension->Version = SMCLIB_VERSION_REQUIRED - 1;
  EXPECT_EQ(SmartcardInitialize(extension.get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(extension->OsData, nullptr);
}

// The removal request holds the lock with the driver's tag and gives it back through the
// wait; from then on every acquisition fails with STATUS_DELETE_PENDING.
TEST_F(SmclibContract, RemoveLockRefusesNewHoldersOnceRemovalBegins) {
  auto extension = NewExtension();
  ASSERT_EQ(SmartcardInitialize(extension.get()), STATUS_SUCCESS);

  ASSERT_EQ(SmartcardAcquireRemoveLockWithTag(extension.get(), CCID_REMOVE_LOCK_TAG), STATUS_SUCCESS);
  SmartcardReleaseRemoveLockWithTag(extension.get(), CCID_REMOVE_LOCK_TAG);

  ASSERT_EQ(SmartcardAcquireRemoveLockWithTag(extension.get(), CCID_REMOVE_LOCK_TAG), STATUS_SUCCESS);
  SmartcardReleaseRemoveLockAndWait(extension.get());
  EXPECT_EQ(extension->OsData->RemoveLock.RefCount, 0);
  EXPECT_EQ(SmartcardAcquireRemoveLockWithTag(extension.get(), CCID_REMOVE_LOCK_TAG), STATUS_DELETE_PENDING);
  EXPECT_EQ(SmartcardAcquireRemoveLock(extension.get()), STATUS_DELETE_PENDING);
  SmartcardExit(extension.get());
}

// The wait returns only after every other holder (here a device-control request on
// another thread) has released its reference.
TEST_F(SmclibContract, RemoveLockWaitDrainsOtherHolders) {
  auto extension = NewExtension();
  ASSERT_EQ(SmartcardInitialize(extension.get()), STATUS_SUCCESS);
  ASSERT_EQ(SmartcardAcquireRemoveLockWithTag(extension.get(), CCID_REMOVE_LOCK_TAG), STATUS_SUCCESS);

  std::atomic<bool> waitReturned{false};
  std::thread removal([&] {
    EXPECT_EQ(SmartcardAcquireRemoveLockWithTag(extension.get(), CCID_REMOVE_LOCK_TAG), STATUS_SUCCESS);
    SmartcardReleaseRemoveLockAndWait(extension.get());
    waitReturned = true;
  });
  // Removal has begun once new acquisitions are refused.
  while (SmartcardAcquireRemoveLock(extension.get()) == STATUS_SUCCESS) SmartcardReleaseRemoveLock(extension.get());
  EXPECT_FALSE(waitReturned) << "the wait returned while a holder was left";

  SmartcardReleaseRemoveLockWithTag(extension.get(), CCID_REMOVE_LOCK_TAG);
  removal.join();
  EXPECT_TRUE(waitReturned);
  EXPECT_EQ(extension->OsData->RemoveLock.RefCount, 0);
  SmartcardExit(extension.get());
}

struct MisuseCase {
  const char* name;
  std::function<void(PSMARTCARD_EXTENSION)> misuse;
};

TEST_F(SmclibContract, RemoveLockMisuseIsAVerifierViolation) {
  const MisuseCase cases[] = {
      {"release with a tag that holds nothing",
       [](PSMARTCARD_EXTENSION extension) {
         ASSERT_EQ(SmartcardAcquireRemoveLockWithTag(extension, CCID_REMOVE_LOCK_TAG), STATUS_SUCCESS);
         SmartcardReleaseRemoveLockWithTag(extension, 'Ccix');
         SmartcardReleaseRemoveLockWithTag(extension, CCID_REMOVE_LOCK_TAG);
       }},
      {"release twice",
       [](PSMARTCARD_EXTENSION extension) {
         ASSERT_EQ(SmartcardAcquireRemoveLockWithTag(extension, CCID_REMOVE_LOCK_TAG), STATUS_SUCCESS);
         SmartcardReleaseRemoveLockWithTag(extension, CCID_REMOVE_LOCK_TAG);
         SmartcardReleaseRemoveLockWithTag(extension, CCID_REMOVE_LOCK_TAG);
       }},
      {"wait without a reference of one's own", [](PSMARTCARD_EXTENSION extension) {
         SmartcardReleaseRemoveLockAndWait(extension);
       }},
      {"exit while a holder is left", [](PSMARTCARD_EXTENSION extension) {
         ASSERT_EQ(SmartcardAcquireRemoveLockWithTag(extension, CCID_REMOVE_LOCK_TAG), STATUS_SUCCESS);
         SmartcardExit(extension);
       }},
  };
  for (const MisuseCase& row : cases) {
    SCOPED_TRACE(row.name);
    auto extension = NewExtension();
    ASSERT_EQ(SmartcardInitialize(extension.get()), STATUS_SUCCESS);
    EXPECT_EQ(ViolationsOf(hosted::Check::RemoveLockMisuse, [&] { row.misuse(extension.get()); }), 1u);
    if (extension->OsData != nullptr) SmartcardExit(extension.get());
  }
}

TEST_F(SmclibContract, RoutinesNotProvidedYetAreVerifierViolations) {
  auto extension = NewExtension();
  ASSERT_EQ(SmartcardInitialize(extension.get()), STATUS_SUCCESS);
  EXPECT_EQ(ViolationsOf(hosted::Check::Unimplemented,
                         [&] { EXPECT_NE(SmartcardCreateLink(nullptr, nullptr), STATUS_SUCCESS); }),
            1u);
  SmartcardExit(extension.get());
}

}  // namespace
