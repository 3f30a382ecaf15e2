// Kernel debugger output (DbgPrint), system failure (KeBugCheckEx), ASSERT, and the text
// helpers the verifier's messages use.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "debug_output.h"
#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace {

struct DebugState {
  std::mutex mutex;
  std::vector<std::string> messages;
  bool echo = false;
};

DebugState& State() {
  static DebugState* state = new DebugState();
  return *state;
}

// Appends one conversion with the C library's formatting.
template <class T>
void AppendFormatted(std::string& out, const std::string& spec, T value) {
  char buffer[512];
  const int written = std::snprintf(buffer, sizeof buffer, spec.c_str(), value);
  if (written > 0) out.append(buffer, static_cast<std::size_t>(written) < sizeof buffer ? written : sizeof buffer - 1);
}

void AppendPadded(std::string& out, const std::string& text, int width, bool left, int precision) {
  std::string body = precision >= 0 && static_cast<std::size_t>(precision) < text.size() ? text.substr(0, precision) : text;
  const int pad = width > static_cast<int>(body.size()) ? width - static_cast<int>(body.size()) : 0;
  if (!left) out.append(pad, ' ');
  out += body;
  if (left) out.append(pad, ' ');
}

// The kernel debugger's printf: the C conversions with Windows' length modifiers (l is
// 32-bit, ll/I64 64-bit, I/z pointer-sized) plus %ws/%S (wide string), %wZ (UNICODE_STRING)
// and %Z (ANSI_STRING). The arguments come as a caller of the Microsoft x64 convention
// passed them (va_arg reads an ms_va_list the same way).
std::string FormatDebugString(const char* format, __builtin_ms_va_list args) {
  std::string out;
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    const char* start = p++;
    if (*p == '%') {
      out += '%';
      continue;
    }
    std::string flags;
    while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') flags += *p++;
    int width = -1;
    if (*p == '*') {
      width = va_arg(args, int);
      ++p;
    } else if (*p >= '0' && *p <= '9') {
      width = std::atoi(p);
      while (*p >= '0' && *p <= '9') ++p;
    }
    int precision = -1;
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        precision = va_arg(args, int);
        ++p;
      } else {
        precision = std::atoi(p);
        while (*p >= '0' && *p <= '9') ++p;
      }
    }
    enum class Size { Int, Short, Char, Long64, Pointer, Wide } size = Size::Int;
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      size = Size::Long64;
      p += 3;
    } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
      p += 3;
    } else if (*p == 'I' || *p == 'z') {
      size = Size::Pointer;
      ++p;
    } else if (p[0] == 'l' && p[1] == 'l') {
      size = Size::Long64;
      p += 2;
    } else if (p[0] == 'h' && p[1] == 'h') {
      size = Size::Char;
      p += 2;
    } else if (*p == 'h') {
      size = Size::Short;
      ++p;
    } else if (*p == 'l' || *p == 'w') {
      size = Size::Wide;  // 32-bit for integers (Windows long), wide for c/s
      ++p;
    }
    const char conversion = *p;
    const bool left = flags.find('-') != std::string::npos;
    std::string spec = "%" + flags;
    if (width >= 0) spec += std::to_string(width);
    if (precision >= 0) {
      spec += '.';
      spec += std::to_string(precision);
    }
    switch (conversion) {
      case 'd':
      case 'i':
        if (size == Size::Long64 || size == Size::Pointer) {
          AppendFormatted(out, spec + "lld", static_cast<long long>(va_arg(args, long long)));
        } else {
          int value = va_arg(args, int);
          if (size == Size::Short) value = static_cast<short>(value);
          if (size == Size::Char) value = static_cast<signed char>(value);
          AppendFormatted(out, spec + "d", value);
        }
        break;
      case 'u':
      case 'x':
      case 'X':
      case 'o':
        if (size == Size::Long64 || size == Size::Pointer) {
          AppendFormatted(out, spec + "ll" + conversion, static_cast<unsigned long long>(va_arg(args, unsigned long long)));
        } else {
          unsigned value = va_arg(args, unsigned);
          if (size == Size::Short) value = static_cast<unsigned short>(value);
          if (size == Size::Char) value = static_cast<unsigned char>(value);
          AppendFormatted(out, spec + conversion, value);
        }
        break;
      case 'p':
        AppendFormatted(out, spec + "p", va_arg(args, void*));
        break;
      case 'c':
        if (size == Size::Wide) {
          const unsigned wide = va_arg(args, unsigned);
          AppendPadded(out, std::string(1, wide < 0x80 ? static_cast<char>(wide) : '?'), width, left, -1);
        } else {
          AppendPadded(out, std::string(1, static_cast<char>(va_arg(args, int))), width, left, -1);
        }
        break;
      case 'C':
        AppendPadded(out, std::string(1, static_cast<char>(va_arg(args, unsigned))), width, left, -1);
        break;
      case 's': {
        if (size == Size::Wide) {
          const WCHAR* text = va_arg(args, const WCHAR*);
          std::size_t n = 0;
          while (text != NULL && text[n] != 0) ++n;
          AppendPadded(out, text == NULL ? "(null)" : Narrow(text, n), width, left, precision);
        } else {
          const char* text = va_arg(args, const char*);
          AppendPadded(out, text == NULL ? "(null)" : text, width, left, precision);
        }
        break;
      }
      case 'S': {
        const WCHAR* text = va_arg(args, const WCHAR*);
        std::size_t n = 0;
        while (text != NULL && text[n] != 0) ++n;
        AppendPadded(out, text == NULL ? "(null)" : Narrow(text, n), width, left, precision);
        break;
      }
      case 'Z': {
        if (size == Size::Wide) {
          PCUNICODE_STRING text = va_arg(args, PCUNICODE_STRING);
          AppendPadded(out, text == NULL || text->Buffer == NULL ? "(null)" : Narrow(text), width, left, precision);
        } else {
          PCANSI_STRING text = va_arg(args, PCANSI_STRING);
          AppendPadded(out, text == NULL || text->Buffer == NULL ? "(null)" : std::string(text->Buffer, text->Length),
                       width, left, precision);
        }
        break;
      }
      case '\0':
        out.append(start);
        return out;
      default:
        out.append(start, p + 1);
        break;
    }
  }
  return out;
}

