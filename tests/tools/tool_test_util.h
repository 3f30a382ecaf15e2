// Helpers of the ccidsim tests: the tool run as a process, the test data files, temporary
// files.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>

namespace ccidsim_test {

struct ProcessResult {
  int exitStatus = -1;
  std::string out;
  std::string err;
};

// Runs the ccidsim executable with `arguments` (shell words) and waits for it.
ProcessResult RunCcidsim(const std::string& arguments);
// Runs any command line; its standard output.
std::string CommandOutput(const std::string& command);

// A data file of tests/data, parsed.
nlohmann::json TestData(const std::string& name);
std::string TestDataPath(const std::string& name);

// A path in the test's temporary directory, unique to this process and `name`.
std::string TempPath(const std::string& name);
void WriteFile(const std::string& path, const std::string& text);

}  // namespace ccidsim_test
