#include "tool_test_util.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace ccidsim_test {

namespace {

// Runs a shell command, collects its standard output and returns pclose's status.
int ReadCommand(const std::string& command, std::string& output) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, n);
  return ::pclose(pipe);
}

}  // namespace

std::string CommandOutput(const std::string& command) {
  std::string output;
  ReadCommand(command, output);
  return output;
}

ProcessResult RunCcidsim(const std::string& arguments) {
  const std::string errPath = TempPath("stderr");
  ProcessResult result;
  const int status = ReadCommand(std::string(CCIDSIM_EXE) + " " + arguments + " 2>" + errPath, result.out);
  if (status == -1) return result;
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream err(errPath);
  std::ostringstream text;
  text << err.rdbuf();
  result.err = text.str();
  std::filesystem::remove(errPath);
  return result;
}

std::string TestDataPath(const std::string& name) { return std::string(CCID_TEST_DATA) + "/" + name; }

nlohmann::json TestData(const std::string& name) {
  std::ifstream file(TestDataPath(name));
  EXPECT_TRUE(file.good()) << TestDataPath(name);
  return nlohmann::json::parse(file, nullptr, false);
}

std::string TempPath(const std::string& name) {
  return testing::TempDir() + "ccidsim_" + std::to_string(::getpid()) + "_" + name;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  EXPECT_TRUE(file.good()) << path;
}

}  // namespace ccidsim_test
