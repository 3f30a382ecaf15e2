// The registry: ZwOpenKey/ZwQueryValueKey layouts and statuses, RtlQueryRegistryValues,
// device keys.
#include <cstring>
#include <string>
#include <vector>

#include "kernel_test_support.h"

namespace {

using hosted::Registry;

constexpr char kVersionKey[] = "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
constexpr char kService[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ccidtest";
constexpr WCHAR kServiceW[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ccidtest";

NTSTATUS Open(const std::u16string& path, HANDLE* key, HANDLE root = NULL) {
  UNICODE_STRING name;
  name.Buffer = const_cast<PWSTR>(path.c_str());
  name.Length = name.MaximumLength = static_cast<USHORT>(path.size() * sizeof(WCHAR));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, root, NULL);
  return ZwOpenKey(key, KEY_READ, &attributes);
}

TEST(Registry, OpenIsCaseInsensitiveAndRelativeToARootHandle) {
  HANDLE machine;
  ASSERT_EQ(Open(u"\\REGISTRY\\machine", &machine), STATUS_SUCCESS);
  HANDLE version;
  EXPECT_EQ(Open(u"software\\MICROSOFT\\windows nt\\currentversion", &version, machine), STATUS_SUCCESS);
  ZwClose(version);
  HANDLE missing;
  EXPECT_EQ(Open(u"Software\\NoSuchKey", &missing, machine), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Open(u"\\Registry\\Machine\\NoSuchKey\\Deeper", &missing), STATUS_OBJECT_NAME_NOT_FOUND);
  ZwClose(machine);
}

// The driver's read of "CurrentVersion": KeyValueFullInformation into a 62-byte block.
TEST(Registry, FullInformationLayoutIsWindows) {
  Registry::SetString(kVersionKey, "CurrentVersion", u"6.1");
  HANDLE key;
  ASSERT_EQ(Open(u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion", &key), STATUS_SUCCESS);
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"CurrentVersion");
  alignas(8) unsigned char block[62];
  std::memset(block, 0xEE, sizeof block);
  ULONG length = 0;
  ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, block, sizeof block, &length), STATUS_SUCCESS);
  const auto* info = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(block);
  EXPECT_EQ(info->Type, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(info->NameLength, 28u);
  EXPECT_EQ(info->DataOffset, 48u);  // 20 + 28, ULONG-aligned
  EXPECT_EQ(info->DataLength, 8u);   // "6.1" and its NUL
  EXPECT_EQ(length, 56u);
  EXPECT_EQ(std::memcmp(block + 48, u"6.1", 8), 0);
  ZwClose(key);
}

struct SizeRow {
  KEY_VALUE_INFORMATION_CLASS infoClass;
  ULONG length;
  NTSTATUS status;
  ULONG resultLength;
};

// Value "Long" = "abcdef" (14 bytes with NUL): not even the fixed part fits -> TOO_SMALL;
// part of it fits -> OVERFLOW; ResultLength always reports the full size.
TEST(Registry, ShortBuffersGiveBufferTooSmallOrBufferOverflow) {
  Registry::SetString(kService, "Long", u"abcdef");
  HANDLE key;
  ASSERT_EQ(Open(kServiceW, &key), STATUS_SUCCESS);
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"Long");
  const SizeRow rows[] = {
      {KeyValueFullInformation, 19, STATUS_BUFFER_TOO_SMALL, 28 + 14},
      {KeyValueFullInformation, 20, STATUS_BUFFER_OVERFLOW, 28 + 14},
      {KeyValueFullInformation, 41, STATUS_BUFFER_OVERFLOW, 28 + 14},
      {KeyValueFullInformation, 42, STATUS_SUCCESS, 28 + 14},
      {KeyValuePartialInformation, 11, STATUS_BUFFER_TOO_SMALL, 12 + 14},
      {KeyValuePartialInformation, 20, STATUS_BUFFER_OVERFLOW, 12 + 14},
      {KeyValuePartialInformation, 26, STATUS_SUCCESS, 12 + 14},
      {KeyValueBasicInformation, 11, STATUS_BUFFER_TOO_SMALL, 12 + 8},
      {KeyValueBasicInformation, 20, STATUS_SUCCESS, 12 + 8},
  };
  for (const SizeRow& row : rows) {
    SCOPED_TRACE(std::to_string(row.infoClass) + "/" + std::to_string(row.length));
    std::vector<unsigned char> buffer(row.length + 8, 0xEE);
    ULONG length = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &name, row.infoClass, buffer.data(), row.length, &length), row.status);
    EXPECT_EQ(length, row.resultLength);
    EXPECT_EQ(buffer[row.length], 0xEE);  // nothing written past the buffer
  }
  UNICODE_STRING absent = RTL_CONSTANT_STRING(u"Absent");
  ULONG length;
  unsigned char buffer[64];
  EXPECT_EQ(ZwQueryValueKey(key, &absent, KeyValuePartialInformation, buffer, sizeof buffer, &length),
            STATUS_OBJECT_NAME_NOT_FOUND);
  ZwClose(key);
}

