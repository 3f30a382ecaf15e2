// A small reader of PE32+ images, enough to check a driver image: headers, sections,
// data directories, imports, the checksum, and the symbol addresses of the link map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pe {

inline constexpr std::uint16_t kMachineAmd64 = 0x8664;
inline constexpr std::uint16_t kMagicPe32Plus = 0x20B;
inline constexpr std::uint16_t kSubsystemNative = 1;

inline constexpr std::uint16_t kDllHighEntropyVa = 0x0020;
inline constexpr std::uint16_t kDllDynamicBase = 0x0040;
inline constexpr std::uint16_t kDllNxCompat = 0x0100;
inline constexpr std::uint16_t kDllWdmDriver = 0x2000;

inline constexpr std::uint32_t kSectionExecute = 0x20000000;
inline constexpr std::uint32_t kSectionWrite = 0x80000000;

enum DataDirectory : std::size_t {
  kExportDirectory = 0,
  kImportDirectory = 1,
  kExceptionDirectory = 3,
  kBaseRelocDirectory = 5,
  kTlsDirectory = 9,
};

struct Section {
  std::string name;
  std::uint32_t virtualAddress = 0;
  std::uint32_t virtualSize = 0;
  std::uint32_t rawOffset = 0;
  std::uint32_t rawSize = 0;
  std::uint32_t characteristics = 0;
};

struct ImportedModule {
  std::string name;
  std::vector<std::string> functions;  // by name; ordinals as "#<n>"
};

// One .pdata entry (RUNTIME_FUNCTION): the code range [begin, end) and its unwind data.
struct RuntimeFunction {
  std::uint32_t begin = 0;
  std::uint32_t end = 0;
  std::uint32_t unwindInfo = 0;
};

// Base-relocation types.
inline constexpr std::uint16_t kRelocAbsolute = 0;  // padding
inline constexpr std::uint16_t kRelocHighLow = 3;   // 32-bit absolute address
inline constexpr std::uint16_t kRelocDir64 = 10;    // 64-bit absolute address

struct Relocation {
  std::uint32_t rva = 0;
  std::uint16_t type = 0;
  std::size_t fileOffset = 0;  // of the 16-bit entry
};

// A code section of the link map: one routine under -ffunction-sections.
struct MapCode {
  std::string section;  // ".text$DriverEntry"
  std::uint64_t address = 0;
  std::uint64_t size = 0;
  std::string object;  // the object file that contributed it
};

struct Directory {
  std::uint32_t rva = 0;
  std::uint32_t size = 0;
};

struct Image {
  std::uint16_t machine = 0;
  std::uint16_t magic = 0;
  std::uint16_t subsystem = 0;
  std::uint16_t dllCharacteristics = 0;
  std::uint32_t entryPointRva = 0;
  std::uint64_t imageBase = 0;
  std::uint32_t checkSum = 0;
  std::size_t checkSumOffset = 0;  // file offset of the CheckSum field
  std::size_t subsystemOffset = 0;
  std::size_t dllCharacteristicsOffset = 0;
  std::size_t entryPointOffset = 0;
  std::size_t sectionTableOffset = 0;
  std::vector<Section> sections;
  std::vector<Directory> directories;
  std::vector<ImportedModule> imports;
  std::vector<RuntimeFunction> functions;  // the .pdata function table
  std::size_t functionTableOffset = 0;     // file offset of the first entry
  std::vector<Relocation> relocations;

  const Section* SectionAt(std::uint32_t rva) const;
  const Section* SectionNamed(const std::string& name) const;
  std::optional<std::size_t> FileOffset(std::uint32_t rva) const;
};

// Parses a PE32+ image; throws std::runtime_error naming what is malformed.
Image Parse(std::span<const std::uint8_t> file);

// The PE checksum: 16-bit one's-complement-style sum of the file without the CheckSum
// field, folded to 16 bits, plus the file length.
std::uint32_t ComputeChecksum(std::span<const std::uint8_t> file, std::size_t checkSumOffset);

// The version resource's fixed part (VS_FIXEDFILEINFO): each version as a.b.c.d.
struct VersionResource {
  std::uint16_t file[4] = {};
  std::uint16_t product[4] = {};
};

// The image's version resource, found by the VS_FIXEDFILEINFO signature in .rsrc.
std::optional<VersionResource> ReadVersionResource(std::span<const std::uint8_t> file, const Image& image);

// What is wrong with the image as a Windows x64 WDM driver: one line per finding, each
// starting with the name of the check. Empty when the image is sound.
std::vector<std::string> CheckDriverImage(std::span<const std::uint8_t> file,
                                          const std::vector<std::string>& allowedModules);

// Routines of the link map (.text sections, non-empty) contributed by objects whose path
// ends with objectSuffix.
std::vector<MapCode> MapCodeSections(const std::string& mapText, const std::string& objectSuffix);

// Routines of the map that no .pdata entry covers (the kernel's unwinder could not walk
// through them): one line each.
std::vector<std::string> CheckFunctionTable(const Image& image, const std::vector<MapCode>& code);

// Imports outside an allow-list of "MODULE function" lines ('#' comments): one line each,
// naming the module and function.
std::vector<std::string> CheckImportAllowList(const Image& image, const std::string& allowListText);

// Address of a symbol in a GNU ld link map, if listed.
std::optional<std::uint64_t> MapSymbolAddress(const std::string& mapText, const std::string& symbol);

}  // namespace pe
