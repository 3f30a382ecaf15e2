// `ccidsim run` on small scripts, in the test process with the verifier on: the exit
// status says whether every step did what it asked (0), one did not (1) or the script is
// bad (2, naming its line), and the report says why.
#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "card/card.h"
#include "commands.h"
#include "iso7816/bytes.h"
#include "reader/reader_profile.h"
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

// The same script at the default rate and at the one set protocol chose from the card's
// TA1 (18: Fi 372, Di 12; the reader makes the PPS): the card's time after the answer to
// reset divides by Di exactly, and the session's real-hardware time shrinks by what the
// card saved, give or take the frame each answer waits for.
TEST(CcidsimRun, NegotiatedRateShortensRealHardwareTime) {
  sim::CardProfile fast = *sim::FindCardProfile("t1-ifsc32");
  ASSERT_EQ(fast.ta1, 0x18);
  sim::CardProfile plain = fast;
  plain.ta1.reset();
  const std::size_t atrFast = sim::BuildAtr(fast).size();
  const sim::ReaderProfile reader = *sim::FindReaderProfile("tpdu-basic");
  const double khz = reader.class_descriptor[10] | reader.class_descriptor[11] << 8 |
                     reader.class_descriptor[12] << 16 | reader.class_descriptor[13] << 24;
  const double etu = 372 * 1e6 / khz;  // ns at the default rate
  const double reset = 40400 * 1e6 / khz;

  std::string script = std::string("protocol T1\n") + kSelect + " => 90 00\n";
  for (int i = 0; i < 20; ++i) script += "00 B0 82 00 20 => .. 90 00\n";
  struct Run {
    double total = 0, usb = 0, card = 0;
    int answers = 0;
  };
  const auto run = [&](const std::string& card) {
    ccidsim::RunOptions options;
    options.script = ccidsim_test::TempPath("rate.script");
    options.reader = "tpdu-basic";
    options.card = card;
    options.json = true;
    ccidsim_test::WriteFile(options.script, script);
    std::ostringstream out, err;
    EXPECT_EQ(ccidsim::RunScript(options, out, err), ccidsim::kExitClean) << out.str() << err.str();
    const nlohmann::json report = nlohmann::json::parse(out.str(), nullptr, false);
    Run r;
    if (report.is_discarded()) return r;
    r.total = report["hardware_time"]["total_ns"].get<double>();
    r.usb = report["hardware_time"]["usb_ns"].get<double>();
    r.card = report["hardware_time"]["card_ns"].get<double>();
    for (const auto& step : report["steps"])
      for (const auto& line : step["wire"]) r.answers += line.get<std::string>().rfind("< ", 0) == 0;
    return r;
  };
  const Run slow = run("atr:" + iso7816::ToHex(sim::BuildAtr(plain)));
  const Run quick = run("t1-ifsc32");
  ASSERT_GT(slow.card, 0);
  // After the ATR (and, at the negotiated rate, the 8-character PPS) the same characters.
  const double lineSlow = slow.card - reset - 12 * etu * (atrFast - 1);
  const double lineQuick = quick.card - reset - 12 * etu * (atrFast + 8);
  EXPECT_NEAR(lineSlow / lineQuick, 12.0, 1e-4) << lineSlow << " " << lineQuick;
  const double saved = slow.card - quick.card;
  EXPECT_GT(saved, 0.5 * slow.card);
  EXPECT_NEAR(slow.total - quick.total, saved, slow.answers * 1e6) << "a frame at most for each answer";
  EXPECT_NEAR(slow.usb, quick.usb, slow.answers * 1e6);
  EXPECT_EQ(slow.answers, quick.answers);
}

}  // namespace
