// Checks the Windows driver image that the mingw-w64 build links (build/windows/ccid.sys,
// named by CCID_WINDOWS_IMAGE): a native x64 WDM image, entered at GsDriverEntry (which
// seeds the stack guard and runs DriverEntry), importing only allowed routines of
// kernel-mode modules, with 64-bit relocations only, a .pdata entry for every routine,
// no writable code and a valid checksum. The seeded-fault table proves each check fires
// on a damaged copy.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "pe_image.h"

namespace {

const std::vector<std::string> kKernelModules = {"ntoskrnl.exe", "HAL.dll", "USBD.SYS", "SMCLIB.SYS"};

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void PutU16(std::vector<std::uint8_t>& file, std::size_t offset, std::uint16_t value) {
  file[offset] = static_cast<std::uint8_t>(value);
  file[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void PutU32(std::vector<std::uint8_t>& file, std::size_t offset, std::uint32_t value) {
  PutU16(file, offset, static_cast<std::uint16_t>(value));
  PutU16(file, offset + 2, static_cast<std::uint16_t>(value >> 16));
}

// Recomputes the checksum so that a seeded fault is seen by its own check only.
void FixChecksum(std::vector<std::uint8_t>& file) {
  const pe::Image image = pe::Parse(file);
  PutU32(file, image.checkSumOffset, pe::ComputeChecksum(file, image.checkSumOffset));
}

class DriverImage : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* path = std::getenv("CCID_WINDOWS_IMAGE");
    if (path == nullptr || *path == '\0') {
      GTEST_SKIP() << "CCID_WINDOWS_IMAGE is not set: build the windows preset and point it at ccid.sys "
                      "(scripts/test does both)";
    }
    path_ = path;
    file_ = ReadFile(path_);
    ASSERT_FALSE(file_.empty()) << "cannot read the driver image " << path_;
    image_ = pe::Parse(file_);
  }

  std::string MapPath() const {
    std::string map = path_;
    const auto dot = map.rfind(".sys");
    return dot == std::string::npos ? map + ".map" : map.replace(dot, 4, ".map");
  }

  // The link map's text, or empty when there is none next to the image.
  std::string MapText() const {
    std::ifstream in(MapPath());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  std::string path_;
  std::vector<std::uint8_t> file_;
  pe::Image image_;
};

TEST_F(DriverImage, PassesEveryDriverImageCheck) {
  EXPECT_EQ(image_.machine, pe::kMachineAmd64);
  EXPECT_EQ(image_.subsystem, pe::kSubsystemNative);
  EXPECT_EQ(image_.dllCharacteristics & pe::kDllWdmDriver, pe::kDllWdmDriver);
  EXPECT_NE(image_.SectionNamed(".reloc"), nullptr);
  EXPECT_NE(image_.SectionNamed(".pdata"), nullptr) << "the kernel unwinder needs the function table";

  const std::vector<std::string> findings = pe::CheckDriverImage(file_, kKernelModules);
  for (const std::string& finding : findings) ADD_FAILURE() << finding;
}

TEST_F(DriverImage, EntryPointSeedsTheStackGuardAndRunsDriverEntry) {
  const std::string text = MapText();
  if (text.empty()) GTEST_SKIP() << "no link map next to the image (" << MapPath() << ")";

  const auto entry = pe::MapSymbolAddress(text, "GsDriverEntry");
  ASSERT_TRUE(entry.has_value()) << "GsDriverEntry is not in the link map: mangled or dropped";
  EXPECT_EQ(image_.imageBase + image_.entryPointRva, *entry);
  EXPECT_TRUE(pe::MapSymbolAddress(text, "DriverEntry").has_value()) << "DriverEntry is mangled or dropped";
  // Kept by --gc-sections only when instrumented routines call them.
  EXPECT_TRUE(pe::MapSymbolAddress(text, "__stack_chk_fail").has_value()) << "no routine checks a stack guard";
  EXPECT_TRUE(pe::MapSymbolAddress(text, "__stack_chk_guard").has_value());
  // The NX-pool opt-in is compiled in: NonPagedPool names this variable.
  EXPECT_TRUE(pe::MapSymbolAddress(text, "ExDefaultNonPagedPoolType").has_value()) << "no non-executable pool opt-in";
}

TEST_F(DriverImage, EveryRoutineHasAnUnwindEntry) {
  const std::string text = MapText();
  if (text.empty()) GTEST_SKIP() << "no link map next to the image (" << MapPath() << ")";
  const std::vector<pe::MapCode> code = pe::MapCodeSections(text, ".cpp.obj");
  ASSERT_GT(code.size(), 50u) << "the map lists too few routines: is the map's format still understood?";
  for (const std::string& finding : pe::CheckFunctionTable(image_, code)) ADD_FAILURE() << finding;
}

// File and product version are the driver's own version digits ("3004": 3.0.0.4), and the
// resource names the driver.
TEST_F(DriverImage, VersionResourceCarriesTheDriversVersion) {
  std::ifstream in(CCID_DRIVER_WIRE_HEADER);
  ASSERT_TRUE(in) << "cannot read " << CCID_DRIVER_WIRE_HEADER;
  const std::string header{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const std::string marker = "DriverVersionDigits[] = \"";
  const auto at = header.find(marker);
  ASSERT_NE(at, std::string::npos);
  const std::string digits = header.substr(at + marker.size(), 4);
  const std::uint16_t expected[4] = {static_cast<std::uint16_t>(digits[0] - '0'),
                                     static_cast<std::uint16_t>(digits[1] - '0'), 0,
                                     static_cast<std::uint16_t>(std::stoi(digits.substr(2)))};

  const std::optional<pe::VersionResource> version = pe::ReadVersionResource(file_, image_);
  ASSERT_TRUE(version.has_value()) << "no version resource";
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(version->file[i], expected[i]) << "file version part " << i << " (digits " << digits << ")";
    EXPECT_EQ(version->product[i], expected[i]) << "product version part " << i;
  }
  const std::u16string description = u"USB CCID smart-card reader driver";
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(description.data());
  EXPECT_NE(std::search(file_.begin(), file_.end(), bytes, bytes + description.size() * 2), file_.end())
      << "the resource does not describe the driver";
}

TEST_F(DriverImage, ImportsOnlyAllowedRoutines) {
  std::ifstream in(CCID_IMPORT_ALLOW_LIST);
  ASSERT_TRUE(in) << "cannot read " << CCID_IMPORT_ALLOW_LIST;
  const std::string allowList{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  for (const std::string& finding : pe::CheckImportAllowList(image_, allowList)) ADD_FAILURE() << finding;
}

TEST_F(DriverImage, ImportsTheKernelAndNothingElse) {
  bool kernel = false;
  for (const pe::ImportedModule& module : image_.imports) {
    SCOPED_TRACE(module.name);
    if (module.name == "ntoskrnl.exe") kernel = true;
    for (const std::string& function : module.functions) {
      EXPECT_EQ(function.rfind("_Z", 0), std::string::npos) << "C++-mangled import " << function;
      EXPECT_NE(function.rfind("#", 0), 0u) << "import by ordinal";
    }
  }
  EXPECT_TRUE(kernel) << "ntoskrnl.exe is not imported";
}

struct SeededFault {
  const char* name;
  const char* expectedCheck;  // prefix of the finding the damage must produce
  std::function<void(std::vector<std::uint8_t>&, const pe::Image&)> damage;
};

TEST_F(DriverImage, SeededFaultsAreCaught) {
  const std::vector<SeededFault> faults = {
      {"one flipped code byte", "checksum",
       [](auto& file, const pe::Image& image) { file[image.SectionNamed(".text")->rawOffset + 1] ^= 0x40; }},
      {"GUI subsystem", "subsystem",
       [](auto& file, const pe::Image& image) {
         PutU16(file, image.subsystemOffset, 2);
         FixChecksum(file);
       }},
      {"WDM_DRIVER flag cleared", "dll-characteristics",
       [](auto& file, const pe::Image& image) {
         PutU16(file, image.dllCharacteristicsOffset, image.dllCharacteristics & ~pe::kDllWdmDriver);
         FixChecksum(file);
       }},
      {"user-mode import", "imports",
       [](auto& file, const pe::Image&) {
         const std::string from = "ntoskrnl.exe", to = "KERNEL32.DLL";
         auto at = std::search(file.begin(), file.end(), from.begin(), from.end());
         ASSERT_NE(at, file.end());
         std::copy(to.begin(), to.end(), at);
         FixChecksum(file);
       }},
      {"writable code", "sections",
       [](auto& file, const pe::Image& image) {
         for (std::size_t i = 0; i < image.sections.size(); ++i) {
           if (image.sections[i].name != ".text") continue;
           const std::size_t characteristics = image.sectionTableOffset + 40 * i + 36;
           PutU32(file, characteristics, image.sections[i].characteristics | pe::kSectionWrite);
         }
         FixChecksum(file);
       }},
      {"entry point in data", "entry",
       [](auto& file, const pe::Image& image) {
         PutU32(file, image.entryPointOffset, image.SectionNamed(".rdata")->virtualAddress);
         FixChecksum(file);
       }},
      {"truncated headers", "format", [](auto& file, const pe::Image&) { file.resize(0x100); }},
      {"32-bit absolute relocation", "relocations",
       [](auto& file, const pe::Image& image) {
         ASSERT_FALSE(image.relocations.empty());
         const pe::Relocation& relocation = image.relocations.front();
         PutU16(file, relocation.fileOffset,
                static_cast<std::uint16_t>((pe::kRelocHighLow << 12) | (relocation.rva & 0x0FFF)));
         FixChecksum(file);
       }},
  };

  for (const SeededFault& fault : faults) {
    SCOPED_TRACE(fault.name);
    std::vector<std::uint8_t> damaged = file_;
    fault.damage(damaged, image_);
    const std::vector<std::string> findings = pe::CheckDriverImage(damaged, kKernelModules);
    const bool caught = std::any_of(findings.begin(), findings.end(), [&](const std::string& finding) {
      return finding.rfind(fault.expectedCheck, 0) == 0;
    });
    EXPECT_TRUE(caught) << "no '" << fault.expectedCheck << "' finding";
  }
}

// The checks that read more than the image: a routine the function table misses, an
// import off the allow-list.
TEST_F(DriverImage, SeededTableAndImportFaultsAreCaught) {
  const std::string text = MapText();
  if (text.empty()) GTEST_SKIP() << "no link map next to the image (" << MapPath() << ")";
  const std::vector<pe::MapCode> code = pe::MapCodeSections(text, ".cpp.obj");
  ASSERT_FALSE(code.empty());

  pe::Image withoutEntry = image_;
  const std::uint64_t begin = code.front().address - image_.imageBase;
  std::erase_if(withoutEntry.functions, [&](const pe::RuntimeFunction& f) { return f.begin <= begin && begin < f.end; });
  EXPECT_EQ(pe::CheckFunctionTable(withoutEntry, code).size(), 1u) << code.front().section;

  const std::string allowList = "# all but one\nntoskrnl.exe IoCreateDevice\n";
  const std::vector<std::string> findings = pe::CheckImportAllowList(image_, allowList);
  EXPECT_FALSE(findings.empty());
  EXPECT_TRUE(std::none_of(findings.begin(), findings.end(),
                           [](const std::string& f) { return f.find("!IoCreateDevice ") != std::string::npos; }));
}

TEST(PeChecksum, FoldsCarriesAndSkipsTheChecksumField) {
  // Words 0x0001 + 0xFFFF carry into bit 16 and fold back to 0x0001; the odd last byte
  // counts as a low byte; the four bytes at offset 4 are the CheckSum field.
  const std::vector<std::uint8_t> file = {0x01, 0x00, 0xFF, 0xFF, 0xAA, 0xBB, 0xCC, 0xDD, 0x05};
  EXPECT_EQ(pe::ComputeChecksum(file, 4), 0x0001u + 0x0005u + file.size());
  // 0x0001 + 0xFFFF -> 0x0001; + 0xBBAA + 0xDDCC = 0x19977 -> 0x9978; + 0x0005.
  EXPECT_EQ(pe::ComputeChecksum(file, 100), 0x997Du + file.size());
}

TEST(PeLinkMap, ListsTheCodeSectionsOfTheDriversObjects) {
  const std::string map =
      " .text$DriverEntry\n"
      "                0x0000000140001010      0x1d0 frame/DriverEntry.cpp.obj\n"
      "                0x0000000140001010                DriverEntry\n"
      " .text$Short    0x0000000140001200       0x10 usb/Usb.cpp.obj\n"
      " .text$Empty    0x0000000140001210        0x0 usb/Usb.cpp.obj\n"
      " .text          0x0000000140001210       0x30 libntoskrnl.a(d000012.o)\n";
  const std::vector<pe::MapCode> code = pe::MapCodeSections(map, ".cpp.obj");
  ASSERT_EQ(code.size(), 2u);
  EXPECT_EQ(code[0].section, ".text$DriverEntry");
  EXPECT_EQ(code[0].address, 0x140001010u);
  EXPECT_EQ(code[0].size, 0x1d0u);
  EXPECT_EQ(code[1].section, ".text$Short");
}

TEST(PeLinkMap, FindsTheSymbolLineOnly) {
  const std::string map =
      " .text$DriverEntry\n"
      "                0x0000000140001010      0x1d0 frame/DriverEntry.cpp.obj\n"
      "                0x0000000140001010                DriverEntry\n"
      "                0x0000000140001200                DriverEntryHelper\n";
  EXPECT_EQ(pe::MapSymbolAddress(map, "DriverEntry"), 0x140001010u);
  EXPECT_EQ(pe::MapSymbolAddress(map, "CcidUnload"), std::nullopt);
}

}  // namespace
