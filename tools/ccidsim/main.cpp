// ccidsim: the command line of the test bench.
#include <CLI/CLI.hpp>
#include <hosted/kernel/image_loader.h>
#include <hosted/kernel/scheduler.h>

#include <iostream>

#include "CcidWire.h"
#include "bench.h"
#include "card/vpcd_card.h"
#include "commands.h"

namespace {

// "3.0.0.4" from the driver's version digits ("3004").
std::string DriverVersion() {
  const std::string digits = DriverVersionDigits;
  return std::string() + digits[0] + "." + digits[1] + ".0." + std::to_string(std::stoi(digits.substr(2)));
}

// The footer of a command's --help: examples, one a line, each with what it does.
std::string Examples(std::initializer_list<const char*> lines) {
  std::string text = "Examples:";
  for (const char* line : lines) text += std::string("\n  ") + line;
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  hosted::Scheduler::NameCurrentThread("ccidsim");  // in a deadlock report
  CLI::App app{"ccidsim: the CCID reader driver in a hosted Windows kernel, on simulated readers"};
  app.require_subcommand(0, 1);
  app.footer("Exit status: 0 clean, 1 a verifier violation, a leak or a failed check, 2 bad arguments or input.\n"
             "`ccidsim COMMAND --help` shows a command's options and examples.");
  app.set_version_flag("--version", "ccidsim, with the USB CCID reader driver " + DriverVersion());

  const auto addPcapFormat = [](CLI::App* command, std::string& format) {
    command
        ->add_option("--pcap-format", format,
                     "the trace's format: usbmon (Linux, link type 220), usbmon48 (Linux, link type 189) or "
                     "usbpcap (Windows USBPcap, link type 249)")
        ->check(CLI::IsMember({ccidsim::kPcapFormatUsbmon, ccidsim::kPcapFormatUsbmon48, ccidsim::kPcapFormatUsbpcap}))
        ->capture_default_str();
  };

  // Any sub-command runs on the hosted build of the driver, or on a Windows driver image.
  std::string image;
  app.add_option("--image", image, "run this Windows driver image (ccid.sys) instead of the hosted build")
      ->check(CLI::ExistingFile);
  app.fallthrough();

  ccidsim::DemoOptions demo;
  auto* demoCommand = app.add_subcommand("demo", "narrated session on the default reader and card");
  demoCommand->add_option("--reader", demo.reader, "built-in reader profile")->capture_default_str();
  demoCommand->add_option("--card", demo.card, "card profile")->capture_default_str();
  demoCommand->add_flag("-q,--quiet", demo.quiet, "print only the verifier's verdict");
  demoCommand->footer(Examples({"ccidsim demo                                  # the default reader and card",
                                "ccidsim demo --reader pinpad-lcd --card t1-ifsc32   # another reader and card"}));

  ccidsim::SessionOptions session;
  auto* sessionCommand = app.add_subcommand("session", "the demo's scenario, quietly, on any reader");
  sessionCommand->add_option("--reader", session.reader, "built-in reader profile, or a JSON reader description file")
      ->required();
  sessionCommand->add_option("--profile", session.profile, "the entry of a reader file that describes several readers");
  sessionCommand->add_option("--card", session.card, "card profile, or atr:<hex>")->capture_default_str();
  sessionCommand->add_option("--pcap", session.pcap, "write the USB trace to this pcap file");
  addPcapFormat(sessionCommand, session.pcapFormat);
  sessionCommand->add_flag("--json", session.json, "print one JSON object");
  sessionCommand->footer(Examples({"ccidsim session --reader multi-slot --pcap multi.pcap   # then: wireshark multi.pcap",
                                   "ccidsim session --reader t1-only --card t1-crc --json"}));

  ccidsim::RunOptions run;
  auto* runCommand = app.add_subcommand("run", "run a script of smart-card steps (scriptor's format and more)");
  runCommand->add_option("SCRIPT", run.script, "the script file")->required();
  runCommand->add_option("--reader", run.reader, "built-in reader profile, or a JSON reader description file");
  runCommand->add_option("--profile", run.profile, "the entry of a reader file that describes several readers");
  runCommand->add_option("--card", run.card, "card profile, atr:<hex>, vpcd:PORT (a card emulator) or none");
  runCommand->add_option("--pcap", run.pcap, "write the USB trace to this pcap file");
  addPcapFormat(runCommand, run.pcapFormat);
  runCommand->add_flag("--json", run.json, "print one JSON object");
  runCommand->add_flag("--wire", run.wire, "show each step's CCID messages too");
  runCommand->footer(Examples({"ccidsim run tools/ccidsim/scripts/tpdu-basic.script",
                               "ccidsim run my.script --reader apdu-short --card t1-ifsc32 --wire",
                               "ccidsim run my.script --pcap my.pcap --json"}) +
                     "\nA script line is a step (reset, insert, remove, protocol T1, ...) or an APDU in hex, "
                     "optionally followed by => PATTERN.\n"
                     "Exit status: 0 every expectation held, 1 one did not (or a step failed, or the verifier "
                     "objected), 2 a bad script (its line is named).");

  auto* readersCommand = app.add_subcommand("readers", "the built-in reader profiles");
  readersCommand->footer(Examples({"ccidsim readers"}));

  ccidsim::ProfileOptions profile;
  auto* profileCommand =
      app.add_subcommand("profile", "a reader description (JSON, for --reader) made from a USB capture of a reader");
  profileCommand->add_option("--from-pcap", profile.capture, "the capture: usbmon (link type 189 or 220) or USBPcap (249)")
      ->required();
  profileCommand->add_option("-o,--output", profile.output, "write the description to this file (default: print it)");
  profileCommand->add_option("--name", profile.name, "the profile's name (default: the capture file's name)");
  profileCommand->footer(
      Examples({"ccidsim profile --from-pcap multi.pcap -o reader.json   # the trace of `ccidsim session --pcap`",
                "ccidsim session --reader reader.json                    # the reader as it was captured"}));

  ccidsim::AtrOptions atr;
  auto* atrCommand = app.add_subcommand("atr", "an answer to reset as the smart-card library reads it");
  atrCommand->add_option("HEX", atr.hex, "the ATR in hexadecimal")->required();
  atrCommand->add_flag("--json", atr.json, "print one JSON object");
  atrCommand->footer(Examples({"ccidsim atr 3B8F8001804F0CA000000306030001000000006A"}));

  // The PC/SC part 10 features, one request each, on a PIN-pad reader.
  ccidsim::FeatureOptions feature;
  std::vector<std::pair<CLI::App*, std::string>> featureCommands;
  const auto addFeature = [&](const char* name, const char* what) {
    CLI::App* command = app.add_subcommand(name, what);
    command->add_option("--reader", feature.reader, "built-in reader profile, or a JSON reader description file")
        ->capture_default_str();
    command->add_option("--card", feature.card, "card profile, atr:<hex>, or none")->capture_default_str();
    command->add_option("--pcap", feature.pcap, "write the USB trace to this pcap file");
    addPcapFormat(command, feature.pcapFormat);
    command->add_flag("--json", feature.json, "print one JSON object");
    featureCommands.emplace_back(command, name);
    return command;
  };
  addFeature("features", "the reader's PC/SC part 10 feature list, decoded")
      ->footer(Examples({"ccidsim features --reader pinpad-verify-modify"}));
  addFeature("properties", "the reader's PIN-pad and TLV properties, decoded")
      ->footer(Examples({"ccidsim properties"}));
  CLI::App* escapeCommand = addFeature("escape", "a reader escape command (PC_to_RDR_Escape) and its answer");
  escapeCommand->add_option("HEX", feature.hex, "the command in hexadecimal")->required();
  escapeCommand->footer(Examples({"ccidsim escape 01   # the simulated reader's version escape"}));
  for (const char* name : {"verify-pin", "modify-pin"}) {
    CLI::App* command = addFeature(name, std::string(name) == "verify-pin"
                                             ? "verify a PIN typed on the simulated reader's keypad"
                                             : "change a PIN on the simulated reader's keypad");
    command->add_option("--keys", feature.keys,
                        "keys the user types: digits, # (OK), * (correction), C (cancel), . (a pause)");
    command->add_option("SETTINGS", feature.settings,
                        "apdu=HEX format=ascii|bcd|binary block=N justify=left|right pin-at=N length-bits=N "
                        "length-at=N min=N max=N validation=key,max,timeout timeout=S messages=N"
                        " (modify: old-at=N new-at=N old=yes|no confirm=yes|no)");
    command->footer(std::string(name) == "verify-pin"
                        ? Examples({"ccidsim verify-pin --keys 1234#   # the right PIN", "ccidsim verify-pin --keys 9999#   # a wrong PIN: the card counts down"})
                        : Examples({"ccidsim modify-pin --keys 1234#5678#5678#"}));
  }

  ccidsim::ServeOptions serve;
  auto* serveCommand = app.add_subcommand("serve", "pcscd on a private socket, serving the driver on a simulated reader "
                                                   "to unmodified PC/SC applications");
  serveCommand->add_option("--reader", serve.reader, "built-in reader profile, or a JSON reader description file")
      ->capture_default_str();
  serveCommand->add_option("--card", serve.card, "card profile, atr:<hex>, or none")->capture_default_str();
  serveCommand->add_option("--dir", serve.dir, "directory for pcscd's socket, the reader.conf and the control socket");
  serveCommand->add_option("--bridge", serve.bridge, "the PC/SC bridge's shared object (default: the one built with ccidsim)");
  serveCommand->add_option("--pcscd", serve.pcscd, "the pcscd to run")->capture_default_str();
  serveCommand->add_flag("--debug", serve.debug, "pcscd's debug log");
  serveCommand->footer(
      Examples({"ccidsim serve --reader pinpad-lcd --card t0 --dir /tmp/pcsc   # serves until Ctrl-C; then, elsewhere:",
                "PCSCLITE_CSOCK_NAME=/tmp/pcsc/pcscd/pcscd.comm pcsc_scan"}));

  ccidsim::ServeControlOptions serveControl;
  auto* serveControlCommand =
      app.add_subcommand("serve-control", "move the card or type on the keypad of a reader `ccidsim serve` serves");
  auto* controlDir = serveControlCommand->add_option("--dir", serveControl.dir, "the directory serve printed");
  serveControlCommand->add_option("--socket", serveControl.socket, "the control socket itself")->excludes(controlDir);
  serveControlCommand->add_option("COMMAND", serveControl.command, "insert CARD | remove | keys KEYS | state")
      ->required();
  serveControlCommand->footer(Examples({"ccidsim serve-control --dir /tmp/pcsc remove",
                                        "ccidsim serve-control --dir /tmp/pcsc insert t1-ifsc32",
                                        "ccidsim serve-control --dir /tmp/pcsc keys 1234#"}));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help and version are not errors; everything else is a usage error.
    const int status = app.exit(e);
    return status == 0 ? 0 : ccidsim::kExitUsage;
  }

