// main() of the hosted test suites: the verifier hook, the per-test kernel set-up and the
// end-of-test leak checks.
#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "kernel_test_support.h"

namespace hosted::test {
namespace {

struct Expectation {
  ExpectViolation* scope;
  Check check;
  std::string substring;
  std::vector<Violation> seen;
};

// Constant-initialised, so that a suite's static initialiser may set it before main().
SuiteClock g_suiteClock = SuiteClock::Accelerated;

void StartClock() {
  if (g_suiteClock == SuiteClock::Virtual) {
    Clock::SetVirtual(Clock::TimeAdvance::Automatic);
  } else {
    Clock::SetAccelerated(DefaultClockFactor());
  }
}

struct SupportState {
  std::mutex mutex;
  std::vector<Expectation> expectations;  // innermost last
};

SupportState& State() {
  static SupportState* state = new SupportState();
  return *state;
}

void OnViolation(const Violation& violation) {
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    auto& expectations = State().expectations;
    for (auto it = expectations.rbegin(); it != expectations.rend(); ++it) {
      if (it->check == violation.check &&
          (it->substring.empty() || violation.message.find(it->substring) != std::string::npos ||
           violation.routine.find(it->substring) != std::string::npos)) {
        it->seen.push_back(violation);
        return;
      }
    }
  }
  ADD_FAILURE() << violation.ToString();
}

Expectation* Find(const ExpectViolation* scope) {
  for (Expectation& expectation : State().expectations) {
    if (expectation.scope == scope) return &expectation;
  }
  return nullptr;
}

class KernelListener : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo&) override {
    Verifier::Clear();
    DebugOutput::Clear();
    AllocationFailures::Clear();
    StartClock();
    registry_ = Registry::Snapshot();
    snapshot_ = TakeSnapshot();
  }

  // Runs before the result printer's OnTestEnd (end events go to listeners in reverse), so
  // the failures below still count for this test.
  void OnTestEnd(const ::testing::TestInfo&) override {
    HoldPoints::ReleaseAll();
    AllocationFailures::Clear();
    StartClock();
    CheckNoSpinLocksHeld("at the end of the test");
    ResetCurrentThread("at the end of the test");
    CheckForLeaks(snapshot_, "at the end of the test");
    Registry::Restore(registry_);
  }

 private:
  KernelSnapshot snapshot_;
  RegistrySnapshot registry_;
};

}  // namespace

ExpectViolation::ExpectViolation(Check check, std::string substring, std::size_t minimum)
    : check_(check), substring_(std::move(substring)), minimum_(minimum) {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().expectations.push_back(Expectation{this, check_, substring_, {}});
}

ExpectViolation::~ExpectViolation() {
  std::vector<Violation> seen;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    auto& expectations = State().expectations;
    auto it = std::find_if(expectations.begin(), expectations.end(),
                           [this](const Expectation& e) { return e.scope == this; });
    if (it != expectations.end()) {
      seen = std::move(it->seen);
      expectations.erase(it);
    }
  }
  EXPECT_GE(seen.size(), minimum_) << "expected a verifier violation " << CheckName(check_)
                                   << (substring_.empty() ? "" : " mentioning \"" + substring_ + "\"");
}

std::size_t ExpectViolation::Count() const {
  std::lock_guard<std::mutex> lock(State().mutex);
  const Expectation* expectation = Find(this);
  return expectation == nullptr ? 0 : expectation->seen.size();
}

std::vector<Violation> ExpectViolation::Seen() const {
  std::lock_guard<std::mutex> lock(State().mutex);
  const Expectation* expectation = Find(this);
  return expectation == nullptr ? std::vector<Violation>() : expectation->seen;
}

void SetSuiteClock(SuiteClock clock) { g_suiteClock = clock; }

double DefaultClockFactor() {
  static const double factor = [] {
    const char* text = std::getenv("HOSTED_CLOCK_FACTOR");
    const double value = text != nullptr ? std::atof(text) : 0.0;
    return value > 0 ? value : 1000.0;
  }();
  return factor;
}

}  // namespace hosted::test

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  hosted::Scheduler::NameCurrentThread("test thread");
  // A death test's child runs its test without the listener's set-up: it starts here.
  hosted::test::StartClock();
  hosted::Verifier::SetHandler(&hosted::test::OnViolation);
  ::testing::UnitTest::GetInstance()->listeners().Append(new hosted::test::KernelListener());
  return RUN_ALL_TESTS();
}
