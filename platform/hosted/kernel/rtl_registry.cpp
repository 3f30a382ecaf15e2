// RtlQueryRegistryValues, built on the Zw* registry routines as on Windows.
//
// Choices where the documentation is silent: a missing key with RTL_REGISTRY_OPTIONAL is
// processed as an empty key (defaults apply, required values fail); a missing subkey named
// by RTL_QUERY_REGISTRY_SUBKEY fails the query with STATUS_OBJECT_NAME_NOT_FOUND; a
// query routine's failure status ends the query with that status.
#include <cstring>
#include <optional>

#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace {

struct ValueData {
  std::u16string name;
  ULONG type;
  std::vector<unsigned char> data;
};

class KeyHandle {
 public:
  KeyHandle() = default;
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;
  ~KeyHandle() { Close(); }
  void Adopt(HANDLE handle) {
    Close();
    handle_ = handle;
    owned_ = true;
  }
  void Borrow(HANDLE handle) {
    Close();
    handle_ = handle;
    owned_ = false;
  }
  void Close() {
    if (owned_ && handle_ != NULL) ZwClose(handle_);
    handle_ = NULL;
    owned_ = false;
  }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_ = NULL;
  bool owned_ = false;
};

NTSTATUS OpenKey(const std::u16string& path, HANDLE root, HANDLE* key) {
  UNICODE_STRING name;
  name.Buffer = const_cast<PWSTR>(path.c_str());
  name.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
  name.MaximumLength = name.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, NULL);
  return ZwOpenKey(key, KEY_READ, &attributes);
}

std::u16string RelativeBase(ULONG relativeTo) {
  switch (relativeTo) {
    case RTL_REGISTRY_SERVICES: return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
    case RTL_REGISTRY_CONTROL: return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
    case RTL_REGISTRY_WINDOWS_NT: return u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    case RTL_REGISTRY_DEVICEMAP: return u"\\Registry\\Machine\\Hardware\\DeviceMap";
    case RTL_REGISTRY_USER: return u"\\Registry\\User\\.Default";
    default: return u"";
  }
}

std::size_t WideLength(PCWSTR text) {
  std::size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

std::optional<ValueData> ReadValue(HANDLE key, PCWSTR name) {
  std::u16string wide(name, WideLength(name));
  UNICODE_STRING valueName;
  valueName.Buffer = const_cast<PWSTR>(wide.c_str());
  valueName.Length = static_cast<USHORT>(wide.size() * sizeof(WCHAR));
  valueName.MaximumLength = valueName.Length;
  ULONG needed = 0;
  NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, NULL, 0, &needed);
  if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) return std::nullopt;
  std::vector<unsigned char> buffer(needed);
  status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer.data(), needed, &needed);
  if (!NT_SUCCESS(status)) return std::nullopt;
  const auto* info = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
  return ValueData{wide, info->Type, std::vector<unsigned char>(info->Data, info->Data + info->DataLength)};
}

std::vector<ValueData> ReadAllValues(HANDLE key) {
  std::vector<ValueData> values;
  for (ULONG index = 0;; ++index) {
    ULONG needed = 0;
    NTSTATUS status = ZwEnumerateValueKey(key, index, KeyValueFullInformation, NULL, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) break;
    std::vector<unsigned char> buffer(needed);
    status = ZwEnumerateValueKey(key, index, KeyValueFullInformation, buffer.data(), needed, &needed);
    if (!NT_SUCCESS(status)) break;
    const auto* info = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(buffer.data());
    const unsigned char* data = buffer.data() + info->DataOffset;
    values.push_back(ValueData{std::u16string(info->Name, info->NameLength / sizeof(WCHAR)), info->Type,
                               std::vector<unsigned char>(data, data + info->DataLength)});
  }
  return values;
}

