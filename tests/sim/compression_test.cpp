// NTFS compression through FSCTL_GET/SET_COMPRESSION: the attribute, the allocated size the
// compressed-size query reports, and the volume's free space.
#include "tests/sim/sim_test_util.h"

namespace {

using namespace simtest;

class Compression : public VolumeTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    sim::DriveSpec spec;
    spec.totalBytes = 10 * sim::GiB;
    spec.freeBytes = 1 * sim::GiB;
    spec.compressionRatio = 0.25;
    sim::AddDrive(u'C', spec);
    volume_ = OpenVolume();
  }

  // Sets the format through a handle opened like the volume pass opens files.
  bool SetFormat(std::uint64_t frn, std::uint16_t format, std::uint32_t* error = nullptr,
                 std::uint32_t access = os::FileGenericReadWrite) {
    os::Handle file = os::NullHandle;
    if (OpenById(volume_, frn, &file, access) != os::StatusSuccess) return false;
    std::uint32_t returned = 0;
    bool ok = os::DeviceIoControl(file, os::FsctlSetCompression, &format, 2, nullptr, 0, &returned);
    if (error) *error = ok ? 0 : os::GetLastError();
    os::CloseHandle(file);
    return ok;
  }
  std::uint16_t GetFormat(std::uint64_t frn) {
    os::Handle file = os::NullHandle;
    EXPECT_EQ(OpenById(volume_, frn, &file), os::StatusSuccess);
    std::uint16_t format = 0xFFFF;
    std::uint32_t returned = 0;
    EXPECT_TRUE(os::DeviceIoControl(file, os::FsctlGetCompression, nullptr, 0, &format, 2, &returned));
    EXPECT_EQ(returned, 2u);
    os::CloseHandle(file);
    return format;
  }
  std::uint64_t CompressedSize(const char16_t* path) {
    std::uint32_t high = 0;
    std::uint32_t low = os::GetCompressedFileSizeW(path, &high);
    return (static_cast<std::uint64_t>(high) << 32) | low;
  }

};

TEST_F(Compression, CompressingShrinksTheAllocationAndFreesSpace) {
  const std::uint64_t size = 1'000'000;
  std::uint64_t frn = sim::AddFile(u'C', File(u"big.log", size));
  const std::uint64_t plain = 245 * 4096;   // 1,000,000 rounded up to clusters
  EXPECT_EQ(sim::VolumeFile(u'C', frn).allocated, plain);
  EXPECT_EQ(CompressedSize(u"C:\\big.log"), size) << "uncompressed: the size itself";
  EXPECT_EQ(GetFormat(frn), os::CompressionFormatNone);
  const std::uint64_t freeBefore = sim::FreeBytes(u'C');

  ASSERT_TRUE(SetFormat(frn, os::CompressionFormatDefault));
  sim::FileInfo info = sim::VolumeFile(u'C', frn);
  EXPECT_TRUE(info.compressed());
  EXPECT_EQ(GetFormat(frn), 2) << "NTFS reports LZNT1";
  // 15 full units of 16 clusters take 4 clusters each; the last 16,960 bytes (5 clusters) take 2.
  const std::uint64_t packed = (15 * 4 + 2) * 4096;
  EXPECT_EQ(info.allocated, packed);
  EXPECT_EQ(CompressedSize(u"\\\\?\\C:\\big.log"), packed);
  EXPECT_EQ(sim::FreeBytes(u'C'), freeBefore + plain - packed);
  EXPECT_EQ(sim::FreeBytesAvailable(u'C'), freeBefore + plain - packed);

  ASSERT_TRUE(SetFormat(frn, os::CompressionFormatDefault)) << "compressing again changes nothing";
  EXPECT_EQ(sim::FreeBytes(u'C'), freeBefore + plain - packed);

  ASSERT_TRUE(SetFormat(frn, os::CompressionFormatNone));
  EXPECT_FALSE(sim::VolumeFile(u'C', frn).compressed());
  EXPECT_EQ(sim::VolumeFile(u'C', frn).allocated, plain);
  EXPECT_EQ(sim::FreeBytes(u'C'), freeBefore);
  EXPECT_EQ(CompressedSize(u"C:\\big.log"), size);
}

