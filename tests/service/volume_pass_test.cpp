// The volume pass against simulated NTFS volumes: which files are compressed, decompressed or
// left alone, how the savings are measured, and how the pass copes with what the volume returns.
#include "tests/service/service_fixture.h"

namespace {

using namespace testutil;

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

class VolumePass : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    sim::AddDrive(u'C');
  }
  bool Compressed(std::uint64_t frn) { return sim::VolumeFile(u'C', frn).compressed(); }
};

TEST_F(VolumePass, ExtensionRulesDecideWhichStaleFilesAreCompressed) {
  auto movie = sim::AddFile(u'C', Stale(u"Movie.MP4", 100000));
  auto notes = sim::AddFile(u'C', Stale(u"notes.txt", 100000));
  auto readme = sim::AddFile(u'C', Stale(u"README", 100000));
  auto archive = sim::AddFile(u'C', Stale(u"archive.tar.gz", 100000));
  auto dotted = sim::AddFile(u'C', Stale(u"report.", 100000));
  auto upper = sim::AddFile(u'C', Stale(u"DATA.ZIP", 100000));
  auto tbz2 = sim::AddFile(u'C', Stale(u"a.tbz2", 100000));
  auto tb = sim::AddFile(u'C', Stale(u"a.tb", 100000));   // a prefix of listed extensions, not one itself
  Pass(u"C:");
  EXPECT_FALSE(Compressed(movie));
  EXPECT_TRUE(Compressed(notes));
  EXPECT_FALSE(Compressed(readme));
  EXPECT_FALSE(Compressed(archive));
  EXPECT_TRUE(Compressed(dotted));
  EXPECT_FALSE(Compressed(upper));
  EXPECT_FALSE(Compressed(tbz2));
  EXPECT_TRUE(Compressed(tb));
}

TEST_F(VolumePass, DirectoriesAndSystemFilesAreNeverOpened) {
  sim::AddDirectory(u'C', u"Windows");
  auto system = sim::AddFile(u'C', Stale(u"pagefile.sys", 100000, 0x20 | os::FileAttributeSystem));
  Pass(u"C:");
  EXPECT_FALSE(Compressed(system));
  EXPECT_EQ(sim::CallCount("NtCreateFile"), 0u);
}

TEST_F(VolumePass, SizeLimitIsInclusive) {
  auto limit = sim::AddFile(u'C', Stale(u"exact.dat", std::uint64_t(MaxFileSize)));
  auto over = sim::AddFile(u'C', Stale(u"over.dat", std::uint64_t(MaxFileSize) + 1));
  Pass(u"C:");
  EXPECT_TRUE(Compressed(limit));
  EXPECT_FALSE(Compressed(over));
}

TEST_F(VolumePass, StaleMeansStrictlyMoreThanThirtyDaysToTheMillisecond) {
  const sim::FileTime thirtyDays = 30 * sim::Day;
  auto exact = sim::AddFile(u'C', Stale(u"exact.txt", 100000));
  sim::SetLastAccess(u'C', exact, sim::Now() - thirtyDays);
  auto almost = sim::AddFile(u'C', Stale(u"almost.txt", 100000));
  sim::SetLastAccess(u'C', almost, sim::Now() - thirtyDays - sim::Millisecond + 1);   // still 30 days in ms
  auto older = sim::AddFile(u'C', Stale(u"older.txt", 100000));
  sim::SetLastAccess(u'C', older, sim::Now() - thirtyDays - sim::Millisecond);
  auto future = sim::AddFile(u'C', Stale(u"future.txt", 100000));
  sim::SetLastAccess(u'C', future, sim::Now() + sim::Day);   // wraps to a huge age
  Pass(u"C:");
  EXPECT_FALSE(Compressed(exact));
  EXPECT_FALSE(Compressed(almost));
  EXPECT_TRUE(Compressed(older));
  EXPECT_TRUE(Compressed(future));
}

TEST_F(VolumePass, RecentlyUsedCompressedFileIsRestoredOnlyWithTwoGibFree) {
  auto file = sim::AddFile(u'C', Recent(u"doc.txt", 1 << 20, 0x20 | os::FileAttributeCompressed));
  sim::SetFreeBytes(u'C', 100 * sim::GiB, RestoreFreeSpace - 1);
  std::int64_t saved = Pass(u"C:");
  EXPECT_TRUE(Compressed(file));
  EXPECT_GT(saved, 0) << "a compressed file that stays compressed is measured";

  sim::SetFreeBytes(u'C', 100 * sim::GiB, RestoreFreeSpace);
  saved = Pass(u"C:");
  EXPECT_FALSE(Compressed(file));
  EXPECT_EQ(saved, 0) << "a restored file is not measured";
}

