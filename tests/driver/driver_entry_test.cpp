// Driver entry and unload, driven as the I/O manager drives them: the build banner, the
// copy of the service-key path, the dispatch table, the Windows version family, and the
// failed allocation of the path buffer.

#include <gtest/gtest.h>

#include <hosted/kernel/hosted.h>
#include <hosted/kernel/image_loader.h>

#include <cstdio>
#include <map>
#include <string>

#include "CcidFrame.h"
#include "bench.h"

namespace {

constexpr const char* kVersionKey = "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char* kVersionValue = "CurrentVersion";
constexpr ULONG kUntouched = 0xDEADF00D;

// Loads the driver (the hosted build, or the image the bench runs) through the I/O manager
// and unloads it at the end of the scope.
class LoadedDriver {
 public:
  explicit LoadedDriver(std::u16string registryPath = {}) {
    hosted::LoadOptions options;
    options.registryPath = std::move(registryPath);
    options.createServiceKey = options.registryPath.empty();
    if (ccid_test::RunsDriverImage()) {
      driver_ = hosted::DriverImages::Load(ccid_test::DriverImage(), options, &status_);
    } else {
      driver_ = hosted::Drivers::Load(DriverEntry, options, &status_);
    }
  }
  ~LoadedDriver() {
    if (driver_ != nullptr) hosted::Drivers::Unload(driver_);
  }
  PDRIVER_OBJECT get() const { return driver_; }
  NTSTATUS status() const { return status_; }

 private:
  PDRIVER_OBJECT driver_ = nullptr;
  NTSTATUS status_ = kUntouched;
};

class DriverEntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hosted::Registry::Reset();
    hosted::DebugOutput::Clear();
    hosted::AllocationFailures::Clear();
    OsVersionCode = kUntouched;
  }
  void TearDown() override { hosted::AllocationFailures::Clear(); }

  // The pool block behind DriverRegistryPath.Buffer, if it is one.
  static std::optional<hosted::PoolBlock> PathBlock() {
    for (const hosted::PoolBlock& block : hosted::Pool::Outstanding()) {
      if (block.address == DriverRegistryPath.Buffer) return block;
    }
    return std::nullopt;
  }
};

TEST_F(DriverEntryTest, PrintsTheBuildBannerWithTheCompilersDateAndTime) {
  LoadedDriver driver;
  ASSERT_EQ(driver.status(), STATUS_SUCCESS);

  const std::vector<std::string> messages = hosted::DebugOutput::Messages();
  ASSERT_EQ(messages.size(), 1u) << hosted::DebugOutput::Text();
  const std::string prefix = "---> DriverEntry Driver has been built ";
  ASSERT_EQ(messages[0].rfind(prefix, 0), 0u) << messages[0];

  // The rest is __DATE__ and __TIME__: "Sep 27 2013 -- 15:13:20\n".
  char month[4] = {};
  int day = 0, year = 0, hour = -1, minute = -1, second = -1, consumed = 0;
  const std::string rest = messages[0].substr(prefix.size());
  ASSERT_EQ(std::sscanf(rest.c_str(), "%3c %2d %4d -- %2d:%2d:%2d%n", month, &day, &year, &hour, &minute, &second,
                        &consumed),
            6)
      << rest;
  EXPECT_EQ(rest.substr(static_cast<std::size_t>(consumed)), "\n");
  EXPECT_NE(std::string("JanFebMarAprMayJunJulAugSepOctNovDec").find(month), std::string::npos) << month;
  EXPECT_EQ(rest[4] == ' ', day < 10) << "__DATE__ pads a one-digit day with a space";
  EXPECT_TRUE(day >= 1 && day <= 31 && year >= 2024) << rest;
  EXPECT_TRUE(hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 60) << rest;
}

// The driver's entries, by major function. An entry whose routine is not built yet keeps
// the default; no other major function ever gets one.
const std::map<UCHAR, std::string> kDriverEntries = {
    {IRP_MJ_CREATE, "CcidCreate"},         {IRP_MJ_CLOSE, "CcidClose"},
    {IRP_MJ_CLEANUP, "CcidCleanup"},       {IRP_MJ_DEVICE_CONTROL, "CcidDeviceControl"},
    {IRP_MJ_SYSTEM_CONTROL, "CcidSystemControl"}, {IRP_MJ_PNP, "CcidPnp"},
    {IRP_MJ_POWER, "CcidPower"},
};

