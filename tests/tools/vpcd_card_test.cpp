// A card emulator behind the simulated reader: vicc (the vsmartcard project's ISO 7816
// card), started by the test when the reader's vpcd port listens, as the card of a
// `ccidsim run` script on a TPDU-level and an APDU-level reader. Its answer to reset
// reaches the application whole, and a file it creates is selected and read
// through the driver (the bench wraps the emulator's APDUs in the T=1 its ATR announces).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "card/vpcd_card.h"
#include "commands.h"
#include "tool_test_util.h"

namespace {

// vicc, started once the port listens, stopped (by its process id) at the end.
class Emulator {
 public:
  explicit Emulator(std::string log) : log_(std::move(log)) {}
  ~Emulator() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }

  void Start(std::uint16_t port) {
    const std::string portText = std::to_string(port);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const char* argv[] = {"/bin/sh", CCID_VICC_WRAPPER, "-P", portText.c_str(), nullptr};
    started_ = posix_spawn(&pid_, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
  }

  bool Started() const { return started_; }
  std::string Log() const {
    std::ifstream file(log_);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
  }

 private:
  std::string log_;
  pid_t pid_ = -1;
  bool started_ = false;
};

// The emulator's ISO 7816 card starts with an empty MF: the script creates a transparent
// EF 1001 of 8 bytes (FCP with its content), selects it and reads it, whole and past its
// end (this vicc's UPDATE BINARY fails inside the emulator, so the content comes with the
// FCP).
constexpr char kScript[] =
    "reset cold => 3B 95 13 81 01 80 73 FF 01 00 0B\n"
    "attribute current-protocol-type => 02 00 00 00\n"
    "00 A4 00 0C 02 3F 00 => 90 00\n"
    "00 E0 00 00 19 62 17 80 01 08 82 01 01 83 02 10 01 54 01 00 53 08 01 02 03 04 05 06 07 08 => 90 00\n"
    "00 A4 00 0C 02 3F 00 => 90 00\n"
    "00 A4 02 0C 02 10 01 => 90 00\n"
    "00 B0 00 00 08 => 01 02 03 04 05 06 07 08 90 00\n"
    "00 B0 00 06 00 => 07 08 62 82\n"
    "00 A4 02 0C 02 10 02 => 6A 82\n";

class EmulatedCard : public testing::TestWithParam<std::string> {};

TEST_P(EmulatedCard, FilesAreSelectedAndReadThroughTheDriver) {
  if (std::string(CCID_VICC).empty()) GTEST_SKIP() << "vicc (Debian package vsmartcard-vpicc) is not installed";
  Emulator emulator(ccidsim_test::TempPath("vicc-" + GetParam() + ".log"));
  sim::SetVpcdListeningObserver([&emulator](std::uint16_t port) { emulator.Start(port); });
  ccidsim::RunOptions run;
  run.script = "emulated card";
  run.reader = GetParam();
  run.card = "vpcd:0";
  std::ostringstream out, err;
  const int status = ccidsim::RunScriptText(kScript, run, out, err);
  sim::SetVpcdListeningObserver(nullptr);
  ASSERT_TRUE(emulator.Started());
  EXPECT_EQ(status, ccidsim::kExitClean) << out.str() << err.str() << "\nvicc:\n" << emulator.Log();
  EXPECT_NE(out.str().find("9 expectation(s), 0 failed"), std::string::npos) << out.str();
}

INSTANTIATE_TEST_SUITE_P(Readers, EmulatedCard, testing::Values("tpdu-basic", "apdu-short"),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
