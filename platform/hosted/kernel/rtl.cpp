// Rtl strings, GUIDs and memory comparison.
#include <cstring>

#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace {

std::size_t WideLength(PCWSTR text) {
  std::size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

char16_t Upcase(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c; }

// The system's ANSI code page as far as this kernel needs it: Latin-1 maps one to one,
// anything else becomes '?'.
CHAR ToAnsi(WCHAR c) { return c <= 0xFF ? static_cast<CHAR>(c) : '?'; }

int HexDigit(WCHAR c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

bool ParseHex(const WCHAR* text, int digits, ULONG* value) {
  ULONG result = 0;
  for (int i = 0; i < digits; ++i) {
    const int digit = HexDigit(text[i]);
    if (digit < 0) return false;
    result = (result << 4) | static_cast<ULONG>(digit);
  }
  *value = result;
  return true;
}

}  // namespace

// ---- RtlCompareMemory ------------------------------------------------------------------
// Number of leading bytes that match.
extern "C" SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  const auto* a = static_cast<const unsigned char*>(Source1);
  const auto* b = static_cast<const unsigned char*>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}

// ---- RtlInitUnicodeString --------------------------------------------------------------
extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (SourceString == NULL) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  std::size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
  if (bytes > UNICODE_STRING_MAX_BYTES - sizeof(WCHAR)) bytes = UNICODE_STRING_MAX_BYTES - sizeof(WCHAR);
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

// ---- RtlInitAnsiString -----------------------------------------------------------------
extern "C" VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
  if (SourceString == NULL) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  std::size_t bytes = std::strlen(SourceString);
  if (bytes > MAXUSHORT - 1) bytes = MAXUSHORT - 1;
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

// ---- RtlCopyUnicodeString --------------------------------------------------------------
// Copies at most MaximumLength bytes; NUL-terminates only when room remains.
extern "C" VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (SourceString == NULL || SourceString->Buffer == NULL) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                         : DestinationString->MaximumLength;
  bytes &= static_cast<USHORT>(~1u);
  std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
    DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
  }
}

// ---- RtlFreeUnicodeString --------------------------------------------------------------
// For strings an Rtl/Io routine allocated.
extern "C" VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  CheckPassiveLevel("RtlFreeUnicodeString");
  if (UnicodeString->Buffer != NULL) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = NULL;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

// ---- RtlFreeAnsiString -----------------------------------------------------------------
extern "C" VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) {
  CheckPassiveLevel("RtlFreeAnsiString");
  if (AnsiString->Buffer != NULL) ExFreePool(AnsiString->Buffer);
  AnsiString->Buffer = NULL;
  AnsiString->Length = AnsiString->MaximumLength = 0;
}

// ---- RtlUnicodeStringToAnsiString ------------------------------------------------------
// Without allocation, a destination too small gets MaximumLength - 1 characters and a NUL,
// and the result is STATUS_BUFFER_OVERFLOW (nothing at all when MaximumLength is 0).
extern "C" NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                                      BOOLEAN AllocateDestinationString) {
  CheckPassiveLevel("RtlUnicodeStringToAnsiString");
  const std::size_t chars = SourceString->Length / sizeof(WCHAR);
  if (chars + 1 > MAXUSHORT) return STATUS_INVALID_PARAMETER_2;
  NTSTATUS status = STATUS_SUCCESS;
  std::size_t copy = chars;
  if (AllocateDestinationString) {
    auto* buffer = static_cast<PCHAR>(AllocateForCaller("RtlUnicodeStringToAnsiString", PagedPool, chars + 1, 'rtSA'));
    if (buffer == NULL) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(chars + 1);
  } else if (chars >= DestinationString->MaximumLength) {
    if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
    status = STATUS_BUFFER_OVERFLOW;
    copy = DestinationString->MaximumLength - 1u;
  }
  for (std::size_t i = 0; i < copy; ++i) DestinationString->Buffer[i] = ToAnsi(SourceString->Buffer[i]);
  DestinationString->Buffer[copy] = 0;
  DestinationString->Length = static_cast<USHORT>(copy);
  return status;
}