TEST_F(Compression, UnitsThatSaveNoClusterAndResidentDataStayAsTheyAre) {
  // 5,000 bytes: two clusters, a quarter of it fits in one.
  std::uint64_t two = sim::AddFile(u'C', File(u"two.txt", 5000));
  // 4,000 bytes: one cluster, which compression cannot make smaller.
  std::uint64_t one = sim::AddFile(u'C', File(u"one.txt", 4000));
  // 100 bytes live in the file record.
  std::uint64_t tiny = sim::AddFile(u'C', File(u"tiny.txt", 100));
  EXPECT_EQ(sim::VolumeFile(u'C', tiny).allocated, 0u);

  for (std::uint64_t frn : {two, one, tiny}) ASSERT_TRUE(SetFormat(frn, os::CompressionFormatDefault));
  EXPECT_EQ(sim::VolumeFile(u'C', two).allocated, 4096u);
  EXPECT_EQ(sim::VolumeFile(u'C', one).allocated, 4096u);
  EXPECT_TRUE(sim::VolumeFile(u'C', tiny).compressed());
  EXPECT_EQ(CompressedSize(u"C:\\tiny.txt"), 100u) << "resident data reports its size";
  EXPECT_EQ(CompressedSize(u"C:\\one.txt"), 4096u);
}

TEST_F(Compression, PerFileRatioAndExactSizeOverrideTheVolume) {
  sim::FileSpec exact = File(u"ten.txt", 10000);
  exact.compressedSize = 4096;
  std::uint64_t ten = sim::AddFile(u'C', exact);
  sim::FileSpec hard = File(u"random.bin", 1 << 20);
  hard.compressionRatio = 1.0;
  std::uint64_t random = sim::AddFile(u'C', hard);
  sim::FileSpec already = File(u"old.log", 3 << 20, 0x20 | os::FileAttributeCompressed);
  already.compressedSize = 1 << 20;
  std::uint64_t old = sim::AddFile(u'C', already);

  ASSERT_TRUE(SetFormat(ten, os::CompressionFormatDefault));
  ASSERT_TRUE(SetFormat(random, os::CompressionFormatDefault));
  EXPECT_EQ(sim::VolumeFile(u'C', ten).allocated, 4096u);
  EXPECT_EQ(sim::VolumeFile(u'C', random).allocated, 1u << 20) << "incompressible data";
  EXPECT_TRUE(sim::VolumeFile(u'C', random).compressed());
  EXPECT_EQ(sim::VolumeFile(u'C', old).allocated, 1u << 20) << "added compressed";
  EXPECT_EQ(CompressedSize(u"C:\\old.log"), 1u << 20);
}

TEST_F(Compression, DecompressingNeedsRoomAndWriteAccess) {
  sim::FileSpec spec = File(u"movie.raw", 8 << 20, 0x20 | os::FileAttributeCompressed);
  std::uint64_t frn = sim::AddFile(u'C', spec);
  const std::uint64_t packed = sim::VolumeFile(u'C', frn).allocated;
  ASSERT_EQ(packed, 2u << 20);

  std::uint32_t error = 0;
  EXPECT_FALSE(SetFormat(frn, os::CompressionFormatNone, &error, os::GenericRead));
  EXPECT_EQ(error, os::ErrorAccessDenied);

  sim::SetFreeBytes(u'C', (6 << 20) - 1);   // one byte short of the 6 MiB needed
  EXPECT_FALSE(SetFormat(frn, os::CompressionFormatNone, &error));
  EXPECT_EQ(error, 112u);   // ERROR_DISK_FULL
  EXPECT_TRUE(sim::VolumeFile(u'C', frn).compressed());
  EXPECT_EQ(sim::FreeBytes(u'C'), (6u << 20) - 1);

  sim::SetFreeBytes(u'C', 6 << 20);
  ASSERT_TRUE(SetFormat(frn, os::CompressionFormatNone));
  EXPECT_EQ(sim::FreeBytes(u'C'), 0u);
}

TEST_F(Compression, BadArgumentsAreRefused) {
  std::uint64_t frn = sim::AddFile(u'C', File(u"a.txt", 100000));
  os::Handle file = os::NullHandle;
  ASSERT_EQ(OpenById(volume_, frn, &file), os::StatusSuccess);
  std::uint32_t returned = 0;
  std::uint16_t format = 7;
  EXPECT_FALSE(os::DeviceIoControl(file, os::FsctlSetCompression, &format, 2, nullptr, 0, &returned));
  EXPECT_EQ(os::GetLastError(), os::ErrorInvalidParameter);
  format = 1;
  EXPECT_FALSE(os::DeviceIoControl(file, os::FsctlSetCompression, &format, 1, nullptr, 0, &returned));
  EXPECT_FALSE(os::DeviceIoControl(file, os::FsctlGetCompression, nullptr, 0, &format, 1, &returned));
  EXPECT_FALSE(os::DeviceIoControl(file, os::FsctlEnumUsnData, nullptr, 0, nullptr, 0, &returned))
      << "journal controls belong to the volume";
  os::CloseHandle(file);
  EXPECT_FALSE(sim::VolumeFile(u'C', frn).compressed());
}

}  // namespace
