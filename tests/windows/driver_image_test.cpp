// Checks the Windows driver image that the mingw-w64 build links (build/windows/ccid.sys,
// named by CCID_WINDOWS_IMAGE): a native x64 WDM image, entered at DriverEntry, importing
// only kernel-mode modules, with relocations, no writable code and a valid checksum.
// The seeded-fault table proves each check fires on a damaged copy.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
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

TEST_F(DriverImage, EntryPointIsDriverEntry) {
  const std::string map = MapPath();
  std::ifstream in(map);
  if (!in) GTEST_SKIP() << "no link map next to the image (" << map << ")";
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};

  const auto driverEntry = pe::MapSymbolAddress(text, "DriverEntry");
  ASSERT_TRUE(driverEntry.has_value()) << "DriverEntry is not in the link map: mangled or dropped";
  EXPECT_EQ(image_.imageBase + image_.entryPointRva, *driverEntry);
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

TEST(PeChecksum, FoldsCarriesAndSkipsTheChecksumField) {
  // Words 0x0001 + 0xFFFF carry into bit 16 and fold back to 0x0001; the odd last byte
  // counts as a low byte; the four bytes at offset 4 are the CheckSum field.
  const std::vector<std::uint8_t> file = {0x01, 0x00, 0xFF, 0xFF, 0xAA, 0xBB, 0xCC, 0xDD, 0x05};
  EXPECT_EQ(pe::ComputeChecksum(file, 4), 0x0001u + 0x0005u + file.size());
  // 0x0001 + 0xFFFF -> 0x0001; + 0xBBAA + 0xDDCC = 0x19977 -> 0x9978; + 0x0005.
  EXPECT_EQ(pe::ComputeChecksum(file, 100), 0x997Du + file.size());
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
