// One cycle over the drive letters: the per-drive tests, the figures and lines it produces, the
// statistics file it writes and the volume list it hands to the filter.
#include "tests/service/service_fixture.h"

namespace {

using namespace testutil;

class Cycle : public ServiceTest {};

// Stale files of the given total that are already compressed down to nothing, so a pass
// measures exactly that saving.
void AddSaving(char16_t letter, std::uint64_t bytes) {
  int i = 0;
  while (bytes > 0) {
    std::uint64_t size = std::min<std::uint64_t>(bytes, std::uint64_t(MaxFileSize));
    sim::AddFile(letter, StaleToNothing(u"part" + std::u16string(1, char16_t(u'a' + i++)) + u".bin", size,
                                        0x20 | os::FileAttributeCompressed));
    bytes -= size;
  }
}

TEST_F(Cycle, RatesAndTotalsFollowSavedAndUsedBytes) {
  sim::AddDrive(u'C', Drive(100000000000ull, 100000000000ull - 43486543872ull));
  sim::AddDrive(u'D', Drive(200000000000ull, 200000000000ull - 107374182400ull));
  // Quotas leave the caller less than is free: used space counts all free bytes, not the caller's.
  sim::SetFreeBytes(u'C', 100000000000ull - 43486543872ull, 1000000000ull);
  sim::SetFreeBytes(u'D', 200000000000ull - 107374182400ull, 3000000000ull);
  AddSaving(u'C', 5368709120ull);
  AddSaving(u'D', 1073741824ull);
  RunCycle();
  EXPECT_EQ(CountLines(u"C: = 1234 , 5368709120 , 43486543872"), 1);
  EXPECT_EQ(CountLines(u"D: = 100 , 1073741824 , 107374182400"), 1);
  EXPECT_EQ(CountLines(u"Total = 427 , 6442450944 , 150860726272"), 1);
  StatsRecord record = ReadStats();
  EXPECT_EQ(+record.DriveRate[0], 1234u);
  EXPECT_EQ(+record.DriveSaved[0], 5368709120ll);
  EXPECT_EQ(+record.TotalRate, 427u);
  EXPECT_EQ(+record.TotalSaved, 6442450944ll);
}

TEST_F(Cycle, LinesComeInOrderAroundEachVolume) {
  sim::AddDrive(u'C');
  RunCycle();
  auto lines = sim::DebugLines();
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[0], u"----- Compress Filter Thread Start");
  EXPECT_EQ(lines[1], u"----- C: Compress Start \n");
  EXPECT_EQ(lines[2].substr(0, 21), u"----- C: Compress End");
  EXPECT_EQ(lines[3].substr(0, 5), u"C: = ");
  EXPECT_EQ(lines[4].substr(0, 8), u"Total = ");
  EXPECT_EQ(lines.back(), u"----- Compress Filter Thread End\n");
}

