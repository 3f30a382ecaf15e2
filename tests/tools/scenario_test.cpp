// The session scenario on the default reader, in the test process: the steps in order,
// what the waiting application saw, the card states, the identification on the wire at
// every start, and a verdict that counts the verifier's reports and the pool left behind.
#include <gtest/gtest.h>

#include <kernel_test_support.h>
#include <winsmcrd.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "commands.h"
#include "reader/reader_profile.h"
#include "scenario.h"
#include "session_report.h"

namespace {

using ccidsim::ScenarioResult;
using ccidsim::ScenarioStep;
using ccidsim::StepKind;

ccidsim::ScenarioOptions DefaultOptions() {
  ccidsim::ScenarioOptions options;
  options.reader = *sim::FindReaderProfile(ccidsim::kDefaultReader);
  return options;
}

const ScenarioStep& StepOf(const ScenarioResult& result, StepKind kind) {
  for (const ScenarioStep& step : result.steps)
    if (step.kind == kind) return step;
  ADD_FAILURE() << "no step " << ccidsim::StepName(kind);
  return result.steps.front();
}

bool WireHas(const ScenarioStep& step, const std::string& text) {
  return std::any_of(step.wire.begin(), step.wire.end(), [&](const ccidsim::WireMessage& m) { return m.text == text; });
}

TEST(CcidsimScenario, ApplicationSeesEachCardChangeAndTheRemovalEndsItsParkedRequest) {
  const ScenarioResult result = ccidsim::RunScenario(DefaultOptions());
  ASSERT_TRUE(result.Clean()) << ccidsim::VerdictText(result);
  std::vector<StepKind> kinds;
  for (const ScenarioStep& step : result.steps) kinds.push_back(step.kind);
  EXPECT_EQ(kinds, (std::vector<StepKind>{StepKind::Load, StepKind::Plug, StepKind::CardInserted,
                                          StepKind::StopAndRestart, StepKind::CardRemoved, StepKind::SurpriseRemoval,
                                          StepKind::Removal, StepKind::Unload}));
  struct Row {
    StepKind kind;
    ULONG code;
    bool completed;
    ULONG before, after;
  } rows[] = {
      {StepKind::CardInserted, IOCTL_SMARTCARD_IS_PRESENT, true, SCARD_ABSENT, SCARD_PRESENT},
      {StepKind::CardRemoved, IOCTL_SMARTCARD_IS_ABSENT, true, SCARD_PRESENT, SCARD_ABSENT},
      {StepKind::SurpriseRemoval, IOCTL_SMARTCARD_IS_PRESENT, false, SCARD_ABSENT, 0},
      {StepKind::Removal, IOCTL_SMARTCARD_IS_PRESENT, true, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(ccidsim::StepName(row.kind));
    const ScenarioStep& step = StepOf(result, row.kind);
    ASSERT_TRUE(step.tracking.has_value());
    EXPECT_EQ(step.tracking->ioControlCode, row.code);
    EXPECT_EQ(step.tracking->sent, STATUS_PENDING);
    EXPECT_EQ(step.tracking->completed, row.completed);
    if (row.completed) {
      EXPECT_EQ(step.tracking->status, STATUS_SUCCESS);
    }
    if (row.before != 0) {
      EXPECT_EQ(step.cardStateBefore, row.before);
    }
    if (row.after != 0) {
      EXPECT_EQ(step.cardStateAfter, row.after);
    }
  }
  EXPECT_FALSE(StepOf(result, StepKind::Removal).cardStateAfter.has_value()) << "the device is gone";
  EXPECT_EQ(StepOf(result, StepKind::StopAndRestart).cardStateAfter, ULONG{SCARD_PRESENT})
      << "the reader reports the card again after the restart";
}

// Every start identifies the driver; the stop powers the present card down first.
TEST(CcidsimScenario, WireShowsTheIdentificationAtEveryStartAndThePowerDownAtTheStop) {
  const ScenarioResult result = ccidsim::RunScenario(DefaultOptions());
  const ScenarioStep& plug = StepOf(result, StepKind::Plug);
  EXPECT_TRUE(plug.identificationSeen);
  EXPECT_TRUE(WireHas(plug, "PC_to_RDR_Escape seq 0 \"TALMOR_DRIVER_3004\""));
  EXPECT_TRUE(WireHas(plug, "RDR_to_PC_Escape seq 0 ok"));
  EXPECT_TRUE(WireHas(plug, "SET_CONFIGURATION 1"));
  const ScenarioStep& restart = StepOf(result, StepKind::StopAndRestart);
  EXPECT_TRUE(restart.identificationSeen);
  EXPECT_TRUE(WireHas(restart, "PC_to_RDR_IccPowerOff seq 1"));
  EXPECT_TRUE(WireHas(restart, "PC_to_RDR_Escape seq 2 \"TALMOR_DRIVER_3004\""));
  EXPECT_TRUE(WireHas(StepOf(result, StepKind::CardInserted), "RDR_to_PC_NotifySlotChange slot 0: card present (changed)"));
  EXPECT_TRUE(StepOf(result, StepKind::Removal).wire.empty()) << "nothing is sent to a gone reader";
  EXPECT_EQ(result.debugOutput.size(), 1u) << "the build banner";
}

// A verifier report during the session and a pool block still allocated at unload each
// make the verdict unclean, and are counted.
TEST(CcidsimScenario, VerdictCountsViolationsAndBlocksLeftAtUnload) {
  ccidsim::ScenarioOptions options = DefaultOptions();
  PVOID stray = nullptr;
  options.onStep = [&stray](const ScenarioStep& step, const ScenarioResult&) {
    if (step.kind == StepKind::Load) stray = ExAllocatePoolWithTag(NonPagedPoolNx, 24, 'yrtS');
    if (step.kind == StepKind::Plug) hosted::Verifier::Report(hosted::Check::InvalidParameter, "test", "staged report");
  };
  ScenarioResult result;
  {
    hosted::test::ExpectViolation leak(hosted::Check::PoolLeak);
    hosted::test::ExpectViolation staged(hosted::Check::InvalidParameter, "staged report");
    result = ccidsim::RunScenario(options);
  }
  ASSERT_NE(stray, nullptr);
  EXPECT_EQ(result.leakedBlocks, 1u);
  EXPECT_EQ(result.violations.size(), 2u);
  EXPECT_FALSE(result.Clean());
  EXPECT_NE(ccidsim::VerdictText(result).find("2 violation(s), 1 pool block(s) left behind"), std::string::npos)
      << ccidsim::VerdictText(result);
}

TEST(CcidsimScenario, UnknownCardIsRefusedBeforeTheDriverLoads) {
  ccidsim::ScenarioOptions options = DefaultOptions();
  options.card = "no-such-card";
  EXPECT_THROW(ccidsim::RunScenario(options), std::invalid_argument);
}

}  // namespace
