// `ccidsim features | properties | escape HEX | verify-pin | modify-pin`: one PC/SC part 10
// feature request as a one-step script on a PIN-pad reader, printed as `ccidsim run` does.
#include <iso7816/bytes.h>

#include "commands.h"

namespace ccidsim {

int RunFeature(const FeatureOptions& options, std::ostream& out, std::ostream& err) {
  std::string text;
  if (options.command == "verify-pin" || options.command == "modify-pin") {
    const bool modify = options.command == "modify-pin";
    text = "keypad " + (!options.keys.empty() ? options.keys : modify ? "1234#5678#5678#" : "1234#") + "\n" +
           options.command;
    for (const std::string& setting : options.settings) text += " " + setting;
  } else if (options.command == "escape") {
    if (!iso7816::FromHex(options.hex) || options.hex.empty()) {
      err << "ccidsim: \"" << options.hex
          << "\" is not hexadecimal bytes (two digits per byte; spaces, colons or dashes may separate bytes)\n";
      return kExitUsage;
    }
    text = "escape " + options.hex;
  } else {
    text = options.command;
  }
  RunOptions run;
  run.script = "ccidsim " + options.command;
  run.reader = options.reader;
  run.card = options.card;
  run.pcap = options.pcap;
  run.pcapFormat = options.pcapFormat;
  run.json = options.json;
  return RunScriptText(text + "\n", run, out, err);
}

}  // namespace ccidsim
