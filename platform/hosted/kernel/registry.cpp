// Registry: the in-memory tree, key handles, the Zw* value routines, RtlQueryRegistryValues
// and IoOpenDeviceRegistryKey.
#include "registry.h"

#include <cstring>
#include <map>
#include <unordered_map>

#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace {

struct Value {
  std::u16string name;
  ULONG type;
  std::vector<unsigned char> data;
};

struct KeyNode {
  std::u16string name;
  KeyNode* parent = nullptr;
  bool deleted = false;
  std::vector<std::shared_ptr<KeyNode>> children;
  std::vector<Value> values;
};
using KeyPtr = std::shared_ptr<KeyNode>;

struct HandleInfo {
  KeyPtr key;
  std::uint64_t serial;
  std::string path;
};

struct RegistryState {
  std::mutex mutex;
  KeyPtr root;
  std::unordered_map<HANDLE, HandleInfo> handles;
  std::uint64_t handleSerial = 0;
  std::map<std::pair<PDEVICE_OBJECT, ULONG>, std::u16string> deviceKeys;
  std::unordered_map<PDEVICE_OBJECT, unsigned> deviceNumbers;
  unsigned nextDeviceNumber = 0;
};

char16_t Upcase(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Upcase(a[i]) != Upcase(b[i])) return false;
  }
  return true;
}

std::vector<std::u16string> SplitPath(std::u16string_view path) {
  std::vector<std::u16string> parts;
  std::u16string part;
  for (char16_t c : path) {
    if (c == u'\\') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

KeyPtr FindChildPtr(const KeyPtr& key, std::u16string_view name) {
  for (const KeyPtr& child : key->children) {
    if (EqualNoCase(child->name, name)) return child;
  }
  return nullptr;
}

// Resolves `parts` below `start`; with `create`, missing keys are made.
KeyPtr Walk(KeyPtr start, const std::vector<std::u16string>& parts, std::size_t first, bool create) {
  KeyPtr key = std::move(start);
  for (std::size_t i = first; i < parts.size() && key != nullptr; ++i) {
    KeyPtr child = FindChildPtr(key, parts[i]);
    if (child == nullptr && create) {
      child = std::make_shared<KeyNode>();
      child->name = parts[i];
      child->parent = key.get();
      key->children.push_back(child);
    }
    key = child;
  }
  return key;
}

// An absolute path "\Registry\...": the key, or nullptr.
KeyPtr ResolveAbsoluteLocked(RegistryState& s, std::u16string_view path, bool create) {
  const std::vector<std::u16string> parts = SplitPath(path);
  if (parts.empty() || !EqualNoCase(parts[0], u"REGISTRY")) return nullptr;
  return Walk(s.root, parts, 1, create);
}

Value* FindValue(KeyNode* key, std::u16string_view name) {
  for (Value& value : key->values) {
    if (EqualNoCase(value.name, name)) return &value;
  }
  return nullptr;
}

KeyPtr Clone(const KeyNode& key, KeyNode* parent) {
  auto copy = std::make_shared<KeyNode>();
  copy->name = key.name;
  copy->parent = parent;
  copy->values = key.values;
  for (const KeyPtr& child : key.children) copy->children.push_back(Clone(*child, copy.get()));
  return copy;
}

void SetValueLocked(RegistryState& s, std::u16string_view path, std::u16string_view name, ULONG type,
                    std::vector<unsigned char> data) {
  KeyPtr key = ResolveAbsoluteLocked(s, path, true);
  if (key == nullptr) return;
  Value* value = FindValue(key.get(), name);
  if (value == nullptr) {
    key->values.push_back(Value{std::u16string(name), type, std::move(data)});
  } else {
    value->type = type;
    value->data = std::move(data);
  }
}

std::vector<unsigned char> StringData(std::u16string_view text) {
  std::vector<unsigned char> data((text.size() + 1) * sizeof(char16_t), 0);
  std::memcpy(data.data(), text.data(), text.size() * sizeof(char16_t));
  return data;
}

KeyPtr DefaultTree() {
  RegistryState scratch;
  scratch.root = std::make_shared<KeyNode>();
  scratch.root->name = u"REGISTRY";
  for (const char16_t* path : {u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
                               u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class",
                               u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum",
                               u"\\Registry\\Machine\\Hardware\\DeviceMap", u"\\Registry\\User\\.Default"}) {
    ResolveAbsoluteLocked(scratch, path, true);
  }
  SetValueLocked(scratch, u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion", u"CurrentVersion",
                 REG_SZ, StringData(u"6.3"));
  return scratch.root;
}

RegistryState& State() {
  static RegistryState* state = [] {
    auto* s = new RegistryState();
    s->root = DefaultTree();
    return s;
  }();
  return *state;
}

std::u16string FromUnicode(PCUNICODE_STRING text) {
  if (text == NULL || text->Buffer == NULL) return std::u16string();
  return std::u16string(text->Buffer, text->Length / sizeof(WCHAR));
}

std::u16string FullPath(const KeyNode* key) {
  std::u16string path;
  for (; key != nullptr; key = key->parent) path = u"\\" + key->name + path;
  return path;
}

// With the lock held: the key of a handle, or nullptr.
KeyPtr KeyOfHandleLocked(RegistryState& s, HANDLE handle) {
  auto it = s.handles.find(handle);
  return it == s.handles.end() ? nullptr : it->second.key;
}

HANDLE NewHandleLocked(RegistryState& s, KeyPtr key) {
  const std::uint64_t serial = ++s.handleSerial;
  auto handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0xFFFFFFFF80000000ull + serial * 4));
  const std::string path = Narrow(FullPath(key.get()).c_str(), FullPath(key.get()).size());
  s.handles[handle] = HandleInfo{std::move(key), serial, path};
  return handle;
}

