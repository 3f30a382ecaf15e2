#include "pe_image.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace pe {
namespace {

constexpr std::size_t kDosLfanewOffset = 0x3C;
constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kImportDescriptorSize = 20;
constexpr std::uint64_t kOrdinalFlag64 = 0x8000000000000000ull;

// Optional-header field offsets of PE32+.
constexpr std::size_t kOptEntryPoint = 16;
constexpr std::size_t kOptImageBase = 24;
constexpr std::size_t kOptCheckSum = 64;
constexpr std::size_t kOptSubsystem = 68;
constexpr std::size_t kOptDllCharacteristics = 70;
constexpr std::size_t kOptNumberOfRvaAndSizes = 108;
constexpr std::size_t kOptDataDirectories = 112;

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> file) : file_(file) {}

  void Need(std::size_t offset, std::size_t size, const char* what) const {
    if (offset > file_.size() || size > file_.size() - offset) {
      throw std::runtime_error(std::string("truncated image: ") + what);
    }
  }
  std::uint16_t U16(std::size_t offset, const char* what) const {
    Need(offset, 2, what);
    return static_cast<std::uint16_t>(file_[offset] | (file_[offset + 1] << 8));
  }
  std::uint32_t U32(std::size_t offset, const char* what) const {
    Need(offset, 4, what);
    return static_cast<std::uint32_t>(U16(offset, what)) | (static_cast<std::uint32_t>(U16(offset + 2, what)) << 16);
  }
  std::uint64_t U64(std::size_t offset, const char* what) const {
    return static_cast<std::uint64_t>(U32(offset, what)) | (static_cast<std::uint64_t>(U32(offset + 4, what)) << 32);
  }
  std::string CString(std::size_t offset, const char* what) const {
    std::string text;
    for (std::size_t i = offset;; ++i) {
      Need(i, 1, what);
      if (file_[i] == 0) return text;
      text.push_back(static_cast<char>(file_[i]));
    }
  }

 private:
  std::span<const std::uint8_t> file_;
};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

void ReadImports(const Reader& reader, Image& image) {
  const Directory& directory = image.directories[kImportDirectory];
  if (directory.rva == 0) return;
  auto offset = image.FileOffset(directory.rva);
  if (!offset) throw std::runtime_error("import directory outside every section");

  for (std::size_t at = *offset;; at += kImportDescriptorSize) {
    const std::uint32_t lookup = reader.U32(at, "import descriptor");
    const std::uint32_t nameRva = reader.U32(at + 12, "import descriptor");
    const std::uint32_t iat = reader.U32(at + 16, "import descriptor");
    if (lookup == 0 && nameRva == 0 && iat == 0) break;

    auto nameOffset = image.FileOffset(nameRva);
    if (!nameOffset) throw std::runtime_error("import module name outside every section");
    ImportedModule module{reader.CString(*nameOffset, "import module name"), {}};

    auto thunks = image.FileOffset(lookup != 0 ? lookup : iat);
    if (!thunks) throw std::runtime_error("import thunks outside every section");
    for (std::size_t thunk = *thunks;; thunk += 8) {
      const std::uint64_t entry = reader.U64(thunk, "import thunk");
      if (entry == 0) break;
      if (entry & kOrdinalFlag64) {
        module.functions.push_back("#" + std::to_string(entry & 0xFFFF));
        continue;
      }
      auto hintName = image.FileOffset(static_cast<std::uint32_t>(entry));
      if (!hintName) throw std::runtime_error("import name outside every section");
      module.functions.push_back(reader.CString(*hintName + 2, "import name"));
    }
    image.imports.push_back(std::move(module));
  }
}

void ReadFunctionTable(const Reader& reader, Image& image) {
  const Directory& directory = image.directories[kExceptionDirectory];
  if (directory.rva == 0 || directory.size == 0) return;
  auto offset = image.FileOffset(directory.rva);
  if (!offset) throw std::runtime_error("exception directory outside every section");
  image.functionTableOffset = *offset;
  for (std::size_t at = *offset; at + 12 <= *offset + directory.size; at += 12) {
    image.functions.push_back({reader.U32(at, "function table"), reader.U32(at + 4, "function table"),
                               reader.U32(at + 8, "function table")});
  }
}

