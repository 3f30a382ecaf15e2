// The hosted registry: an in-memory tree behind ZwOpenKey, ZwQueryValueKey, ZwClose,
// IoOpenDeviceRegistryKey and RtlQueryRegistryValues.
//
// Paths are kernel paths ("\Registry\Machine\Software\..."), case-insensitive. The default
// tree has the usual roots and the Windows NT "CurrentVersion" key under
// \Registry\Machine\Software\Microsoft with CurrentVersion = "6.3" (as Windows 8.1 to 11).
#pragma once

#include <wdm.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hosted {

struct RegistryValue {
  ULONG type;
  std::vector<unsigned char> data;
};

class RegistrySnapshot {
 public:
  RegistrySnapshot() = default;

 private:
  friend class Registry;
  std::shared_ptr<void> root_;
};

class Registry {
 public:
  static void CreateKey(std::string_view path);  // with any missing parents
  static bool KeyExists(std::string_view path);
  static void DeleteKey(std::string_view path);  // with its subkeys

  // Setting a value creates its key. Strings are stored with their terminating NUL, as
  // Windows stores REG_SZ data.
  static void SetValue(std::string_view path, std::string_view name, ULONG type, std::vector<unsigned char> data);
  static void SetString(std::string_view path, std::string_view name, std::u16string_view value,
                        ULONG type = REG_SZ);
  static void SetString(std::string_view path, std::string_view name, std::string_view value, ULONG type = REG_SZ);
  static void SetDword(std::string_view path, std::string_view name, ULONG value);
  static void SetBinary(std::string_view path, std::string_view name, const std::vector<unsigned char>& data);
  static void SetMultiString(std::string_view path, std::string_view name, const std::vector<std::u16string>& strings);
  static void DeleteValue(std::string_view path, std::string_view name);
  static std::optional<RegistryValue> GetValue(std::string_view path, std::string_view name);
  static std::vector<std::string> ValueNames(std::string_view path);

  // A copy of the whole tree, and the way back to it (open handles keep their old keys).
  static RegistrySnapshot Snapshot();
  static void Restore(const RegistrySnapshot& snapshot);
  static void Reset();  // the default tree

  // The key IoOpenDeviceRegistryKey opens for a PDO (PLUGPLAY_REGKEY_DEVICE: the device
  // hardware key; PLUGPLAY_REGKEY_DRIVER: the driver key). Each PDO gets its own key under
  // "\Registry\Machine\System\CurrentControlSet\Enum\HOSTED\DEV_<n>" unless a path is set.
  static std::string DeviceKeyPath(PDEVICE_OBJECT pdo, ULONG keyType = PLUGPLAY_REGKEY_DEVICE);
  static void SetDeviceKeyPath(PDEVICE_OBJECT pdo, ULONG keyType, std::string_view path);

  static std::size_t OpenHandles();
};

}  // namespace hosted