TEST_F(DriverEntryTest, FillsOnlyTheDriversOwnDispatchEntries) {
  LoadedDriver driver;
  ASSERT_NE(driver.get(), nullptr);
  if (ccid_test::RunsDriverImage()) {
    const std::string unload = hosted::Drivers::SymbolName(reinterpret_cast<const void*>(driver.get()->DriverUnload));
    EXPECT_EQ(unload.substr(0, unload.find('(')), "CcidUnload");
  } else {
    EXPECT_EQ(driver.get()->DriverUnload, &CcidUnload);
  }

  for (const hosted::DispatchEntry& entry : hosted::Drivers::DispatchTable(driver.get())) {
    SCOPED_TRACE(entry.majorName);
    auto own = kDriverEntries.find(entry.major);
    if (own == kDriverEntries.end()) {
      EXPECT_TRUE(entry.isDefault) << "unexpected entry " << entry.symbol;
    } else if (!entry.isDefault && entry.symbol.rfind("0x", 0) != 0) {
      EXPECT_EQ(entry.symbol.substr(0, entry.symbol.find('(')), own->second);
    }
  }
  for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    EXPECT_NE(driver.get()->MajorFunction[major], nullptr) << "major function " << int(major);
  }
}

struct PathCase {
  const char* name;
  std::size_t characters;
};

void PrintTo(const PathCase& row, std::ostream* out) { *out << row.name; }

class DriverRegistryPathTest : public DriverEntryTest, public ::testing::WithParamInterface<PathCase> {};

// The copy is NUL-terminated and exactly as long as the path, up to 255 characters; longer
// paths are cut to 255 so the terminator always fits in the 512-byte block.
TEST_P(DriverRegistryPathTest, IsACompleteNulTerminatedCopyOfAtMost255Characters) {
  std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ccid";
  path.resize(GetParam().characters, u'x');
  LoadedDriver driver(path);
  ASSERT_EQ(driver.status(), STATUS_SUCCESS);

  const std::size_t kept = std::min<std::size_t>(path.size(), 255);
  EXPECT_EQ(DriverRegistryPath.MaximumLength, 512);
  EXPECT_EQ(DriverRegistryPath.Length, kept * sizeof(WCHAR));
  ASSERT_NE(DriverRegistryPath.Buffer, nullptr);
  EXPECT_EQ(std::u16string(DriverRegistryPath.Buffer, kept), path.substr(0, kept));
  // Zero-filled before the copy: everything after the path reads as NUL, fresh-pool
  // poison included.
  for (std::size_t i = kept; i < 256; ++i) ASSERT_EQ(DriverRegistryPath.Buffer[i], 0) << "character " << i;

  auto block = PathBlock();
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(block->size, 512u);
  EXPECT_EQ(block->tag, CCID_POOL_TAG);
  EXPECT_EQ(block->type, NonPagedPoolNx) << "the driver opts in to non-executable pool before it allocates";
}

