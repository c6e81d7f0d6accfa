// Helpers shared by the simulation's own tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "os/os.h"
#include "os/sim/sim.h"

namespace simtest {

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::Reset(); }
  void TearDown() override { sim::Reset(); }
};

// A test whose SetUp adds drive C: and opens its volume into volume_; at the end that handle is
// closed and no other may be left open.
class VolumeTest : public SimTest {
 protected:
  void TearDown() override {
    os::CloseHandle(volume_);
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
    SimTest::TearDown();
  }
  os::Handle volume_ = os::InvalidHandleValue;
};

template <typename T>
T At(const std::uint8_t* bytes, std::size_t offset) {
  T value;
  std::memcpy(&value, bytes + offset, sizeof(value));
  return value;
}

template <typename T>
void PutAt(std::uint8_t* bytes, std::size_t offset, T value) {
  std::memcpy(bytes + offset, &value, sizeof(value));
}

inline os::Handle OpenVolume(const char16_t* path = u"\\\\.\\C:") {
  return os::CreateFileW(path, os::GenericRead | os::GenericWrite, os::FileShareRead | os::FileShareWrite,
                         os::OpenExisting, os::FileAttributeReadonly);
}

// NtCreateFile by reference number, the way the volume pass opens files.
inline std::int32_t OpenById(os::Handle volume, std::uint64_t frn, os::Handle* file,
                             std::uint32_t access = os::FileGenericReadWrite,
                             std::uint32_t share = os::FileShareRead | os::FileShareWrite, std::uint32_t options = 0) {
  os::CountedString name{8, 8, reinterpret_cast<const char16_t*>(&frn)};
  os::ObjectAttributes attributes{volume, &name, os::ObjCaseInsensitive};
  os::IoStatusBlock io{};
  return os::NtCreateFile(file, access, &attributes, &io, nullptr, os::FileAttributeNormal, share, os::FileOpen,
                          os::FileOpenByFileId | os::FileNonDirectoryFile | options, nullptr, 0);
}

inline sim::FileSpec File(std::u16string name, std::uint64_t size, std::uint32_t attributes = 0x20) {
  sim::FileSpec spec;
  spec.name = std::move(name);
  spec.size = size;
  spec.attributes = attributes;
  return spec;
}

}  // namespace simtest