// Lays out a KEY_VALUE_*_INFORMATION record as Windows does; returns the status and the
// full size in *resultLength.
NTSTATUS FormatValue(const Value& value, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                     PULONG resultLength) {
  const ULONG nameBytes = static_cast<ULONG>(value.name.size() * sizeof(WCHAR));
  const ULONG dataBytes = static_cast<ULONG>(value.data.size());
  auto* out = static_cast<unsigned char*>(buffer);
  ULONG fixed;
  ULONG total;
  switch (infoClass) {
    case KeyValueBasicInformation: {
      fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
      total = fixed + nameBytes;
      *resultLength = total;
      if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
      auto* info = static_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer);
      info->TitleIndex = 0;
      info->Type = value.type;
      info->NameLength = nameBytes;
      std::memcpy(out + fixed, value.name.data(), length - fixed < nameBytes ? length - fixed : nameBytes);
      return length < total ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
      const ULONG align = infoClass == KeyValueFullInformation ? 4 : 8;
      fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
      const ULONG dataOffset = (fixed + nameBytes + align - 1) & ~(align - 1);
      total = dataOffset + dataBytes;
      *resultLength = total;
      if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
      auto* info = static_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
      info->TitleIndex = 0;
      info->Type = value.type;
      info->DataOffset = dataOffset;
      info->DataLength = dataBytes;
      info->NameLength = nameBytes;
      std::memcpy(out + fixed, value.name.data(), length - fixed < nameBytes ? length - fixed : nameBytes);
      if (length < total) return STATUS_BUFFER_OVERFLOW;
      if (dataBytes != 0) std::memcpy(out + dataOffset, value.data.data(), dataBytes);
      return STATUS_SUCCESS;
    }
    case KeyValuePartialInformation:
    case KeyValuePartialInformationAlign64: {
      // The Align64 layout drops TitleIndex: { Type, DataLength, Data }.
      const bool align64 = infoClass == KeyValuePartialInformationAlign64;
      fixed = align64 ? 8 : FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
      total = fixed + dataBytes;
      *resultLength = total;
      if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
      auto* words = static_cast<ULONG*>(buffer);
      if (align64) {
        words[0] = value.type;
        words[1] = dataBytes;
      } else {
        words[0] = 0;
        words[1] = value.type;
        words[2] = dataBytes;
      }
      std::memcpy(out + fixed, value.data.data(), length - fixed < dataBytes ? length - fixed : dataBytes);
      return length < total ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

bool CheckPassive(const char* routine) {
  if (CurrentIrql() == PASSIVE_LEVEL) return true;
  Verifier::Report(Check::IrqlInvalid, routine, "registry access above PASSIVE_LEVEL");
  return false;
}

NTSTATUS BadHandle(const char* routine, HANDLE handle) {
  Verifier::Report(Check::InvalidHandle, routine, "handle " + PointerText(handle) + " is not an open registry key");
  return STATUS_INVALID_HANDLE;
}

}  // namespace

namespace hosted::detail {

std::u16string DeviceKeyPathFor(PDEVICE_OBJECT pdo, ULONG keyType) {
  RegistryState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto known = s.deviceKeys.find({pdo, keyType});
  if (known != s.deviceKeys.end()) return known->second;
  auto number = s.deviceNumbers.find(pdo);
  if (number == s.deviceNumbers.end()) number = s.deviceNumbers.emplace(pdo, s.nextDeviceNumber++).first;
  char instance[16];
  std::snprintf(instance, sizeof instance, "%04u", number->second);
  std::u16string path;
  if ((keyType & PLUGPLAY_REGKEY_DRIVER) != 0) {
    path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
           u"{50dd5230-ba8a-11d1-bf5d-0000f805f530}\\" + Widen(instance);
  } else {
    path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\HOSTED\\DEV_" + Widen(instance) +
           u"\\0000\\Device Parameters";
  }
  s.deviceKeys[{pdo, keyType}] = path;
  return path;
}

std::uint64_t HandleSerial() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().handleSerial;
}

void ReportHandleLeaks(std::uint64_t since, std::string_view context) {
  std::vector<HandleInfo> leaked;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    for (auto it = State().handles.begin(); it != State().handles.end();) {
      if (it->second.serial > since) {
        leaked.push_back(it->second);
        it = State().handles.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const HandleInfo& info : leaked) {
    Verifier::Report(Check::HandleLeak, "ZwClose", "registry key \"" + info.path + "\" still open " + std::string(context));
  }
}

}  // namespace hosted::detail

namespace hosted {

void Registry::CreateKey(std::string_view path) {
  std::lock_guard<std::mutex> lock(State().mutex);
  ResolveAbsoluteLocked(State(), Widen(path), true);
}

bool Registry::KeyExists(std::string_view path) {
  std::lock_guard<std::mutex> lock(State().mutex);
  return ResolveAbsoluteLocked(State(), Widen(path), false) != nullptr;
}

void Registry::DeleteKey(std::string_view path) {
  std::lock_guard<std::mutex> lock(State().mutex);
  KeyPtr key = ResolveAbsoluteLocked(State(), Widen(path), false);
  if (key == nullptr || key->parent == nullptr) return;
  auto& siblings = key->parent->children;
  for (auto it = siblings.begin(); it != siblings.end(); ++it) {
    if (it->get() == key.get()) {
      siblings.erase(it);
      break;
    }
  }
  key->deleted = true;
}

void Registry::SetValue(std::string_view path, std::string_view name, ULONG type, std::vector<unsigned char> data) {
  std::lock_guard<std::mutex> lock(State().mutex);
  SetValueLocked(State(), Widen(path), Widen(name), type, std::move(data));
}

void Registry::SetString(std::string_view path, std::string_view name, std::u16string_view value, ULONG type) {
  SetValue(path, name, type, StringData(value));
}

void Registry::SetString(std::string_view path, std::string_view name, std::string_view value, ULONG type) {
  SetValue(path, name, type, StringData(Widen(value)));
}

void Registry::SetDword(std::string_view path, std::string_view name, ULONG value) {
  std::vector<unsigned char> data(sizeof value);
  std::memcpy(data.data(), &value, sizeof value);
  SetValue(path, name, REG_DWORD, std::move(data));
}

void Registry::SetBinary(std::string_view path, std::string_view name, const std::vector<unsigned char>& data) {
  SetValue(path, name, REG_BINARY, data);
}

void Registry::SetMultiString(std::string_view path, std::string_view name, const std::vector<std::u16string>& strings) {
  std::u16string joined;
  for (const std::u16string& text : strings) joined += text + u'\0';
  SetValue(path, name, REG_MULTI_SZ, StringData(joined));  // the final extra NUL ends the list
}

void Registry::DeleteValue(std::string_view path, std::string_view name) {
  std::lock_guard<std::mutex> lock(State().mutex);
  KeyPtr key = ResolveAbsoluteLocked(State(), Widen(path), false);
  if (key == nullptr) return;
  const std::u16string wide = Widen(name);
  for (auto it = key->values.begin(); it != key->values.end(); ++it) {
    if (EqualNoCase(it->name, wide)) {
      key->values.erase(it);
      return;
    }
  }
}

std::optional<RegistryValue> Registry::GetValue(std::string_view path, std::string_view name) {
  std::lock_guard<std::mutex> lock(State().mutex);
  KeyPtr key = ResolveAbsoluteLocked(State(), Widen(path), false);
  if (key == nullptr) return std::nullopt;
  Value* value = FindValue(key.get(), Widen(name));
  if (value == nullptr) return std::nullopt;
  return RegistryValue{value->type, value->data};
}

std::vector<std::string> Registry::ValueNames(std::string_view path) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::vector<std::string> names;
  KeyPtr key = ResolveAbsoluteLocked(State(), Widen(path), false);
  if (key == nullptr) return names;
  for (const Value& value : key->values) names.push_back(Narrow(value.name.c_str(), value.name.size()));
  return names;
}

RegistrySnapshot Registry::Snapshot() {
  std::lock_guard<std::mutex> lock(State().mutex);
  RegistrySnapshot snapshot;
  snapshot.root_ = Clone(*State().root, nullptr);
  return snapshot;
}

void Registry::Restore(const RegistrySnapshot& snapshot) {
  if (snapshot.root_ == nullptr) return;
  std::lock_guard<std::mutex> lock(State().mutex);
  State().root = Clone(*std::static_pointer_cast<KeyNode>(snapshot.root_), nullptr);
}

void Registry::Reset() {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().root = DefaultTree();
}

std::string Registry::DeviceKeyPath(PDEVICE_OBJECT pdo, ULONG keyType) {
  const std::u16string path = DeviceKeyPathFor(pdo, keyType);
  return Narrow(path.c_str(), path.size());
}

void Registry::SetDeviceKeyPath(PDEVICE_OBJECT pdo, ULONG keyType, std::string_view path) {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().deviceKeys[{pdo, keyType}] = Widen(path);
}

std::size_t Registry::OpenHandles() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().handles.size();
}

}  // namespace hosted

