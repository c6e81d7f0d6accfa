// Shared set-up of the decompression-pass tests: a fresh simulated machine, a zeroed worker
// record, and readers for the debugger lines and the volumes' files.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/decompress.h"
#include "common/volume.h"
#include "common/worker_record.h"
#include "os/sim/sim.h"

namespace decompress_test {

constexpr std::uint32_t Compressed = 0x20 | os::FileAttributeCompressed;

inline std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += c < 128 ? char(c) : '?';
  return out;
}

inline std::vector<std::string> Lines() {
  std::vector<std::string> lines;
  for (const auto& line : sim::DebugLines()) lines.push_back(Narrow(line));
  return lines;
}

inline sim::FileSpec File(std::u16string name, std::uint64_t size, std::uint32_t attributes = Compressed) {
  sim::FileSpec spec;
  spec.name = std::move(name);
  spec.size = size;
  spec.attributes = attributes;
  return spec;
}

class DecompressTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::Reset(); }
  void TearDown() override { sim::Reset(); }

  bool Pass(const char16_t* drive, std::int32_t ntfsType = NTFSTYPE_WIN7) {
    return DecompressVolume(drive, ntfsType, record);
  }
  static bool IsCompressed(char16_t letter, std::uint64_t frn) { return sim::VolumeFile(letter, frn).compressed(); }
  std::string CurrentName() {
    char16_t name[CurrentNameCapacity];
    EXPECT_TRUE(ReadCurrentName(record, name, CurrentNameCapacity));
    return Narrow(name);
  }

  WorkerRecord record{};
};

}  // namespace decompress_test
