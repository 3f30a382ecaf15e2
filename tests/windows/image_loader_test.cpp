// The kernel's image loader on the Windows driver image (CCID_WINDOWS_IMAGE): what the
// platform exports is what the image may import, the image loads and unloads clean with its
// routines named from the link map, and broken images are refused or caught with a message
// that names the fault.
#include <gtest/gtest.h>

#include <hosted/kernel/hosted.h>
#include <hosted/kernel/image_loader.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "pe_image.h"

namespace {

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The death tests read the image loader's own crash report; under a sanitizer the
// sanitizer's handler owns the fault signals.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

std::string Folder(const std::string& path) { return path.substr(0, path.find_last_of('/') + 1); }

TEST(ImageExports, AreTheImportAllowList) {
  std::ifstream in(CCID_IMPORT_ALLOW_LIST);
  ASSERT_TRUE(in) << CCID_IMPORT_ALLOW_LIST;
  std::set<std::string> allowed, exported;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string module, routine;
    if (line.empty() || line[0] == '#' || !(fields >> module >> routine)) continue;
    allowed.insert(module + " " + routine);
  }
  for (const hosted::ImageExport& entry : hosted::ImageExports()) {
    EXPECT_NE(entry.address, nullptr) << entry.name;
    EXPECT_TRUE(exported.insert(std::string(entry.module) + " " + entry.name).second) << "exported twice: " << entry.name;
  }
  for (const std::string& name : allowed) EXPECT_TRUE(exported.count(name)) << "allowed but not exported: " << name;
  for (const std::string& name : exported) EXPECT_TRUE(allowed.count(name)) << "exported but not allowed: " << name;
  EXPECT_NE(hosted::FindImageExport("NTOSKRNL.EXE", "IofCallDriver"), nullptr) << "module names compare without case";
}

class ImageLoader : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* path = std::getenv("CCID_WINDOWS_IMAGE");
    if (path == nullptr || *path == '\0') GTEST_SKIP() << "CCID_WINDOWS_IMAGE is not set";
    if (!hosted::DriverImages::Supported()) GTEST_SKIP() << "this build's NTAPI is not the Microsoft x64 convention";
    path_ = path;
    file_ = ReadFile(path_);
    ASSERT_FALSE(file_.empty()) << "cannot read " << path_;
    image_ = pe::Parse(file_);
  }

  std::string path_;
  std::vector<std::uint8_t> file_;
  pe::Image image_;
};

TEST_F(ImageLoader, LoadsTheImageNamesItsRoutinesAndUnloadsClean) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::string error;
  PDRIVER_OBJECT driver = hosted::DriverImages::Load(path_, {}, &status, &error);
  ASSERT_NE(driver, nullptr) << error;
  EXPECT_EQ(status, STATUS_SUCCESS);
  const std::string create = hosted::Drivers::DispatchTable(driver)[IRP_MJ_CREATE].symbol;
  if (std::ifstream(Folder(path_) + "ccid.map")) {
    EXPECT_EQ(create.find("0x"), std::string::npos) << create;
  }
  const void* unload = reinterpret_cast<const void*>(driver->DriverUnload);  // the object goes with the unload
  EXPECT_NE(hosted::DriverImages::Describe(unload).find("ccid.sys+0x"), std::string::npos);
  EXPECT_EQ(hosted::Drivers::Unload(driver), 0u);
  EXPECT_EQ(hosted::DriverImages::Describe(unload), "") << "unmapped";
}

// Copies of the image with one fault each: refused with the status Windows reports and a
// message naming the fault.
struct BrokenImage {
  const char* name;
  void (*breakIt)(std::vector<std::uint8_t>& file, const pe::Image& image);
  NTSTATUS status;
  const char* message;
};

void MisspellImport(std::vector<std::uint8_t>& file, const pe::Image&) {
  const std::string name = std::string("KeSetEvent") + '\0';
  auto it = std::search(file.begin(), file.end(), name.begin(), name.end());
  ASSERT_NE(it, file.end());
  it[8] = 'm';  // KeSetEvemt
}

void RelocateHighLow(std::vector<std::uint8_t>& file, const pe::Image& image) {
  auto dir64 = std::find_if(image.relocations.begin(), image.relocations.end(),
                            [](const pe::Relocation& r) { return r.type == pe::kRelocDir64; });
  ASSERT_NE(dir64, image.relocations.end());
  std::uint8_t& high = file[dir64->fileOffset + 1];
  high = static_cast<std::uint8_t>((high & 0x0F) | pe::kRelocHighLow << 4);
}

void DropRelocations(std::vector<std::uint8_t>& file, const pe::Image&) {
  const std::uint32_t pe = file[0x3C] | file[0x3D] << 8 | file[0x3E] << 16 | file[0x3F] << 24;
  const std::size_t relocSize = pe + 4 + 20 + 112 + 8 * 5 + 4;
  for (int i = 0; i < 4; ++i) file[relocSize + i] = 0;
}

