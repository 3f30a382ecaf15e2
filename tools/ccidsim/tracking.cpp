// Card-tracking requests an application sends through its handle on the reader.
#include "tracking.h"

#include <hosted/kernel/scheduler.h>
#include <winsmcrd.h>

namespace ccidsim {
namespace {

// How long (kernel time) a request the driver still holds at the end gets to come back
// once cancelled.
constexpr std::chrono::seconds kCancelPatience{5};

}  // namespace

TrackingRequest::TrackingRequest(scard::Reader& reader, bool present)
    : ioControlCode_(present ? IOCTL_SMARTCARD_IS_PRESENT : IOCTL_SMARTCARD_IS_ABSENT) {
  request_ = reader.WaitForCard(present);
  // What the dispatch routine returned: STATUS_PENDING while the driver holds it.
  if (request_ == nullptr) {
    sent_ = STATUS_INSUFFICIENT_RESOURCES;
  } else if (request_->Done()) {
    std::lock_guard<std::mutex> lock(mutex_);
    result_ = request_->Result();
    sent_ = result_->returned;
  }
}

TrackingRequest::~TrackingRequest() { End(); }

void TrackingRequest::End() {
  if (request_ == nullptr) return;
  if (!Completed()) {
    request_->Cancel();
    Wait(kCancelPatience);
  }
  if (Completed()) request_.reset();
}

bool TrackingRequest::Wait(std::chrono::milliseconds patience) {
  if (request_ == nullptr) return Completed();
  const bool done = hosted::Scheduler::RunUntil([this] { return request_->Done(); }, patience);
  if (done) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!result_) result_ = request_->Result();
  }
  return done;
}

bool TrackingRequest::Completed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return result_.has_value();
}

TrackingOutcome TrackingRequest::Outcome() const {
  TrackingOutcome outcome;
  outcome.ioControlCode = ioControlCode_;
  outcome.sent = sent_;
  std::lock_guard<std::mutex> lock(mutex_);
  outcome.completed = result_.has_value();
  if (outcome.completed) {
    outcome.status = result_->status;
    outcome.information = result_->information;
  }
  return outcome;
}

}  // namespace ccidsim
