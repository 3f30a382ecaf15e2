// Test support for every suite that runs code on the hosted kernel.
//
// The support library provides main(). Around each test it:
//  - turns every verifier violation into a test failure naming the check and the routine
//    (from any thread), unless an ExpectViolation scope is waiting for it;
//  - starts the kernel clock: accelerated (HOSTED_CLOCK_FACTOR, default 1000: a
//    five-minute time-out takes 300 ms), or in virtual time with automatic advance for
//    the suites that link hosted_virtual_time (driver, end-to-end, tools): time moves only
//    when every hosted thread is blocked, and a deadlock stops the test at once with its
//    waits named; it also clears allocation-failure rules and debug output;
//  - checks at the end that the test left nothing behind: IRPs, pool, device objects,
//    registry handles, work items, spin locks held, a raised IRQL (each a failure), that no
//    pool block's guard bytes were overwritten, and puts the registry back as it was before
//    the test.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "hosted/kernel/hosted.h"

namespace hosted::test {

// Within its scope, violations of `check` (whose message or routine contains `substring`)
// are expected: they do not fail the test, and at the end of the scope at least `minimum`
// of them must have happened. Scopes nest; the innermost match wins.
class [[nodiscard]] ExpectViolation {
 public:
  explicit ExpectViolation(Check check, std::string substring = std::string(), std::size_t minimum = 1);
  ExpectViolation(const ExpectViolation&) = delete;
  ExpectViolation& operator=(const ExpectViolation&) = delete;
  ~ExpectViolation();

  std::size_t Count() const;
  std::vector<Violation> Seen() const;

 private:
  Check check_;
  std::string substring_;
  std::size_t minimum_;
};

// The clock factor the support library sets before each test on the accelerated clock.
double DefaultClockFactor();

// The clock every test of the suite starts with (hosted_virtual_time sets Virtual).
enum class SuiteClock { Accelerated, Virtual };
void SetSuiteClock(SuiteClock clock);

}  // namespace hosted::test

// Runs `statement` expecting at least one violation of `check`.
#define EXPECT_VIOLATION(check, statement)                          \
  do {                                                              \
    ::hosted::test::ExpectViolation expect_violation_scope_(check); \
    statement;                                                      \
  } while (0)
