// Figures for the simulation itself: building a volume of 1,000,000 files, and walking it with
// FSCTL_ENUM_USN_DATA, opening each file by number. Prints; asserts nothing.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "os/os.h"
#include "os/sim/sim.h"

namespace {

std::u16string Number(int i) {
  std::string digits = std::to_string(i);
  return std::u16string(digits.begin(), digits.end());
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 1'000'000;
  sim::Reset();
  sim::AddDrive(u'C');

  auto start = std::chrono::steady_clock::now();
  std::uint64_t dir = sim::RootFrn;
  sim::FileSpec spec;
  spec.size = 50'000;
  for (int i = 0; i < files; ++i) {
    if (i % 1000 == 0) dir = sim::AddDirectory(u'C', u"dir" + Number(i));
    spec.name = u"file" + Number(i) + u".dat";
    spec.parent = dir;
    sim::AddFile(u'C', spec);
  }
  std::printf("build: %d files in %.2f s\n", files, Seconds(start));

  os::Handle volume = os::CreateFileW(u"\\\\.\\C:", os::GenericRead | os::GenericWrite, 3, os::OpenExisting, 1);
  std::uint8_t journal[64];
  std::uint32_t returned = 0;
  os::DeviceIoControl(volume, os::FsctlQueryUsnJournal, nullptr, 0, journal, 64, &returned);
  std::uint8_t input[32] = {};
  std::memcpy(input + 16, journal + 16, 8);
  static std::uint8_t batch[4096];
  static char16_t path[4096];
  std::uint64_t records = 0;
  start = std::chrono::steady_clock::now();
  std::uint32_t filled = 0;
  while (os::DeviceIoControl(volume, os::FsctlEnumUsnData, input, 32, batch, sizeof(batch), &filled)) {
    std::memcpy(input, batch, 8);
    for (std::uint32_t at = 8; at < filled;) {
      std::uint32_t length;
      std::uint64_t frn;
      std::memcpy(&length, batch + at, 4);
      std::memcpy(&frn, batch + at + 8, 8);
      at += length;
      ++records;
      os::CountedString name{8, 8, reinterpret_cast<const char16_t*>(&frn)};
      os::ObjectAttributes attributes{volume, &name, os::ObjCaseInsensitive};
      os::IoStatusBlock io{};
      os::Handle file = os::NullHandle;
      if (os::NtCreateFile(&file, os::FileGenericReadWrite, &attributes, &io, nullptr, 0x80, 3, os::FileOpen,
                           os::FileOpenByFileId | os::FileNonDirectoryFile, nullptr, 0) != 0)
        continue;
      std::uint16_t format = os::CompressionFormatDefault;
      os::DeviceIoControl(file, os::FsctlSetCompression, &format, 2, nullptr, 0, &returned);
      std::uint32_t high = 0;
      if (os::GetFinalPathNameByHandleW(file, path, 4096, 0)) os::GetCompressedFileSizeW(path, &high);
      os::CloseHandle(file);
    }
  }
  double walk = Seconds(start);
  std::printf("walk: %llu records (open, compress, path, compressed size, close) in %.2f s, %.2f us per record\n",
              static_cast<unsigned long long>(records), walk, walk * 1e6 / static_cast<double>(records));
  os::CloseHandle(volume);
  return 0;
}