void ReadRelocations(const Reader& reader, Image& image) {
  const Directory& directory = image.directories[kBaseRelocDirectory];
  if (directory.rva == 0 || directory.size == 0) return;
  auto offset = image.FileOffset(directory.rva);
  if (!offset) throw std::runtime_error("base-relocation directory outside every section");
  for (std::size_t block = *offset; block + 8 <= *offset + directory.size;) {
    const std::uint32_t page = reader.U32(block, "relocation block");
    const std::uint32_t size = reader.U32(block + 4, "relocation block");
    if (size < 8) throw std::runtime_error("relocation block shorter than its header");
    for (std::size_t entry = block + 8; entry + 2 <= block + size; entry += 2) {
      const std::uint16_t value = reader.U16(entry, "relocation entry");
      image.relocations.push_back({page + (value & 0x0FFFu), static_cast<std::uint16_t>(value >> 12), entry});
    }
    block += size;
  }
}

}  // namespace

const Section* Image::SectionAt(std::uint32_t rva) const {
  for (const Section& section : sections) {
    const std::uint32_t extent = std::max(section.virtualSize, section.rawSize);
    if (rva >= section.virtualAddress && rva - section.virtualAddress < extent) return &section;
  }
  return nullptr;
}

const Section* Image::SectionNamed(const std::string& name) const {
  for (const Section& section : sections) {
    if (section.name == name) return &section;
  }
  return nullptr;
}

std::optional<std::size_t> Image::FileOffset(std::uint32_t rva) const {
  const Section* section = SectionAt(rva);
  if (section == nullptr || rva - section->virtualAddress >= section->rawSize) return std::nullopt;
  return static_cast<std::size_t>(section->rawOffset) + (rva - section->virtualAddress);
}

Image Parse(std::span<const std::uint8_t> file) {
  Reader reader(file);
  Image image;
  if (reader.U16(0, "DOS header") != 0x5A4D) throw std::runtime_error("no MZ signature");
  const std::size_t pe = reader.U32(kDosLfanewOffset, "DOS header");
  if (reader.U32(pe, "PE signature") != kPeSignature) throw std::runtime_error("no PE signature");

  const std::size_t fileHeader = pe + 4;
  image.machine = reader.U16(fileHeader, "file header");
  const std::uint16_t sectionCount = reader.U16(fileHeader + 2, "file header");
  const std::uint16_t optionalSize = reader.U16(fileHeader + 16, "file header");

  const std::size_t opt = fileHeader + kFileHeaderSize;
  image.magic = reader.U16(opt, "optional header");
  if (image.magic != kMagicPe32Plus) throw std::runtime_error("not a PE32+ image");
  image.entryPointOffset = opt + kOptEntryPoint;
  image.entryPointRva = reader.U32(image.entryPointOffset, "optional header");
  image.imageBase = reader.U64(opt + kOptImageBase, "optional header");
  image.checkSumOffset = opt + kOptCheckSum;
  image.checkSum = reader.U32(image.checkSumOffset, "optional header");
  image.subsystemOffset = opt + kOptSubsystem;
  image.subsystem = reader.U16(image.subsystemOffset, "optional header");
  image.dllCharacteristicsOffset = opt + kOptDllCharacteristics;
  image.dllCharacteristics = reader.U16(image.dllCharacteristicsOffset, "optional header");

  const std::uint32_t directoryCount = reader.U32(opt + kOptNumberOfRvaAndSizes, "optional header");
  if (kOptDataDirectories + 8ull * directoryCount > optionalSize) throw std::runtime_error("data directories overflow");
  for (std::uint32_t i = 0; i < directoryCount; ++i) {
    const std::size_t at = opt + kOptDataDirectories + 8 * i;
    image.directories.push_back({reader.U32(at, "data directory"), reader.U32(at + 4, "data directory")});
  }
  image.directories.resize(std::max<std::size_t>(image.directories.size(), kTlsDirectory + 1));

  const std::size_t sectionTable = opt + optionalSize;
  image.sectionTableOffset = sectionTable;
  for (std::uint16_t i = 0; i < sectionCount; ++i) {
    const std::size_t at = sectionTable + kSectionHeaderSize * i;
    reader.Need(at, kSectionHeaderSize, "section header");
    Section section;
    section.name.assign(reinterpret_cast<const char*>(file.data() + at), strnlen(reinterpret_cast<const char*>(file.data() + at), 8));
    section.virtualSize = reader.U32(at + 8, "section header");
    section.virtualAddress = reader.U32(at + 12, "section header");
    section.rawSize = reader.U32(at + 16, "section header");
    section.rawOffset = reader.U32(at + 20, "section header");
    section.characteristics = reader.U32(at + 36, "section header");
    reader.Need(section.rawOffset, section.rawSize, "section data");
    image.sections.push_back(section);
  }

  ReadImports(reader, image);
  ReadFunctionTable(reader, image);
  ReadRelocations(reader, image);
  return image;
}

