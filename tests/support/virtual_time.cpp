// Linked into the suites whose tests run on virtual kernel time with automatic advance.
#include "kernel_test_support.h"

namespace {

const bool kVirtualTime = [] {
  hosted::test::SetSuiteClock(hosted::test::SuiteClock::Virtual);
  return true;
}();

}  // namespace
