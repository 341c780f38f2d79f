// Run-time library: counted Unicode strings, memory comparison, debug output
// and assertions. WCHAR is 16-bit here, so nothing below may use the C
// library's wide-character functions.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "kernel/checks.h"
#include "kernel/io.h"
#include "kernel/io_private.h"

namespace vax::kernel {
namespace {

constexpr USHORT kMaxStringBytes = 0xFFFE;

std::size_t UnitsOf(PCWSTR text) {
  std::size_t units = 0;
  if (text != nullptr) {
    while (text[units] != 0)
      ++units;
  }
  return units;
}

// Upper case for comparison: ASCII and Latin-1, what device and value names
// use.
WCHAR Fold(WCHAR unit) {
  if (unit >= u'a' && unit <= u'z')
    return static_cast<WCHAR>(unit - (u'a' - u'A'));
  if (unit >= 0xE0 && unit <= 0xFE && unit != 0xF7)
    return static_cast<WCHAR>(unit - 0x20);
  return unit;
}

// Appends `bytes` bytes of `source`, terminating when there is room.
NTSTATUS Append(PUNICODE_STRING destination, const WCHAR* source, std::size_t bytes) {
  if (destination->Length + bytes > destination->MaximumLength)
    return STATUS_BUFFER_TOO_SMALL;
  if (bytes != 0) {
    std::memmove(reinterpret_cast<char*>(destination->Buffer) + destination->Length, source, bytes);
  }
  destination->Length = static_cast<USHORT>(destination->Length + bytes);
  if (destination->Length + sizeof(WCHAR) <= destination->MaximumLength) {
    destination->Buffer[destination->Length / sizeof(WCHAR)] = 0;
  }
  return STATUS_SUCCESS;
}

std::string NarrowUnits(const WCHAR* text, std::size_t units) {
  std::string narrow;
  for (std::size_t i = 0; i < units; ++i) {
    narrow.push_back(text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
  }
  return narrow;
}

// DbgPrint's format language is Windows': %wZ is a UNICODE_STRING, %ws and %S
// 16-bit strings, 'l' keeps 32 bits and I64 means 64. Each conversion is
// rebuilt for the host's printf with the right argument width.
std::string Format(const char* format, va_list args) {
  std::string out;
  for (const char* p = format; *p != 0; ++p) {
    if (*p != '%') {
      out.push_back(*p);
      continue;
    }
    std::string piece = "%";
    ++p;
    while (*p != 0 && std::strchr("-+ #0", *p) != nullptr)
      piece.push_back(*p++);
    if (*p == '*') {
      piece += std::to_string(va_arg(args, int));
      ++p;
    }
    while (*p >= '0' && *p <= '9')
      piece.push_back(*p++);
    if (*p == '.') {
      piece.push_back(*p++);
      if (*p == '*') {
        piece += std::to_string(va_arg(args, int));
        ++p;
      }
      while (*p >= '0' && *p <= '9')
        piece.push_back(*p++);
    }
    enum { kInt, kLong64, kPointerSized } width = kInt;
    bool wide = false;
    for (;;) {
      if (*p == 'h' || *p == 'l') {
        if (p[0] == 'l' && p[1] == 'l') {
          width = kLong64;
          ++p;
        } else if (*p == 'l') {
          wide = true;  // %ls, %lc; for integers 'l' is 32-bit as on Windows
        }
        ++p;
      } else if (*p == 'w') {
        wide = true;
        ++p;
      } else if (*p == 'z') {
        width = kPointerSized;
        ++p;
      } else if (*p == 'I') {
        if (p[1] == '6' && p[2] == '4') {
          width = kLong64;
          p += 3;
        } else if (p[1] == '3' && p[2] == '2') {
          width = kInt;
          p += 3;
        } else {
          width = kPointerSized;
          ++p;
        }
      } else {
        break;
      }
    }
    const char conversion = *p;
    if (conversion == 0)
      break;
    char buffer[128];
    switch (conversion) {
      case '%':
        out.push_back('%');
        break;
      case 'Z':
        if (wide) {
          auto* string = va_arg(args, PCUNICODE_STRING);
          out += string != nullptr && string->Buffer != nullptr
                     ? NarrowUnits(string->Buffer, string->Length / sizeof(WCHAR))
                     : "(null)";
        } else {
          auto* string = va_arg(args, const STRING*);
          out += string != nullptr && string->Buffer != nullptr
                     ? std::string(string->Buffer, string->Length)
                     : "(null)";
        }
        break;
      case 's':
      case 'S':
        if (wide || conversion == 'S') {
          auto* text = va_arg(args, const WCHAR*);
          out += text != nullptr ? NarrowUnits(text, UnitsOf(text)) : "(null)";
        } else {
          auto* text = va_arg(args, const char*);
          out += text != nullptr ? text : "(null)";
        }
        break;
      case 'c':
      case 'C': {
        const int unit = va_arg(args, int);
        out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
        break;
      }
      case 'p':
        std::snprintf(buffer, sizeof(buffer), "%p", va_arg(args, void*));
        out += buffer;
        break;
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        const bool is_signed = conversion == 'd' || conversion == 'i';
        if (width == kInt) {
          piece += conversion;
          if (is_signed) {
            std::snprintf(buffer, sizeof(buffer), piece.c_str(), va_arg(args, int));
          } else {
            std::snprintf(buffer, sizeof(buffer), piece.c_str(), va_arg(args, unsigned));
          }
        } else {
          piece += "ll";
          piece += conversion;
          long long value = width == kLong64 ? va_arg(args, long long)
                                             : static_cast<long long>(va_arg(args, std::intptr_t));
          if (is_signed) {
            std::snprintf(buffer, sizeof(buffer), piece.c_str(), value);
          } else {
            std::snprintf(buffer, sizeof(buffer), piece.c_str(),
                          static_cast<unsigned long long>(value));
          }
        }
        out += buffer;
        break;
      }
      default:
        out += piece;
        out.push_back(conversion);
        break;
    }
  }
  return out;
}

}  // namespace
}  // namespace vax::kernel