RTL_QUERY_REGISTRY_TABLE DirectEntry(PWSTR name, PVOID destination, ULONG flags = 0) {
  RTL_QUERY_REGISTRY_TABLE entry{};
  entry.Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
  entry.Name = name;
  entry.EntryContext = destination;
  return entry;
}

struct DwordRow {
  const char* name;
  bool present;
  bool withDefault;
  ULONG relativeFlags;
  bool keyExists;
  NTSTATUS status;
  LONG expected;
};

// The driver's "EventsFifoSize" query: DIRECT REG_DWORD, optional key, a default equal to
// what the destination held.
TEST(Registry, DirectDwordWithDefaults) {
  const DwordRow rows[] = {
      {"present", true, true, RTL_REGISTRY_OPTIONAL, true, STATUS_SUCCESS, 4},
      {"absent, default", false, true, RTL_REGISTRY_OPTIONAL, true, STATUS_SUCCESS, 99},
      {"absent, no default", false, false, RTL_REGISTRY_OPTIONAL, true, STATUS_SUCCESS, 16},
      {"no key, optional", false, true, RTL_REGISTRY_OPTIONAL, false, STATUS_SUCCESS, 99},
      {"no key, not optional", false, true, 0, false, STATUS_OBJECT_NAME_NOT_FOUND, 16},
  };
  for (const DwordRow& row : rows) {
    SCOPED_TRACE(row.name);
    Registry::DeleteKey(kService);
    if (row.keyExists) Registry::CreateKey(kService);
    if (row.present) Registry::SetDword(kService, "EventsFifoSize", 4);
    LONG destination = 16;
    LONG fallback = 99;
    RTL_QUERY_REGISTRY_TABLE table[2] = {DirectEntry(const_cast<PWSTR>(u"EventsFifoSize"), &destination), {}};
    if (row.withDefault) {
      table[0].DefaultType = REG_DWORD;
      table[0].DefaultData = &fallback;
      table[0].DefaultLength = sizeof fallback;
    }
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | row.relativeFlags, kServiceW, table, NULL, NULL),
              row.status);
    EXPECT_EQ(destination, row.expected);
  }
}

TEST(Registry, DirectStringAllocatesWhenBufferIsNullAndRespectsAGivenBuffer) {
  Registry::SetString(kService, "VendorName", u"Hosted Readers Ltd");
  UNICODE_STRING allocated{0, 64, NULL};
  RTL_QUERY_REGISTRY_TABLE table[2] = {DirectEntry(const_cast<PWSTR>(u"VendorName"), &allocated), {}};
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kServiceW, table, NULL, NULL), STATUS_SUCCESS);
  ASSERT_NE(allocated.Buffer, nullptr);
  EXPECT_EQ(std::u16string(allocated.Buffer, allocated.Length / 2), u"Hosted Readers Ltd");
  EXPECT_EQ(allocated.Buffer[allocated.Length / 2], 0);
  RtlFreeUnicodeString(&allocated);

  WCHAR small[8];
  UNICODE_STRING given{0, sizeof small, small};
  table[0].EntryContext = &given;
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kServiceW, table, NULL, NULL), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(given.Length, 0);
}

struct Collected {
  std::vector<std::u16string> names;
  std::vector<ULONG> types;
  std::vector<std::u16string> strings;
  NTSTATUS failWith = STATUS_SUCCESS;
};

NTSTATUS NTAPI CollectValue(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID) {
  auto* collected = static_cast<Collected*>(context);
  collected->names.push_back(name == NULL ? u"" : std::u16string(name));
  collected->types.push_back(type);
  collected->strings.push_back(type == REG_SZ ? std::u16string(static_cast<PWSTR>(data), length / 2 - 1) : u"");
  return collected->failWith;
}

// The driver's extra-interface query: SUBKEY "Key", then a REQUIRED routine with no name,
// called once per value of the subkey.
NTSTATUS QuerySubkey(Collected* collected) {
  RTL_QUERY_REGISTRY_TABLE table[3] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_SUBKEY;
  table[0].Name = const_cast<PWSTR>(u"Key");
  table[1].QueryRoutine = CollectValue;
  table[1].Flags = RTL_QUERY_REGISTRY_REQUIRED;
  return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kServiceW, table, collected, NULL);
}