TEST_F(VolumePass, RecentlyUsedUncompressedFileIsLeftAlone) {
  auto file = sim::AddFile(u'C', Recent(u"doc.txt", 1 << 20));
  EXPECT_EQ(Pass(u"C:"), 0);
  EXPECT_FALSE(Compressed(file));
}

TEST_F(VolumePass, SavingsAreMeasuredInFourKibUnits) {
  auto spec = Stale(u"ten.txt", 10000);
  spec.compressedSize = 4096;
  auto ten = sim::AddFile(u'C', spec);
  auto tiny = Stale(u"tiny.txt", 100);
  tiny.compressedSize = 0;
  sim::AddFile(u'C', tiny);
  std::uint64_t freeBefore = sim::FreeBytes(u'C');
  EXPECT_EQ(Pass(u"C:"), 8192);
  EXPECT_TRUE(Compressed(ten));
  EXPECT_EQ(Service.Control.CycleSaved, 8192);
  EXPECT_GT(sim::FreeBytes(u'C'), freeBefore);
  EXPECT_EQ(Narrow(LineStartingWith(u"----- C: Compress End")),
            "----- C: Compress End = Compress Time = 0 (ms)  Total Save = 0 (MB) , This Time Save = 0 (MB), "
            "Total FileCount = 2 \n");
}

TEST_F(VolumePass, AlreadyCompressedStaleFilesCountTowardsTheTotalButNotTheNewSavings) {
  auto spec = Stale(u"old.log", 3 << 20, 0x20 | os::FileAttributeCompressed);
  spec.compressedSize = 1 << 20;
  sim::AddFile(u'C', spec);
  EXPECT_EQ(Pass(u"C:"), 2 << 20);
  EXPECT_EQ(Service.Control.CycleSaved, 0);
  EXPECT_TRUE(HasLineStartingWith(u"----- C: Compress End = Compress Time = 0 (ms)  Total Save = 2 (MB) , "
                                  u"This Time Save = 0 (MB), Total FileCount = 1 \n"));
}

TEST_F(VolumePass, QuotaStopsCompressionOnThisAndLaterVolumesButNotMeasuring) {
  sim::AddDrive(u'D');
  // 200 MiB files that compress to nothing: the third one lifts the cycle past 512 MiB.
  std::vector<std::uint64_t> onC;
  for (int i = 0; i < 5; ++i) {
    auto spec = Stale(u"big" + std::u16string(1, char16_t(u'0' + i)) + u".dat", 200ull << 20);
    spec.compressedSize = 0;
    onC.push_back(sim::AddFile(u'C', spec));
  }
  auto freshOnD = Stale(u"fresh.dat", 1 << 20);
  freshOnD.compressedSize = 0;
  auto dFresh = sim::AddFile(u'D', freshOnD);
  auto oldOnD = Stale(u"old.dat", 1 << 20, 0x20 | os::FileAttributeCompressed);
  oldOnD.compressedSize = 0;
  sim::AddFile(u'D', oldOnD);

  EXPECT_EQ(Pass(u"C:"), 3 * (200ll << 20));
  EXPECT_TRUE(Compressed(onC[0]) && Compressed(onC[1]) && Compressed(onC[2]));
  EXPECT_FALSE(Compressed(onC[3]) || Compressed(onC[4]));
  EXPECT_EQ(Service.Control.QuotaReached, 1);

  EXPECT_EQ(Pass(u"D:"), 1 << 20) << "the compressed stale file is still measured";
  EXPECT_FALSE(sim::VolumeFile(u'D', dFresh).compressed());
}

TEST_F(VolumePass, QuotaCountsTheSavingsOfEarlierVolumesInTheCycle) {
  sim::AddDrive(u'D');
  auto big = [](const char16_t* name) {
    auto spec = Stale(name, 200ull << 20);
    spec.compressedSize = 0;
    return spec;
  };
  sim::AddFile(u'C', big(u"c1.dat"));
  sim::AddFile(u'C', big(u"c2.dat"));
  auto d1 = sim::AddFile(u'D', big(u"d1.dat"));
  auto d2 = sim::AddFile(u'D', big(u"d2.dat"));
  Pass(u"C:");
  EXPECT_EQ(Service.Control.QuotaReached, 0);
  EXPECT_EQ(Service.Control.CycleSaved, 400ll << 20);
  Pass(u"D:");
  EXPECT_TRUE(sim::VolumeFile(u'D', d1).compressed());
  EXPECT_FALSE(sim::VolumeFile(u'D', d2).compressed());
  EXPECT_EQ(Service.Control.CycleSaved, 600ll << 20);
}

