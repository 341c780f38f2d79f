// Wide strings on the host. Every translation unit is built with a 16-bit
// wchar_t so that L"..." means what it means on Windows, but the C library and
// libstdc++'s std::wstring still assume 32-bit units (wcslen, wmemcpy): a
// std::wstring here would read and copy twice the bytes it owns. Platform
// code and tests therefore hold wide text as WString (UTF-16 code units) and
// convert at the Windows boundary with these helpers.
#pragma once

#include <string>
#include <string_view>

namespace vax {

using WString = std::u16string;
using WStringView = std::u16string_view;

inline WString W(const wchar_t* text) {
  return text ? WString(reinterpret_cast<const char16_t*>(text)) : WString();
}
inline WString W(const wchar_t* text, std::size_t units) {
  return WString(reinterpret_cast<const char16_t*>(text), units);
}
inline const wchar_t* Wide(const WString& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}
inline wchar_t* Wide(WString& text) { return reinterpret_cast<wchar_t*>(text.data()); }

// ASCII view for messages and reports; other units become '?'.
inline std::string Narrow(WStringView text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

}  // namespace vax
