// Text out of the Wine tests' helper programs: UTF-16 converted to UTF-8 and written to a handle
// in one call, so a reader following the output never sees half a line.
#pragma once

#include <windows.h>

#include <string>

inline void WriteUtf8(HANDLE file, std::wstring const& text) {
  if (text.empty()) return;
  int const bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size_t(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &out[0], bytes, nullptr, nullptr);
  DWORD written = 0;
  WriteFile(file, out.data(), DWORD(out.size()), &written, nullptr);
}
