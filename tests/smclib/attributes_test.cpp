// Attribute requests the library answers from the extension, and the mechanical requests
// it hands to the reader functions.
#include <cstring>

#include "smclib_reader.h"

using smclibtest::TestReader;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Le(ULONG value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value >> 16),
          static_cast<std::uint8_t>(value >> 24)};
}

void Fill(PSMARTCARD_EXTENSION e, ULONG state) {
  std::memcpy(e->VendorAttr.VendorName.Buffer, "ACME", 4);
  e->VendorAttr.VendorName.Length = 4;
  e->VendorAttr.IfdVersion.VersionMajor = 3;
  e->VendorAttr.IfdVersion.BuildNumber = 4;
  e->VendorAttr.UnitNo = 2;
  e->ReaderCapabilities.ReaderType = SCARD_READER_TYPE_USB;
  e->ReaderCapabilities.CLKFrequency.Default = 4000;
  e->ReaderCapabilities.CurrentState = state;
  const std::uint8_t atr[] = {0x3B, 0x02, 0x14, 0x50};
  std::memcpy(e->CardCapabilities.ATR.Buffer, atr, sizeof atr);
  e->CardCapabilities.ATR.Length = sizeof atr;
  e->CardCapabilities.PtsData.Fl = 1;
  e->CardCapabilities.PtsData.Dl = 1;
}

TEST(SmclibAttributes, GetAttributeAnswersFromTheExtensionInTheDocumentedFormats) {
  const struct {
    const char* name;
    ULONG state;
    Bytes input;
    ULONG outputLength;
    NTSTATUS status;
    Bytes expected;
  } rows[] = {
      {"vendor name, no NUL", SCARD_SPECIFIC, Le(SCARD_ATTR_VENDOR_NAME), 32, STATUS_SUCCESS, {'A', 'C', 'M', 'E'}},
      {"version 0xMMmmbbbb", SCARD_SPECIFIC, Le(SCARD_ATTR_VENDOR_IFD_VERSION), 4, STATUS_SUCCESS, Le(0x03000004)},
      {"channel: USB, device 0", SCARD_SPECIFIC, Le(SCARD_ATTR_CHANNEL_ID), 4, STATUS_SUCCESS, Le(0x00200000)},
      {"default clock", SCARD_SPECIFIC, Le(SCARD_ATTR_DEFAULT_CLK), 4, STATUS_SUCCESS, Le(4000)},
      {"unit", SCARD_SPECIFIC, Le(SCARD_ATTR_DEVICE_UNIT), 4, STATUS_SUCCESS, Le(2)},
      {"card present", SCARD_SPECIFIC, Le(SCARD_ATTR_ICC_PRESENCE), 4, STATUS_SUCCESS, {1}},
      {"contacts active", SCARD_SPECIFIC, Le(SCARD_ATTR_ICC_INTERFACE_STATUS), 4, STATUS_SUCCESS, {1}},
      {"ATR", SCARD_SPECIFIC, Le(SCARD_ATTR_ATR_STRING), 33, STATUS_SUCCESS, {0x3B, 0x02, 0x14, 0x50}},
      {"F as a value", SCARD_SPECIFIC, Le(SCARD_ATTR_CURRENT_F), 4, STATUS_SUCCESS, Le(372)},
      {"card absent", SCARD_ABSENT, Le(SCARD_ATTR_ICC_PRESENCE), 4, STATUS_SUCCESS, {0}},
      {"no ATR without a card", SCARD_ABSENT, Le(SCARD_ATTR_ATR_STRING), 33, STATUS_NO_MEDIA, {}},
      {"in use is not readable", SCARD_SPECIFIC, Le(SCARD_ATTR_DEVICE_IN_USE), 4, STATUS_NOT_SUPPORTED, {}},
      {"unknown tag", SCARD_SPECIFIC, Le(0x00012345), 4, STATUS_NOT_SUPPORTED, {}},
      {"number into 3 bytes", SCARD_SPECIFIC, Le(SCARD_ATTR_DEFAULT_CLK), 3, STATUS_BUFFER_TOO_SMALL, {}},
      {"name into 3 bytes", SCARD_SPECIFIC, Le(SCARD_ATTR_VENDOR_NAME), 3, STATUS_BUFFER_TOO_SMALL, {}},
      {"tag not 4 bytes", SCARD_SPECIFIC, Bytes{0, 1, 1, 0, 0}, 4, STATUS_INVALID_PARAMETER, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TestReader reader;
    Fill(reader.Extension(), row.state);
    const hosted::UserIoResult result =
        reader.Open()->DeviceIoControl(IOCTL_SMARTCARD_GET_ATTRIBUTE, row.input, row.outputLength);
    EXPECT_EQ(result.status, row.status);
    ASSERT_EQ(result.information, row.expected.size());
    EXPECT_TRUE(std::equal(row.expected.begin(), row.expected.end(), result.output.begin()));
  }
}

TEST(SmclibAttributes, OnlyDeviceInUseCanBeSet) {
  TestReader reader;
  auto file = reader.Open();
  Bytes inUse = Le(SCARD_ATTR_DEVICE_IN_USE);
  inUse.push_back(1);
  const hosted::UserIoResult set = file->DeviceIoControl(IOCTL_SMARTCARD_SET_ATTRIBUTE, inUse, 4);
  EXPECT_EQ(set.status, STATUS_SUCCESS);
  EXPECT_EQ(set.information, 4u);
  EXPECT_EQ(file->DeviceIoControl(IOCTL_SMARTCARD_SET_ATTRIBUTE, Le(SCARD_ATTR_VENDOR_NAME), 4).status,
            STATUS_NOT_SUPPORTED);
  EXPECT_EQ(file->DeviceIoControl(IOCTL_SMARTCARD_SET_ATTRIBUTE, Bytes{1, 2}, 4).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(file->DeviceIoControl(IOCTL_SMARTCARD_SET_ATTRIBUTE, inUse, 0).information, 0u);  // nothing to take it
}

TEST(SmclibAttributes, MechanicalRequestsGoToTheirReaderFunctions) {
  const struct {
    ULONG code;
    ULONG slot;
  } rows[] = {{IOCTL_SMARTCARD_EJECT, RDF_CARD_EJECT},
              {IOCTL_SMARTCARD_SWALLOW, RDF_READER_SWALLOW},
              {IOCTL_SMARTCARD_CONFISCATE, RDF_CARD_CONFISCATE}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.slot);
    TestReader reader;
    auto file = reader.Open();
    EXPECT_EQ(file->DeviceIoControl(row.code, {}, 0).status, STATUS_NOT_SUPPORTED);  // no function
    reader.Set(row.slot, [&](PSMARTCARD_EXTENSION extension) {
      EXPECT_EQ(extension->MajorIoControlCode, row.code);
      return static_cast<NTSTATUS>(STATUS_NO_MEDIA);
    });
    EXPECT_EQ(file->DeviceIoControl(row.code, {}, 0).status, STATUS_NO_MEDIA);
  }
  TestReader reader;
  reader.Extension()->LastError = 0x1F;
  const hosted::UserIoResult last = reader.Open()->DeviceIoControl(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4);
  EXPECT_EQ(last.status, STATUS_SUCCESS);
  EXPECT_EQ(last.output, Le(0x1F));
}

}  // namespace
