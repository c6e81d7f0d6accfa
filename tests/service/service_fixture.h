// Shared set-up of the service tests: a fresh simulated machine and service state, and readers
// for what the service leaves behind (debugger lines, the statistics file, port traffic).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "Ombrix_Service/service.h"
#include "common/volume.h"
#include "os/sim/sim.h"

namespace testutil {

inline const std::u16string StatsPath = u"C:\\Program Files\\Ombrix\\Ombrix.ini";

inline int CountLines(const std::u16string& text) {
  auto lines = sim::DebugLines();
  return int(std::count(lines.begin(), lines.end(), text));
}

inline bool HasLine(const std::u16string& text) { return CountLines(text) > 0; }

inline bool HasLineStartingWith(const std::u16string& prefix) {
  for (const auto& line : sim::DebugLines()) {
    if (line.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

inline std::u16string LineStartingWith(const std::u16string& prefix) {
  for (const auto& line : sim::DebugLines()) {
    if (line.compare(0, prefix.size(), prefix) == 0) return line;
  }
  return u"";
}

inline std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += c < 128 ? char(c) : '?';
  return out;
}

inline StatsRecord ReadStats() {
  StatsRecord record;
  std::memset(&record, 0, sizeof(record));
  auto bytes = sim::FileBytes(StatsPath);
  EXPECT_TRUE(bytes.has_value());
  if (bytes) {
    EXPECT_EQ(bytes->size(), sizeof(StatsRecord));
    std::memcpy(&record, bytes->data(), std::min(bytes->size(), sizeof(record)));
  }
  return record;
}

// A stale file: last read 31 days ago.
inline sim::FileSpec Stale(std::u16string name, std::uint64_t size, std::uint32_t attributes = 0x20) {
  sim::FileSpec spec;
  spec.name = std::move(name);
  spec.size = size;
  spec.attributes = attributes;
  spec.lastAccess = sim::Now() - 31 * sim::Day;
  return spec;
}

// A stale file that compresses to nothing (no cluster left allocated), so a pass that compresses
// or measures it saves its whole size.
inline sim::FileSpec StaleToNothing(std::u16string name, std::uint64_t size, std::uint32_t attributes = 0x20) {
  sim::FileSpec spec = Stale(std::move(name), size, attributes);
  spec.compressedSize = 0;
  return spec;
}

// A recently used file: last read yesterday.
inline sim::FileSpec Recent(std::u16string name, std::uint64_t size, std::uint32_t attributes = 0x20) {
  sim::FileSpec spec = Stale(std::move(name), size, attributes);
  spec.lastAccess = sim::Now() - sim::Day;
  return spec;
}

// Used bytes = total - free.
inline sim::DriveSpec Drive(std::uint64_t total, std::uint64_t free, std::u16string device = u"") {
  sim::DriveSpec spec;
  spec.totalBytes = total;
  spec.freeBytes = free;
  spec.device = std::move(device);
  return spec;
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Reset();
    ResetServiceState();
    Service.NtfsType = NTFSTYPE_WIN7;
  }
  void TearDown() override { sim::Reset(); }

  std::int64_t Pass(const char16_t* drive) { return CompressVolume(drive, Service.Control); }
};

}  // namespace testutil