std::uint32_t ComputeChecksum(std::span<const std::uint8_t> file, std::size_t checkSumOffset) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < file.size(); i += 2) {
    if (i >= checkSumOffset && i < checkSumOffset + 4) continue;
    std::uint32_t word = file[i];
    if (i + 1 < file.size()) word |= static_cast<std::uint32_t>(file[i + 1]) << 8;
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum + file.size());
}

std::vector<std::string> CheckDriverImage(std::span<const std::uint8_t> file,
                                          const std::vector<std::string>& allowedModules) {
  std::vector<std::string> findings;
  Image image;
  try {
    image = Parse(file);
  } catch (const std::exception& error) {
    return {std::string("format: ") + error.what()};
  }

  auto hex = [](std::uint64_t value) {
    std::ostringstream text;
    text << "0x" << std::hex << value;
    return text.str();
  };

  if (image.machine != kMachineAmd64) findings.push_back("machine: " + hex(image.machine) + ", not AMD64");
  if (image.subsystem != kSubsystemNative) findings.push_back("subsystem: " + hex(image.subsystem) + ", not native");
  const std::uint16_t required = kDllWdmDriver | kDllDynamicBase | kDllNxCompat;
  if ((image.dllCharacteristics & required) != required) {
    findings.push_back("dll-characteristics: " + hex(image.dllCharacteristics) + " lacks WDM_DRIVER/DYNAMIC_BASE/NX_COMPAT");
  }

  const Section* reloc = image.SectionNamed(".reloc");
  if (reloc == nullptr || image.directories[kBaseRelocDirectory].size == 0) {
    findings.push_back("relocations: no .reloc section or empty base-relocation directory");
  }
  // An x64 image relocates 64-bit addresses only: a 32-bit absolute one (HIGHLOW) breaks
  // when the kernel loads the image above 4 GiB, as it always does.
  for (const Relocation& relocation : image.relocations) {
    if (relocation.type != kRelocAbsolute && relocation.type != kRelocDir64) {
      findings.push_back("relocations: type " + std::to_string(relocation.type) + " at " + hex(relocation.rva) +
                         (relocation.type == kRelocHighLow ? " (HIGHLOW)" : ""));
    }
  }
  if (image.functions.empty()) findings.push_back("function-table: no .pdata entries");
  for (const Section& section : image.sections) {
    if ((section.characteristics & kSectionWrite) && (section.characteristics & kSectionExecute)) {
      findings.push_back("sections: " + section.name + " is writable and executable");
    }
  }
  const Section* entrySection = image.SectionAt(image.entryPointRva);
  if (entrySection == nullptr || !(entrySection->characteristics & kSectionExecute)) {
    findings.push_back("entry: entry point " + hex(image.entryPointRva) + " is not in executable code");
  }
  if (image.directories[kTlsDirectory].size != 0) findings.push_back("tls: image has a TLS directory");
  if (image.directories[kExportDirectory].size != 0) findings.push_back("exports: image exports symbols");

  if (image.imports.empty()) findings.push_back("imports: image imports nothing");
  for (const ImportedModule& module : image.imports) {
    const bool allowed = std::any_of(allowedModules.begin(), allowedModules.end(),
                                     [&](const std::string& name) { return Lower(name) == Lower(module.name); });
    if (!allowed) findings.push_back("imports: " + module.name + " is not a kernel-mode module");
  }

  const std::uint32_t expected = ComputeChecksum(file, image.checkSumOffset);
  if (image.checkSum != expected) {
    findings.push_back("checksum: header says " + hex(image.checkSum) + ", file sums to " + hex(expected));
  }
  return findings;
}