void MakeI386(std::vector<std::uint8_t>& file, const pe::Image&) {
  const std::uint32_t pe = file[0x3C] | file[0x3D] << 8 | file[0x3E] << 16 | file[0x3F] << 24;
  file[pe + 4] = 0x4C;
  file[pe + 5] = 0x01;
}

const BrokenImage kBrokenImages[] = {
    {"MisspeltImport", MisspellImport, STATUS_PROCEDURE_NOT_FOUND,
     "imports KeSetEvemt from ntoskrnl.exe, which the platform does not export"},
    {"HighLowRelocation", RelocateHighLow, STATUS_INVALID_IMAGE_FORMAT, "unsupported base relocation type 3 at RVA"},
    {"NoRelocations", DropRelocations, STATUS_INVALID_IMAGE_FORMAT, "the image has no base relocations"},
    {"NotAmd64", MakeI386, STATUS_INVALID_IMAGE_FORMAT, "machine 0x14c is not AMD64"},
};

class BrokenImageTest : public ImageLoader, public ::testing::WithParamInterface<BrokenImage> {};

TEST_P(BrokenImageTest, IsRefusedNamingTheFault) {
  std::vector<std::uint8_t> broken = file_;
  GetParam().breakIt(broken, image_);
  if (HasFatalFailure()) return;
  const std::string path = ::testing::TempDir() + "broken-" + GetParam().name + ".sys";
  WriteFile(path, broken);
  const std::uint64_t poolBefore = hosted::Pool::Allocations();
  NTSTATUS status = STATUS_SUCCESS;
  std::string error;
  EXPECT_EQ(hosted::DriverImages::Load(path, {}, &status, &error), nullptr);
  EXPECT_EQ(status, GetParam().status);
  EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
  EXPECT_EQ(hosted::Pool::Allocations(), poolBefore) << "a refused image runs no code";
  std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Faults, BrokenImageTest, ::testing::ValuesIn(kBrokenImages),
                         [](const auto& info) { return std::string(info.param.name); });

// A routine compiled for the System V convention reads its arguments from RDI and RSI,
// which hold a poison when the kernel calls the image: the fault is reported at the
// routine, with the convention named.
TEST_F(ImageLoader, CatchesAnEntryPointOfTheWrongConvention) {
  const std::string probe = Folder(path_) + "convention_probe.sys";
  if (!std::ifstream(probe)) GTEST_SKIP() << "no " << probe << " (built by the windows preset)";
  if (kSanitized) GTEST_SKIP() << "the sanitizer handles the fault";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(hosted::DriverImages::Load(probe),
               "SIGSEGV in driver image code at convention_probe\\.sys\\+0x[0-9a-f]+ \\(ProbeEntry\\+0x[0-9a-f]+\\)"
               ".*System V convention.*Microsoft x64 convention");
}

}  // namespace

namespace {

// A fault in image code is reported at image+RVA with the routine's name from the link map,
// and the caller chain is walked with the image's unwind data: a copy of ccid.sys whose
// DriverEntry begins with an undefined instruction. (No convention is blamed: a Microsoft x64
// routine that leaves RDI and RSI alone still has the poison in them.)
TEST_F(ImageLoader, ReportsAFaultWithTheRoutineAndItsCallers) {
  std::ifstream in(Folder(path_) + "ccid.map");
  if (!in) GTEST_SKIP() << "no link map beside the image";
  if (kSanitized) GTEST_SKIP() << "the sanitizer handles the fault";
  const std::string map{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const std::optional<std::uint64_t> entry = pe::MapSymbolAddress(map, "DriverEntry");
  ASSERT_TRUE(entry.has_value());
  const std::optional<std::size_t> offset = image_.FileOffset(static_cast<std::uint32_t>(*entry - image_.imageBase));
  ASSERT_TRUE(offset.has_value());
  std::vector<std::uint8_t> broken = file_;
  broken[*offset] = 0x0F;  // ud2
  broken[*offset + 1] = 0x0B;
  const std::string folder = ::testing::TempDir() + "ud2/";
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(Folder(path_) + "ccid.map", folder + "ccid.map", std::filesystem::copy_options::overwrite_existing);
  WriteFile(folder + "ccid.sys", broken);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(hosted::DriverImages::Load(folder + "ccid.sys"),
               "SIGILL in driver image code at ccid\\.sys\\+0x[0-9a-f]+ \\(DriverEntry\\+0x0\\)\n"
               "    called from ccid\\.sys\\+0x[0-9a-f]+ \\(GsDriverEntry\\+0x[0-9a-f]+\\)"
               ".*called from HostedImageEntryThunk");

}

}  // namespace
