// `ccidsim readers`: the built-in reader profiles, one line each.
#include <cstdio>

#include "commands.h"
#include "reader/reader_profile.h"

namespace ccidsim {

int RunReaders(std::ostream& out) {
  const std::vector<sim::ReaderProfileInfo> profiles = sim::ReaderProfiles();
  std::size_t width = 0;
  for (const sim::ReaderProfileInfo& info : profiles) width = std::max(width, info.name.size());
  out << "Built-in reader profiles (" << profiles.size() << "); `ccidsim session --reader NAME` runs one:\n";
  for (const sim::ReaderProfileInfo& info : profiles) {
    out << "  " << info.name << std::string(width - info.name.size() + 2, ' ') << info.summary;
    if (info.name == kDefaultReader) out << " [default]";
    out << "\n";
  }
  return kExitClean;
}

}  // namespace ccidsim
