// `ccidsim run` on small scripts, in the test process with the verifier on: the exit
// status says whether every step did what it asked (0), one did not (1) or the script is
// bad (2, naming its line), and the report says why.
#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "commands.h"
#include "tool_test_util.h"

namespace {

constexpr char kSelect[] = "00 A4 04 00 08 F0 43 43 49 44 53 49 4D";

struct RunRow {
  const char* name;
  std::string script;
  int exitStatus;
  const char* says;     // in the report (or the diagnostics for a bad script)
  const char* absent;   // not in the report; nullptr: no check
};

TEST(CcidsimRun, ExitStatusAndReport) {
  const RunRow rows[] = {
      {"held", std::string("card dual\n") + kSelect + " => 90 00\n00 84 00 00 08 => .. 90 00\n", ccidsim::kExitClean,
       "= as expected (.. 90 00)", "!"},
      {"not held", std::string(kSelect) + " => 6A 82\n", ccidsim::kExitProblem, "! expected 6A 82", nullptr},
      {"refused without expectation", "card none\n00 84 00 00 08\n", ccidsim::kExitProblem, "the transmit failed",
       nullptr},
      {"exit ends the script", "exit\n00 84 00 00 08 => 6A 82\n", ccidsim::kExitClean, "line 1: exit", "line 2"},
      {"remove waits for the driver", "remove\nstate => absent\ninsert t0\nstate => present\n", ccidsim::kExitClean,
       "= as expected (SCARD_PRESENT)", "!"},
      {"an event read nothing answers is cancelled", "card none\nread-event\nread-event\n", ccidsim::kExitClean,
       "read cancelled (STATUS_CANCELLED)", "!"},
      {"bad line", "reset\n\n# fine\nselect the application\n", ccidsim::kExitUsage,
       ":4: \"select the application\" is neither a step nor an APDU in hex", nullptr},
      {"unknown card to insert", "remove\ninsert no-such-card\n", ccidsim::kExitUsage, ":2: unknown card", nullptr},
      {"no card to insert", "card none\ninsert\n", ccidsim::kExitUsage, ":2: insert needs a card name", nullptr},
      {"unknown card to wake by", "remove\nsleep S3\nwake-by-card no-such-card\n", ccidsim::kExitUsage,
       ":3: unknown card", nullptr},
      {"no remote wake where the reader cannot wake the system", "remove\nsleep S3\nwake-by-card\nwake\n",
       ccidsim::kExitProblem, "no wait-wake armed: the reader cannot wake the system", nullptr},
      {"unknown reader line", "reader no-such-reader\nreset\n", ccidsim::kExitUsage, ":1: unknown reader", nullptr},
  };
  for (const RunRow& row : rows) {
    SCOPED_TRACE(row.name);
    ccidsim::RunOptions options;
    options.script = ccidsim_test::TempPath(std::string(row.name) + ".script");
    ccidsim_test::WriteFile(options.script, row.script);
    std::ostringstream out, err;
    EXPECT_EQ(ccidsim::RunScript(options, out, err), row.exitStatus) << out.str() << err.str();
    const std::string report = row.exitStatus == ccidsim::kExitUsage ? err.str() : out.str();
    EXPECT_NE(report.find(row.says), std::string::npos) << report;
    if (row.absent != nullptr) {
      EXPECT_EQ(report.find(row.absent), std::string::npos) << report;
    }
  }
}

TEST(CcidsimRun, JsonReportsEachStep) {
  ccidsim::RunOptions options;
  options.script = ccidsim_test::TempPath("json.script");
  options.reader = "t1-only";
  options.card = "t1-ifsc32";
  options.json = true;
  ccidsim_test::WriteFile(options.script, std::string(kSelect) + " => 61 XX\nattribute vendor-ifd-version\n");
  std::ostringstream out, err;
  EXPECT_EQ(ccidsim::RunScript(options, out, err), ccidsim::kExitProblem);
  const nlohmann::json report = nlohmann::json::parse(out.str(), nullptr, false);
  ASSERT_FALSE(report.is_discarded()) << out.str();
  EXPECT_EQ(report["reader"], "t1-only");
  EXPECT_EQ(report["failures"], 1);
  const nlohmann::json& select = report["steps"][1];
  EXPECT_EQ(select["line"], 1);
  EXPECT_EQ(select["sw"], "9000");
  EXPECT_EQ(select["meaning"], "success");
  EXPECT_EQ(select["expected"]["held"], false);
  EXPECT_EQ(report["steps"][2]["status"], "STATUS_SUCCESS");
  EXPECT_EQ(report["verifier"]["violations"], 0);
}

}  // namespace