TEST_F(Cycle, StatisticsFileHoldsEveryFieldAtItsOffset) {
  sim::SetTime(sim::DefaultStartTime + 123456789);
  sim::AddDrive(u'C', Drive(1000 * sim::GiB, 900 * sim::GiB));
  sim::AddDrive(u'D', Drive(400 * sim::GiB, 300 * sim::GiB));
  AddSaving(u'D', 10ull << 30);
  sim::DriveSpec fat = Drive(10 * sim::GiB, 5 * sim::GiB);
  fat.fileSystem = u"FAT32";
  sim::AddDrive(u'E', fat);
  sim::DriveSpec optical;
  optical.type = os::DriveCdrom;
  optical.fileSystem = u"CDFS";
  sim::AddDrive(u'F', optical);
  sim::DriveSpec compressedRoot;
  compressedRoot.attributes = os::FileAttributeDirectory | os::FileAttributeCompressed;
  sim::AddDrive(u'G', compressedRoot);
  // The file-system name must be exactly "NTFS".
  sim::DriveSpec near = Drive(10 * sim::GiB, 5 * sim::GiB);
  near.fileSystem = u"NTFS5";
  sim::AddDrive(u'H', near);
  near.fileSystem = u"ntfs";
  sim::AddDrive(u'I', near);
  RunCycle();

  auto bytes = sim::FileBytes(StatsPath);
  ASSERT_TRUE(bytes.has_value());
  ASSERT_EQ(bytes->size(), 597u);
  auto u32 = [&](std::size_t offset) {
    std::uint32_t v;
    std::memcpy(&v, bytes->data() + offset, 4);
    return v;
  };
  auto i64 = [&](std::size_t offset) {
    std::int64_t v;
    std::memcpy(&v, bytes->data() + offset, 8);
    return v;
  };
  EXPECT_EQ((*bytes)[0], 1);
  EXPECT_GE(std::uint64_t(i64(1)), sim::DefaultStartTime + 123456789);
  EXPECT_EQ(i64(9), 10ll << 30);
  // D: is entry 1.
  EXPECT_EQ((*bytes)[21 + 1], 1);
  EXPECT_EQ((*bytes)[53 + 1], 1);
  EXPECT_EQ(u32(89), 3u);
  EXPECT_EQ(i64(221), 10ll << 30);
  EXPECT_EQ(u32(473), 1000u);   // 10 GiB of 100 GiB used
  EXPECT_EQ(u32(17), std::uint32_t((10ull << 30) * 10000 / (200 * sim::GiB)));
  // E: fixed FAT32: eligible, not NTFS, type 3, nothing saved.
  EXPECT_EQ((*bytes)[21 + 2], 1);
  EXPECT_EQ((*bytes)[53 + 2], 0);
  EXPECT_EQ(u32(85 + 4 * 2), 3u);
  EXPECT_EQ(i64(213 + 8 * 2), 0);
  // F: optical; G: a drive name reporting the compressed attribute is recorded but not processed.
  EXPECT_EQ((*bytes)[21 + 3], 0);
  EXPECT_EQ(u32(85 + 4 * 3), 5u);
  EXPECT_EQ((*bytes)[21 + 4], 1);
  EXPECT_EQ((*bytes)[53 + 4], 0);
  EXPECT_FALSE(HasLine(u"----- G: Compress Start \n"));
  EXPECT_EQ((*bytes)[21 + 5], 1);
  EXPECT_EQ((*bytes)[53 + 5], 0);
  EXPECT_EQ((*bytes)[53 + 6], 0);
  // Absent letters H: to Z: report "no root directory"; entries 24 to 31 stay zero.
  EXPECT_EQ(u32(85 + 4 * 23), 1u);
  for (int i = 24; i < 32; ++i) {
    EXPECT_EQ((*bytes)[21 + i], 0);
    EXPECT_EQ((*bytes)[53 + i], 0);
    EXPECT_EQ(u32(85 + 4 * i), 0u);
    EXPECT_EQ(i64(213 + 8 * i), 0);
    EXPECT_EQ(u32(469 + 4 * i), 0u);
  }
  EXPECT_EQ(std::memcmp(bytes->data(), &Service.Published, 597), 0);
}

TEST_F(Cycle, WithoutActiveDrivesTheFileIsStillWrittenAndTheFilterReconnected) {
  sim::CreateFilterPort();
  RunCycle();
  StatsRecord record = ReadStats();
  EXPECT_EQ(+record.Valid, 1);
  EXPECT_EQ(+record.TotalSaved, 0);
  EXPECT_EQ(+record.TotalRate, 0u);
  EXPECT_TRUE(HasLine(u"Total = 0 , 0 , 0"));
  auto messages = sim::PortMessages();
  ASSERT_EQ(messages.size(), 1u);
  ASSERT_EQ(messages[0].size(), 128u);
  EXPECT_EQ(messages[0][0], 0) << "count 0";
  EXPECT_NE(Service.FilterPort, os::NullHandle);
}