TEST_F(VolumePass, FileCountIncludesEveryRecord) {
  sim::AddDirectory(u'C', u"dir");
  sim::AddFile(u'C', Stale(u"sys", 10, os::FileAttributeSystem));
  sim::AddFile(u'C', Stale(u"README", 10));
  sim::AddFile(u'C', Recent(u"a.txt", 10));
  sim::AddFile(u'C', Stale(u"b.txt", 10));
  Pass(u"C:");
  EXPECT_TRUE(HasLineStartingWith(u"----- C: Compress Start \n"));
  EXPECT_TRUE(LineStartingWith(u"----- C: Compress End").find(u"Total FileCount = 5 \n") != std::u16string::npos);
}

TEST_F(VolumePass, ManyBatchesAreWalkedOnceEach) {
  std::vector<std::uint64_t> files;
  for (int i = 0; i < 500; ++i) {   // several 4 KiB batches
    files.push_back(sim::AddFile(u'C', Stale(u"file" + Wide(std::to_string(i)) + u".txt", 5000)));
  }
  Pass(u"C:");
  EXPECT_NE(LineStartingWith(u"----- C: Compress End").find(u"Total FileCount = 500 \n"), std::u16string::npos)
      << Narrow(LineStartingWith(u"----- C: Compress End"));
  for (auto frn : files) ASSERT_TRUE(Compressed(frn));
  EXPECT_GT(sim::CallCount("DeviceIoControl"), 10u);
}

TEST_F(VolumePass, FileHeldOpenWithoutWriteSharingIsSkipped) {
  auto held = sim::AddFile(u'C', Stale(u"locked.txt", 100000));
  auto free = sim::AddFile(u'C', Stale(u"free.txt", 100000));
  auto hold = sim::HoldOpen(u'C', held, os::GenericRead, os::FileShareRead);
  Pass(u"C:");
  sim::ReleaseHold(hold);
  EXPECT_FALSE(Compressed(held));
  EXPECT_TRUE(Compressed(free));
  EXPECT_EQ(sim::OpenHandleCount(), 0u) << "every file and the volume are closed again";
}

TEST_F(VolumePass, WindowsSevenUsesShortInputAndVersionTwoRecords) {
  sim::SetWindowsVersion(6, 1);
  Service.NtfsType = QueryNtfsType();
  ASSERT_EQ(Service.NtfsType, NTFSTYPE_WIN7);
  EXPECT_TRUE(HasLine(u"NTFSTYPE_WIN7"));
  auto file = sim::AddFile(u'C', Stale(u"notes.txt", 100000));
  sim::AddFile(u'C', Stale(u"clip.mov", 100000));
  Pass(u"C:");
  EXPECT_TRUE(Compressed(file));
  EXPECT_TRUE(LineStartingWith(u"----- C: Compress End").find(u"Total FileCount = 2 \n") != std::u16string::npos);
}

TEST_F(VolumePass, WindowsTenUsesLongInputAndVersionThreeRecords) {
  sim::SetWindowsVersion(10, 0);
  Service.NtfsType = QueryNtfsType();
  ASSERT_EQ(Service.NtfsType, NTFSTYPE_WIN8_1_UP);
  EXPECT_TRUE(HasLine(u"NTFSTYPE_WIN8_1_UP"));
  auto file = sim::AddFile(u'C', Stale(u"notes.txt", 100000));
  auto movie = sim::AddFile(u'C', Stale(u"clip.mov", 100000));
  Pass(u"C:");
  EXPECT_TRUE(Compressed(file));
  EXPECT_FALSE(Compressed(movie));
  EXPECT_TRUE(LineStartingWith(u"----- C: Compress End").find(u"Total FileCount = 2 \n") != std::u16string::npos);
}

TEST_F(VolumePass, VersionClassesFollowMajorAndMinor) {
  struct Case {
    std::uint32_t major, minor;
    std::int32_t type;
  } cases[] = {{5, 1, NTFSTYPE_NONE}, {6, 0, NTFSTYPE_NONE}, {6, 1, NTFSTYPE_WIN7}, {6, 2, NTFSTYPE_WIN8_0},
               {6, 3, NTFSTYPE_WIN8_1_UP}, {6, 4, NTFSTYPE_WIN8_1_UP}, {10, 0, NTFSTYPE_WIN8_1_UP}};
  for (const Case& c : cases) {
    sim::SetWindowsVersion(c.major, c.minor);
    EXPECT_EQ(QueryNtfsType(), c.type) << c.major << "." << c.minor;
  }
  sim::Fail("GetVersionExW");
  sim::ClearDebugLines();
  EXPECT_EQ(QueryNtfsType(), NTFSTYPE_NONE);
  EXPECT_TRUE(sim::DebugLines().empty());
}

TEST_F(VolumePass, WindowsEightUsesLongInputWithVersionTwoRecords) {
  sim::SetWindowsVersion(6, 2);
  Service.NtfsType = QueryNtfsType();
  auto file = sim::AddFile(u'C', Stale(u"notes.txt", 100000));
  Pass(u"C:");
  EXPECT_TRUE(Compressed(file));
}

