// Which reader a session runs on: a profile of the built-in catalogue by name, or a JSON
// reader description in the schema of the real-reader data file (one "readers" entry, or
// a whole file with one entry chosen by name).
#pragma once

#include <optional>
#include <string>

#include "reader/reader_profile.h"

namespace ccidsim {

// `reader` is a catalogue name or a file; `profile` names the entry of a file that
// describes several readers. Nothing, with the reason in `error`, when the reader cannot
// be had.
std::optional<sim::ReaderProfile> ResolveReader(const std::string& reader, const std::string& profile,
                                                std::string* error);

}  // namespace ccidsim