bool IsStringType(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// RTL_QUERY_REGISTRY_DIRECT: strings into the UNICODE_STRING at EntryContext (a buffer is
// allocated when its Buffer is NULL, else the string must fit MaximumLength with its NUL);
// other data of up to 4 bytes into EntryContext itself; longer data into the buffer whose
// size EntryContext's first LONG gives (negative: data only; positive: length, type, data).
NTSTATUS StoreDirect(PVOID context, ULONG type, const void* data, ULONG length) {
  if (IsStringType(type)) {
    auto* string = static_cast<PUNICODE_STRING>(context);
    ULONG bytes = length & ~1u;
    const auto* text = static_cast<const WCHAR*>(data);
    if (bytes >= sizeof(WCHAR) && text[bytes / sizeof(WCHAR) - 1] == 0) bytes -= sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > UNICODE_STRING_MAX_BYTES + sizeof(WCHAR)) return STATUS_BUFFER_OVERFLOW;
    if (string->Buffer == NULL) {
      auto* buffer = static_cast<PWSTR>(AllocateForCaller("RtlQueryRegistryValues", PagedPool, bytes + sizeof(WCHAR),
                                                          kStringTag));
      if (buffer == NULL) return STATUS_NO_MEMORY;
      string->Buffer = buffer;
      string->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    } else if (bytes + sizeof(WCHAR) > string->MaximumLength) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    if (bytes != 0) std::memcpy(string->Buffer, data, bytes);
    string->Buffer[bytes / sizeof(WCHAR)] = 0;
    string->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
  }
  if (length <= sizeof(ULONG)) {
    if (length != 0) std::memcpy(context, data, length);
    return STATUS_SUCCESS;
  }
  LONG size;
  std::memcpy(&size, context, sizeof size);
  if (size < 0) {
    if (length > static_cast<ULONG>(-size)) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(context, data, length);
    return STATUS_SUCCESS;
  }
  if (length + 2 * sizeof(ULONG) > static_cast<ULONG>(size)) return STATUS_BUFFER_TOO_SMALL;
  auto* words = static_cast<ULONG*>(context);
  words[0] = length;
  words[1] = type;
  std::memcpy(words + 2, data, length);
  return STATUS_SUCCESS;
}

// Hands one value to a table entry: stored directly, or passed to the query routine (a
// REG_MULTI_SZ one string at a time unless RTL_QUERY_REGISTRY_NOEXPAND).
NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE& entry, const std::u16string& name, ULONG type, const void* data,
                 ULONG length, PVOID context) {
  if ((entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) != 0 && type != (entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT)) {
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) return StoreDirect(entry.EntryContext, type, data, length);
  std::u16string valueName = name;
  if (type == REG_MULTI_SZ && !(entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
    const auto* text = static_cast<const WCHAR*>(data);
    const std::size_t chars = length / sizeof(WCHAR);
    std::size_t start = 0;
    while (start < chars && text[start] != 0) {
      std::size_t end = start;
      while (end < chars && text[end] != 0) ++end;
      std::u16string item(text + start, end - start);
      const NTSTATUS status =
          entry.QueryRoutine(valueName.data(), REG_SZ, item.data(), static_cast<ULONG>((item.size() + 1) * sizeof(WCHAR)),
                             context, entry.EntryContext);
      if (!NT_SUCCESS(status)) return status;
      start = end + 1;
    }
    return STATUS_SUCCESS;
  }
  if (type == REG_EXPAND_SZ && !(entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND)) type = REG_SZ;  // nothing to expand here
  std::vector<unsigned char> copy(static_cast<const unsigned char*>(data), static_cast<const unsigned char*>(data) + length);
  return entry.QueryRoutine(valueName.data(), type, copy.empty() ? NULL : copy.data(), length, context,
                            entry.EntryContext);
}

// The default of an entry whose value is missing: DefaultLength 0 on a string means the
// string's own length with its NUL.
NTSTATUS DeliverDefault(const RTL_QUERY_REGISTRY_TABLE& entry, const std::u16string& name, PVOID context, bool* used) {
  const ULONG type = (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) != 0
                         ? (entry.DefaultType & ~static_cast<ULONG>(RTL_QUERY_REGISTRY_TYPECHECK_MASK))
                         : entry.DefaultType;
  *used = false;
  if (type == REG_NONE || entry.DefaultData == NULL) return STATUS_SUCCESS;
  ULONG length = entry.DefaultLength;
  if (length == 0 && (type == REG_SZ || type == REG_EXPAND_SZ)) {
    length = static_cast<ULONG>((WideLength(static_cast<PCWSTR>(entry.DefaultData)) + 1) * sizeof(WCHAR));
  } else if (length == 0 && type == REG_MULTI_SZ) {
    const auto* text = static_cast<PCWSTR>(entry.DefaultData);
    std::size_t n = 0;
    while (text[n] != 0 || text[n + 1] != 0) ++n;
    length = static_cast<ULONG>((n + 2) * sizeof(WCHAR));
  }
  *used = true;
  RTL_QUERY_REGISTRY_TABLE plain = entry;
  plain.Flags &= ~static_cast<ULONG>(RTL_QUERY_REGISTRY_TYPECHECK);
  return Deliver(plain, name, type, entry.DefaultData, length, context);
}

}  // namespace

