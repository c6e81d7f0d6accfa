// Reading the bytes of resources in the resource tests: a little-endian reader over one
// resource, and the text helpers their messages use.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

inline std::string Hex(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%04X", v);
  return text;
}

inline std::string Utf8(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | c >> 6);
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xE0 | c >> 12);
      out += char(0x80 | (c >> 6 & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

inline std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return s;
}

// Little-endian reader over one resource's bytes; a read past the end sets overrun, which the
// tests check.
struct Reader {
  const std::vector<std::uint8_t>& d;
  std::size_t at = 0;
  bool overrun = false;
  std::uint32_t U8() {
    if (at + 1 > d.size()) return overrun = true, 0;
    return d[at++];
  }
  std::uint32_t U16() { return U8() | U8() << 8; }
  std::uint32_t U32() { return U16() | U16() << 16; }
  std::int32_t I16() { return std::int16_t(U16()); }
  std::int32_t I32() { return std::int32_t(U32()); }
  void Align4() { at = (at + 3) & ~std::size_t(3); }
  std::u16string Sz() {
    std::u16string s;
    for (char16_t c; (c = char16_t(U16())) != 0 && !overrun;) s += c;
    return s;
  }
  // sz_Or_Ord: "" for none, "#n" for an ordinal, else the string.
  std::u16string SzOrOrd() {
    std::size_t start = at;
    std::uint32_t first = U16();
    if (first == 0) return u"";
    if (first == 0xFFFF) {
      std::string n = "#" + std::to_string(U16());
      return std::u16string(n.begin(), n.end());
    }
    at = start;
    return Sz();
  }
};

}  // namespace
