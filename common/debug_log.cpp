#include "common/debug_log.h"

#include <cstdint>

#include "os/os.h"

namespace {

// Appends to a bounded buffer; characters past the capacity are dropped.
struct Sink {
  char16_t* target;
  std::size_t capacity;
  std::size_t length;

  void Put(char16_t c) {
    if (length + 1 < capacity) target[length] = c;
    ++length;
  }
  void PutString(const char16_t* s) {
    if (s == nullptr) s = u"(null)";
    while (*s != 0) Put(*s++);
  }
  void PutDecimal(std::uint64_t magnitude, bool negative) {
    char16_t digits[20];
    int n = 0;
    do {
      digits[n++] = char16_t(u'0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (negative) Put(u'-');
    while (n > 0) Put(digits[--n]);
  }
  void PutSigned(std::int64_t value) {
    std::uint64_t magnitude = value < 0 ? 0 - std::uint64_t(value) : std::uint64_t(value);
    PutDecimal(magnitude, value < 0);
  }
};

}  // namespace

std::size_t FormatWide(char16_t* target, std::size_t capacity, const char16_t* format, std::va_list args) {
  Sink sink{target, capacity, 0};
  for (const char16_t* p = format; *p != 0; ++p) {
    if (*p != u'%') {
      sink.Put(*p);
      continue;
    }
    const char16_t* spec = p + 1;
    if (spec[0] == u's') {
      sink.PutString(va_arg(args, const char16_t*));
      p = spec;
    } else if (spec[0] == u'c') {
      sink.Put(char16_t(va_arg(args, int)));
      p = spec;
    } else if (spec[0] == u'd') {
      sink.PutSigned(va_arg(args, std::int32_t));
      p = spec;
    } else if (spec[0] == u'u') {
      sink.PutDecimal(va_arg(args, std::uint32_t), false);
      p = spec;
    } else if (spec[0] == u'I' && spec[1] == u'6' && spec[2] == u'4' && spec[3] == u'd') {
      sink.PutSigned(va_arg(args, std::int64_t));
      p = spec + 3;
    } else if (spec[0] == u'%') {
      sink.Put(u'%');
      p = spec;
    } else {
      // Unknown conversion: keep the text as written.
      sink.Put(u'%');
    }
  }
  if (capacity > 0) target[sink.length < capacity ? sink.length : capacity - 1] = 0;
  return sink.length < capacity ? sink.length : (capacity > 0 ? capacity - 1 : 0);
}

std::size_t FormatWide(char16_t* target, std::size_t capacity, const char16_t* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::size_t n = FormatWide(target, capacity, format, args);
  va_end(args);
  return n;
}

void DebugLog(const char16_t* format, ...) {
  char16_t line[DebugLogCapacity];
  std::va_list args;
  va_start(args, format);
  FormatWide(line, DebugLogCapacity, format, args);
  va_end(args);
  os::OutputDebugStringW(line);
}
