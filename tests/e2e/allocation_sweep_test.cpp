// Every allocation of a whole reader session failed in turn. The session (plug, start, a
// T=1 card powered and used, a PIN verified on the keypad, sleep and wake, stop and
// restart, unplug) runs once to log what it allocates, then once per allocation with that
// one failing: the driver's own pool blocks, then what the kernel, USBD and the smart-card
// library allocate (or may refuse) on its behalf. Each step that meets the failure must
// end with an error status, never a wrong answer; the step tried again must work (a
// failed start: the next start; a failed transmit: the next transmit), or else the next
// stop and start must bring the reader back; and nothing may leak, complete twice or break
// a verifier rule (the test support fails the test on those, the case is named below).

#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>

#include "CcidDevice.h"
#include "CcidFeatures.h"
#include "driver_bench.h"
#include "scard.h"

namespace {

using ccid_test::Bytes;
using ccid_test::ReaderBench;
using hosted::AllocationAttempt;
using hosted::AllocationFailures;
using hosted::PowerManager;

const Bytes kSelectApp = {0x00, 0xA4, 0x04, 0x00, 0x08, 0xF0, 0x43, 0x43, 0x49, 0x44, 0x53, 0x49, 0x4D};

// A bench wait whose failure is an outcome here, not a test failure: the interrupt pipe of
// a reader whose start failed never settles.
bool QuietWaitInterruptIdle(ReaderBench& bench) {
  auto previous = ccid_test::SetBenchFailureHandler([](const std::string&) {});
  const bool settled = bench.WaitInterruptIdle();
  ccid_test::SetBenchFailureHandler(previous);
  return settled;
}

NTSTATUS SetSystem(ReaderBench& bench, SYSTEM_POWER_STATE state) {
  const NTSTATUS status = PowerManager::SetSystemPower(bench.Pdo(), state);
  PowerManager::WaitIdle();
  hosted::DrainWorkQueue();
  return status;
}

// One session on the pinpad-lcd reader with a T=1 card. The referee's findings are
// collected, not reported: RunSession judges them.
class Session {
 public:
  Session() : bench_("pinpad-lcd") {
    for (const char* rule : {ccid_test::kRuleSequence, ccid_test::kRuleCommandWhileOutstanding,
                             ccid_test::kRuleAnswerWithoutCommand, ccid_test::kRuleHostError}) {
      bench_.ExpectProtocolError(rule);
    }
  }

