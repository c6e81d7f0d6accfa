// DebugLog: the one diagnostic-line formatter of the user-mode programs. A line is formatted into
// 1024 UTF-16 units (at most 1023 characters are kept, the rest is cut) and written to the
// debugger output with OutputDebugStringW. No line end is added.
//
// The format follows the platform's wide printf: %s takes a wide string (const char16_t*),
// %c a wide character, %d a 32-bit signed integer, %u a 32-bit unsigned integer, %I64d a 64-bit
// signed integer, %% a percent sign.
#pragma once

#include <cstdarg>
#include <cstddef>

constexpr std::size_t DebugLogCapacity = 1024;

// Formats into target (capacity units, NUL always written when capacity > 0). Returns the length.
std::size_t FormatWide(char16_t* target, std::size_t capacity, const char16_t* format, std::va_list args);
std::size_t FormatWide(char16_t* target, std::size_t capacity, const char16_t* format, ...);

void DebugLog(const char16_t* format, ...);
