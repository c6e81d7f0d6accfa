// Small helpers for the fixed-size UTF-16 buffers of the user-mode programs.
#pragma once

#include <cstddef>

// Length of a NUL-terminated string, in UTF-16 units.
inline std::size_t WideLength(const char16_t* text) {
  std::size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

// Copies as much of source as fits, always NUL-terminates (capacity > 0). Returns the length copied.
inline std::size_t WideCopy(char16_t* target, std::size_t capacity, const char16_t* source) {
  std::size_t n = 0;
  while (n + 1 < capacity && source[n] != 0) {
    target[n] = source[n];
    ++n;
  }
  target[n] = 0;
  return n;
}

inline bool WideEqual(const char16_t* a, const char16_t* b) {
  while (*a != 0 && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

// True when needle occurs anywhere in haystack (both NUL-terminated).
inline bool WideContains(const char16_t* haystack, const char16_t* needle) {
  if (*needle == 0) return true;
  for (; *haystack != 0; ++haystack) {
    std::size_t i = 0;
    while (needle[i] != 0 && haystack[i] == needle[i]) ++i;
    if (needle[i] == 0) return true;
  }
  return false;
}
