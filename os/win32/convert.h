// Conversions at the edge of the Windows side of the seam: the portable handle, key and string
// types to the platform's.
#pragma once

#include <windows.h>

#include "os/os.h"

namespace os::win32 {

inline HANDLE H(Handle h) { return reinterpret_cast<HANDLE>(h); }
inline Handle FromH(HANDLE h) { return reinterpret_cast<Handle>(h); }
inline const wchar_t* W(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }
inline wchar_t* W(char16_t* s) { return reinterpret_cast<wchar_t*>(s); }

inline HKEY K(Key key) {
  if (key == HkeyCurrentUser) return HKEY_CURRENT_USER;
  if (key == HkeyLocalMachine) return HKEY_LOCAL_MACHINE;
  return reinterpret_cast<HKEY>(key);
}

}  // namespace os::win32
