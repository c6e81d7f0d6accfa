// A small reader of the resource section of a PE file (x86 or x64), for checking what the
// resource compiler put into the built executables.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PeResource {
  std::uint32_t typeId;       // 0 when the type has a name
  std::u16string typeName;
  std::uint32_t nameId;       // 0 when the resource has a name
  std::u16string name;
  std::uint16_t language;
  std::vector<std::uint8_t> data;
};

// All resources of the file in directory order; false with a reason when the file is not a PE
// image or its resource directory is malformed.
bool ReadPeResources(const std::string& path, std::vector<PeResource>* resources, std::string* error);
