// The ccidsim executable as a user runs it: the demo's narration and verdict, the reader
// list, a session through the process, and every kind of bad argument answered with a
// message and the usage exit status.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "commands.h"
#include "reader/reader_profile.h"
#include "tool_test_util.h"

namespace {

using ccidsim_test::RunCcidsim;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(CcidsimCommandLine, DemoNarratesTheSessionAndEndsWithACleanVerdict) {
  const ccidsim_test::ProcessResult run = RunCcidsim("demo");
  EXPECT_EQ(run.exitStatus, ccidsim::kExitClean) << run.err;
  EXPECT_TRUE(run.err.empty()) << run.err;
  for (const char* part : {
           "ccidsim demo: the CCID reader driver in a hosted Windows kernel",
           "debugger> ---> DriverEntry Driver has been built",
           "IRP_MJ_PNP                            CcidPnp",
           "IRP_MN_START_DEVICE                   STATUS_SUCCESS",
           "> PC_to_RDR_Escape seq 0 \"TALMOR_DRIVER_3004\"",
           "< RDR_to_PC_Escape seq 0 ok",
           "SupportedProtocols                    T=0 + T=1 (0x00000003)",
           "IOCTL_SMARTCARD_IS_PRESENT completed with STATUS_SUCCESS",
           "card state: SCARD_ABSENT -> SCARD_PRESENT",
           "> PC_to_RDR_IccPowerOff seq 1",
           "IRP_MN_SURPRISE_REMOVAL               STATUS_SUCCESS",
           "still parked after IRP_MN_SURPRISE_REMOVAL",
           "(parked before the unplug) completed with STATUS_SUCCESS",
           "> connect: cold reset, select T=1",
           "> PC_to_RDR_SetParameters seq 2 T=1",
           "< 63 C2 : verification failed, 2 tries left",
           "remote wake signalled: wait-wake completed",
           "< 66 A7 75 27 87 7A 87 2A 90 00 : success",
       }) {
    EXPECT_TRUE(Contains(run.out, part)) << "missing: " << part;
  }
  EXPECT_FALSE(Contains(run.out, "  ! ")) << "a step did not go as a working driver does";
  EXPECT_TRUE(run.out.ends_with("verifier: clean: no violations, no pool block left behind\n")) << run.out;
  const ccidsim_test::ProcessResult quiet = RunCcidsim("demo --quiet");
  EXPECT_EQ(quiet.exitStatus, ccidsim::kExitClean);
  EXPECT_EQ(quiet.out, "verifier: clean: no violations, no pool block left behind\n");
}

TEST(CcidsimCommandLine, ReadersListsEveryBuiltInProfile) {
  const ccidsim_test::ProcessResult run = RunCcidsim("readers");
  EXPECT_EQ(run.exitStatus, ccidsim::kExitClean);
  for (const sim::ReaderProfileInfo& info : sim::ReaderProfiles()) {
    SCOPED_TRACE(info.name);
    const std::size_t at = run.out.find("\n  " + info.name + " ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_NE(run.out.find(info.summary, at), std::string::npos);
  }
}

TEST(CcidsimCommandLine, SessionJsonIsTheOnlyOutput) {
  const ccidsim_test::ProcessResult run = RunCcidsim("session --reader t1-only --card t1-ifsc32 --json");
  EXPECT_EQ(run.exitStatus, ccidsim::kExitClean) << run.err;
  const nlohmann::json report = nlohmann::json::parse(run.out, nullptr, false);
  ASSERT_FALSE(report.is_discarded()) << run.out;
  EXPECT_EQ(report["start"]["status"], "0x00000000");
  EXPECT_EQ(report["card"], "t1-ifsc32");
  EXPECT_EQ(report["capabilities"]["SupportedProtocols"], 3) << "bit 0 clear: the add-device protocols stay";
}

TEST(CcidsimCommandLine, BadArgumentsAreUsageErrorsWithAMessage) {
  struct Row {
    const char* arguments;
    const char* message;
  } rows[] = {
      {"", "a sub-command is required: demo, run, session, readers, atr, features"},
      {"frobnicate", "frobnicate"},
      {"session", "--reader is required"},
      {"session --reader", "--reader"},
      {"session --reader no-such-reader", "unknown reader \"no-such-reader\""},
      {"session --reader tpdu-basic --pcap /nonexistent-directory/t.pcap", "cannot write the trace file"},
      {"session --reader tpdu-basic --bogus", "--bogus"},
      {"demo --card no-such-card", "unknown card \"no-such-card\""},
      {"atr", "HEX is required"},
      {"atr 3BZZ", "\"3BZZ\" is not hexadecimal"},
      {"escape 12G", "\"12G\" is not hexadecimal"},
      {"readers extra", "extra"},
      {"run", "SCRIPT is required"},
      {"run /nonexistent-directory/s.txt", "cannot read the script"},
      {"session --reader tpdu-basic --pcap t.pcap --pcap-format pcapng", "--pcap-format"},
      {"profile", "--from-pcap is required"},
      {"profile --from-pcap /nonexistent-directory/t.pcap", "cannot read the capture /nonexistent-directory/t.pcap"},
      {"session --reader tpdu-basic --card vpcd:65536", "unknown card \"vpcd:65536\""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.arguments);
    const ccidsim_test::ProcessResult run = RunCcidsim(row.arguments);
    EXPECT_EQ(run.exitStatus, ccidsim::kExitUsage);
    EXPECT_TRUE(Contains(run.err, row.message)) << run.err;
  }
  const ccidsim_test::ProcessResult help = RunCcidsim("session --help");
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_TRUE(Contains(help.out, "--reader")) << help.out;
}

// Every command's --help ends with examples, and each example runs as printed (scripts of
// the source tree, traces, reader files and scripts in a temporary directory). Those of
// serve and serve-control need pcscd running: the PC/SC tests run them.
TEST(CcidsimCommandLine, EveryCommandShowsExamplesThatRun) {
  const ccidsim_test::ProcessResult top = RunCcidsim("--help");
  ASSERT_EQ(top.exitStatus, 0);
  const std::string script = ccidsim_test::TempPath("my.script");
  ccidsim_test::WriteFile(script, "00 84 00 00 08 => XX XX XX XX XX XX XX XX 90 00\n");
  std::istringstream commands(top.out.substr(top.out.find("Subcommands:")));
  std::string line;
  std::getline(commands, line);
  while (std::getline(commands, line) && line.starts_with("  ")) {
    const std::string command = line.substr(2, line.find(' ', 2) - 2);
    SCOPED_TRACE(command);
    const ccidsim_test::ProcessResult help = RunCcidsim(command + " --help");
    const std::size_t examples = help.out.find("Examples:\n");
    ASSERT_NE(examples, std::string::npos) << help.out;
    if (command == "serve" || command == "serve-control") continue;
    std::istringstream lines(help.out.substr(examples));
    std::string example;
    std::getline(lines, example);
    while (std::getline(lines, example) && example.starts_with("  ccidsim ")) {
      std::istringstream words(example.substr(10, example.find("  # ") - 10));
      std::string arguments;
      for (std::string word; words >> word;) {
        if (word.starts_with("tools/ccidsim/scripts/")) word = std::string(CCID_SOURCE_DIR) + "/" + word;
        if (word == "my.script") word = script;
        if (word.ends_with(".pcap") || word.ends_with(".json")) word = ccidsim_test::TempPath(word);
        arguments += word + " ";
      }
      const ccidsim_test::ProcessResult run = RunCcidsim(arguments);
      EXPECT_EQ(run.exitStatus, ccidsim::kExitClean) << example << "\n" << run.out << run.err;
    }
  }
}

}  // namespace