// ---- RtlAnsiStringToUnicodeString ------------------------------------------------------
extern "C" NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                                      BOOLEAN AllocateDestinationString) {
  CheckPassiveLevel("RtlAnsiStringToUnicodeString");
  const std::size_t bytes = SourceString->Length * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > MAXUSHORT) return STATUS_INVALID_PARAMETER_2;
  NTSTATUS status = STATUS_SUCCESS;
  std::size_t copy = SourceString->Length;
  if (AllocateDestinationString) {
    auto* buffer = static_cast<PWSTR>(
        AllocateForCaller("RtlAnsiStringToUnicodeString", PagedPool, bytes + sizeof(WCHAR), kStringTag));
    if (buffer == NULL) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  } else if (bytes >= DestinationString->MaximumLength) {
    if (DestinationString->MaximumLength < sizeof(WCHAR)) return STATUS_BUFFER_OVERFLOW;
    status = STATUS_BUFFER_OVERFLOW;
    copy = DestinationString->MaximumLength / sizeof(WCHAR) - 1;
  }
  for (std::size_t i = 0; i < copy; ++i) {
    DestinationString->Buffer[i] = static_cast<WCHAR>(static_cast<unsigned char>(SourceString->Buffer[i]));
  }
  DestinationString->Buffer[copy] = 0;
  DestinationString->Length = static_cast<USHORT>(copy * sizeof(WCHAR));
  return status;
}

// ---- RtlCompareUnicodeString -----------------------------------------------------------
extern "C" LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                             BOOLEAN CaseInSensitive) {
  const std::size_t n1 = String1->Length / sizeof(WCHAR);
  const std::size_t n2 = String2->Length / sizeof(WCHAR);
  for (std::size_t i = 0; i < n1 && i < n2; ++i) {
    WCHAR a = String1->Buffer[i];
    WCHAR b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = Upcase(a);
      b = Upcase(b);
    }
    if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
  }
  return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

// ---- RtlEqualUnicodeString -------------------------------------------------------------
extern "C" BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                              BOOLEAN CaseInSensitive) {
  return String1->Length == String2->Length && RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

// ---- RtlAppendUnicodeStringToString ----------------------------------------------------
extern "C" NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  if (Source->Length == 0) return STATUS_SUCCESS;
  if (Destination->Length + Source->Length > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer, Source->Length);
  Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
  if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength) {
    Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
  }
  return STATUS_SUCCESS;
}

// ---- RtlGUIDFromString -----------------------------------------------------------------
// Accepts exactly "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (hex digits in either case);
// NUL characters after the closing brace are ignored (registry strings count their NUL),
// anything else there is refused.
extern "C" NTSTATUS NTAPI RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid) {
  CheckPassiveLevel("RtlGUIDFromString");
  const std::size_t n = GuidString->Length / sizeof(WCHAR);
  const WCHAR* s = GuidString->Buffer;
  if (n < 38 || s == NULL) return STATUS_INVALID_PARAMETER;
  for (std::size_t i = 38; i < n; ++i) {
    if (s[i] != 0) return STATUS_INVALID_PARAMETER;
  }
  if (s[0] != u'{' || s[9] != u'-' || s[14] != u'-' || s[19] != u'-' || s[24] != u'-' || s[37] != u'}') {
    return STATUS_INVALID_PARAMETER;
  }
  GUID result;
  ULONG value;
  if (!ParseHex(s + 1, 8, &result.Data1)) return STATUS_INVALID_PARAMETER;
  if (!ParseHex(s + 10, 4, &value)) return STATUS_INVALID_PARAMETER;
  result.Data2 = static_cast<USHORT>(value);
  if (!ParseHex(s + 15, 4, &value)) return STATUS_INVALID_PARAMETER;
  result.Data3 = static_cast<USHORT>(value);
  static const int kByteOffsets[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!ParseHex(s + kByteOffsets[i], 2, &value)) return STATUS_INVALID_PARAMETER;
    result.Data4[i] = static_cast<UCHAR>(value);
  }
  *Guid = result;
  return STATUS_SUCCESS;
}

// ---- RtlStringFromGUID -----------------------------------------------------------------
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case, in a buffer the caller frees with
// RtlFreeUnicodeString.
extern "C" NTSTATUS NTAPI RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString) {
  CheckPassiveLevel("RtlStringFromGUID");
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", Guid.Data1, Guid.Data2,
                Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3], Guid.Data4[4], Guid.Data4[5],
                Guid.Data4[6], Guid.Data4[7]);
  auto* buffer = static_cast<PWSTR>(AllocateForCaller("RtlStringFromGUID", PagedPool, 39 * sizeof(WCHAR), kStringTag));
  if (buffer == NULL) return STATUS_NO_MEMORY;
  for (int i = 0; i < 39; ++i) buffer[i] = static_cast<WCHAR>(text[i]);
  GuidString->Buffer = buffer;
  GuidString->Length = 38 * sizeof(WCHAR);
  GuidString->MaximumLength = 39 * sizeof(WCHAR);
  return STATUS_SUCCESS;
}

// ---- RtlIsNtDdiVersionAvailable --------------------------------------------------------
// The hosted kernel is a Windows 10 kernel: every release up to it is available. (The
// driver image asks this in ExInitializeDriverRuntime before it opts into NX pool.)
extern "C" BOOLEAN NTAPI RtlIsNtDdiVersionAvailable(ULONG Version) {
  return Version <= NTDDI_WIN10 ? TRUE : FALSE;
}
