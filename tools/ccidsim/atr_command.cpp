// `ccidsim atr HEX`: an answer to reset read as the smart-card library reads it when a
// card is powered, with ISO/IEC 7816-3 defaults for every byte the ATR leaves out.
#include <hosted/smclib/card_capabilities.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "commands.h"
#include "iso7816/bytes.h"

namespace ccidsim {
namespace {

using Json = nlohmann::ordered_json;

std::vector<int> Protocols(const iso7816::Atr& atr) {
  std::vector<int> protocols;
  for (int t = 0; t < 16; ++t)
    if (atr.Offers(t)) protocols.push_back(t);
  return protocols;
}

Json AtrJson(const iso7816::Bytes& bytes, const hosted::smclib::AtrReading& reading) {
  const iso7816::Atr& atr = reading.atr;
  return Json{{"atr", iso7816::ToHex(bytes)},
              {"valid", reading.ok()},
              {"error", reading.reason},
              {"convention", atr.convention == iso7816::Convention::kInverse ? "inverse" : "direct"},
              {"Fl", atr.fi_index},
              {"Dl", atr.di_index},
              {"N", atr.n_guard},
              {"protocols", Protocols(atr)},
              {"T0_WI", atr.t0_wi},
              {"T1_IFSC", atr.t1_ifsc},
              {"T1_BWI", atr.t1_bwi},
              {"T1_CWI", atr.t1_cwi},
              {"T1_EDC", atr.t1_edc == iso7816::Edc::kCrc ? "crc" : "lrc"},
              {"historical", iso7816::ToHex(atr.historical)},
              {"specific_mode", atr.specific_mode}};
}

void Row(std::ostream& out, const char* name, const std::string& value) {
  char line[256];
  std::snprintf(line, sizeof(line), "  %-12s %s\n", name, value.c_str());
  out << line;
}

void PrintAtr(std::ostream& out, const iso7816::Bytes& bytes, const hosted::smclib::AtrReading& reading) {
  const iso7816::Atr& atr = reading.atr;
  out << "ATR " << iso7816::ToHex(bytes, ' ') << "\n";
  Row(out, "valid", reading.ok() ? "yes" : "no: " + reading.reason);
  Row(out, "convention",
      atr.convention == iso7816::Convention::kInverse
          ? std::string("inverse") + (reading.inverseOnTheWire ? " (03 on the wire, decoded)" : "")
          : "direct");
  Row(out, "Fl / Dl",
      std::to_string(atr.fi_index) + " / " + std::to_string(atr.di_index) + "  (Fi " + std::to_string(atr.Fi()) +
          ", Di " + std::to_string(atr.Di()) + ", f max " + std::to_string(atr.FMax() / 1000) + " kHz)" +
          (atr.HasTa1() ? "" : ", no TA1: default"));
  Row(out, "N", std::to_string(atr.n_guard) + " (extra guard time, TC1)");
  std::string protocols;
  for (int t : Protocols(atr)) protocols += (protocols.empty() ? "T=" : ", T=") + std::to_string(t);
  Row(out, "protocols", protocols.empty() ? "none" : protocols);
  if (atr.specific_mode)
    Row(out, "mode", "specific, T=" + std::to_string(atr.specific_protocol) +
                         (atr.specific_implicit_parameters ? ", implicit parameters" : ", parameters of TA1"));
  Row(out, "T=0", "WI " + std::to_string(atr.t0_wi));
  Row(out, "T=1", "IFSC " + std::to_string(atr.t1_ifsc) + ", BWI " + std::to_string(atr.t1_bwi) + ", CWI " +
                      std::to_string(atr.t1_cwi) + ", EDC " + (atr.t1_edc == iso7816::Edc::kCrc ? "CRC" : "LRC"));
  Row(out, "historical",
      atr.historical.empty() ? "none"
                             : iso7816::ToHex(atr.historical, ' ') + " (" + std::to_string(atr.historical.size()) +
                                   " bytes)");
}

}  // namespace

int RunAtr(const AtrOptions& options, std::ostream& out, std::ostream& err) {
  std::string_view text = options.hex;
  if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
  const std::optional<iso7816::Bytes> bytes = iso7816::FromHex(text);
  if (!bytes) {
    err << "ccidsim: \"" << options.hex
        << "\" is not hexadecimal bytes (two digits per byte; spaces, colons or dashes may separate bytes)\n";
    return kExitUsage;
  }
  const hosted::smclib::AtrReading reading = hosted::smclib::ReadAtr(*bytes);
  if (options.json) {
    out << AtrJson(*bytes, reading).dump(2) << "\n";
  } else {
    PrintAtr(out, *bytes, reading);
  }
  return reading.ok() ? kExitClean : kExitProblem;
}

}  // namespace ccidsim
