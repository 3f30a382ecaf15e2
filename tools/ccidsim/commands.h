// The sub-commands of ccidsim, callable without a process. Each writes its report to `out`,
// its diagnostics to `err`, and returns the process exit status.
#pragma once

#include <ostream>
#include <string>

namespace ccidsim {

// Exit statuses.
inline constexpr int kExitClean = 0;     // the run ended cleanly
inline constexpr int kExitProblem = 1;   // a verifier violation, a leak, or a request that never came back
inline constexpr int kExitUsage = 2;     // bad arguments or input (as for a command-line error)

inline constexpr char kDefaultReader[] = "tpdu-basic";
inline constexpr char kDefaultCard[] = "dual";

struct DemoOptions {
  std::string reader = kDefaultReader;
  std::string card = kDefaultCard;
  bool quiet = false;  // no narration, only the verdict
};
int RunDemo(const DemoOptions& options, std::ostream& out, std::ostream& err);

struct SessionOptions {
  std::string reader;   // catalogue name or reader description file
  std::string profile;  // entry of a file of several readers
  std::string card = kDefaultCard;
  std::string pcap;     // trace file to write; empty: none
  bool json = false;
};
int RunSession(const SessionOptions& options, std::ostream& out, std::ostream& err);

int RunReaders(std::ostream& out);

struct RunOptions {
  std::string script;   // the script file
  std::string reader;   // catalogue name or reader description file; empty: the script's
  std::string profile;  // entry of a file of several readers
  std::string card;     // card profile, atr:<hex> or "none"; empty: the script's
  std::string pcap;     // trace file to write; empty: none
  bool json = false;
};
// Exit status 0 when every step did what it asked and every expectation held, 1 when one
// did not (or the verifier objected), 2 for a bad script, naming the line.
int RunScript(const RunOptions& options, std::ostream& out, std::ostream& err);

struct AtrOptions {
  std::string hex;
  bool json = false;
};
int RunAtr(const AtrOptions& options, std::ostream& out, std::ostream& err);

}  // namespace ccidsim