// ---- ZwOpenKey -------------------------------------------------------------------------
extern "C" NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
  (void)DesiredAccess;
  if (!CheckPassive("ZwOpenKey")) return STATUS_INVALID_DEVICE_STATE;
  if (KeyHandle == NULL || ObjectAttributes == NULL || ObjectAttributes->ObjectName == NULL) {
    Verifier::Report(Check::InvalidParameter, "ZwOpenKey", "no handle pointer, object attributes or name");
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS status;
  if (ShouldFailCall("ZwOpenKey", &status, __builtin_return_address(0))) return status;
  const std::u16string name = FromUnicode(ObjectAttributes->ObjectName);
  RegistryState& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  KeyPtr key;
  if (ObjectAttributes->RootDirectory != NULL) {
    KeyPtr root = KeyOfHandleLocked(s, ObjectAttributes->RootDirectory);
    if (root == nullptr) {
      lock.unlock();
      return BadHandle("ZwOpenKey", ObjectAttributes->RootDirectory);
    }
    key = Walk(root, SplitPath(name), 0, false);
  } else {
    if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    key = ResolveAbsoluteLocked(s, name, false);
  }
  if (key == nullptr || key->deleted) return STATUS_OBJECT_NAME_NOT_FOUND;
  *KeyHandle = NewHandleLocked(s, key);
  return STATUS_SUCCESS;
}