INSTANTIATE_TEST_SUITE_P(Lengths, DriverRegistryPathTest,
                         ::testing::Values(PathCase{"Short", 60}, PathCase{"Longest254", 254},
                                           PathCase{"Exactly255", 255}, PathCase{"Exactly256", 256},
                                           PathCase{"Far300", 300}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverEntryTest, UnloadFreesThePathBuffer) {
  {
    LoadedDriver driver;
    ASSERT_EQ(driver.status(), STATUS_SUCCESS);
    EXPECT_EQ(hosted::Pool::OutstandingCount(CCID_POOL_TAG), 1u);
  }
  EXPECT_EQ(hosted::Pool::OutstandingCount(CCID_POOL_TAG), 0u);
  EXPECT_EQ(DriverRegistryPath.Buffer, nullptr);
}

// The path buffer cannot be had: the table and the version are still set up, the status
// says why the load fails, and nothing is left behind.
TEST_F(DriverEntryTest, FailedPathAllocationStillFillsTheTableAndTheVersion) {
  hosted::Registry::SetString(kVersionKey, kVersionValue, "5.0");
  hosted::FailureRule rule;
  rule.routine = "ExAllocatePoolWithTag";
  rule.size = 512;
  rule.tag = CCID_POOL_TAG;
  rule.nth = 1;
  hosted::AllocationFailures::Add(rule);

  PDRIVER_OBJECT driver = hosted::Drivers::Create("ccid");
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, KTEXT("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ccid"));
  const NTSTATUS status = DriverEntry(driver, &path);

  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(hosted::AllocationFailures::Injected(), 1u);
  EXPECT_EQ(DriverRegistryPath.Buffer, nullptr);
  EXPECT_EQ(driver->DriverUnload, &CcidUnload);
  EXPECT_EQ(OsVersionCode, 50u);
  EXPECT_EQ(hosted::Pool::OutstandingCount(CCID_POOL_TAG), 0u);
  EXPECT_EQ(hosted::Registry::OpenHandles(), 0u);
  hosted::Drivers::Destroy(driver);
}

struct VersionCase {
  const char* name;
  std::function<void()> arrange;  // registry contents or injected failures
  ULONG expected;
};

void PrintTo(const VersionCase& row, std::ostream* out) { *out << row.name; }

class OsVersionTest : public DriverEntryTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(OsVersionTest, ClassifiesTheCurrentVersionValue) {
  GetParam().arrange();
  LoadedDriver driver;
  ASSERT_EQ(driver.status(), STATUS_SUCCESS);
  EXPECT_EQ(OsVersionCode, GetParam().expected);
  EXPECT_EQ(hosted::Pool::OutstandingCount(CCID_POOL_TAG), 1u) << "only the path buffer stays";
  EXPECT_EQ(hosted::Registry::OpenHandles(), 0u) << "the version key is closed";
}

std::function<void()> Version(std::string text) {
  return [text] { hosted::Registry::SetString(kVersionKey, kVersionValue, text); };
}

std::vector<unsigned char> Utf16Bytes(std::u16string text) {
  std::vector<unsigned char> bytes;
  for (char16_t c : text + u'\0') {
    bytes.push_back(static_cast<unsigned char>(c));
    bytes.push_back(static_cast<unsigned char>(c >> 8));
  }
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Values, OsVersionTest,
    ::testing::Values(
        VersionCase{"Windows7", Version("6.1"), 61}, VersionCase{"Vista", Version("6.0"), 60},
        VersionCase{"Windows8", Version("6.2"), 60}, VersionCase{"Windows81AndLater", Version("6.3"), 60},
        VersionCase{"Server2003", Version("5.2"), 51}, VersionCase{"WindowsXP", Version("5.1"), 51},
        VersionCase{"Windows2000", Version("5.0"), 50}, VersionCase{"NT4", Version("4.0"), 51},
        VersionCase{"MajorOnly", Version("6"), 60}, VersionCase{"EmptyString", Version(""), 51},
        // Ten bytes with the NUL: longer than the four-character buffer, so nothing is copied.
        VersionCase{"TooLong", Version("10.0"), 51},
        VersionCase{"KeyAbsent", [] { hosted::Registry::DeleteKey(kVersionKey); }, 0},
        VersionCase{"KeyCannotBeOpened",
                    [] { hosted::AllocationFailures::FailRoutine("ZwOpenKey", STATUS_ACCESS_DENIED); }, 0},
        VersionCase{"ValueAbsent", [] { hosted::Registry::DeleteValue(kVersionKey, kVersionValue); }, 51},
        VersionCase{"ValueIsADword", [] { hosted::Registry::SetDword(kVersionKey, kVersionValue, 0x00310036); }, 51},
        // "6.1" as binary data: only a string is a version string.
        VersionCase{"ValueIsBinary", [] { hosted::Registry::SetBinary(kVersionKey, kVersionValue, Utf16Bytes(u"6.1")); },
                    51},
        VersionCase{"QueryBlockUnavailable",
                    [] {
                      hosted::Registry::SetString(kVersionKey, kVersionValue, "6.1");
                      hosted::AllocationFailures::FailSize(62);
                    },
                    51}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
