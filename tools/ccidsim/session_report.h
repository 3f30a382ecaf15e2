// Shared by `demo` and `session`: setting a scenario up from the command line's words, and
// the pieces of its report.
#pragma once

#include <wdm.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>

#include "scenario.h"

namespace ccidsim {

// The scenario's options for a reader (name or file, and the file's entry), a card profile
// and a trace file, checked before anything runs; nothing, with a message on `err`, when
// one of them is unusable.
std::optional<ScenarioOptions> PrepareScenario(const std::string& reader, const std::string& profile,
                                               const std::string& card, const std::string& pcap, std::ostream& err);

// The session as one JSON object (see `ccidsim session --json`).
nlohmann::ordered_json SessionJson(const ScenarioOptions& options, const ScenarioResult& result);

// "clean: no violations, no pool block left behind", or what went wrong.
std::string VerdictText(const ScenarioResult& result);
// "T=0 + T=1" for SCARD_PROTOCOL_* bits.
std::string ProtocolsText(ULONG protocols);
// "IOCTL_SMARTCARD_IS_PRESENT" for the tracking codes.
std::string IoctlName(ULONG ioControlCode);
// "0x0001A2B3"
std::string Hex32(ULONG value);

}  // namespace ccidsim
