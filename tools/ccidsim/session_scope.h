// What every ccidsim session runs inside: virtual time, and the verifier's reports kept
// for the verdict.
#pragma once

#include <hosted/kernel/hosted.h>

#include <mutex>
#include <string>
#include <vector>

namespace ccidsim {

// The session's clock: virtual time with automatic advance, the caller's clock afterwards.
// The hosted threads run until nothing more can happen and time moves from deadline to
// deadline, so a step that can never end is known at once.
class VirtualTimeScope {
 public:
  VirtualTimeScope()
      : wasVirtual_(hosted::Clock::IsVirtual()),
        factor_(hosted::Clock::Factor()),
        autoAdvance_(hosted::Clock::AutoAdvance()) {
    hosted::Clock::SetVirtual(hosted::Clock::TimeAdvance::Automatic);
  }
  ~VirtualTimeScope() {
    if (!wasVirtual_) {
      hosted::Clock::SetAccelerated(factor_);
    } else {
      hosted::Clock::SetVirtual(autoAdvance_ ? hosted::Clock::TimeAdvance::Automatic
                                             : hosted::Clock::TimeAdvance::Manual);
    }
  }
  VirtualTimeScope(const VirtualTimeScope&) = delete;
  VirtualTimeScope& operator=(const VirtualTimeScope&) = delete;

 private:
  bool wasVirtual_;
  double factor_;
  bool autoAdvance_;
};

// The verifier's reports during the session: kept in `violations` and handed on to the
// handler that was installed before (stderr for the tool, a test failure in tests).
class VerifierWatch {
 public:
  explicit VerifierWatch(std::vector<std::string>& violations) : violations_(violations) {
    previous_ = hosted::Verifier::SetHandler([this](const hosted::Violation& violation) { Record(violation); });
  }
  ~VerifierWatch() { hosted::Verifier::SetHandler(previous_); }
  VerifierWatch(const VerifierWatch&) = delete;
  VerifierWatch& operator=(const VerifierWatch&) = delete;

 private:
  void Record(const hosted::Violation& violation) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      violations_.push_back(violation.ToString());
    }
    if (previous_) previous_(violation);
  }

  std::vector<std::string>& violations_;
  hosted::Verifier::Handler previous_;
  std::mutex mutex_;
};

}  // namespace ccidsim
