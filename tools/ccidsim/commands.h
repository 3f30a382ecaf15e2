// The sub-commands of ccidsim. Each returns the process exit status: 0 when the run
// ended cleanly, 1 when the verifier saw a violation or the scenario failed.
#pragma once

namespace ccidsim {

struct DemoOptions {
  bool quiet = false;  // no narration, only the verdict
};

int RunDemo(const DemoOptions& options);

}  // namespace ccidsim
