// What the I/O manager's files share: resetting the system between tests,
// strings, allocation sites and their symbols.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/io_private.h"

// Present when the sanitizer runtime is linked (the host preset): it turns a
// code address into function, file and line without any setup.
extern "C" void __sanitizer_symbolize_pc(void* pc, const char* fmt, char* out_buf,
                                         size_t out_buf_size) __attribute__((weak));

namespace vax::kernel {

void ResetIoSystem() {
  io::ResetIrps();
  io::ResetCancel();
  io::ResetDevices();
  io::ResetDrivers();
  io::ResetNamespace();
  io::ResetRegistry();
  io::ResetConfiguration();
  io::ResetPool();
}

std::u16string ToU16(PCUNICODE_STRING string) {
  std::u16string text;
  if (string == nullptr || string->Buffer == nullptr)
    return text;
  for (USHORT i = 0; i < string->Length / sizeof(WCHAR); ++i) {
    text.push_back(static_cast<char16_t>(string->Buffer[i]));
  }
  return text;
}

std::u16string ToU16(PCWSTR string) {
  std::u16string text;
  if (string == nullptr)
    return text;
  for (; *string != 0; ++string)
    text.push_back(static_cast<char16_t>(*string));
  return text;
}

std::string Narrow(std::u16string_view text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (char16_t unit : text)
    narrow.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  return narrow;
}

UnicodeString::UnicodeString(std::u16string_view text, USHORT maximum_bytes) {
  const std::size_t text_bytes = text.size() * sizeof(WCHAR);
  std::size_t bytes = maximum_bytes != 0 ? maximum_bytes : text_bytes + sizeof(WCHAR);
  if (bytes < text_bytes)
    bytes = text_bytes;
  storage_.assign(bytes / sizeof(WCHAR) + 1, 0);
  for (std::size_t i = 0; i < text.size(); ++i)
    storage_[i] = static_cast<WCHAR>(text[i]);
  string_.Length = static_cast<USHORT>(text_bytes);
  string_.MaximumLength = static_cast<USHORT>(bytes);
  string_.Buffer = storage_.data();
}

namespace io {

PDRIVER_OBJECT CurrentDriver() {
  if (sim::Scheduler::Current() == nullptr)
    return nullptr;
  return CurrentThread()->driver;
}

std::string DriverLabel(PDRIVER_OBJECT driver) {
  if (driver == nullptr)
    return "the platform";
  return Narrow(ToU16(&driver->DriverName));
}

Site CaptureSite(const void* pc) {
  Site site{pc, {}};
  if (sim::Scheduler::Current() != nullptr) {
    KernelThread* thread = CurrentThread();
    site.thread = thread->name;
    if (site.thread.empty() && thread->sim != nullptr) {
      site.thread = sim::Scheduler::Current()->Name(thread->sim);
    }
  }
  return site;
}

std::string DescribePc(const void* pc) {
  if (pc == nullptr)
    return "an unknown site";
  if (__sanitizer_symbolize_pc != nullptr) {
    char buffer[512] = {};
    __sanitizer_symbolize_pc(const_cast<void*>(pc), "%f %s:%l", buffer, sizeof(buffer));
    std::string symbol(buffer);
    // Keep the file's base name: the full build path only adds noise.
    const std::size_t space = symbol.find(' ');
    const std::size_t slash = symbol.rfind('/');
    if (space != std::string::npos && slash != std::string::npos && slash > space) {
      symbol = symbol.substr(0, space + 1) + symbol.substr(slash + 1);
    }
    if (!symbol.empty() && symbol.find("??") == std::string::npos)
      return symbol;
  }
  Dl_info info{};
  if (dladdr(pc, &info) != 0 && info.dli_fname != nullptr) {
    const char* base = std::strrchr(info.dli_fname, '/');
    base = base != nullptr ? base + 1 : info.dli_fname;
    char buffer[512];
    if (info.dli_sname != nullptr) {
      std::snprintf(buffer, sizeof(buffer), "%s+0x%zx", info.dli_sname,
                    static_cast<std::size_t>(static_cast<const char*>(pc) -
                                             static_cast<const char*>(info.dli_saddr)));
    } else {
      std::snprintf(buffer, sizeof(buffer), "%s+0x%zx", base,
                    static_cast<std::size_t>(static_cast<const char*>(pc) -
                                             static_cast<const char*>(info.dli_fbase)));
    }
    return buffer;
  }
  return Hex(pc);
}

std::string DescribeSite(const Site& site) {
  std::string text = DescribePc(site.pc);
  if (!site.thread.empty())
    text += " on thread '" + site.thread + "'";
  return text;
}

std::u16string Upcase(std::u16string_view text) {
  std::u16string upper(text);
  for (char16_t& unit : upper) {
    if (unit >= u'a' && unit <= u'z')
      unit = static_cast<char16_t>(unit - u'a' + u'A');
  }
  return upper;
}

std::string Hex(const void* pointer) {
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "%p", pointer);
  return buffer;
}

}  // namespace io
}  // namespace vax::kernel