TEST_F(VolumePass, WithoutAVersionClassNothingIsEnumerated) {
  Service.NtfsType = NTFSTYPE_NONE;
  auto file = sim::AddFile(u'C', Stale(u"notes.txt", 100000));
  EXPECT_EQ(Pass(u"C:"), 0);
  EXPECT_FALSE(Compressed(file));
  EXPECT_EQ(Narrow(LineStartingWith(u"----- C: Compress End")),
            "----- C: Compress End = Compress Time = 0 (ms)  Total Save = 0 (MB) , This Time Save = 0 (MB), "
            "Total FileCount = 0 \n");
}

TEST_F(VolumePass, MissingJournalIsCreatedAndTheVolumeHandledNextTime) {
  sim::SetJournal(u'C', false);
  auto file = sim::AddFile(u'C', Stale(u"notes.txt", 100000));
  EXPECT_EQ(Pass(u"C:"), 0);
  EXPECT_TRUE(HasLine(u"----- C: Compress Start \n"));
  EXPECT_TRUE(HasLine(u"USN Error"));
  EXPECT_FALSE(HasLineStartingWith(u"----- C: Compress End"));
  EXPECT_FALSE(Compressed(file));
  EXPECT_TRUE(sim::JournalActive(u'C'));
  EXPECT_EQ(sim::OpenHandleCount(), 0u);

  sim::ClearDebugLines();
  EXPECT_GT(Pass(u"C:"), 0);
  EXPECT_FALSE(HasLine(u"USN Error"));
  EXPECT_TRUE(Compressed(file));
}

TEST_F(VolumePass, UnopenableVolumeIsSkippedSilently) {
  sim::Fail("CreateFileW");
  EXPECT_EQ(Pass(u"C:"), 0);
  EXPECT_TRUE(sim::DebugLines().empty());
}

// Builds one enumeration batch: the next start number followed by the given records.
std::vector<std::uint8_t> Batch(std::uint64_t next, std::vector<std::vector<std::uint8_t>> records) {
  std::vector<std::uint8_t> bytes(8);
  std::memcpy(bytes.data(), &next, 8);
  for (auto& r : records) bytes.insert(bytes.end(), r.begin(), r.end());
  return bytes;
}

// A version 2 record with the given lengths (the name is "a.txt" unless nameBytes says otherwise).
std::vector<std::uint8_t> RecordV2(std::uint32_t recordLength, std::uint64_t frn, std::uint16_t nameBytes = 10,
                                   std::size_t actualSize = 0) {
  std::vector<std::uint8_t> r(actualSize ? actualSize : std::max<std::size_t>(recordLength, 72), 0);
  std::memcpy(r.data(), &recordLength, 4);
  std::uint16_t major = 2;
  std::memcpy(r.data() + 4, &major, 2);
  std::memcpy(r.data() + 8, &frn, 8);
  std::uint32_t attributes = 0x20;
  std::memcpy(r.data() + 52, &attributes, 4);
  std::memcpy(r.data() + 56, &nameBytes, 2);
  std::uint16_t offset = 60;
  std::memcpy(r.data() + 58, &offset, 2);
  const char16_t name[] = u"a.txt";
  std::memcpy(r.data() + 60, name, std::min<std::size_t>(10, r.size() - 60));
  return r;
}

TEST_F(VolumePass, MalformedEnumerationOutputEndsThePassCleanly) {
  auto file = sim::AddFile(u'C', Stale(u"a.txt", 100000));
  struct Case {
    const char* what;
    std::vector<std::uint8_t> batch;
    int counted;
  } cases[] = {
      {"batch of exactly 8 bytes", Batch(file, {}), 0},
      {"record length 0", Batch(file + 1, {RecordV2(0, file)}), 0},
      {"record shorter than its fixed part", Batch(file + 1, {RecordV2(40, file, 10, 72)}), 0},
      {"record longer than the batch", Batch(file + 1, {RecordV2(72, file), RecordV2(4000, file, 10, 72)}), 1},
      {"name running past the record", Batch(file + 1, {RecordV2(72, file, 200)}), 0},
      {"truncated fixed part", Batch(file + 1, {std::vector<std::uint8_t>(20, 0x48)}), 0},
  };
  for (auto& c : cases) {
    sim::ClearDebugLines();
    sim::QueueEnumOutput(u'C', c.batch);
    Pass(u"C:");
    std::string expected = "Total FileCount = " + std::to_string(c.counted) + " \n";
    std::string end = Narrow(LineStartingWith(u"----- C: Compress End"));
    EXPECT_NE(end.find(expected), std::string::npos) << c.what << ": " << end;
    EXPECT_EQ(sim::OpenHandleCount(), 0u) << c.what;
  }
}

}  // namespace
