#include "pe_resources.h"

#include <fstream>
#include <iterator>

namespace {

struct Image {
  std::vector<std::uint8_t> bytes;
  struct Section {
    std::uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
  };
  std::vector<Section> sections;

  bool Has(std::uint64_t offset, std::uint64_t size) const { return offset + size <= bytes.size(); }
  std::uint32_t U16(std::uint64_t offset) const { return bytes[offset] | bytes[offset + 1] << 8; }
  std::uint32_t U32(std::uint64_t offset) const {
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 | std::uint32_t(bytes[offset + 3]) << 24;
  }
  // File offset of a relative virtual address, or ~0 when no section holds it.
  std::uint64_t FileOffset(std::uint32_t rva, std::uint32_t size) const {
    for (const Section& s : sections) {
      std::uint32_t extent = s.virtualSize > s.rawSize ? s.rawSize : s.virtualSize;
      if (rva >= s.virtualAddress && std::uint64_t(rva) + size <= std::uint64_t(s.virtualAddress) + extent)
        return std::uint64_t(s.rawOffset) + (rva - s.virtualAddress);
    }
    return ~0ULL;
  }
};

struct Walker {
  const Image& image;
  std::uint64_t base;  // file offset of the resource directory's root
  std::uint32_t size;
  std::vector<PeResource>* out;
  std::string* error;

  bool Fail(const char* why) {
    *error = why;
    return false;
  }

  bool ReadName(std::uint32_t offset, std::u16string* name) {
    if (offset + 2ULL > size) return Fail("resource name outside the section");
    std::uint32_t length = image.U16(base + offset);
    if (offset + 2ULL + 2ULL * length > size) return Fail("resource name outside the section");
    name->clear();
    for (std::uint32_t i = 0; i < length; ++i) name->push_back(char16_t(image.U16(base + offset + 2 + 2 * i)));
    return true;
  }

  // Level 0: types, 1: names, 2: languages.
  bool Directory(std::uint32_t offset, int level, PeResource current) {
    if (offset + 16ULL > size) return Fail("resource directory outside the section");
    std::uint32_t count = image.U16(base + offset + 12) + image.U16(base + offset + 14);
    if (offset + 16ULL + 8ULL * count > size) return Fail("resource entries outside the section");
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint64_t entry = base + offset + 16 + 8 * i;
      std::uint32_t nameField = image.U32(entry);
      std::uint32_t target = image.U32(entry + 4);
      PeResource next = current;
      std::u16string name;
      std::uint32_t id = 0;
      if (nameField & 0x80000000u) {
        if (!ReadName(nameField & 0x7FFFFFFFu, &name)) return false;
      } else {
        id = nameField;
      }
      if (level == 0) {
        next.typeId = id;
        next.typeName = name;
      } else if (level == 1) {
        next.nameId = id;
        next.name = name;
      } else {
        next.language = std::uint16_t(id);
      }
      bool subdirectory = (target & 0x80000000u) != 0;
      if (level < 2) {
        if (!subdirectory) return Fail("resource leaf above the language level");
        if (!Directory(target & 0x7FFFFFFFu, level + 1, next)) return false;
        continue;
      }
      if (subdirectory || target + 16ULL > size) return Fail("bad resource data entry");
      std::uint32_t dataRva = image.U32(base + target);
      std::uint32_t dataSize = image.U32(base + target + 4);
      std::uint64_t at = image.FileOffset(dataRva, dataSize);
      if (at == ~0ULL || !image.Has(at, dataSize)) return Fail("resource data outside the file");
      next.data.assign(image.bytes.begin() + at, image.bytes.begin() + at + dataSize);
      out->push_back(next);
    }
    return true;
  }
};

}  // namespace

bool ReadPeResources(const std::string& path, std::vector<PeResource>* resources, std::string* error) {
  Image image;
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *error = "cannot open " + path;
    return false;
  }
  image.bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (!image.Has(0, 64) || image.U16(0) != 0x5A4D) {
    *error = "no MZ header";
    return false;
  }
  std::uint64_t pe = image.U32(0x3C);
  if (!image.Has(pe, 24) || image.U32(pe) != 0x00004550) {
    *error = "no PE signature";
    return false;
  }
  std::uint32_t sectionCount = image.U16(pe + 6);
  std::uint32_t optionalSize = image.U16(pe + 20);
  std::uint64_t optional = pe + 24;
  if (!image.Has(optional, optionalSize)) {
    *error = "optional header outside the file";
    return false;
  }
  std::uint32_t magic = image.U16(optional);
  std::uint64_t directories = optional + (magic == 0x20B ? 112 : magic == 0x10B ? 96 : 0);
  if (directories == optional || directories + 3 * 8 > optional + optionalSize) {
    *error = "unknown optional header";
    return false;
  }
  std::uint32_t resourceRva = image.U32(directories + 2 * 8);
  std::uint32_t resourceSize = image.U32(directories + 2 * 8 + 4);

  std::uint64_t table = optional + optionalSize;
  if (!image.Has(table, 40ULL * sectionCount)) {
    *error = "section table outside the file";
    return false;
  }
  for (std::uint32_t i = 0; i < sectionCount; ++i) {
    std::uint64_t s = table + 40 * i;
    image.sections.push_back({image.U32(s + 12), image.U32(s + 8), image.U32(s + 20), image.U32(s + 16)});
  }
  resources->clear();
  if (resourceRva == 0) return true;
  std::uint64_t base = image.FileOffset(resourceRva, resourceSize);
  if (base == ~0ULL || !image.Has(base, resourceSize)) {
    *error = "resource directory outside the file";
    return false;
  }
  Walker walker{image, base, resourceSize, resources, error};
  return walker.Directory(0, 0, PeResource{});
}