// ---- RtlQueryRegistryValues ------------------------------------------------------------
extern "C" NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                PVOID Context, PVOID Environment) {
  (void)Environment;
  if (CurrentIrql() != PASSIVE_LEVEL) {
    Verifier::Report(Check::IrqlInvalid, "RtlQueryRegistryValues", "called above PASSIVE_LEVEL");
    return STATUS_INVALID_DEVICE_STATE;
  }
  if (QueryTable == NULL) return STATUS_INVALID_PARAMETER;
  KeyHandle base;
  if (RelativeTo & RTL_REGISTRY_HANDLE) {
    base.Borrow(reinterpret_cast<HANDLE>(const_cast<PWSTR>(Path)));
  } else {
    const ULONG relative = RelativeTo & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL);
    if (relative >= RTL_REGISTRY_MAXIMUM) return STATUS_INVALID_PARAMETER;
    std::u16string path = RelativeBase(relative);
    if (Path != NULL && Path[0] != 0) {
      if (!path.empty() && Path[0] != u'\\') path += u"\\";
      path += std::u16string(Path, WideLength(Path));
    }
    HANDLE handle = NULL;
    const NTSTATUS status = OpenKey(path, NULL, &handle);
    if (NT_SUCCESS(status)) {
      base.Adopt(handle);
    } else if (!(RelativeTo & RTL_REGISTRY_OPTIONAL)) {
      return status;
    }
  }
  KeyHandle subkey;
  HANDLE current = base.get();
  for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; entry->QueryRoutine != NULL || entry->Name != NULL; ++entry) {
    const ULONG flags = entry->Flags;
    if (flags & (RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_SUBKEY)) {
      subkey.Close();
      current = base.get();
      if (flags & RTL_QUERY_REGISTRY_SUBKEY) {
        if (entry->Name == NULL) return STATUS_INVALID_PARAMETER;
        HANDLE handle = NULL;
        const NTSTATUS status =
            current == NULL ? STATUS_OBJECT_NAME_NOT_FOUND
                            : OpenKey(std::u16string(entry->Name, WideLength(entry->Name)), current, &handle);
        if (!NT_SUCCESS(status)) return status;
        subkey.Adopt(handle);
        current = handle;
      }
      if (entry->QueryRoutine == NULL) continue;
    }
    if ((flags & RTL_QUERY_REGISTRY_DIRECT) && (entry->Name == NULL || (flags & RTL_QUERY_REGISTRY_SUBKEY))) {
      return STATUS_INVALID_PARAMETER;
    }
    if (!(flags & RTL_QUERY_REGISTRY_DIRECT) && entry->QueryRoutine == NULL) return STATUS_INVALID_PARAMETER;
    if (entry->Name == NULL || (flags & RTL_QUERY_REGISTRY_SUBKEY)) {
      // Every value of the current key, once each.
      const std::vector<ValueData> values = current == NULL ? std::vector<ValueData>() : ReadAllValues(current);
      if (values.empty()) {
        if (flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (flags & RTL_QUERY_REGISTRY_NOVALUE) {
          const NTSTATUS status = entry->QueryRoutine(NULL, REG_NONE, NULL, 0, Context, entry->EntryContext);
          if (!NT_SUCCESS(status)) return status;
        }
        continue;
      }
      for (const ValueData& value : values) {
        const NTSTATUS status = Deliver(*entry, value.name, value.type, value.data.data(),
                                        static_cast<ULONG>(value.data.size()), Context);
        if (!NT_SUCCESS(status)) return status;
      }
      continue;
    }
    const std::u16string name(entry->Name, WideLength(entry->Name));
    const std::optional<ValueData> value = current == NULL ? std::nullopt : ReadValue(current, entry->Name);
    NTSTATUS status = STATUS_SUCCESS;
    if (value.has_value()) {
      status = Deliver(*entry, name, value->type, value->data.data(), static_cast<ULONG>(value->data.size()), Context);
    } else if (flags & RTL_QUERY_REGISTRY_REQUIRED) {
      return STATUS_OBJECT_NAME_NOT_FOUND;
    } else {
      bool used = false;
      status = DeliverDefault(*entry, name, Context, &used);
    }
    if (!NT_SUCCESS(status)) return status;
    if ((flags & RTL_QUERY_REGISTRY_DELETE) && value.has_value()) {
      UNICODE_STRING valueName;
      valueName.Buffer = const_cast<PWSTR>(name.c_str());
      valueName.Length = valueName.MaximumLength = static_cast<USHORT>(name.size() * sizeof(WCHAR));
      ZwDeleteValueKey(current, &valueName);
    }
  }
  return STATUS_SUCCESS;
}
