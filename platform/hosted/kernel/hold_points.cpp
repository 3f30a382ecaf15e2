// Hold points: the holds a test set, the threads stopped under them, and the kernel wait
// of a stopped thread.
#include "hold_points.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string_view>
#include <vector>

#include "scheduler.h"

namespace hosted {
namespace {

struct Hold {
  std::string_view point;
  std::uint32_t key;
  std::uint64_t serial;  // a new hold of the same point and key is another hold
  std::size_t stops;  // 0: no limit
  std::size_t stopped;
};

struct HoldState {
  std::mutex mutex;
  std::vector<Hold> holds;
  std::uint64_t serials = 0;
  std::atomic<std::size_t> count{0};  // holds set: the points' fast path reads it alone
  KernelCondition released{"stopped at a hold point"};
};

HoldState& State() {
  static HoldState* state = new HoldState();  // lives for the whole process
  return *state;
}

bool Covers(const Hold& hold, std::string_view point, std::uint32_t key) {
  return hold.point == point && (hold.key == HoldPoints::kAnyKey || hold.key == key);
}

Hold* FindSerial(HoldState& s, std::uint64_t serial) {
  auto it = std::find_if(s.holds.begin(), s.holds.end(), [&](const Hold& h) { return h.serial == serial; });
  return it == s.holds.end() ? nullptr : &*it;
}

}  // namespace

void HoldPoints::Hold(const char* point, std::uint32_t key, std::size_t stops) {
  HoldState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.holds.push_back({point, key, ++s.serials, stops, 0});
  s.count.store(s.holds.size());
}

void HoldPoints::Release(const char* point, std::uint32_t key) {
  HoldState& s = State();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    std::erase_if(s.holds, [&](const struct Hold& h) { return h.point == std::string_view(point) && h.key == key; });
    s.count.store(s.holds.size());
  }
  s.released.NotifyAll();
}

void HoldPoints::ReleaseAll() {
  HoldState& s = State();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.holds.clear();
    s.count.store(0);
  }
  s.released.NotifyAll();
}

std::size_t HoldPoints::Held(const char* point, std::uint32_t key) {
  HoldState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::size_t count = 0;
  for (const struct Hold& h : s.holds)
    if (h.point == std::string_view(point) && h.key == key) count += h.stopped;
  return count;
}

bool HoldPoints::WaitHeld(const char* point, std::uint32_t key, std::size_t count) {
  return Scheduler::RunUntil([&] { return Held(point, key) >= count; });
}

void HoldPoints::Pass(const char* point, std::uint32_t key) {
  HoldState& s = State();
  if (s.count.load() == 0) return;
  std::uint64_t serial = 0;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    for (struct Hold& h : s.holds) {
      if (Covers(h, point, key) && (h.stops == 0 || h.stopped < h.stops)) {
        ++h.stopped;
        serial = h.serial;
        break;
      }
    }
  }
  if (serial == 0) return;
  s.released.Wait([&] {
    std::lock_guard<std::mutex> lock(s.mutex);
    return FindSerial(s, serial) == nullptr;
  });
}

}  // namespace hosted
