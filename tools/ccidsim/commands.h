// The sub-commands of ccidsim, callable without a process. Each writes its report to `out`,
// its diagnostics to `err`, and returns the process exit status.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace ccidsim {

// Exit statuses.
inline constexpr int kExitClean = 0;     // the run ended cleanly
inline constexpr int kExitProblem = 1;   // a verifier violation, a leak, or a request that never came back
inline constexpr int kExitUsage = 2;     // bad arguments or input (as for a command-line error)

// Trace formats: a Linux usbmon capture (link type 220, or 189 with the shorter header of
// usbmon's read interface) or a Windows USBPcap one (249).
inline constexpr char kPcapFormatUsbmon[] = "usbmon";
inline constexpr char kPcapFormatUsbmon48[] = "usbmon48";
inline constexpr char kPcapFormatUsbpcap[] = "usbpcap";

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
  std::string pcapFormat = kPcapFormatUsbmon;  // its format: usbmon or usbpcap
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
  std::string pcapFormat = kPcapFormatUsbmon;  // its format: usbmon or usbpcap
  bool json = false;
  bool wire = false;    // text report: each step's CCID messages too
};
// Exit status 0 when every step did what it asked and every expectation held, 1 when one
// did not (or the verifier objected), 2 for a bad script, naming the line.
int RunScript(const RunOptions& options, std::ostream& out, std::ostream& err);
// The same for a script given as text; `options.script` names it in messages.
int RunScriptText(const std::string& text, const RunOptions& options, std::ostream& out, std::ostream& err);

// The PC/SC part 10 features one at a time, on a PIN-pad reader by default: `features`,
// `properties`, `escape HEX`, `verify-pin` and `modify-pin` (the keys typed on the
// simulated keypad first; settings as `ccidsim run` reads them), each as the one step of
// a script.
inline constexpr char kDefaultPinReader[] = "pinpad-lcd";
inline constexpr char kDefaultPinCard[] = "t0";
struct FeatureOptions {
  std::string command;  // features, properties, escape, verify-pin, modify-pin
  std::string reader = kDefaultPinReader;
  std::string card = kDefaultPinCard;
  std::string keys;                   // empty: 1234# for verify, 1234#5678#5678# for modify
  std::vector<std::string> settings;  // verify-pin and modify-pin
  std::string hex;                    // escape
  std::string pcap;
  std::string pcapFormat = kPcapFormatUsbmon;
  bool json = false;
};
int RunFeature(const FeatureOptions& options, std::ostream& out, std::ostream& err);

// `serve`: pcscd in the foreground on a private socket in `dir` (a new temporary directory
// when empty), its one reader the PC/SC bridge on `reader` with `card`; returns when pcscd
// ends (SIGINT or SIGTERM stop it). `serve-control`: one command to a serving bridge's
// control socket (insert CARD, remove, keys KEYS, state), its reply on `out`.
struct ServeOptions {
  std::string reader = kDefaultReader;
  std::string card = kDefaultCard;
  std::string dir;
  std::string bridge;  // the bridge's shared object; empty: the one built with ccidsim
  std::string pcscd = "pcscd";
  bool debug = false;  // pcscd --debug
};
int RunServe(const ServeOptions& options, std::ostream& out, std::ostream& err);

struct ServeControlOptions {
  std::string dir;     // serve's directory
  std::string socket;  // or the control socket itself
  std::vector<std::string> command;
};
int RunServeControl(const ServeControlOptions& options, std::ostream& out, std::ostream& err);
// A reader description (the real-reader data file's schema) made from the descriptors in a
// USB capture (usbmon or USBPcap); printed, or written to `output`. Exit status 2 when the
// capture holds no whole reader description (the message names what is missing).
struct ProfileOptions {
  std::string capture;  // the pcap file
  std::string output;   // empty: standard output
  std::string name;     // the profile's name; empty: the capture file's stem
};
int RunProfile(const ProfileOptions& options, std::ostream& out, std::ostream& err);

struct AtrOptions {
  std::string hex;
  bool json = false;
};
int RunAtr(const AtrOptions& options, std::ostream& out, std::ostream& err);

}  // namespace ccidsim