ULONG Print(const char* format, __builtin_ms_va_list args) {
  std::string message = FormatDebugString(format, args);
  DebugState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.echo) std::fputs(message.c_str(), stderr);
  s.messages.push_back(std::move(message));
  return STATUS_SUCCESS;
}

}  // namespace

namespace hosted {

std::vector<std::string> DebugOutput::Messages() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().messages;
}

std::string DebugOutput::Text() {
  std::string text;
  for (const std::string& message : Messages()) text += message;
  return text;
}

void DebugOutput::Clear() {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().messages.clear();
}

void DebugOutput::SetEcho(bool echo) {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().echo = echo;
}

}  // namespace hosted

namespace hosted::detail {

std::string Hex(std::uint64_t value, int width) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%0*llX", width, static_cast<unsigned long long>(value));
  return buffer;
}

std::string PointerText(const void* pointer) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%p", pointer);
  return buffer;
}

std::string StatusText(NTSTATUS status) {
  static const struct {
    NTSTATUS status;
    const char* name;
  } kNames[] = {
      {STATUS_SUCCESS, "STATUS_SUCCESS"},
      {STATUS_TIMEOUT, "STATUS_TIMEOUT"},
      {STATUS_PENDING, "STATUS_PENDING"},
      {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW"},
      {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
      {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
      {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
      {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
      {STATUS_MORE_PROCESSING_REQUIRED, "STATUS_MORE_PROCESSING_REQUIRED"},
      {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
      {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
      {STATUS_DELETE_PENDING, "STATUS_DELETE_PENDING"},
      {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
      {STATUS_IO_TIMEOUT, "STATUS_IO_TIMEOUT"},
      {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
      {STATUS_CANCELLED, "STATUS_CANCELLED"},
      {STATUS_NO_MEDIA, "STATUS_NO_MEDIA"},
      {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE"},
      {STATUS_DEVICE_PROTOCOL_ERROR, "STATUS_DEVICE_PROTOCOL_ERROR"},
      {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
  };
  for (const auto& entry : kNames) {
    if (entry.status == status) return Hex(static_cast<ULONG>(status), 8) + " (" + entry.name + ")";
  }
  return Hex(static_cast<ULONG>(status), 8);
}

std::string TagText(ULONG tag) {
  std::string text = "'";
  for (int shift = 0; shift < 32; shift += 8) {
    const char c = static_cast<char>((tag >> shift) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return text + "'";
}

std::string MajorName(UCHAR major) {
  static const char* const kNames[] = {
      "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
      "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
      "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
      "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
      "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP",
      "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER",
      "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA", "IRP_MJ_PNP"};
  if (major < sizeof kNames / sizeof kNames[0]) return kNames[major];
  return "IRP_MJ_" + Hex(major, 2);
}

std::string IrpText(PIRP irp, UCHAR major, UCHAR minor) {
  return "IRP " + PointerText(irp) + " (" + MajorName(major) + ", minor " + Hex(minor, 2) + ")";
}

std::string Narrow(const WCHAR* text, std::size_t chars) {
  std::string out;
  out.reserve(chars);
  for (std::size_t i = 0; i < chars; ++i) {
    const char16_t c = text[i];
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string Narrow(PCUNICODE_STRING text) {
  if (text == NULL || text->Buffer == NULL) return std::string();
  return Narrow(text->Buffer, text->Length / sizeof(WCHAR));
}

std::u16string Widen(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80 || i + 1 >= text.size()) {
      out += static_cast<char16_t>(c);
    } else if ((c & 0xE0) == 0xC0) {
      out += static_cast<char16_t>(((c & 0x1F) << 6) | (text[i + 1] & 0x3F));
      i += 1;
    } else if ((c & 0xF0) == 0xE0 && i + 2 < text.size()) {
      out += static_cast<char16_t>(((c & 0x0F) << 12) | ((text[i + 1] & 0x3F) << 6) | (text[i + 2] & 0x3F));
      i += 2;
    } else {
      out += u'?';
    }
  }
  return out;
}

void Unimplemented(const char* routine) {
  Verifier::Report(Check::Unimplemented, routine, "the hosted kernel does not implement this routine");
}

}  // namespace hosted::detail

// ---- DbgPrint --------------------------------------------------------------------------
// Variadic with the Microsoft x64 convention: the caller, hosted driver or loaded image,
// passes the first four arguments in registers and spills them to its home area.
extern "C" ULONG __cdecl DbgPrint(PCSTR Format, ...) {
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, Format);
  const ULONG status = Print(Format, args);
  __builtin_ms_va_end(args);
  return status;
}

// ---- DbgPrintEx ------------------------------------------------------------------------
// Every component and level is shown (the debugger's filter is wide open).
extern "C" ULONG __cdecl DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
  (void)ComponentId;
  (void)Level;
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, Format);
  const ULONG status = Print(Format, args);
  __builtin_ms_va_end(args);
  return status;
}

// ---- KeBugCheckEx ----------------------------------------------------------------------
// The system stops: the violation is reported, then the process aborts.
extern "C" VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1, ULONG_PTR BugCheckParameter2,
                                  ULONG_PTR BugCheckParameter3, ULONG_PTR BugCheckParameter4) {
  Verifier::Report(Check::BugCheck, "KeBugCheckEx",
                   "bug check " + Hex(BugCheckCode, 8) + " (" + Hex(BugCheckParameter1) + ", " +
                       Hex(BugCheckParameter2) + ", " + Hex(BugCheckParameter3) + ", " + Hex(BugCheckParameter4) + ")");
  std::fflush(stdout);
  std::fflush(stderr);
  std::abort();
}

// ---- KeBugCheck ------------------------------------------------------------------------
extern "C" VOID NTAPI KeBugCheck(ULONG BugCheckCode) { KeBugCheckEx(BugCheckCode, 0, 0, 0, 0); }

// ---- ASSERT ----------------------------------------------------------------------------
extern "C" void HostedAssertFailed(const char* Expression, const char* File, int Line, const char* Routine) {
  Verifier::Report(Check::AssertFailed, Routine,
                   std::string("ASSERT(") + Expression + ") failed at " + File + ":" + std::to_string(Line));
}