TEST(Registry, SubkeyWithARoutineSeesEveryValueOnce) {
  Registry::CreateKey(kService);
  Collected none;
  EXPECT_EQ(QuerySubkey(&none), STATUS_OBJECT_NAME_NOT_FOUND);  // no subkey
  Registry::CreateKey(std::string(kService) + "\\Key");
  EXPECT_EQ(QuerySubkey(&none), STATUS_OBJECT_NAME_NOT_FOUND);  // subkey without values
  EXPECT_TRUE(none.names.empty());

  Registry::SetString(std::string(kService) + "\\Key", "first", u"{50DD5230-BA8A-11D1-BF5D-0000F805F530}");
  Registry::SetDword(std::string(kService) + "\\Key", "second", 7);
  Collected all;
  EXPECT_EQ(QuerySubkey(&all), STATUS_SUCCESS);
  EXPECT_EQ(all.names, (std::vector<std::u16string>{u"first", u"second"}));
  EXPECT_EQ(all.types, (std::vector<ULONG>{REG_SZ, REG_DWORD}));
  EXPECT_EQ(all.strings[0], u"{50DD5230-BA8A-11D1-BF5D-0000F805F530}");

  Collected failing;
  failing.failWith = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(QuerySubkey(&failing), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(failing.names.size(), 1u);  // the failure ended the query
}

TEST(Registry, RequiredNamedValueAndMultiStringsAndTypeCheck) {
  Registry::SetMultiString(kService, "Ids", {u"USB\\VID_1", u"USB\\CLASS_0B"});
  Registry::SetDword(kService, "Number", 3);
  Collected collected;
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].QueryRoutine = CollectValue;
  table[0].Flags = RTL_QUERY_REGISTRY_REQUIRED;
  table[0].Name = const_cast<PWSTR>(u"Missing");
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kServiceW, table, &collected, NULL),
            STATUS_OBJECT_NAME_NOT_FOUND);
  table[0].Name = const_cast<PWSTR>(u"Ids");
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kServiceW, table, &collected, NULL), STATUS_SUCCESS);
  EXPECT_EQ(collected.strings, (std::vector<std::u16string>{u"USB\\VID_1", u"USB\\CLASS_0B"}));

  ULONG number = 0;
  RTL_QUERY_REGISTRY_TABLE typed[2] = {DirectEntry(const_cast<PWSTR>(u"Number"), &number, RTL_QUERY_REGISTRY_TYPECHECK),
                                       {}};
  typed[0].DefaultType = (REG_SZ << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE;
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kServiceW, typed, NULL, NULL), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(number, 0u);
}

TEST(Registry, EachPhysicalDeviceHasItsOwnDeviceKey) {
  PDRIVER_OBJECT bus = hosted::Drivers::Create("bus");
  PDEVICE_OBJECT pdo1, pdo2, fdo;
  ASSERT_EQ(IoCreateDevice(bus, 0, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo1), STATUS_SUCCESS);
  ASSERT_EQ(IoCreateDevice(bus, 0, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo2), STATUS_SUCCESS);
  ASSERT_EQ(IoCreateDevice(bus, 0, NULL, FILE_DEVICE_SMARTCARD, 0, FALSE, &fdo), STATUS_SUCCESS);
  IoAttachDeviceToDeviceStack(fdo, pdo1);
  Registry::SetString(Registry::DeviceKeyPath(pdo1), "IfdType", u"Reader One");
  EXPECT_NE(Registry::DeviceKeyPath(pdo1), Registry::DeviceKeyPath(pdo2));

  HANDLE key;
  ASSERT_EQ(IoOpenDeviceRegistryKey(pdo1, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
  UNICODE_STRING type{0, 64, NULL};
  RTL_QUERY_REGISTRY_TABLE table[2] = {DirectEntry(const_cast<PWSTR>(u"IfdType"), &type), {}};
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), table, NULL, NULL), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(type.Buffer, type.Length / 2), u"Reader One");
  RtlFreeUnicodeString(&type);
  ZwClose(key);

  EXPECT_EQ(IoOpenDeviceRegistryKey(fdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_INVALID_DEVICE_REQUEST);
  IoDetachDevice(pdo1);
  IoDeleteDevice(fdo);
  IoDeleteDevice(pdo2);
  IoDeleteDevice(pdo1);
  hosted::Drivers::Destroy(bus);
}

}  // namespace