std::optional<VersionResource> ReadVersionResource(std::span<const std::uint8_t> file, const Image& image) {
  constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
  const Section* resources = image.SectionNamed(".rsrc");
  if (resources == nullptr) return std::nullopt;
  const Reader reader(file);
  const std::size_t end = static_cast<std::size_t>(resources->rawOffset) + resources->rawSize;
  for (std::size_t at = resources->rawOffset; at + 52 <= end; at += 4) {
    if (reader.U32(at, "version resource") != kFixedFileInfoSignature) continue;
    VersionResource version;
    auto split = [&](std::size_t offset, std::uint16_t (&parts)[4]) {
      const std::uint32_t ms = reader.U32(offset, "version resource");
      const std::uint32_t ls = reader.U32(offset + 4, "version resource");
      parts[0] = static_cast<std::uint16_t>(ms >> 16);
      parts[1] = static_cast<std::uint16_t>(ms);
      parts[2] = static_cast<std::uint16_t>(ls >> 16);
      parts[3] = static_cast<std::uint16_t>(ls);
    };
    split(at + 8, version.file);
    split(at + 16, version.product);
    return version;
  }
  return std::nullopt;
}

std::vector<MapCode> MapCodeSections(const std::string& mapText, const std::string& objectSuffix) {
  // GNU ld writes " .text$name  0xADDRESS  0xSIZE  object", the numbers on the next line
  // when the section name is long.
  auto split = [](const std::string& line) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string word; fields >> word;) words.push_back(word);
    return words;
  };
  std::vector<MapCode> code;
  std::istringstream lines(mapText);
  std::string line, pending;
  while (std::getline(lines, line)) {
    std::vector<std::string> words = split(line);
    if (line.rfind(" .text", 0) == 0 && words.size() == 1) {
      pending = words[0];
      continue;
    }
    if (line.rfind(" .text", 0) != 0 && !pending.empty()) words.insert(words.begin(), pending);
    pending.clear();
    if (words.size() != 4 || words[0].rfind(".text", 0) != 0 || words[2].rfind("0x", 0) != 0) continue;
    const std::string& object = words[3];
    const std::uint64_t bytes = std::stoull(words[2].substr(2), nullptr, 16);
    if (bytes == 0 || object.size() < objectSuffix.size() ||
        object.compare(object.size() - objectSuffix.size(), objectSuffix.size(), objectSuffix) != 0) {
      continue;
    }
    code.push_back({words[0], std::stoull(words[1].substr(2), nullptr, 16), bytes, object});
  }
  return code;
}

std::vector<std::string> CheckFunctionTable(const Image& image, const std::vector<MapCode>& code) {
  std::vector<std::string> findings;
  for (const MapCode& routine : code) {
    const std::uint64_t begin = routine.address - image.imageBase;
    const bool covered = std::any_of(image.functions.begin(), image.functions.end(),
                                     [&](const RuntimeFunction& f) { return f.begin <= begin && begin < f.end; });
    if (!covered) findings.push_back("function-table: no .pdata entry for " + routine.section + " (" + routine.object + ")");
  }
  return findings;
}

std::vector<std::string> CheckImportAllowList(const Image& image, const std::string& allowListText) {
  std::vector<std::pair<std::string, std::string>> allowed;
  std::istringstream lines(allowListText);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string module, function;
    if (!(fields >> module) || module[0] == '#' || !(fields >> function)) continue;
    allowed.emplace_back(Lower(module), function);
  }
  std::vector<std::string> findings;
  for (const ImportedModule& module : image.imports) {
    for (const std::string& function : module.functions) {
      if (std::find(allowed.begin(), allowed.end(), std::make_pair(Lower(module.name), function)) == allowed.end()) {
        findings.push_back("imports: " + module.name + "!" + function + " is not on the allow-list");
      }
    }
  }
  return findings;
}

std::optional<std::uint64_t> MapSymbolAddress(const std::string& mapText, const std::string& symbol) {
  std::istringstream lines(mapText);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string address, name, rest;
    if (!(fields >> address >> name) || (fields >> rest)) continue;
    if (name != symbol || address.rfind("0x", 0) != 0) continue;
    return std::stoull(address.substr(2), nullptr, 16);
  }
  return std::nullopt;
}

}  // namespace pe
