// Drive letters as the Win32 drive and volume queries report them, present or absent.
#include "tests/sim/sim_test_util.h"

namespace {

using namespace simtest;

class Drives : public SimTest {};

TEST_F(Drives, AbsentLetterLooksLikeNoDriveToEveryQuery) {
  EXPECT_EQ(os::GetDriveTypeW(u"Q:"), os::DriveNoRootDir);
  EXPECT_EQ(os::GetDriveTypeW(u"Q:\\"), os::DriveNoRootDir);
  EXPECT_EQ(os::GetFileAttributesW(u"Q:"), os::InvalidFileAttributes);
  EXPECT_NE(os::GetFileAttributesW(u"Q:") & os::FileAttributeCompressed, 0u);
  char16_t fs[260] = {};
  EXPECT_FALSE(os::GetVolumeInformationW(u"Q:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, 260));
  EXPECT_NE(os::GetLastError(), 0u);
  char16_t device[64];
  EXPECT_EQ(os::QueryDosDeviceW(u"Q:", device, 64), 0u);
  EXPECT_EQ(os::GetLastError(), os::ErrorFileNotFound);
  std::uint64_t free = 0;
  EXPECT_FALSE(os::GetDiskFreeSpaceExW(u"Q:", &free, nullptr, nullptr));
  EXPECT_EQ(os::CreateFileW(u"\\\\.\\Q:", os::GenericRead, 3, os::OpenExisting, 0), os::InvalidHandleValue);
}

TEST_F(Drives, PresentDriveReportsItsSpec) {
  sim::DriveSpec spec;
  spec.type = os::DriveFixed;
  spec.label = u"Data";
  spec.totalBytes = 100 * sim::GiB;
  spec.freeBytes = 40 * sim::GiB;
  spec.attributes = os::FileAttributeDirectory | os::FileAttributeCompressed;
  sim::AddDrive(u'D', spec);

  EXPECT_EQ(os::GetDriveTypeW(u"D:"), os::DriveFixed);
  EXPECT_EQ(os::GetDriveTypeW(u"d:\\"), os::DriveFixed);
  EXPECT_EQ(os::GetDriveTypeW(u"D:\\dir\\"), os::DriveNoRootDir) << "not a root";
  constexpr std::uint32_t PackedDirectory = os::FileAttributeDirectory | os::FileAttributeCompressed;
  EXPECT_EQ(os::GetFileAttributesW(u"D:\\") & PackedDirectory, PackedDirectory);
  // "D:" alone is drive-relative: the root while the current directory lies on another drive,
  // the current directory once it lies on D:.
  EXPECT_EQ(os::GetFileAttributesW(u"D:"), os::GetFileAttributesW(u"D:\\"));
  sim::MakeDirectory(u"D:\\Plain", {});
  ASSERT_TRUE(os::SetCurrentDirectoryW(u"D:\\Plain"));
  EXPECT_EQ(os::GetFileAttributesW(u"D:"), os::FileAttributeDirectory);
  EXPECT_EQ(os::GetFileAttributesW(u"D:\\") & PackedDirectory, PackedDirectory);

  char16_t fs[260];
  char16_t label[32];
  std::uint32_t serial = 0, component = 0, flags = 0;
  ASSERT_TRUE(os::GetVolumeInformationW(u"D:\\", label, 32, &serial, &component, &flags, fs, 260));
  EXPECT_EQ(std::u16string(fs), u"NTFS");
  EXPECT_EQ(std::u16string(label), u"Data");
  EXPECT_NE(serial, 0u);
  EXPECT_EQ(component, 255u);
  EXPECT_NE(flags & 0x10, 0u) << "FILE_FILE_COMPRESSION";
  EXPECT_TRUE(os::GetVolumeInformationW(u"D:\\", nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0))
      << "every output is optional";

  std::uint64_t available = 0, total = 0, free = 0;
  ASSERT_TRUE(os::GetDiskFreeSpaceExW(u"D:", &available, &total, &free));
  EXPECT_EQ(total, 100 * sim::GiB);
  EXPECT_EQ(free, 40 * sim::GiB);
  EXPECT_EQ(available, free) << "no quota unless set";
  EXPECT_TRUE(os::GetDiskFreeSpaceExW(u"D:\\some\\dir\\", nullptr, nullptr, &free));
  sim::SetFreeBytes(u'D', 10 * sim::GiB, 3 * sim::GiB);
  ASSERT_TRUE(os::GetDiskFreeSpaceExW(u"D:\\", &available, nullptr, &free));
  EXPECT_EQ(free, 10 * sim::GiB);
  EXPECT_EQ(available, 3 * sim::GiB);
}

TEST_F(Drives, VolumeInformationNeedsTheRootWithItsBackslashAndRoomForTheNames) {
  sim::DriveSpec spec;
  spec.fileSystem = u"FAT32";
  sim::AddDrive(u'F', spec);
  char16_t fs[260] = {};
  EXPECT_FALSE(os::GetVolumeInformationW(u"F:", nullptr, 0, nullptr, nullptr, nullptr, fs, 260));
  EXPECT_FALSE(os::GetVolumeInformationW(u"F:\\dir\\", nullptr, 0, nullptr, nullptr, nullptr, fs, 260));
  char16_t small[6] = {u'x', u'x', u'x', u'x', u'x', u'x'};
  EXPECT_FALSE(os::GetVolumeInformationW(u"F:\\", nullptr, 0, nullptr, nullptr, nullptr, small, 5));
  EXPECT_EQ(small[0], u'x') << "nothing written when it does not fit";
  ASSERT_TRUE(os::GetVolumeInformationW(u"F:\\", nullptr, 0, nullptr, nullptr, nullptr, small, 6));
  EXPECT_EQ(std::u16string(small), u"FAT32");
  EXPECT_FALSE(os::GetVolumeInformationW(u"\\\\?\\F:", nullptr, 0, nullptr, nullptr, nullptr, fs, 260));
  EXPECT_TRUE(os::GetVolumeInformationW(u"\\\\?\\F:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, 260));
}

TEST_F(Drives, QueryDosDeviceWritesTheTargetAndTwoNuls) {
  sim::AddDrive(u'C');
  sim::DriveSpec spec;
  spec.device = u"\\Device\\HarddiskVolume12";
  sim::AddDrive(u'E', spec);
  sim::DriveSpec optical;
  optical.type = os::DriveCdrom;
  optical.fileSystem = u"CDFS";
  sim::AddDrive(u'D', optical);

  char16_t target[64];
  std::fill(std::begin(target), std::end(target), u'#');
  EXPECT_EQ(os::QueryDosDeviceW(u"C:", target, 64), 25u);   // 23 characters and two NULs
  EXPECT_EQ(std::u16string(target), u"\\Device\\HarddiskVolume2");
  EXPECT_EQ(target[24], 0);
  EXPECT_EQ(target[25], u'#');
  EXPECT_EQ(os::QueryDosDeviceW(u"E:", target, 64), 26u);
  EXPECT_EQ(std::u16string(target), u"\\Device\\HarddiskVolume12");
  EXPECT_EQ(os::QueryDosDeviceW(u"D:", target, 64), 16u);
  EXPECT_EQ(std::u16string(target), u"\\Device\\CdRom0");

  EXPECT_EQ(os::QueryDosDeviceW(u"E:", target, 25), 0u) << "room for one NUL only";
  EXPECT_EQ(os::GetLastError(), os::ErrorInsufficientBuffer);
  EXPECT_EQ(os::QueryDosDeviceW(u"E:", target, 26), 26u);
  EXPECT_EQ(os::QueryDosDeviceW(u"C:\\", target, 64), 0u) << "a DOS device name has no backslash";

  // Without a name: the list of devices.
  ASSERT_EQ(os::QueryDosDeviceW(nullptr, target, 64), 10u);
  EXPECT_EQ(std::u16string(target, 9), std::u16string(u"C:\0D:\0E:\0", 9));
}

TEST_F(Drives, EmptyDriveIsNotReady) {
  sim::DriveSpec spec;
  spec.type = os::DriveCdrom;
  spec.mediaPresent = false;
  sim::AddDrive(u'D', spec);
  EXPECT_EQ(os::GetDriveTypeW(u"D:"), os::DriveCdrom);
  EXPECT_EQ(os::GetFileAttributesW(u"D:"), os::InvalidFileAttributes);
  EXPECT_EQ(os::GetLastError(), 21u);
  EXPECT_FALSE(os::GetVolumeInformationW(u"D:\\", nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(os::GetLastError(), 21u);
}

TEST_F(Drives, HandlesOfARemovedDriveGoStale) {
  sim::AddDrive(u'C');
  std::uint64_t frn = sim::AddFile(u'C', File(u"a.txt", 10000));
  os::Handle volume = OpenVolume();
  os::Handle file = os::NullHandle;
  ASSERT_EQ(OpenById(volume, frn, &file), os::StatusSuccess);
  sim::RemoveDrive(u'C');
  EXPECT_EQ(os::GetDriveTypeW(u"C:"), os::DriveNoRootDir);

  // The same letter comes back with another volume: the old handles do not reach it.
  sim::AddDrive(u'C');
  std::uint64_t again = sim::AddFile(u'C', File(u"a.txt", 10000));
  std::int64_t size = 0;
  EXPECT_FALSE(os::GetFileSizeEx(file, &size));
  std::uint8_t out[64];
  std::uint32_t returned = 0;
  EXPECT_FALSE(os::DeviceIoControl(volume, os::FsctlQueryUsnJournal, nullptr, 0, out, 64, &returned));
  EXPECT_EQ(os::GetLastError(), os::ErrorInvalidHandle);
  os::Handle other = os::NullHandle;
  EXPECT_EQ(OpenById(volume, again, &other), static_cast<std::int32_t>(0xC0000008));
  EXPECT_TRUE(os::CloseHandle(file));
  EXPECT_TRUE(os::CloseHandle(volume));
  // Closing them left the new volume's share state alone.
  os::Handle exclusive = os::CreateFileW(u"\\\\.\\C:", os::GenericRead | os::GenericWrite, 0, os::OpenExisting, 0);
  EXPECT_NE(exclusive, os::InvalidHandleValue);
  os::CloseHandle(exclusive);
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

}  // namespace
