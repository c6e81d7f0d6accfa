// bench: runs the volume pass over simulated volumes of 100,000 and 1,000,000 file records and
// prints records per second, heap allocations per record once the pass is under way, and the
// memory the pass itself needs at its peak. Build it without sanitizers (tools/bench.sh).
//
// Two volumes: "mix" (directories, system files, excluded extensions, files without extension,
// small and large files, stale and recent, some compressed) and "rejected" (only records that the
// pass turns down before opening a file). "bench mix 20000" runs one volume of one size; under
// callgrind (tools/bench.sh) that gives the pass's own instructions per record. Both passes also
// print the system calls they make per 1,000 records: file opens (for attributes only, and for
// reading and writing), free-space queries and compression changes.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <string>

#include "Ombrix_Service/service.h"
#include "common/decompress.h"
#include "common/volume.h"
#include "os/sim/sim.h"

namespace {

// Heap accounting for the whole process.
std::size_t allocations = 0;
long long heapInUse = 0;
long long heapPeak = 0;

void* Allocate(std::size_t size) {
  ++allocations;
  void* p = std::malloc(size + 16);
  if (p == nullptr) throw std::bad_alloc();
  *static_cast<std::size_t*>(p) = size;
  heapInUse += static_cast<long long>(size);
  if (heapInUse > heapPeak) heapPeak = heapInUse;
  return static_cast<char*>(p) + 16;
}

void Release(void* p) {
  if (p == nullptr) return;
  char* base = static_cast<char*>(p) - 16;
  heapInUse -= static_cast<long long>(*reinterpret_cast<std::size_t*>(base));
  std::free(base);
}

long ReadStatusKb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  }
  return -1;
}

// Resets the peak resident size so that VmHWM afterwards says what the pass touched.
void ResetPeakRss() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

std::u16string Decimal(std::uint64_t n) {
  std::string s = std::to_string(n);
  return std::u16string(s.begin(), s.end());
}

// Opens (for attributes only, and for reading and writing), free-space queries and compression
// changes per 1,000 records since the last Reset.
void PrintCalls(const char* pass, std::uint64_t records) {
  double per = 1000.0 / double(records);
  sim::FileOpenCounts opens = sim::FileOpens();
  std::printf("%s, records %9llu, per 1,000 records: %.1f opens (%.1f attribute-only, %.1f read-write), "
              "%.1f free-space queries, %.1f compression changes\n",
              pass, static_cast<unsigned long long>(records), double(sim::CallCount("NtCreateFile")) * per,
              double(opens.attributesOnly) * per, double(opens.beyondAttributes) * per,
              double(sim::CallCount("GetDiskFreeSpaceExW")) * per,
              double(sim::CallCount("DeviceIoControl", os::FsctlSetCompression)) * per);
}

// A realistic mix: directories, system files, excluded extensions, files without extension,
// small and large files, stale and recent, some already compressed (15 % of the records, or 5 %
// with compressedShare5).
void BuildMixVolume(std::uint64_t records, bool compressedShare5 = false) {
  sim::Reset();
  sim::DriveSpec drive;
  drive.totalBytes = 4096ull * sim::GiB;
  drive.freeBytes = 3000ull * sim::GiB;
  drive.compressionRatio = 0.6;
  sim::AddDrive(u'C', drive);
  std::uint64_t directory = sim::RootFrn;
  const sim::FileTime now = sim::Now();
  for (std::uint64_t i = 0; i < records; ++i) {
    unsigned kind = unsigned(i % 20);
    if (kind == 0) {
      directory = sim::AddDirectory(u'C', u"folder" + Decimal(i));
      continue;
    }
    sim::FileSpec spec;
    spec.parent = directory;
    static const char16_t* const names[] = {u"report.docx", u"photo.jpg",  u"setup.msi", u"movie.mp4",
                                            u"archive.zip", u"notes.txt",  u"data.db",   u"README",
                                            u"library.dll", u"image.iso",  u"song.wav",  u"page.html"};
    spec.name = Decimal(i) + names[i % 12];
    spec.size = kind < 12 ? 1000 + (i * 7919) % 200000 : (kind < 18 ? (i * 104729) % (64u << 20) : (2ull << 30));
    spec.attributes = kind == 19 ? 0x20 | os::FileAttributeSystem : 0x20;
    if (compressedShare5 ? kind == 3 : kind % 7 == 3) spec.attributes |= os::FileAttributeCompressed;
    spec.lastAccess = (i % 3 == 0) ? now - sim::Day : now - 40 * sim::Day;
    sim::AddFile(u'C', spec);
  }
}

// Every record is turned down before the file is opened: directories, system files, excluded
// extensions (in any case) and names without a dot, with names as long as real ones.
void BuildRejectedVolume(std::uint64_t records) {
  sim::Reset();
  sim::DriveSpec drive;
  drive.totalBytes = 4096ull * sim::GiB;
  drive.freeBytes = 3000ull * sim::GiB;
  sim::AddDrive(u'C', drive);
  std::uint64_t directory = sim::RootFrn;
  static const char16_t* const names[] = {u"_holiday_video.MP4", u"_backup_2023.zip", u"_Makefile_template",
                                          u"_kernel_sources.tar.gz", u"_install_media.iso", u"_LICENSE"};
  for (std::uint64_t i = 0; i < records; ++i) {
    unsigned kind = unsigned(i % 8);
    if (kind == 0) {
      directory = sim::AddDirectory(u'C', u"folder" + Decimal(i));
      continue;
    }
    sim::FileSpec spec;
    spec.parent = directory;
    spec.size = 100000;
    if (kind == 7) {
      spec.name = Decimal(i) + u"_pagefile_copy.txt";
      spec.attributes = 0x20 | os::FileAttributeSystem;
    } else {
      spec.name = Decimal(i) + names[(i / 8 + kind) % 6];
      spec.attributes = 0x20;
    }
    sim::AddFile(u'C', spec);
  }
}