  NTSTATUS Plug() {
    const NTSTATUS status = bench_.Node().Plug();
    if (NT_SUCCESS(status)) QuietWaitInterruptIdle(bench_);
    return status;
  }
  NTSTATUS InsertCard() {
    bench_.InsertCard("t1-ifsc32");
    QuietWaitInterruptIdle(bench_);
    return STATUS_SUCCESS;
  }
  // Open, connect with T=1: the application's way in after each start.
  NTSTATUS Connect() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (reader_ == nullptr) reader_ = bench_.Open(&status);
    if (reader_ == nullptr) return status;
    if (reader_->ActiveProtocol() != 0) return STATUS_SUCCESS;
    ULONG active = 0;
    status = reader_->Connect(scard::Share::Exclusive, SCARD_PROTOCOL_T1, &active);
    if (NT_SUCCESS(status)) {
      EXPECT_EQ(active, ULONG{SCARD_PROTOCOL_T1});
    }
    return status;
  }
  NTSTATUS Transmit() {
    NTSTATUS status = Connect();
    if (!NT_SUCCESS(status)) return status;
    const scard::Response r = reader_->Transmit(kSelectApp);
    if (NT_SUCCESS(r.status)) {
      EXPECT_EQ(r.StatusWord(), 0x9000) << "a success must carry the card's answer";
    }
    return r.status;
  }
  NTSTATUS VerifyPin() {
    NTSTATUS status = Connect();
    if (!NT_SUCCESS(status)) return status;
    bench_.Reader().TypeKeys("1234#");
    const hosted::UserIoResult r = reader_->Control(IOCTL_FEATURE_VERIFY_PIN_DIRECT, ccid_test::KeypadVerifyStructure(), 2);
    if (NT_SUCCESS(r.status)) {
      EXPECT_EQ(r.information, 2u);
      EXPECT_EQ(r.output.size() >= 2 ? r.output[0] << 8 | r.output[1] : 0, 0x9000);
    }
    return r.status;
  }
  NTSTATUS Close() {
    const NTSTATUS status = reader_ == nullptr ? STATUS_SUCCESS : reader_->Close();
    reader_.reset();
    return status;
  }
  NTSTATUS Sleep() { return SetSystem(bench_, PowerSystemSleeping3); }
  NTSTATUS Wake() {
    const NTSTATUS status = SetSystem(bench_, PowerSystemWorking);
    QuietWaitInterruptIdle(bench_);
    return status;
  }
  NTSTATUS Restart() {
    Close();
    const NTSTATUS status = bench_.Node().Rebalance();
    if (NT_SUCCESS(status)) QuietWaitInterruptIdle(bench_);
    return status;
  }
  // Removal and a new add, as disabling and enabling the reader in the device manager.
  NTSTATUS AddAgain() {
    Close();
    if (bench_.Node().State() != hosted::PnpState::NotAdded) (VOID) bench_.Node().Disable();
    return Plug();
  }
  NTSTATUS Unplug() {
    Close();
    bench_.Reader().Unplug();
    return ccid_test::WaitUntil([&] { return bench_.Node().State() == hosted::PnpState::Deleted; })
               ? STATUS_SUCCESS
               : STATUS_UNSUCCESSFUL;
  }
  std::size_t Finish() { return bench_.Finish(); }
  const std::vector<ccid_test::ProtocolFinding>& Findings() { return bench_.ProtocolFindings(); }
  hosted::PnpState State() { return bench_.Node().State(); }

 private:
  ReaderBench bench_;
  std::unique_ptr<scard::Reader> reader_;
};

// The steps of the session, in order.
struct Step {
  const char* name;
  NTSTATUS (Session::*run)();
};
const Step kSteps[] = {
    {"plug and start", &Session::Plug},    {"card in", &Session::InsertCard},
    {"connect T=1", &Session::Connect},    {"transmit", &Session::Transmit},
    {"PIN on the keypad", &Session::VerifyPin}, {"close", &Session::Close},
    {"sleep", &Session::Sleep},            {"wake", &Session::Wake},
    {"transmit after wake", &Session::Transmit}, {"stop and restart", &Session::Restart},
    {"transmit after restart", &Session::Transmit}, {"unplug", &Session::Unplug},
};

// How one run ended.
struct Outcome {
  std::string failedStep;  // the first step that reported a failure; empty: none did
  NTSTATUS status = STATUS_SUCCESS;
  std::string mended = "the step again";  // what brought the reader back
  std::uint64_t injected = 0;
  std::string findings;  // the referee's rules broken, if any
};

// A step failed twice: the next start (a stop and start, or a new add when the reader is
// not there any more or the restart does not help) brings the reader back.
std::string Recover(Session& s) {
  if (s.State() != hosted::PnpState::NotAdded && NT_SUCCESS(s.Restart()) && NT_SUCCESS(s.Transmit())) {
    return "a stop and start";
  }
  if (NT_SUCCESS(s.AddAgain()) && NT_SUCCESS(s.Transmit())) return "a new add";
  return std::string();
}

// One session from the plug on (the driver is loaded before the rule or the log start),
// with `rule` failing one call, or none and the calls logged.
Outcome RunSession(const hosted::FailureRule* rule) {
  Outcome outcome;
  Session s;
  AllocationFailures::Clear();
  if (rule != nullptr) AllocationFailures::Add(*rule);
  AllocationFailures::LogAttempts(rule == nullptr);
  for (const Step& step : kSteps) {
    const NTSTATUS status = (s.*step.run)();
    if (NT_SUCCESS(status)) continue;
    if (outcome.failedStep.empty()) {
      outcome.failedStep = step.name;
      outcome.status = status;
    }
    // The failure was one call: the same step again works, or the next start mends it.
    if (NT_SUCCESS((s.*step.run)())) continue;
    outcome.mended = Recover(s);
    EXPECT_FALSE(outcome.mended.empty()) << "after '" << step.name << "' failed twice, a new start does not bring the reader back";
  }
  outcome.injected = AllocationFailures::Injected();
  AllocationFailures::LogAttempts(false);
  EXPECT_EQ(s.Finish(), 0u) << "pool blocks left at unload";
  for (const ccid_test::ProtocolFinding& finding : s.Findings()) {
    outcome.findings += (outcome.findings.empty() ? "" : ", ") + finding.rule;
  }
  return outcome;
}

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

