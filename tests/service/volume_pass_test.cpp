// The volume pass against simulated NTFS volumes: which files are compressed, decompressed or
// left alone, how the savings are measured, and how the pass copes with what the volume returns.
#include <random>
#include <string_view>

#include "tests/reparse_points.h"
#include "tests/service/service_fixture.h"

namespace {

using namespace testutil;

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::vector<std::uint8_t> Batch(std::uint64_t next, std::vector<std::vector<std::uint8_t>> records);
std::vector<std::uint8_t> RecordV2(std::uint32_t recordLength, std::uint64_t frn, std::uint16_t nameBytes = 10,
                                   std::size_t actualSize = 0);

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

// The plain rule: lower the name, take the text from its last dot (256 units or more count as
// none), append a comma and look for that probe anywhere in the list.
bool ProbeRuleExcludes(std::u16string name) {
  name = name.substr(0, name.find(u'\0'));
  for (char16_t& c : name) {
    if (c >= u'A' && c <= u'Z') c = char16_t(c - u'A' + u'a');
  }
  std::size_t dot = name.rfind(u'.');
  std::u16string extension = dot == std::u16string::npos ? u"" : name.substr(dot);
  if (extension.size() >= 256) extension.clear();
  return std::u16string_view(ExcludedExtensions).find(extension + u",") != std::u16string_view::npos;
}

TEST(ExtensionTest, AnswersAsTheProbeRuleOnRandomNames) {
  std::mt19937 random(20261208);
  // Pieces that make near misses likely: listed extensions in both cases, their prefixes and
  // extensions, commas, and units whose low byte is a dot or a letter.
  const std::u16string pieces[] = {u".zip", u".ZIP", u".Gz", u".tar", u".tbz2", u".tb", u".mp4", u".MPEG", u".z",
                                   u".rm", u".rmvb", u".", u",", u".,", u"zip", u"a", u"Q", u"7", u" ",
                                   u"\u00C5", u"\u0130", u"\u412E", u"\u2E00", u"\u015A", u".\u0130so", u".spliT"};
  int excluded = 0;
  for (int round = 0; round < 200000; ++round) {
    std::u16string name;
    int parts = int(random() % 7);
    for (int i = 0; i < parts; ++i) name += pieces[random() % (sizeof(pieces) / sizeof(pieces[0]))];
    if (random() % 50 == 0) name.insert(random() % (name.size() + 1), std::u16string(250 + random() % 12, u'x'));
    if (random() % 40 == 0) name.insert(random() % (name.size() + 1), 1, u'\0');
    std::vector<char16_t> buffer(name.begin(), name.end());
    buffer.push_back(0);
    bool expected = ProbeRuleExcludes(name);
    excluded += expected;
    ASSERT_EQ(IsExcludedName(buffer.data(), name.size()), expected) << Narrow(name) << " (" << name.size() << ")";
  }
  EXPECT_GT(excluded, 20000) << "both answers are well represented";
  EXPECT_LT(excluded, 180000);
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

  // With the space there, the file is restored and not measured, even when the restore fails
  // (112: ERROR_DISK_FULL).
  sim::SetFreeBytes(u'C', 100 * sim::GiB, RestoreFreeSpace);
  sim::Fail("DeviceIoControl", {sim::EveryCall, os::FsctlSetCompression, 112});
  EXPECT_EQ(Pass(u"C:"), 0) << "a file due for restoring is not measured";
  EXPECT_TRUE(Compressed(file));
  sim::ClearFaults();
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
  sim::AddFile(u'C', StaleToNothing(u"tiny.txt", 100));
  std::uint64_t freeBefore = sim::FreeBytes(u'C');
  EXPECT_EQ(Pass(u"C:"), 8192);
  EXPECT_TRUE(Compressed(ten));
  EXPECT_EQ(Service.Control.CycleSaved, 8192);
  EXPECT_GT(sim::FreeBytes(u'C'), freeBefore);
  EXPECT_EQ(Narrow(LineStartingWith(u"----- C: Compress End")),
            "----- C: Compress End = Compress Time = 0 (ms)  Total Save = 0 (MB) , This Time Save = 0 (MB), "
            "Total FileCount = 2 \n");
}

TEST_F(VolumePass, FilesDeepInTheTreeAreMeasuredToo) {
  // A path of about 600 units: the measuring buffer holds 4096.
  std::uint64_t parent = sim::RootFrn;
  for (int i = 0; i < 6; ++i) {
    parent = sim::AddDirectory(u'C', u"level" + Wide(std::to_string(i)) + std::u16string(90, u'd'), parent);
  }
  auto spec = Stale(u"deep.txt", 10000);
  spec.compressedSize = 4096;
  spec.parent = parent;
  sim::AddFile(u'C', spec);
  EXPECT_EQ(Pass(u"C:"), 8192);
}

TEST_F(VolumePass, RecordCallingADirectoryAFileLeavesItAlone) {
  // By the time it is opened the number may name a directory: it is opened as a file only.
  auto directory = sim::AddDirectory(u'C', u"a.txt");
  sim::SetLastAccess(u'C', directory, sim::Now() - 40 * sim::Day);
  sim::QueueEnumOutput(u'C', Batch(directory + 1, {RecordV2(72, directory)}));
  Pass(u"C:");
  EXPECT_FALSE(Compressed(directory));
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST_F(VolumePass, AlreadyCompressedStaleFilesCountTowardsTheTotalButNotTheNewSavings) {
  auto spec = Stale(u"old.log", 201ull << 20, 0x20 | os::FileAttributeCompressed);
  spec.compressedSize = 1 << 20;
  sim::AddFile(u'C', spec);
  spec = Stale(u"new.log", 101ull << 20);
  spec.compressedSize = 1 << 20;
  sim::AddFile(u'C', spec);
  // Each open takes 1.5 s of the pass's time: both files are opened to be selected, and new.log
  // once more to be compressed.
  sim::OnCall("NtCreateFile", [](std::uint64_t) { sim::AdvanceTime(1500 * sim::Millisecond); });
  EXPECT_EQ(Pass(u"C:"), 300ll << 20);
  EXPECT_EQ(Service.Control.CycleSaved, 100ll << 20);
  EXPECT_EQ(Narrow(LineStartingWith(u"----- C: Compress End")),
            "----- C: Compress End = Compress Time = 4500 (ms)  Total Save = 300 (MB) , This Time Save = 100 (MB), "
            "Total FileCount = 2 \n");
}

TEST_F(VolumePass, QuotaStopsCompressionOnThisAndLaterVolumesButNotMeasuring) {
  sim::AddDrive(u'D');
  // 200 MiB files that compress to nothing: the third one lifts the cycle past 512 MiB.
  std::vector<std::uint64_t> onC;
  for (int i = 0; i < 5; ++i) {
    onC.push_back(sim::AddFile(u'C', StaleToNothing(u"big" + std::u16string(1, char16_t(u'0' + i)) + u".dat",
                                                    200ull << 20)));
  }
  auto dFresh = sim::AddFile(u'D', StaleToNothing(u"fresh.dat", 1 << 20));
  sim::AddFile(u'D', StaleToNothing(u"old.dat", 1 << 20, 0x20 | os::FileAttributeCompressed));

  EXPECT_EQ(Pass(u"C:"), 3 * (200ll << 20));
  EXPECT_TRUE(Compressed(onC[0]) && Compressed(onC[1]) && Compressed(onC[2]));
  EXPECT_FALSE(Compressed(onC[3]) || Compressed(onC[4]));
  EXPECT_EQ(Service.Control.QuotaReached, 1);

  EXPECT_EQ(Pass(u"D:"), 1 << 20) << "the compressed stale file is still measured";
  EXPECT_FALSE(sim::VolumeFile(u'D', dFresh).compressed());
}

TEST_F(VolumePass, QuotaIsReachedOnlyAboveItsValue) {
  // Two files saving 256 MiB each bring the cycle to exactly 512 MiB: not above it, so the third
  // is compressed too, and only then is the quota reached.
  std::vector<std::uint64_t> files;
  for (const char16_t* name : {u"q1.dat", u"q2.dat", u"q3.dat", u"q4.dat"}) {
    files.push_back(sim::AddFile(u'C', StaleToNothing(name, 256ull << 20)));
  }
  EXPECT_EQ(Pass(u"C:"), 3 * (256ll << 20));
  EXPECT_TRUE(Compressed(files[2]));
  EXPECT_FALSE(Compressed(files[3]));
  EXPECT_EQ(Narrow(LineStartingWith(u"----- C: Compress End")),
            "----- C: Compress End = Compress Time = 0 (ms)  Total Save = 768 (MB) , This Time Save = 768 (MB), "
            "Total FileCount = 4 \n");
}

TEST_F(VolumePass, QuotaCountsTheSavingsOfEarlierVolumesInTheCycle) {
  sim::AddDrive(u'D');
  sim::AddFile(u'C', StaleToNothing(u"c1.dat", 200ull << 20));
  sim::AddFile(u'C', StaleToNothing(u"c2.dat", 200ull << 20));
  auto d1 = sim::AddFile(u'D', StaleToNothing(u"d1.dat", 200ull << 20));
  auto d2 = sim::AddFile(u'D', StaleToNothing(u"d2.dat", 200ull << 20));
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

TEST_F(VolumePass, FileHeldOpenWithoutWriteSharingIsMeasuredButNotChanged) {
  auto held = sim::AddFile(u'C', Stale(u"locked.txt", 100000));
  auto free = sim::AddFile(u'C', Stale(u"free.txt", 100000));
  auto hold = sim::HoldOpen(u'C', held, os::GenericRead, os::FileShareRead);
  // A file selected through an open for its attributes alone meets no share mode: a stale
  // compressed file that a reader keeps others from writing is still measured.
  auto packed = sim::AddFile(u'C', StaleToNothing(u"packed.log", 1 << 20, 0x20 | os::FileAttributeCompressed));
  auto reader = sim::HoldOpen(u'C', packed, os::GenericRead, os::FileShareRead);
  // A program writing a file that it shares for reading and writing does not stop the pass.
  auto shared = sim::AddFile(u'C', Stale(u"shared.txt", 100000));
  auto writer = sim::HoldOpen(u'C', shared, os::GenericRead | os::GenericWrite, os::FileShareRead | os::FileShareWrite);
  EXPECT_EQ(Pass(u"C:"), (1 << 20) + 2 * (102400 - 53248));
  sim::ReleaseHold(hold);
  sim::ReleaseHold(reader);
  sim::ReleaseHold(writer);
  EXPECT_FALSE(Compressed(held));
  EXPECT_EQ(sim::VolumeFile(u'C', held).writeOpens, 0u);
  EXPECT_TRUE(Compressed(free));
  EXPECT_TRUE(Compressed(shared));
  EXPECT_EQ(sim::OpenHandleCount(), 0u) << "every file and the volume are closed again";
}

// Files whose handling depends on every field the record layout places: the attributes (system
// bit, compressed bit), the name and the reference number. The security id just before the
// attributes is set, so reading the wrong word shows.
struct LayoutProbe {
  std::uint64_t notes, movie, system, packed;
  void Add(char16_t drive) {
    auto spec = Stale(u"notes.txt", 100000);
    spec.securityId = 0x0804;
    notes = sim::AddFile(drive, spec);
    spec = Stale(u"clip.mov", 100000);
    movie = sim::AddFile(drive, spec);
    spec = Stale(u"page.txt", 100000, 0x20 | os::FileAttributeSystem);
    spec.securityId = 0x20;
    system = sim::AddFile(drive, spec);
    spec = Stale(u"old.log", 3 << 20, 0x20 | os::FileAttributeCompressed);
    spec.compressedSize = 1 << 20;
    spec.securityId = 0x20;
    packed = sim::AddFile(drive, spec);
  }
  // Compresses notes.txt (98,304 bytes saved at the simulation's ratio of one half, in 4 KiB
  // units), leaves the movie and the system file, and measures the packed log without counting
  // it as new.
  void Check(char16_t drive, std::int64_t saved) {
    EXPECT_TRUE(sim::VolumeFile(drive, notes).compressed());
    EXPECT_FALSE(sim::VolumeFile(drive, movie).compressed());
    EXPECT_FALSE(sim::VolumeFile(drive, system).compressed());
    EXPECT_EQ(saved, (2 << 20) + 102400 - 53248);
    EXPECT_EQ(Service.Control.CycleSaved, 102400 - 53248);
    EXPECT_NE(LineStartingWith(u"----- C: Compress End").find(u"Total FileCount = 4 \n"), std::u16string::npos)
        << Narrow(LineStartingWith(u"----- C: Compress End"));
  }
};

TEST_F(VolumePass, WindowsSevenUsesShortInputAndVersionTwoRecords) {
  sim::SetWindowsVersion(6, 1);
  Service.NtfsType = QueryNtfsType();
  ASSERT_EQ(Service.NtfsType, NTFSTYPE_WIN7);
  EXPECT_TRUE(HasLine(u"NTFSTYPE_WIN7"));
  LayoutProbe probe;
  probe.Add(u'C');
  probe.Check(u'C', Pass(u"C:"));
}

TEST_F(VolumePass, WindowsTenUsesLongInputAndVersionThreeRecords) {
  sim::SetWindowsVersion(10, 0);
  Service.NtfsType = QueryNtfsType();
  ASSERT_EQ(Service.NtfsType, NTFSTYPE_WIN8_1_UP);
  EXPECT_TRUE(HasLine(u"NTFSTYPE_WIN8_1_UP"));
  LayoutProbe probe;
  probe.Add(u'C');
  probe.Check(u'C', Pass(u"C:"));
}

// Every record is read by its own version, whatever the version class: the file system may answer
// the long input with version 2 records, with version 3 ones, or with both in one batch.
TEST_F(VolumePass, RecordsAreReadByTheirOwnVersion) {
  struct Case {
    const char* what;
    std::uint32_t major, minor;
    std::uint16_t journalMax;
    sim::DriveSpec::EnumRecords records;
  } cases[] = {
      {"version 2 records to the long input of Windows 10", 10, 0, 2, sim::DriveSpec::EnumRecords::Highest},
      {"version 2 records where 3 were allowed", 10, 0, 3, sim::DriveSpec::EnumRecords::Lowest},
      {"a journal of versions 2 to 4", 10, 0, 4, sim::DriveSpec::EnumRecords::Highest},
      {"versions 2 and 3 mixed in each batch", 10, 0, 3, sim::DriveSpec::EnumRecords::Alternating},
      {"version 3 records to Windows 8", 6, 2, 3, sim::DriveSpec::EnumRecords::Highest},
      {"version 2 and 3 mixed on Windows 8", 6, 2, 3, sim::DriveSpec::EnumRecords::Alternating},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::Reset();
    ResetServiceState();
    sim::SetWindowsVersion(c.major, c.minor);
    Service.NtfsType = QueryNtfsType();
    sim::DriveSpec spec;
    spec.journalMaxMajor = c.journalMax;
    spec.enumRecords = c.records;
    sim::AddDrive(u'C', spec);
    LayoutProbe probe;
    probe.Add(u'C');
    probe.Check(u'C', Pass(u"C:"));
  }
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
std::vector<std::uint8_t> RecordV2(std::uint32_t recordLength, std::uint64_t frn, std::uint16_t nameBytes,
                                   std::size_t actualSize) {
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

// A version 3 record (the name is "a.txt").
std::vector<std::uint8_t> RecordV3(std::uint64_t frn, std::uint32_t attributes = 0x20) {
  std::vector<std::uint8_t> r(88, 0);
  std::uint32_t length = 88;
  std::memcpy(r.data(), &length, 4);
  std::uint16_t major = 3;
  std::memcpy(r.data() + 4, &major, 2);
  std::memcpy(r.data() + 8, &frn, 8);
  std::uint32_t securityId = 0x10;   // read as the attributes, it would make a directory
  std::memcpy(r.data() + 64, &securityId, 4);
  std::memcpy(r.data() + 68, &attributes, 4);
  std::uint16_t nameBytes = 10, offset = 76;
  std::memcpy(r.data() + 72, &nameBytes, 2);
  std::memcpy(r.data() + 74, &offset, 2);
  const char16_t name[] = u"a.txt";
  std::memcpy(r.data() + 76, name, 10);
  return r;
}

TEST_F(VolumePass, RecordsOfOtherVersionsArePassedOverByTheirLength) {
  sim::SetWindowsVersion(10, 0);
  Service.NtfsType = QueryNtfsType();
  auto first = sim::AddFile(u'C', Stale(u"a.txt", 100000));
  auto second = sim::AddFile(u'C', Stale(u"b.txt", 100000));
  // A record of version 4 (its fixed part is unknown here) between a version 3 and a version 2
  // record; the 64 bytes after its header would read as a version 2 record of a stale text file.
  std::vector<std::uint8_t> other = RecordV2(72, first);
  std::uint16_t four = 4;
  std::memcpy(other.data() + 4, &four, 2);
  sim::QueueEnumOutput(u'C', Batch(second + 1, {RecordV3(first), other, RecordV2(72, second)}));
  Pass(u"C:");
  EXPECT_TRUE(Compressed(first));
  EXPECT_TRUE(Compressed(second));
  EXPECT_NE(LineStartingWith(u"----- C: Compress End").find(u"Total FileCount = 2 \n"), std::u16string::npos)
      << "a record of another version is no file record: " << Narrow(LineStartingWith(u"----- C: Compress End"));
}

TEST_F(VolumePass, BatchWhoseNextStartDoesNotMoveOnIsTheLast) {
  auto file = sim::AddFile(u'C', Stale(u"a.txt", 100000));
  auto later = sim::AddFile(u'C', Stale(u"b.txt", 100000));
  // The file system answers with the same batch again and again: its next start is the start
  // it was given.
  for (int i = 0; i < 3; ++i) sim::QueueEnumOutput(u'C', Batch(0, {RecordV2(72, file)}));
  Pass(u"C:");
  EXPECT_NE(LineStartingWith(u"----- C: Compress End").find(u"Total FileCount = 1 \n"), std::u16string::npos)
      << Narrow(LineStartingWith(u"----- C: Compress End"));
  EXPECT_EQ(sim::CallCount("DeviceIoControl", os::FsctlEnumUsnData), 1u);
  EXPECT_TRUE(Compressed(file));
  EXPECT_FALSE(Compressed(later));
}

// Stale files behind reparse points stay uncompressed.
class ReparsePoints : public VolumePass {
 protected:
  reparse_test::Cases Cases() {
    return {[](char16_t letter, const char16_t* name) { return sim::AddFile(letter, Stale(name, 100000)); },
            [this] { Pass(u"C:"); }, false};
  }
};

TEST_F(ReparsePoints, StaleLinkToAFileElsewhereIsNotFollowed) { Cases().LinkToAFileElsewhere(); }
TEST_F(ReparsePoints, LinkSwappedInAfterTheRecordIsClosedUntouched) { Cases().LinkSwappedInAfterTheRecord(); }
TEST_F(ReparsePoints, PlaceholderIsNeitherOpenedNorFetched) { Cases().Placeholder(); }

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
