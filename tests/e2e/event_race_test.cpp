// The event ring and the parked event read meet three paths at once: the interrupt-pipe
// completion that fills them, the dispatch that reads or parks, and the cancel routine.
// An application that reads and cancels as fast as it can while the reader sends a burst
// of messages must receive every message exactly once, from a read or from the ring.
// Then the races of the reader's requests with cancel, close, removal, sleep and each
// other, forced in each order through hold points and run again with random timing.

#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <random>
#include <set>
#include <thread>

#include "CcidFeatures.h"
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

// ---- forced races ----------------------------------------------------------------------
//
// Each scenario meets two paths at a point where one can overtake the other. A forced run
// stops one path at a hold point (the reader's held answer, the USB stack's completion of
// a transfer, IoCompleteRequest of one request) until the other has done its part, so
// both orders are run every time; a random run holds nothing and lets a seeded random
// jitter (scheduler rounds and kernel-time delays) decide. Every run must end clean:
// the statuses the driver defines, each message delivered once, the removal and the
// handle's close ending, and no leak, double completion or protocol finding (the bench,
// the verifier and the referee judge that at the end of each run).

namespace races {

using hosted::HoldPoints;

// How one run times its two sides.
class Timing {
 public:
  // A forced run in `order` (0 or 1: which side goes first; each scenario names them).
  static Timing Forced(int order) { return Timing(order, 0, true); }
  static Timing Random(std::uint64_t seed) { return Timing(-1, seed, false); }

  bool forced() const { return forced_; }
  int order() const { return order_; }
  // The first side is stopped at (point, key), once, in a forced run of that order.
  void Hold(int order, const char* point, std::uint32_t key) {
    if (forced_ && order == order_) {
      HoldPoints::Hold(point, key, 1);
      held_ = {point, key};
    }
  }
  void HoldAnswer(int order, sim::CcidReader& reader, std::uint8_t type) {
    if (forced_ && order == order_) {
      reader.HoldAnswers(type, true);
      heldReader_ = &reader;
      heldType_ = type;
    }
  }
  // Forced: waits until the held side has arrived at its point. Random: a jitter.
  void Arrived() {
    if (!forced_) return Jitter();
    if (held_.first != nullptr) {
      ASSERT_TRUE(HoldPoints::WaitHeld(held_.first, held_.second)) << "nothing reached " << held_.first;
    } else if (heldReader_ != nullptr) {
      ASSERT_TRUE(ccid_test::WaitUntil([&] { return heldReader_->HeldAnswer() == heldType_ || heldType_ == 0; }));
    }
  }
  // Lets the held side go on (random: a jitter).
  void Release() {
    if (!forced_) return Jitter();
    hosted::Scheduler::Settle();
    if (held_.first != nullptr) HoldPoints::Release(held_.first, held_.second);
    if (heldReader_ != nullptr) heldReader_->HoldAnswers(heldType_, false);
    held_ = {};
    heldReader_ = nullptr;
  }
  // Scheduler rounds, yields and a kernel-time delay of random lengths: the other threads
  // get that far before this one goes on.
  void Jitter() {
    std::uniform_int_distribution<int> pick(0, 3);
    switch (pick(rng_)) {
      case 0:
        break;
      case 1:
        for (int i = std::uniform_int_distribution<int>(1, 50)(rng_); i > 0; --i) std::this_thread::yield();
        break;
      case 2:
        hosted::Scheduler::Settle();
        break;
      default: {
        LARGE_INTEGER delay;
        delay.QuadPart = -std::uniform_int_distribution<LONGLONG>(1, 20000)(rng_);  // up to 2 ms
        (VOID) KeDelayExecutionThread(KernelMode, FALSE, &delay);
      }
    }
  }

 private:
  Timing(int order, std::uint64_t seed, bool forced) : order_(order), forced_(forced), rng_(seed) {}