using namespace vax::kernel;

extern "C" {

void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    DestinationString->Buffer = nullptr;
    return;
  }
  std::size_t bytes = UnitsOf(SourceString) * sizeof(WCHAR);
  if (bytes > kMaxStringBytes - sizeof(WCHAR))
    bytes = kMaxStringBytes - sizeof(WCHAR);
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

void NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (SourceString == nullptr || SourceString->Buffer == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = SourceString->Length;
  if (bytes > DestinationString->MaximumLength)
    bytes = DestinationString->MaximumLength;
  std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
    DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
  }
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (Source == nullptr)
    return STATUS_SUCCESS;
  return Append(Destination, Source, UnitsOf(Source) * sizeof(WCHAR));
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                              PCUNICODE_STRING Source) {
  if (Source == nullptr || Source->Length == 0)
    return STATUS_SUCCESS;
  return Append(Destination, Source->Buffer, Source->Length);
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  if (Base == 0)
    Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
    return STATUS_INVALID_PARAMETER;
  char digits[33];
  int count = 0;
  do {
    const ULONG digit = Value % Base;
    digits[count++] = static_cast<char>(digit < 10 ? '0' + digit : 'A' + digit - 10);
    Value /= Base;
  } while (Value != 0);
  // The result is always terminated, so the terminator must fit too.
  if ((count + 1) * sizeof(WCHAR) > String->MaximumLength)
    return STATUS_BUFFER_OVERFLOW;
  for (int i = 0; i < count; ++i)
    String->Buffer[i] = static_cast<WCHAR>(digits[count - 1 - i]);
  String->Buffer[count] = 0;
  String->Length = static_cast<USHORT>(count * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
  const std::size_t units = String->Length / sizeof(WCHAR);
  const WCHAR* text = String->Buffer;
  std::size_t i = 0;
  while (i < units && (text[i] == u' ' || text[i] == u'\t'))
    ++i;
  bool negative = false;
  if (i < units && (text[i] == u'+' || text[i] == u'-'))
    negative = text[i++] == u'-';
  if (Base == 0) {
    Base = 10;
    if (i + 1 < units && text[i] == u'0') {
      const WCHAR prefix = text[i + 1];
      if (prefix == u'x')
        Base = 16;
      if (prefix == u'o')
        Base = 8;
      if (prefix == u'b')
        Base = 2;
      if (Base != 10)
        i += 2;
    }
  } else if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Value == nullptr)
    return STATUS_ACCESS_VIOLATION;
  ULONG result = 0;
  for (; i < units; ++i) {
    const WCHAR unit = Fold(text[i]);
    ULONG digit;
    if (unit >= u'0' && unit <= u'9') {
      digit = unit - u'0';
    } else if (unit >= u'A' && unit <= u'F') {
      digit = unit - u'A' + 10;
    } else {
      break;
    }
    if (digit >= Base)
      break;
    result = result * Base + digit;
  }
  *Value = negative ? 0u - result : result;
  return STATUS_SUCCESS;
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive) {
  const std::size_t units1 = String1->Length / sizeof(WCHAR);
  const std::size_t units2 = String2->Length / sizeof(WCHAR);
  const std::size_t common = units1 < units2 ? units1 : units2;
  for (std::size_t i = 0; i < common; ++i) {
    WCHAR a = String1->Buffer[i];
    WCHAR b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = Fold(a);
      b = Fold(b);
    }
    if (a != b)
      return static_cast<LONG>(a) - static_cast<LONG>(b);
  }
  return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive) {
  return String1->Length == String2->Length &&
         RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

void NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer != nullptr)
    ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = 0;
  UnicodeString->MaximumLength = 0;
}

SIZE_T NTAPI RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length) {
  const auto* a = static_cast<const unsigned char*>(Source1);
  const auto* b = static_cast<const unsigned char*>(Source2);
  SIZE_T same = 0;
  while (same < Length && a[same] == b[same])
    ++same;
  return same;
}

ULONG DbgPrint(PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  const std::string text = vax::kernel::Format(Format, args);
  va_end(args);
  std::fputs(text.c_str(), stderr);
  return STATUS_SUCCESS;
}

void RtlAssertFailure(const char* expression, const char* file, int line) {
  ReportViolation(Rule::kOther, std::string("ASSERT(") + expression + ") failed at " + file + ":" +
                                    std::to_string(line));
}

}  // extern "C"
