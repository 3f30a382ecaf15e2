// Reader profiles from the catalogue or from a reader description file.
#include "reader_source.h"

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace ccidsim {
namespace {

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) return std::nullopt;
  return text.str();
}

std::string EntryNames(const nlohmann::json& readers) {
  std::string names;
  for (const nlohmann::json& entry : readers) {
    const auto name = entry.find("profile");
    if (name == entry.end() || !name->is_string()) continue;
    names += (names.empty() ? "" : ", ") + name->get<std::string>();
  }
  return names;
}

sim::ReaderProfile FromFile(const std::string& path, const std::string& text, const std::string& profile) {
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& e) {
    throw std::runtime_error(path + " is not JSON: " + e.what());
  }
  const bool wholeFile = document.is_object() && document.contains("readers");
  if (!profile.empty()) {
    if (!wholeFile) throw std::runtime_error(path + " describes one reader; --profile picks an entry of a file of readers");
    return sim::ReaderProfileFromFileText(text, profile, path);
  }
  if (!wholeFile) return sim::ReaderProfileFromJson(text, path);
  const nlohmann::json& readers = document["readers"];
  if (!readers.is_array() || readers.empty()) throw std::runtime_error(path + " has no \"readers\" entries");
  if (readers.size() != 1)
    throw std::runtime_error(path + " describes " + std::to_string(readers.size()) +
                             " readers; choose one with --profile (" + EntryNames(readers) + ")");
  return sim::ReaderProfilesFromFileText(text, path).front();
}

// A name is taken for a file when such a file exists or when it reads like a path.
bool LooksLikeFile(const std::string& reader) {
  std::error_code ignored;
  return std::filesystem::exists(reader, ignored) || reader.find('/') != std::string::npos ||
         reader.ends_with(".json");
}

}  // namespace

std::optional<sim::ReaderProfile> ResolveReader(const std::string& reader, const std::string& profile,
                                                std::string* error) {
  if (!LooksLikeFile(reader)) {
    if (!profile.empty()) {
      *error = "--profile picks an entry of a reader description file; \"" + reader + "\" is a built-in reader";
      return std::nullopt;
    }
    std::optional<sim::ReaderProfile> found = sim::FindReaderProfile(reader);
    if (!found) *error = "unknown reader \"" + reader + "\" (`ccidsim readers` lists the built-in ones)";
    return found;
  }
  const std::optional<std::string> text = ReadFile(reader);
  if (!text) {
    *error = "cannot read the reader description " + reader;
    return std::nullopt;
  }
  try {
    return FromFile(reader, *text, profile);
  } catch (const std::exception& e) {
    *error = e.what();
    return std::nullopt;
  }
}

}  // namespace ccidsim