void Run(const char* kind, std::uint64_t records) {
  if (std::strcmp(kind, "rejected") == 0) BuildRejectedVolume(records);
  else BuildMixVolume(records);
  ResetServiceState();
  sim::SetWindowsVersion(10, 0);
  Service.NtfsType = NTFSTYPE_WIN8_1_UP;

  // Start-up ends with the first enumeration batch (the second refill starts the count); the
  // count ends with the pass's closing line (the simulation keeps each debugger line it
  // captures, which allocates).
  std::size_t allocationsAtStart = 0;
  bool counting = false;
  std::size_t allocationsAtEnd = 0;
  sim::OnCall("DeviceIoControl", [&](std::uint64_t call) {
    if (call == 2) {
      allocationsAtStart = allocations;
      counting = true;
    }
  }, os::FsctlEnumUsnData);
  sim::OnCall("OutputDebugStringW", [&](std::uint64_t) {
    if (counting && allocationsAtEnd == 0) allocationsAtEnd = allocations;
  });
  long rssBefore = ReadStatusKb("VmRSS:");
  long long heapBefore = heapInUse;
  heapPeak = heapInUse;
  ResetPeakRss();

  auto started = std::chrono::steady_clock::now();
  CompressVolume(u"C:", Service.Control);
  auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  long peakRss = ReadStatusKb("VmHWM:");
  std::size_t passAllocations = counting ? allocationsAtEnd - allocationsAtStart : 0;
  sim::OnCall("DeviceIoControl", nullptr, os::FsctlEnumUsnData);
  sim::OnCall("OutputDebugStringW", nullptr);
  std::u16string end = sim::DebugLines().back();
  std::printf("%s", std::string(end.begin(), end.end()).c_str());
  std::printf("%-8s records %9llu: %10.0f records/s, %.6f heap allocations/record after start-up (%zu in all), "
              "pass peak memory: heap +%lld bytes, resident +%ld KiB (process peak %ld KiB)\n",
              kind, static_cast<unsigned long long>(records), double(records) / elapsed,
              double(passAllocations) / double(records), passAllocations, heapPeak - heapBefore,
              peakRss - rssBefore, peakRss);
  if (std::strcmp(kind, "mix") == 0) PrintCalls("compression pass, mix", records);
}

// The installer's decompression pass over the mix with 5 % of the records compressed, with the
// same figures: the compressed files of the handled kinds are restored.
void RunDecompress(std::uint64_t records) {
  BuildMixVolume(records, true);
  sim::SetWindowsVersion(10, 0);
  static WorkerRecord record;
  record.stopRequest = 0;

  std::size_t allocationsAtStart = 0;
  std::size_t allocationsAtEnd = 0;
  bool counting = false;
  sim::OnCall("NtCreateFile", [&](std::uint64_t call) {
    if (call == 1) {
      allocationsAtStart = allocations;
      counting = true;
    }
  });
  sim::OnCall("OutputDebugStringW", [&](std::uint64_t) {
    if (counting && allocationsAtEnd == 0) allocationsAtEnd = allocations;
  });
  long rssBefore = ReadStatusKb("VmRSS:");
  long long heapBefore = heapInUse;
  heapPeak = heapInUse;
  ResetPeakRss();

  auto started = std::chrono::steady_clock::now();
  DecompressVolume(u"C:", NTFSTYPE_WIN8_1_UP, record);
  auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  long peakRss = ReadStatusKb("VmHWM:");
  std::size_t passAllocations = counting ? allocationsAtEnd - allocationsAtStart : 0;
  sim::OnCall("NtCreateFile", nullptr);
  sim::OnCall("OutputDebugStringW", nullptr);
  std::printf("decompression pass, records %9llu: %10.0f records/s, %.6f heap allocations/record after start-up "
              "(%zu in all), %llu free-space queries, pass peak memory: heap +%lld bytes, resident +%ld KiB "
              "(process peak %ld KiB)\n",
              static_cast<unsigned long long>(records), double(records) / elapsed,
              double(passAllocations) / double(records), passAllocations,
              static_cast<unsigned long long>(sim::CallCount("GetDiskFreeSpaceExW")), heapPeak - heapBefore,
              peakRss - rssBefore, peakRss);
  PrintCalls("decompression pass, 5 % compressed", records);
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }

int main(int argc, char** argv) {
  if (argc == 3) {
    if (std::strcmp(argv[1], "decompress") == 0) RunDecompress(std::strtoull(argv[2], nullptr, 10));
    else Run(argv[1], std::strtoull(argv[2], nullptr, 10));
    return 0;
  }
  Run("mix", 100000);
  Run("mix", 1000000);
  Run("rejected", 100000);
  Run("rejected", 1000000);
  RunDecompress(100000);
  RunDecompress(1000000);
  return 0;
}