  if (!image.empty() && !hosted::DriverImages::Supported()) {
    std::cerr << "ccidsim: this build cannot run driver images: its NTAPI is not the Microsoft x64 convention\n";
    return ccidsim::kExitUsage;
  }
  if (!image.empty()) ccid_test::SetDriverImage(image);

  // A vpcd:PORT card: the user starts the card emulator once the port listens.
  sim::SetVpcdListeningObserver([](std::uint16_t port) {
    std::cerr << "ccidsim: waiting for a card emulator on 127.0.0.1:" << port << " (for instance: vicc -P " << port
              << ")" << std::endl;
  });

  if (demoCommand->parsed()) return ccidsim::RunDemo(demo, std::cout, std::cerr);
  if (sessionCommand->parsed()) return ccidsim::RunSession(session, std::cout, std::cerr);
  if (runCommand->parsed()) return ccidsim::RunScript(run, std::cout, std::cerr);
  if (serveCommand->parsed()) return ccidsim::RunServe(serve, std::cout, std::cerr);
  if (serveControlCommand->parsed()) {
    if (serveControl.dir.empty() && serveControl.socket.empty()) {
      std::cerr << "ccidsim: serve-control needs --dir or --socket\n";
      return ccidsim::kExitUsage;
    }
    return ccidsim::RunServeControl(serveControl, std::cout, std::cerr);
  }
  if (readersCommand->parsed()) return ccidsim::RunReaders(std::cout);
  if (profileCommand->parsed()) return ccidsim::RunProfile(profile, std::cout, std::cerr);
  if (atrCommand->parsed()) return ccidsim::RunAtr(atr, std::cout, std::cerr);
  for (const auto& [command, name] : featureCommands) {
    if (!command->parsed()) continue;
    feature.command = name;
    return ccidsim::RunFeature(feature, std::cout, std::cerr);
  }
  std::cerr << "ccidsim: a sub-command is required: demo, run, session, readers, atr, features, properties, escape, verify-pin, modify-pin, profile, serve or serve-control\n"
            << "Run with --help for more information.\n";
  return ccidsim::kExitUsage;
}