TEST_F(Cycle, BusyStatisticsFileIsSkippedAndWrittenByTheNextCycle) {
  sim::AddDrive(u'C');
  sim::PutFile(StatsPath, {1, 2, 3});
  auto hold = sim::HoldOpen(StatsPath, os::GenericRead, 0);
  RunCycle();
  EXPECT_EQ(sim::FileBytes(StatsPath)->size(), 3u);
  EXPECT_EQ(+Service.Published.Valid, 1);
  sim::ReleaseHold(hold);
  // A reader that shares everything still holds the file open: the writer shares nothing.
  hold = sim::HoldOpen(StatsPath, os::GenericRead, os::FileShareRead | os::FileShareWrite);
  RunCycle();
  EXPECT_EQ(sim::FileBytes(StatsPath)->size(), 3u);
  sim::ReleaseHold(hold);
  RunCycle();
  EXPECT_EQ(+ReadStats().Valid, 1);
}

TEST_F(Cycle, QuotaHoldsForOneCycleOnly) {
  sim::AddDrive(u'C');
  sim::AddFile(u'C', StaleToNothing(u"a.dat", 600ull << 20));
  auto b = sim::AddFile(u'C', StaleToNothing(u"b.dat", 600ull << 20));
  RunCycle();
  EXPECT_FALSE(sim::VolumeFile(u'C', b).compressed()) << "the first file passed the quota";
  RunCycle();
  EXPECT_TRUE(sim::VolumeFile(u'C', b).compressed()) << "the next cycle starts with a fresh quota";
  EXPECT_EQ(Service.Control.CycleSaved, 600ll << 20);
}

TEST_F(Cycle, StatisticsFileReplacesALongerOne) {
  sim::PutFile(StatsPath, std::vector<std::uint8_t>(700, 0xEE));
  RunCycle();
  StatsRecord record = ReadStats();   // exactly 597 bytes
  EXPECT_EQ(+record.Valid, 1);
}

// The service writes as LocalSystem: a file link or a second name (hard
// link) at Ombrix.ini must not carry its write to another file, truncated or not.
TEST_F(Cycle, StatisticsAreNeverWrittenThroughALinkAtTheirName) {
  const std::u16string target = u"C:\\Windows\\system32\\config\\SYSTEM";
  const std::vector<std::uint8_t> hive(4096, 0x5A);
  for (int kind = 0; kind < 2; ++kind) {
    sim::RemoveFile(StatsPath);
    sim::PutFile(target, hive);
    if (kind == 0) sim::PlantFileLink(StatsPath, target);
    else sim::PlantHardLink(StatsPath, target);
    RunCycle();
    EXPECT_TRUE(sim::FileBytes(target) == hive) << (kind == 0 ? "file link" : "hard link");
    if (kind == 0) EXPECT_EQ(sim::Path(StatsPath).size, 0u) << "nor into the link itself";
    EXPECT_EQ(+Service.Published.Valid, 1);
  }
  // Once the link is gone, the next cycle writes the file.
  sim::RemoveFile(StatsPath);
  RunCycle();
  EXPECT_EQ(+ReadStats().Valid, 1);
}

TEST_F(Cycle, FilterAbsenceIsLoggedOncePerCompletedCycle) {
  sim::AddDrive(u'C');
  RunCycle();
  RunCycle();
  EXPECT_EQ(CountLines(u"Not find VarnFilter Service"), 2);
  EXPECT_EQ(Service.FilterPort, os::NullHandle);
}