  int order_;
  bool forced_;
  std::mt19937_64 rng_;
  std::pair<const char*, std::uint32_t> held_{nullptr, 0};
  sim::CcidReader* heldReader_ = nullptr;
  std::uint8_t heldType_ = 0;
};

// A reader with an application's handle open; with a card connected when `card` is set.
struct Session {
  explicit Session(const char* profile, const char* card = nullptr, bool reportUnplug = true)
      : bench(ccid_test::BenchOptions{.profile = profile, .bus = {}, .reportUnplug = reportUnplug}) {
    EXPECT_EQ(bench.Plug(), STATUS_SUCCESS);
    if (card != nullptr) {
      bench.InsertCard(card);
      EXPECT_TRUE(bench.WaitInterruptIdle());
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    app = scard::Reader::Open(bench.Pdo(), &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (card != nullptr) {
      EXPECT_EQ(app->Connect(scard::Share::Exclusive, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), STATUS_SUCCESS);
    }
    DrainRing();  // the slot changes so far
  }
  std::uint8_t InterruptIn() { return bench.Reader().InterruptInAddress(); }
  std::uint8_t BulkIn() { return bench.Reader().BulkInAddress(); }
  // A parked event read (the ring is empty).
  std::shared_ptr<hosted::UserRequest> ParkEventRead() {
    auto read = app->ControlAsync(IOCTL_CCID_READ_EVENT, {}, 8);
    hosted::Scheduler::Settle();
    EXPECT_FALSE(read->Done()) << "the read is parked";
    return read;
  }
  // The messages the ring holds, oldest first, through `handle` (the application's by
  // default); the read that finds the ring empty is cancelled.
  std::vector<Bytes> DrainRing(scard::Reader* handle = nullptr) {
    scard::Reader& r = handle != nullptr ? *handle : *app;
    std::vector<Bytes> messages;
    for (;;) {
      auto read = r.ControlAsync(IOCTL_CCID_READ_EVENT, {}, 8);
      hosted::Scheduler::Settle();
      if (!read->Done()) read->Cancel();
      read->Wait();
      const hosted::UserIoResult result = read->Result();
      if (result.status != STATUS_SUCCESS) break;
      messages.emplace_back(result.output.begin(), result.output.begin() + static_cast<long>(result.information));
    }
    return messages;
  }
  // The unplug has taken the stack down (after the handle's close).
  void ExpectRemoved() {
    if (app) {
      EXPECT_EQ(app->Close(), STATUS_SUCCESS);
    }
    app.reset();
    EXPECT_TRUE(ccid_test::WaitUntil([&] { return bench.Fdo() == nullptr; })) << "the removal ended";
  }

  ReaderBench bench;
  std::unique_ptr<scard::Reader> app;
};

Bytes Output(const hosted::UserIoResult& r) {
  return Bytes(r.output.begin(), r.output.begin() + static_cast<long>(std::min<std::size_t>(r.information, r.output.size())));
}

// The card's answer to kSelect came back (61xx on T=0: the response waits for GET RESPONSE).
bool Answered(const scard::Response& r) {
  return r.status == STATUS_SUCCESS && (r.StatusWord() == 0x9000 || r.StatusWord() >> 8 == 0x61);
}

const Bytes kEvent = Message(7);
const Bytes kSelect = {0x00, 0xA4, 0x04, 0x00, 0x08, 0xF0, 0x43, 0x43, 0x49, 0x44, 0x53, 0x49, 0x4D};

// The reader sends kEvent to a parked read; the timing holds it in the USB stack's
// completion (order 0) or in the read's completion (order 1).
void SendHeldEvent(Timing& t, Session& s) {
  t.Hold(0, hosted::kHoldUsbCompletion, s.InterruptIn());
  t.Hold(1, hosted::kHoldCompleteRequest, IOCTL_CCID_READ_EVENT);
  s.bench.Reader().InjectInterrupt(kEvent);
  t.Arrived();
}

// Order 0: the interrupt completion waits while the read is cancelled (the message goes
// to the ring). Order 1: the read is being completed with the message as the cancel comes
// (the cancel finds no cancel routine). Either way the message arrives once.
void CancelAgainstEventReadCompletion(Timing& t) {
  Session s("tpdu-basic");
  auto read = s.ParkEventRead();
  SendHeldEvent(t, s);
  const bool cancelRoutineCalled = read->Cancel();
  t.Release();
  read->Wait();
  const hosted::UserIoResult result = read->Result();
  ASSERT_TRUE(s.bench.WaitInterruptIdle());
  std::vector<Bytes> delivered = s.DrainRing();
  if (result.status == STATUS_SUCCESS) delivered.push_back(Output(result));
  EXPECT_EQ(delivered, std::vector<Bytes>{kEvent}) << "the message arrives once";
  if (t.forced()) {
    EXPECT_EQ(result.status, t.order() == 0 ? STATUS_CANCELLED : STATUS_SUCCESS);
    EXPECT_EQ(cancelRoutineCalled, t.order() == 0);
  } else {
    EXPECT_TRUE(result.status == STATUS_SUCCESS || result.status == STATUS_CANCELLED) << result.status;
  }
}

// The same for the card-tracking request: order 0 cancels it while the slot change waits
// in the USB stack, order 1 while its completion is under way. The state the application
// then reads is the card's, and a new wait for it ends at once.
void CancelAgainstTracking(Timing& t, bool present) {
  Session s("tpdu-basic", present ? nullptr : "t0");
  if (!present) {
    EXPECT_EQ(s.app->Disconnect(scard::Disposition::Leave), STATUS_SUCCESS);
  }
  auto wait = s.app->WaitForCard(present);
  hosted::Scheduler::Settle();
  ASSERT_FALSE(wait->Done());
  t.Hold(0, hosted::kHoldUsbCompletion, s.InterruptIn());
  t.Hold(1, hosted::kHoldCompleteRequest, present ? IOCTL_SMARTCARD_IS_PRESENT : IOCTL_SMARTCARD_IS_ABSENT);
  if (present) {
    s.bench.InsertCard("t0");
  } else {
    s.bench.RemoveCard();
  }
  t.Arrived();
  (void)wait->Cancel();
  t.Release();
  wait->Wait();
  const NTSTATUS status = wait->Result().status;
  if (t.forced()) {
    EXPECT_EQ(status, t.order() == 0 ? STATUS_CANCELLED : STATUS_SUCCESS);
  } else {
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << status;
  }
  ASSERT_TRUE(s.bench.WaitInterruptIdle());
  EXPECT_EQ(s.app->State() >= SCARD_PRESENT, present);
  auto again = s.app->WaitForCard(present);
  ASSERT_TRUE(again->Wait());
  EXPECT_EQ(again->Result().status, STATUS_SUCCESS) << "the state has changed already";
}

// Order 0: the handle closes while the message waits in the USB stack (the cleanup ends
// the parked read; the message stays in the ring for the next handle). Order 1: the read
// is being completed as the handle closes (the close waits for it).
void CloseAgainstInterruptCompletion(Timing& t) {
  Session s("tpdu-basic");
  auto read = s.ParkEventRead();
  SendHeldEvent(t, s);
  NTSTATUS closed = STATUS_PENDING;
  hosted::KernelThread close("application's close", [&] { closed = s.app->Close(); });
  t.Release();
  close.Join();
  read->Wait();
  const hosted::UserIoResult result = read->Result();
  EXPECT_EQ(closed, STATUS_SUCCESS);
  ASSERT_TRUE(s.bench.WaitInterruptIdle());
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto next = scard::Reader::Open(s.bench.Pdo(), &status);
  ASSERT_EQ(status, STATUS_SUCCESS) << "the closed handle made way for the next";
  std::vector<Bytes> delivered = s.DrainRing(next.get());
  if (result.status == STATUS_SUCCESS) delivered.push_back(Output(result));
  EXPECT_EQ(delivered, std::vector<Bytes>{kEvent}) << "the message arrives once";
  if (t.forced()) {
    EXPECT_EQ(result.status, t.order() == 0 ? STATUS_CANCELLED : STATUS_SUCCESS);
  }
  s.app = std::move(next);
}

// The card's answer to a transmit is held in the reader (order 0) or in its completion on
// the host (order 1).
void HoldTransmitAnswer(Timing& t, Session& s) {
  t.HoldAnswer(0, s.bench.Reader(), CCID_RDR_TO_PC_DATA_BLOCK);
  t.Hold(1, hosted::kHoldUsbCompletion, s.BulkIn());
}

// The reader leaves the bus during a transmit. Order 0: its answer is still in the reader
// (the transmit fails). Order 1: the answer is on the host, its completion under way (the
// transmit ends with the card's answer). The removal ends either way.
void RemovalDuringTransmit(Timing& t) {
  Session s("tpdu-basic", "t0");
  HoldTransmitAnswer(t, s);
  scard::Response response;
  hosted::KernelThread application("application", [&] { response = s.app->Transmit(kSelect); });
  t.Arrived();
  s.bench.Reader().Unplug();
  t.Release();
  application.Join();
  if (t.forced() && t.order() == 0) {
    EXPECT_FALSE(NT_SUCCESS(response.status)) << response.status;
  }
  if (t.forced() && t.order() == 1) {
    EXPECT_EQ(response.status, STATUS_SUCCESS);
  }
  if (response.status == STATUS_SUCCESS) {
    EXPECT_TRUE(Answered(response));
  }
  s.ExpectRemoved();
}

// The reader leaves the bus during a PIN entry: order 0 while the user types (the reader
// sends time extensions), order 1 once the PIN is in and the answer waits in the reader.
// The PIN request fails, at once, and the removal ends.
void RemovalDuringPinEntry(Timing& t) {
  Session s("pinpad-tpdu", "t0");
  const Bytes verify = {0x00, 0x00, 0x82, 0x08, 0x00, 0x08, 0x04, 0x02, 0x01, 0x09, 0x04, 0x00, 0x00, 0x00, 0x00,
                        13,   0,    0,    0,    0x00, 0x20, 0x00, 0x81, 8,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                        0xFF, 0xFF};
  if (!t.forced() || t.order() == 1) s.bench.Reader().TypeKeys("1234#");
  t.HoldAnswer(1, s.bench.Reader(), CCID_RDR_TO_PC_DATA_BLOCK);
  const std::uint64_t extensions = s.bench.Reader().Stats().time_extensions;
  hosted::UserIoResult pin;
  hosted::KernelThread application("application's PIN thread",
                                   [&] { pin = s.app->Control(IOCTL_FEATURE_VERIFY_PIN_DIRECT, verify, 2); });
  if (t.forced() && t.order() == 0) {
    ASSERT_TRUE(ccid_test::WaitUntil([&] { return s.bench.Reader().Stats().time_extensions > extensions; }));
  }
  t.Arrived();
  const std::int64_t unplugged = hosted::Clock::Now();
  s.bench.Reader().Unplug();
  t.Release();
  application.Join();
  if (t.forced()) {
    EXPECT_FALSE(NT_SUCCESS(pin.status)) << pin.status;
  }
  EXPECT_LT(hosted::Clock::Now() - unplugged, hosted::Clock::kTicksPerSecond) << "no wait for the PIN's time-out";
  s.ExpectRemoved();
}

// The reader leaves the bus while an event read is parked: order 0 with nothing on the
// interrupt pipe, order 1 with a message whose completion is under way (the read takes
// the message). A read that fails does so with an error status, never success.
void RemovalDuringEventRead(Timing& t) {
  Session s("tpdu-basic");
  auto read = s.ParkEventRead();
  t.Hold(1, hosted::kHoldUsbCompletion, s.InterruptIn());
  if (!t.forced() || t.order() == 1) s.bench.Reader().InjectInterrupt(kEvent);
  t.Arrived();
  s.bench.Reader().Unplug();
  t.Release();
  read->Wait();
  const hosted::UserIoResult result = read->Result();
  if (t.forced()) {
    if (t.order() == 0) {
      EXPECT_FALSE(NT_SUCCESS(result.status)) << result.status;
    }
    if (t.order() == 1) {
      EXPECT_EQ(result.status, STATUS_SUCCESS);
    }
  }
  if (result.status == STATUS_SUCCESS) {
    EXPECT_EQ(Output(result), kEvent);
  }
  s.ExpectRemoved();
}

// The system goes to sleep during a transmit: order 0 with the answer still in the
// reader, order 1 with its completion under way. The transmit ends with the card's answer
// and the power-off follows it; after the wake the reader works.
void SleepDuringTransmit(Timing& t) {
  Session s("tpdu-basic", "t0");
  HoldTransmitAnswer(t, s);
  scard::Response response;
  hosted::KernelThread application("application", [&] { response = s.app->Transmit(kSelect); });
  t.Arrived();
  NTSTATUS sleep = STATUS_PENDING;
  hosted::KernelThread system("system", [&] {
    sleep = hosted::PowerManager::SetSystemPower(s.bench.Pdo(), PowerSystemSleeping3);
  });
  t.Release();
  application.Join();
  system.Join();
  if (t.forced()) {
    EXPECT_EQ(response.status, STATUS_SUCCESS);
  } else {  // a transmit that comes once the power-down is pending is refused
    EXPECT_TRUE(response.status == STATUS_SUCCESS || response.status == STATUS_DELETE_PENDING) << response.status;
  }
  EXPECT_EQ(sleep, STATUS_SUCCESS);
  EXPECT_EQ(hosted::PowerManager::SetSystemPower(s.bench.Pdo(), PowerSystemWorking), STATUS_SUCCESS);
  ASSERT_TRUE(s.bench.WaitInterruptIdle());
  ASSERT_EQ(s.app->Connect(scard::Share::Exclusive, SCARD_PROTOCOL_T0), STATUS_SUCCESS);
  EXPECT_TRUE(Answered(s.app->Transmit(kSelect)));
}

// Two applications open the reader, which admits one handle at a time. Order 0: the
// second open comes while the first one's completion is under way (refused). Order 1: it
// comes while the first handle's close is being completed (admitted: the handle is gone).
void TwoApplicationsOpen(Timing& t) {
  Session s("tpdu-basic");
  s.app.reset();  // the session's own handle makes way
  NTSTATUS first = STATUS_PENDING;
  std::unique_ptr<scard::Reader> firstHandle;
  if (t.forced() && t.order() == 1) {
    firstHandle = scard::Reader::Open(s.bench.Pdo(), &first);
    ASSERT_EQ(first, STATUS_SUCCESS);
  }
  t.Hold(0, hosted::kHoldCompleteRequest, IRP_MJ_CREATE);
  t.Hold(1, hosted::kHoldCompleteRequest, IRP_MJ_CLOSE);
  hosted::KernelThread one("first application", [&] {
    if (firstHandle) {
      first = firstHandle->Close();
    } else {
      firstHandle = scard::Reader::Open(s.bench.Pdo(), &first);
    }
  });
  t.Arrived();
  NTSTATUS second = STATUS_PENDING;
  auto secondHandle = scard::Reader::Open(s.bench.Pdo(), &second);
  t.Release();
  one.Join();
  if (t.forced()) {
    EXPECT_EQ(first, STATUS_SUCCESS);
    EXPECT_EQ(second, t.order() == 0 ? STATUS_ACCESS_DENIED : STATUS_SUCCESS);
  } else {
    EXPECT_EQ((first == STATUS_SUCCESS) + (second == STATUS_SUCCESS), 1) << "one handle at a time";
    EXPECT_EQ((first == STATUS_ACCESS_DENIED) + (second == STATUS_ACCESS_DENIED), 1) << "the other refused";
  }
}

// An application aborts a PIN request. Order 0: the user has typed the PIN and its answer
// waits in the reader as the abort comes: the PIN request ends with the card's answer and
// the abort's handshake follows. Order 1: the abort's class request is on the bus as the
// PIN request is about to be sent: the PIN request is refused (nothing may come between
// the class request and PC_to_RDR_Abort). The abort succeeds and the next APDU goes.
void AbortAgainstItsAnswer(Timing& t) {
  Session s("pinpad-tpdu", "t0");
  const Bytes verify = {0x00, 0x00, 0x82, 0x08, 0x00, 0x08, 0x04, 0x02, 0x01, 0x09, 0x04, 0x00, 0x00, 0x00, 0x00,
                        13,   0,    0,    0,    0x00, 0x20, 0x00, 0x81, 8,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                        0xFF, 0xFF};
  s.bench.Reader().TypeKeys("1234#");
  t.HoldAnswer(0, s.bench.Reader(), CCID_RDR_TO_PC_DATA_BLOCK);
  t.Hold(1, hosted::kHoldUsbCompletion, 0);  // the ABORT class request's completion
  hosted::UserIoResult pin;
  hosted::UserIoResult abort;
  const Bytes slot{0};
  std::function<void()> sides[] = {
      [&] { pin = s.app->Control(IOCTL_FEATURE_VERIFY_PIN_DIRECT, verify, 2); },
      [&] { abort = s.app->Control(IOCTL_CCID_ABORT, slot); },
  };
  const int first = t.order() == 1 ? 1 : 0;
  hosted::KernelThread one("application's first request", sides[first]);
  t.Arrived();
  hosted::KernelThread other("application's second request", sides[1 - first]);
  t.Release();
  one.Join();
  other.Join();
  EXPECT_EQ(abort.status, STATUS_SUCCESS);
  if (t.forced()) {
    EXPECT_EQ(pin.status, t.order() == 0 ? STATUS_SUCCESS : STATUS_CANCELLED);
  }
  // The PIN command went before the abort (answered, or ended with CMD_ABORTED), or was
  // refused because the abort came first.
  EXPECT_TRUE(pin.status == STATUS_SUCCESS || pin.status == STATUS_UNSUCCESSFUL || pin.status == STATUS_CANCELLED)
      << pin.status;
  EXPECT_TRUE(Answered(s.app->Transmit(kSelect)));
}

struct Scenario {
  const char* name;
  std::function<void(Timing&)> run;
  int orders;  // forced orders it has
};

const Scenario kScenarios[] = {
    {"cancel against a parked event read's completion", CancelAgainstEventReadCompletion, 2},
    {"cancel against IS_PRESENT's completion", [](Timing& t) { CancelAgainstTracking(t, true); }, 2},
    {"cancel against IS_ABSENT's completion", [](Timing& t) { CancelAgainstTracking(t, false); }, 2},
    {"close against the interrupt completion", CloseAgainstInterruptCompletion, 2},
    {"surprise removal during a transmit", RemovalDuringTransmit, 2},
    {"surprise removal during PIN entry", RemovalDuringPinEntry, 2},
    {"surprise removal during an event read", RemovalDuringEventRead, 2},
    {"sleep during a transmit", SleepDuringTransmit, 2},
    {"two applications open", TwoApplicationsOpen, 2},
    {"abort against the answer it aborts", AbortAgainstItsAnswer, 2},
};

}  // namespace races

TEST(ForcedRace, EachScenarioInEachOrderEndsClean) {
  for (const races::Scenario& scenario : races::kScenarios) {
    for (int order = 0; order < scenario.orders; ++order) {
      SCOPED_TRACE(std::string(scenario.name) + ", order " + std::to_string(order));
      races::Timing timing = races::Timing::Forced(order);
      scenario.run(timing);
    }
  }
}

// The same scenarios with nothing held and random timing, round after round (more under
// CCID_RACE_ROUNDS; CCID_RACE_SEED repeats a failed run, whose seed the failure names).
TEST(ForcedRace, RandomTimingRoundsEndClean) {
  const char* roundsText = std::getenv("CCID_RACE_ROUNDS");
  const char* seedText = std::getenv("CCID_RACE_SEED");
  const int rounds = roundsText != nullptr ? std::atoi(roundsText) : 3;
  std::uint64_t seed = seedText != nullptr ? std::strtoull(seedText, nullptr, 0) : std::random_device{}();
  for (int round = 0; round < rounds; ++round, ++seed) {
    for (const races::Scenario& scenario : races::kScenarios) {
      SCOPED_TRACE(std::string(scenario.name) + ", CCID_RACE_SEED=" + std::to_string(seed));
      races::Timing timing = races::Timing::Random(seed);
      scenario.run(timing);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

}  // namespace
