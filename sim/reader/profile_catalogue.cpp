// The built-in reader catalogue: the real readers of the embedded data file, then the
// profiles that tests need beyond them.
#include <stdexcept>

#include "reader/reader_profile.h"

namespace sim {

// The real-reader data file, embedded at build time (generated source).
extern const char* const kEmbeddedReaderData;

namespace {

constexpr std::uint16_t kProductBase = 0xCC00;

const char* const kRealReaders[] = {
    "tpdu-basic", "apdu-short", "apdu-extended", "pinpad-lcd", "pinpad-verify-modify", "multi-slot",
    "five-volt-only", "t1-only", "small-messages", "no-interrupt-pipe", "composite", "character-level",
};

// The real readers, read once from the embedded file.
const std::vector<ReaderProfile>& RealReaders() {
  static const std::vector<ReaderProfile> real =
      ReaderProfilesFromFileText(kEmbeddedReaderData, "real-reader-descriptors.json (built in)");
  return real;
}

ReaderProfile Real(std::string_view name) {
  for (const auto& p : RealReaders())
    if (p.name == name) return p;
  throw std::logic_error("the embedded reader data lacks " + std::string(name));
}

// A profile derived from a real one, for a case the real data does not cover.
ReaderProfile Derived(std::string_view base, std::string name, std::string description) {
  ReaderProfile p = Real(base);
  p.name = std::move(name);
  p.description = std::move(description);
  p.product = "Simulated CCID reader (" + p.name + ")";
  p.serial = "SIM-" + p.name;
  return p;
}

std::vector<ReaderProfile> BuildCatalogue() {
  std::vector<ReaderProfile> all;
  for (const char* name : kRealReaders) all.push_back(Real(name));

  ReaderProfile p = Derived("tpdu-basic", "long-config", "test: configuration set longer than 521 bytes");
  p.config_total_length = 600;
  all.push_back(p);

  p = Derived("tpdu-basic", "config-521", "test: configuration set of exactly 521 bytes");
  p.config_total_length = 521;
  all.push_back(p);

  p = Derived("tpdu-basic", "config-522", "test: configuration set of exactly 522 bytes");
  p.config_total_length = 522;
  all.push_back(p);

  p = Derived("tpdu-basic", "composite-second", "test: smart-card interface after another interface");
  p.interface_number = 1;
  all.push_back(p);

  p = Derived("pinpad-lcd", "pinpad-tpdu", "test: PIN pad with LCD at TPDU level");
  const std::uint32_t features = (p.Features() & ~(ccid::kFeatureShortApdu | ccid::kFeatureExtendedApdu)) |
                                 ccid::kFeatureTpdu;
  for (int i = 0; i < 4; ++i) p.class_descriptor[ccid::kDescFeatures + i] = static_cast<std::uint8_t>(features >> (8 * i));
  all.push_back(p);

  p = Derived("tpdu-basic", "wakeup", "test: remote wake-up on card insertion and removal");
  const std::uint32_t wake = p.Features() | ccid::kFeatureUsbWakeUp;
  for (int i = 0; i < 4; ++i) p.class_descriptor[ccid::kDescFeatures + i] = static_cast<std::uint8_t>(wake >> (8 * i));
  p.remote_wakeup = true;
  all.push_back(p);

  // Every profile gets its own product id and the reader's version escape.
  for (std::size_t i = 0; i < all.size(); ++i) {
    all[i].id_product = static_cast<std::uint16_t>(kProductBase + i);
    const std::string version = "CCID Bench reader 1.0";
    all[i].escape_replies.push_back({{0x01}, false, ccid::Bytes(version.begin(), version.end())});
  }
  return all;
}

const std::vector<ReaderProfile>& Catalogue() {
  static const std::vector<ReaderProfile> catalogue = BuildCatalogue();
  return catalogue;
}

}  // namespace

std::vector<ReaderProfileInfo> ReaderProfiles() {
  std::vector<ReaderProfileInfo> out;
  for (const auto& p : Catalogue()) out.push_back({p.name, p.Summary()});
  return out;
}

std::optional<ReaderProfile> FindReaderProfile(std::string_view name) {
  for (const auto& p : Catalogue())
    if (p.name == name) return p;
  return std::nullopt;
}

}  // namespace sim
