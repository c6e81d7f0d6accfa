// The calls of a volume pass must not touch the heap once the volume is open, so that a
// benchmark counting allocations per record measures the pass and not the simulation.
#include <atomic>
#include <cstdlib>
#include <new>

#include "tests/sim/sim_test_util.h"

namespace {

std::atomic<bool> counting{false};
std::atomic<std::uint64_t> allocations{0};

void* Allocate(std::size_t size) {
  if (counting) ++allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace simtest;

// One pass in the manner of the service: enumerate in 4 KiB batches, open every file by its
// number, read size and times, compress it, measure it, close it.
std::uint64_t Pass(const char16_t* volumePath, const char16_t* drive, std::uint16_t recordVersion) {
  os::Handle volume = OpenVolume(volumePath);
  std::uint8_t journal[64];
  std::uint32_t returned = 0;
  EXPECT_TRUE(os::DeviceIoControl(volume, os::FsctlQueryUsnJournal, nullptr, 0, journal, 64, &returned));
  std::uint8_t input[32] = {};
  std::memcpy(input + 16, journal + 16, 8);
  PutAt<std::uint16_t>(input, 24, 2);
  PutAt<std::uint16_t>(input, 26, recordVersion);
  const std::size_t idAt = 8, nameLengthAt = recordVersion == 3 ? 72 : 56;
  static std::uint8_t batch[4096];
  static char16_t path[4096];
  std::uint64_t records = 0;

  counting = true;
  std::uint32_t filled = 0;
  while (os::DeviceIoControl(volume, os::FsctlEnumUsnData, input, 32, batch, sizeof(batch), &filled)) {
    std::memcpy(input, batch, 8);
    for (std::uint32_t at = 8; at < filled; at += At<std::uint32_t>(batch + at, 0)) {
      ++records;
      EXPECT_GT(At<std::uint16_t>(batch + at, nameLengthAt), 0);
      os::Handle file = os::NullHandle;
      if (OpenById(volume, At<std::uint64_t>(batch + at, idAt), &file) != os::StatusSuccess) continue;
      std::int64_t size = 0;
      os::FileTime access = 0, now = 0;
      os::GetFileSizeEx(file, &size);
      os::GetFileTime(file, nullptr, &access, nullptr);
      os::GetSystemTimeAsFileTime(&now);
      std::uint16_t format = 0;
      os::DeviceIoControl(file, os::FsctlGetCompression, nullptr, 0, &format, 2, &returned);
      format = format ? os::CompressionFormatNone : os::CompressionFormatDefault;
      os::DeviceIoControl(file, os::FsctlSetCompression, &format, 2, nullptr, 0, &returned);
      std::uint64_t available = 0;
      os::GetDiskFreeSpaceExW(drive, &available, nullptr, nullptr);
      if (os::GetFinalPathNameByHandleW(file, path, 4096, 0) != 0) {
        std::uint32_t high = 0;
        EXPECT_NE(os::GetCompressedFileSizeW(path, &high), 0xFFFFFFFFu);
      }
      os::CloseHandle(file);
    }
  }
  counting = false;
  EXPECT_EQ(os::GetLastError(), os::ErrorHandleEof);
  os::CloseHandle(volume);
  return records;
}

class HotPath : public SimTest {};

TEST_F(HotPath, VolumePassCallsDoNotAllocate) {
  // The counter sees allocations at all.
  counting = true;
  delete new int(1);
  counting = false;
  ASSERT_EQ(allocations.load(), 1u);

  for (char16_t letter : {u'C', u'D'}) {
    sim::AddDrive(letter);
    std::uint64_t dir = sim::AddDirectory(letter, u"Data");
    for (int i = 0; i < 20000; ++i) {
      sim::FileSpec spec = File(u"file" + std::u16string(1, u'a' + i % 26) + std::u16string(1, u'a' + i / 26 % 26) +
                                    std::u16string(1, u'a' + i / 676) + u".dat",
                                10000 + i, i % 3 == 0 ? 0x20 | os::FileAttributeCompressed : 0x20);
      spec.parent = dir;
      ASSERT_NE(sim::AddFile(letter, spec), 0u);
    }
  }
  sim::SetWindowsVersion(10, 0);
  // A first pass may set things up that later ones reuse; the second must not allocate at all.
  Pass(u"\\\\.\\C:", u"C:", 3);
  allocations = 0;
  EXPECT_EQ(Pass(u"\\\\.\\D:", u"D:", 3), 20001u);
  EXPECT_EQ(allocations.load(), 0u);
  sim::SetWindowsVersion(6, 1);
  allocations = 0;
  EXPECT_EQ(Pass(u"\\\\.\\C:", u"C:", 2), 20001u);
  EXPECT_EQ(allocations.load(), 0u);
}

}  // namespace