TEST_F(Cycle, VolumeListNamesActiveDrivesInLetterOrder) {
  sim::AddDrive(u'C', Drive(100 * sim::GiB, 50 * sim::GiB, u"\\Device\\HarddiskVolume2"));
  sim::DriveSpec optical;
  optical.type = os::DriveCdrom;
  optical.fileSystem = u"CDFS";
  sim::AddDrive(u'D', optical);
  sim::AddDrive(u'E', Drive(100 * sim::GiB, 50 * sim::GiB, u"\\Device\\HarddiskVolume5"));
  VolumeListMessage message;
  std::memset(&message, 0xCC, sizeof(message));
  BuildVolumeList(message);
  EXPECT_EQ(message.Count, 2u);
  EXPECT_EQ(message.VolumeNumbers[0], 2);
  EXPECT_EQ(message.VolumeNumbers[1], 5);

  sim::AddDrive(u'E', Drive(100 * sim::GiB, 50 * sim::GiB, u"\\Device\\HarddiskVolume12"));
  sim::DriveSpec fat;
  fat.fileSystem = u"FAT32";
  sim::AddDrive(u'F', fat);
  BuildVolumeList(message);
  EXPECT_EQ(message.Count, 2u);
  EXPECT_EQ(message.VolumeNumbers[1], 12);
}

TEST_F(Cycle, CompressedCurrentDirectoryLeavesItsDriveActiveAndListed) {
  // "C:" alone would name the service's current directory, here a compressed folder.
  sim::AddDrive(u'C', Drive(100 * sim::GiB, 50 * sim::GiB, u"\\Device\\HarddiskVolume2"));
  const char16_t* packed = u"C:\\Program Files\\Ombrix\\Packed";
  sim::MakeDirectory(packed, {u"", u"", os::FileAttributeDirectory | os::FileAttributeCompressed});
  ASSERT_TRUE(os::SetCurrentDirectoryW(packed));
  auto file = sim::AddFile(u'C', Stale(u"a.txt", 100000));
  RunCycle();
  EXPECT_EQ(ReadStats().DriveNtfs[0], 1);
  EXPECT_TRUE(sim::VolumeFile(u'C', file).compressed());
  VolumeListMessage message = {};
  BuildVolumeList(message);
  EXPECT_EQ(message.Count, 1u);
}

TEST_F(Cycle, VolumeNumberIsTheFirstTokenOutsideThePrefixCharacters) {
  struct Case {
    std::u16string device;
    std::int32_t number;
  } cases[] = {{u"\\Device\\HarddiskVolume3", 3},  {u"\\Device\\HarddiskVolume123", 123},
               {u"\\Device\\HarddiskVolume", 0},   {u"\\Device\\Mup\\7", 0},
               {u"\\Device\\HarddiskVolume4x9", 4}};
  for (const auto& c : cases) {
    sim::Reset();
    sim::AddDrive(u'C', Drive(100 * sim::GiB, 50 * sim::GiB, c.device));
    VolumeListMessage message = {};
    BuildVolumeList(message);
    ASSERT_EQ(message.Count, 1u) << Narrow(c.device);
    EXPECT_EQ(message.VolumeNumbers[0], c.number) << Narrow(c.device);
  }
}

TEST_F(Cycle, DriveWithoutDosDeviceIsProcessedButNotListed) {
  sim::AddDrive(u'C');
  sim::CreateFilterPort();
  sim::Fail("QueryDosDeviceW");
  RunCycle();
  EXPECT_TRUE(HasLine(u"----- C: Compress Start \n"));
  auto messages = sim::PortMessages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0][0], 0);
}

TEST_F(Cycle, SecondClientIsRefusedAndTheServiceCarriesOn) {
  sim::AddDrive(u'C');
  sim::CreateFilterPort();
  os::Handle other = os::NullHandle;
  ASSERT_EQ(os::FilterConnectCommunicationPort(u"\\OmbrixPort", 0, nullptr, 0, &other), 0);
  RunCycle();
  EXPECT_TRUE(HasLine(u"Not find VarnFilter Service"));
  EXPECT_EQ(Service.FilterPort, os::NullHandle);
  EXPECT_EQ(+ReadStats().Valid, 1);
  os::CloseHandle(other);
}

}  // namespace