// Fails each logged attempt in turn (the attempts `select` picks) and returns the
// outcomes, by attempt, for the summary.
void Sweep(const char* what, const std::function<bool(const AllocationAttempt&)>& select) {
  const Outcome clean = RunSession(nullptr);
  const std::vector<AllocationAttempt> log = AllocationFailures::AttemptLog();
  ASSERT_TRUE(clean.failedStep.empty()) << "the session fails without injection at '" << clean.failedStep << "'";
  ASSERT_EQ(clean.findings, "");

  std::map<std::string, std::size_t> occurrence;  // routine and tag: calls so far
  std::map<std::string, std::size_t> outcomes;    // outcome text: runs
  std::size_t swept = 0;
  for (std::size_t i = 0; i < log.size(); ++i) {
    const AllocationAttempt& attempt = log[i];
    const std::string key = attempt.routine + "/" + std::to_string(attempt.tag);
    const std::size_t nth = ++occurrence[key];
    if (!select(attempt)) continue;
    ++swept;
    const std::string name = std::string(what) + " #" + std::to_string(swept) + " (call " + std::to_string(i + 1) +
                             " of the session, " + std::to_string(nth) + ". of its routine and tag): " +
                             attempt.ToString();
    SCOPED_TRACE(name);
    const bool failedBefore = ::testing::Test::HasFailure();
    hosted::FailureRule rule;
    rule.routine = attempt.routine;
    rule.tag = attempt.tag;
    rule.nth = nth;
    const Outcome o = RunSession(&rule);
    AllocationFailures::Clear();
    EXPECT_EQ(o.injected, 1u) << "the session no longer makes this call";
    // A bulk transfer that cannot have its URB or IRP leaves a number unused (no command
    // went out) or a command unread (its answer is drained as stale by the next
    // exchange): the referee sees that, and nothing else may break its rules.
    // (The image's compiler inlines the URB's allocation into the transfer routine.)
    const bool bulkTransfer = attempt.routine == "IoAllocateIrp" ||
                              attempt.caller.find("UsbBuildTransferUrb") != std::string::npos ||
                              attempt.caller.find("(UsbBulkTransfer(") != std::string::npos;
    if (!bulkTransfer) {
      EXPECT_EQ(o.findings, "") << "the protocol referee's findings";
    }
    std::string text = o.failedStep.empty() ? "absorbed, every step succeeded"
                                            : "'" + o.failedStep + "' failed with " + StatusText(o.status) +
                                                  ", mended by " + o.mended;
    if (!o.findings.empty()) text += "; referee: " + o.findings;
    ++outcomes[text];
    if (!failedBefore && ::testing::Test::HasFailure()) {
      ADD_FAILURE() << "the failures above (verifier reports from other threads included) are of " << name;
    }
  }
  std::printf("%s: %zu calls swept\n", what, swept);
  for (const auto& [text, runs] : outcomes) std::printf("  %3zu x %s\n", runs, text.c_str());
  EXPECT_GT(swept, 0u);
}

bool IsDriverPool(const AllocationAttempt& a) {
  return a.routine == "ExAllocatePoolWithTag" && a.tag == CCID_POOL_TAG;
}

TEST(AllocationSweep, EveryDriverPoolBlockOfASession) { Sweep("driver pool", IsDriverPool); }

TEST(AllocationSweep, EverySystemAllocationOnTheDriversBehalf) {
  Sweep("system on the driver's behalf", [](const AllocationAttempt& a) { return !IsDriverPool(a); });
}

}  // namespace