// ---- ZwQueryValueKey -------------------------------------------------------------------
// STATUS_BUFFER_TOO_SMALL when not even the fixed part fits (nothing written);
// STATUS_BUFFER_OVERFLOW when only part of the record fits. *ResultLength is the full size.
extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  if (!CheckPassive("ZwQueryValueKey")) return STATUS_INVALID_DEVICE_STATE;
  if (ResultLength == NULL || (KeyValueInformation == NULL && Length != 0)) {
    Verifier::Report(Check::InvalidParameter, "ZwQueryValueKey", "no result length or no buffer");
    return STATUS_INVALID_PARAMETER;
  }
  RegistryState& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  KeyPtr key = KeyOfHandleLocked(s, KeyHandle);
  if (key == nullptr) {
    lock.unlock();
    return BadHandle("ZwQueryValueKey", KeyHandle);
  }
  if (key->deleted) return STATUS_KEY_DELETED;
  Value* value = FindValue(key.get(), FromUnicode(ValueName));
  if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  return FormatValue(*value, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

// ---- ZwEnumerateValueKey ---------------------------------------------------------------
extern "C" NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                             KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  if (!CheckPassive("ZwEnumerateValueKey")) return STATUS_INVALID_DEVICE_STATE;
  RegistryState& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  KeyPtr key = KeyOfHandleLocked(s, KeyHandle);
  if (key == nullptr) {
    lock.unlock();
    return BadHandle("ZwEnumerateValueKey", KeyHandle);
  }
  if (Index >= key->values.size()) return STATUS_NO_MORE_ENTRIES;
  return FormatValue(key->values[Index], KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

// ---- ZwEnumerateKey --------------------------------------------------------------------
extern "C" NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                        PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
  if (!CheckPassive("ZwEnumerateKey")) return STATUS_INVALID_DEVICE_STATE;
  RegistryState& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  KeyPtr key = KeyOfHandleLocked(s, KeyHandle);
  if (key == nullptr) {
    lock.unlock();
    return BadHandle("ZwEnumerateKey", KeyHandle);
  }
  if (Index >= key->children.size()) return STATUS_NO_MORE_ENTRIES;
  if (KeyInformationClass != KeyBasicInformation) return STATUS_INVALID_PARAMETER;
  const std::u16string& name = key->children[Index]->name;
  const ULONG fixed = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
  const ULONG nameBytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
  *ResultLength = fixed + nameBytes;
  if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
  auto* info = static_cast<PKEY_BASIC_INFORMATION>(KeyInformation);
  info->LastWriteTime.QuadPart = kSystemTimeAtBoot;
  info->TitleIndex = 0;
  info->NameLength = nameBytes;
  std::memcpy(info->Name, name.data(), Length - fixed < nameBytes ? Length - fixed : nameBytes);
  return Length < fixed + nameBytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

// ---- ZwSetValueKey ---------------------------------------------------------------------
extern "C" NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                       PVOID Data, ULONG DataSize) {
  (void)TitleIndex;
  if (!CheckPassive("ZwSetValueKey")) return STATUS_INVALID_DEVICE_STATE;
  RegistryState& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  KeyPtr key = KeyOfHandleLocked(s, KeyHandle);
  if (key == nullptr) {
    lock.unlock();
    return BadHandle("ZwSetValueKey", KeyHandle);
  }
  const auto* bytes = static_cast<const unsigned char*>(Data);
  std::vector<unsigned char> data(bytes, bytes + (Data != NULL ? DataSize : 0));
  const std::u16string name = FromUnicode(ValueName);
  Value* value = FindValue(key.get(), name);
  if (value == nullptr) {
    key->values.push_back(Value{name, Type, std::move(data)});
  } else {
    value->type = Type;
    value->data = std::move(data);
  }
  return STATUS_SUCCESS;
}

// ---- ZwDeleteValueKey ------------------------------------------------------------------
extern "C" NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
  RegistryState& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  KeyPtr key = KeyOfHandleLocked(s, KeyHandle);
  if (key == nullptr) {
    lock.unlock();
    return BadHandle("ZwDeleteValueKey", KeyHandle);
  }
  const std::u16string name = FromUnicode(ValueName);
  for (auto it = key->values.begin(); it != key->values.end(); ++it) {
    if (EqualNoCase(it->name, name)) {
      key->values.erase(it);
      return STATUS_SUCCESS;
    }
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

// ---- ZwClose ---------------------------------------------------------------------------
extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  CheckPassiveLevel("ZwClose");
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    if (State().handles.erase(Handle) != 0) return STATUS_SUCCESS;
  }
  return BadHandle("ZwClose", Handle);
}

// ---- IoOpenDeviceRegistryKey -----------------------------------------------------------
// Opens (creating it on first use) the PDO's device hardware key or driver key.
extern "C" NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                                 ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
  (void)DesiredAccess;
  if (!CheckPassive("IoOpenDeviceRegistryKey")) return STATUS_INVALID_DEVICE_STATE;
  if (!IsLiveDevice(DeviceObject) || LowerDevice(DeviceObject) != nullptr) {
    return STATUS_INVALID_DEVICE_REQUEST;  // only a PDO has these keys
  }
  const ULONG kind = DevInstKeyType & (PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER);
  if (kind != PLUGPLAY_REGKEY_DEVICE && kind != PLUGPLAY_REGKEY_DRIVER) {
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS status;
  if (ShouldFailCall("IoOpenDeviceRegistryKey", &status, __builtin_return_address(0))) return status;
  const std::u16string path = DeviceKeyPathFor(DeviceObject, DevInstKeyType);
  RegistryState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  KeyPtr key = ResolveAbsoluteLocked(s, path, true);
  if (key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  *DevInstRegKey = NewHandleLocked(s, key);
  return STATUS_SUCCESS;
}
