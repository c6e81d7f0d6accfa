// The decompression pass over one volume against simulated NTFS volumes: which files get their
// compression cleared, when the pass stops, and exactly what it writes to the debugger output.
#include <cstring>
#include <random>
#include <tuple>

#include "tests/decompress/decompress_fixture.h"
#include "tests/reparse_points.h"

namespace {

using namespace decompress_test;

TEST_F(DecompressTest, BelowTwoGibFreeToTheCallerNothingIsTouched) {
  // Plenty free on the volume, but not for the caller: the caller's figure decides.
  sim::DriveSpec drive;
  drive.freeBytes = 100 * sim::GiB;
  drive.freeBytesAvailable = FreeSpaceFloor - 1;
  sim::AddDrive(u'C', drive);
  auto first = sim::AddFile(u'C', File(u"First.txt", 1 << 20));
  auto second = sim::AddFile(u'C', File(u"second.txt", 1 << 20));
  std::int64_t usn = sim::VolumeFile(u'C', first).usn;

  EXPECT_TRUE(Pass(u"C:"));
  EXPECT_EQ(Lines(), (std::vector<std::string>{"----- C: Decompress Start \n", "C: Disk near full",
                                                "C: , Free = 2147483647 , SetSize = 2147483648",
                                                "----- C: Decompress End \n"}));
  EXPECT_TRUE(IsCompressed(u'C', first) && IsCompressed(u'C', second));
  EXPECT_EQ(sim::VolumeFile(u'C', first).usn, usn);
  EXPECT_EQ(sim::CallCount("NtCreateFile"), 0u) << "no file is opened once the volume is near full";
  EXPECT_EQ(CurrentName(), "First.txt") << "the near-full test comes after the record's name is shown";
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST_F(DecompressTest, ExactlyTwoGibFreeAndMoreThanSignedRangeRun) {
  sim::DriveSpec drive;
  drive.freeBytes = 100 * sim::GiB;
  drive.freeBytesAvailable = FreeSpaceFloor;
  sim::AddDrive(u'C', drive);
  auto onC = sim::AddFile(u'C', File(u"a.txt", 4096));
  // A figure above the signed 64-bit range is still plenty (the comparison is unsigned).
  drive.totalBytes = ~0ull;
  drive.freeBytes = ~0ull - 1;
  drive.freeBytesAvailable = 0x8000000000000000ull;
  sim::AddDrive(u'D', drive);
  auto onD = sim::AddFile(u'D', File(u"b.txt", 4096));

  EXPECT_TRUE(Pass(u"C:"));
  EXPECT_TRUE(Pass(u"D:"));
  EXPECT_FALSE(IsCompressed(u'C', onC));
  EXPECT_FALSE(IsCompressed(u'D', onD));
  EXPECT_EQ(Lines(), (std::vector<std::string>{"----- C: Decompress Start \n", "----- C: Decompress End \n",
                                                "----- D: Decompress Start \n", "----- D: Decompress End \n"}));
}

TEST_F(DecompressTest, FreeSpaceIsTestedAgainBeforeEveryDecompression) {
  // Restoring the first file takes the volume below the floor: the second one stays compressed.
  // Only the compressed candidates get the test: the lines come at the next one.
  sim::DriveSpec drive;
  drive.freeBytes = FreeSpaceFloor + (64 << 10);
  sim::AddDrive(u'C', drive);
  auto big = sim::AddFile(u'C', File(u"big.txt", 1 << 20));
  sim::AddDirectory(u'C', u"Folder");
  sim::AddFile(u'C', File(u"plain.txt", 1 << 20, 0x20));
  auto next = sim::AddFile(u'C', File(u"next.txt", 1 << 20));

  EXPECT_TRUE(Pass(u"C:"));
  EXPECT_FALSE(IsCompressed(u'C', big));
  EXPECT_TRUE(IsCompressed(u'C', next));
  std::uint64_t left = sim::FreeBytesAvailable(u'C');
  ASSERT_LT(left, FreeSpaceFloor);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"----- C: Decompress Start \n", "C: Disk near full",
                                                "C: , Free = " + std::to_string(left) + " , SetSize = 2147483648",
                                                "----- C: Decompress End \n"}));
  EXPECT_EQ(CurrentName(), "next.txt");
  EXPECT_EQ(sim::CallCount("GetDiskFreeSpaceExW"), 2u);
  EXPECT_EQ(sim::CallCount("NtCreateFile"), 2u) << "the next candidate is not opened once the volume is full "
                                                    "(the first one is opened to be selected, then to be changed)";
}

TEST_F(DecompressTest, UnreadableFreeSpaceEndsThePassWithoutDecompressingOrLogging) {
  sim::AddDrive(u'C');
  auto file = sim::AddFile(u'C', File(u"doc.txt", 1 << 20));
  sim::Fail("GetDiskFreeSpaceExW", {2});   // the second candidate's query fails
  auto later = sim::AddFile(u'C', File(u"later.txt", 1 << 20));

  EXPECT_TRUE(Pass(u"C:"));
  EXPECT_FALSE(IsCompressed(u'C', file));
  EXPECT_TRUE(IsCompressed(u'C', later));
  EXPECT_EQ(Lines(), (std::vector<std::string>{"----- C: Decompress Start \n", "----- C: Decompress End \n"}));
}

TEST_F(DecompressTest, SizeLimitIsInclusive) {
  sim::AddDrive(u'C');
  auto limit = sim::AddFile(u'C', File(u"exact.dat", std::uint64_t(MaxFileSize)));
  auto over = sim::AddFile(u'C', File(u"over.dat", std::uint64_t(MaxFileSize) + 1));
  EXPECT_TRUE(Pass(u"C:"));
  EXPECT_FALSE(IsCompressed(u'C', limit));
  EXPECT_TRUE(IsCompressed(u'C', over));
  EXPECT_EQ(sim::OpenHandleCount(), 0u) << "the file too large is closed again";
}

TEST_F(DecompressTest, OnlyTheKindsTheServiceCompressesAreRestored) {
  sim::SetWindowsVersion(10, 0);
  sim::AddDrive(u'C');
  auto readme = sim::AddFile(u'C', File(u"README", 100000));
  auto zip = sim::AddFile(u'C', File(u"Backup.ZIP", 100000));
  auto movie = sim::AddFile(u'C', File(u"movie.Mp4", 100000));
  auto tarball = sim::AddFile(u'C', File(u"src.tar.gz", 100000));
  auto system = sim::AddFile(u'C', File(u"pagefile.sys", 100000, Compressed | os::FileAttributeSystem));
  auto folder = sim::AddDirectory(u'C', u"Packed");
  sim::SetFileAttributes(u'C', folder, os::FileAttributeDirectory | os::FileAttributeCompressed);
  auto notes = sim::AddFile(u'C', File(u"NOTES.TXT", 100000));
  auto dotted = sim::AddFile(u'C', File(u"report.", 100000));
  // No last-access rule: a file read yesterday and one untouched for a year are both restored.
  auto recent = File(u"recent.doc", 100000);
  recent.lastAccess = sim::Now() - sim::Day;
  auto recentFrn = sim::AddFile(u'C', recent);
  auto old = File(u"old.doc", 100000);
  old.lastAccess = sim::Now() - 365 * sim::Day;
  auto oldFrn = sim::AddFile(u'C', old);

  EXPECT_TRUE(Pass(u"C:", NTFSTYPE_WIN8_1_UP));
  for (auto frn : {readme, zip, movie, tarball, system, folder}) {
    EXPECT_TRUE(IsCompressed(u'C', frn)) << Narrow(sim::VolumeFile(u'C', frn).name);
  }
  for (auto frn : {notes, dotted, recentFrn, oldFrn}) {
    EXPECT_FALSE(IsCompressed(u'C', frn)) << Narrow(sim::VolumeFile(u'C', frn).name);
  }
  EXPECT_EQ(sim::VolumeFile(u'C', zip).name, u"Backup.ZIP") << "the name is lowered in our copy only";
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST_F(DecompressTest, UncompressedFileIsPassedOverWithoutAnOpenOrAFreeSpaceQuery) {
  sim::AddDrive(u'C');
  auto plain = sim::AddFile(u'C', File(u"plain.txt", 1 << 20, 0x20));
  sim::FileInfo before = sim::VolumeFile(u'C', plain);
  std::uint64_t freeBefore = sim::FreeBytes(u'C');

  EXPECT_TRUE(Pass(u"C:"));
  sim::FileInfo after = sim::VolumeFile(u'C', plain);
  EXPECT_EQ(sim::CallCount("NtCreateFile"), 0u);
  EXPECT_EQ(sim::CallCount("GetDiskFreeSpaceExW"), 0u);
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
  EXPECT_EQ(after.attributes, before.attributes);
  EXPECT_EQ(after.allocated, before.allocated);
  EXPECT_EQ(after.usn, before.usn);
  EXPECT_EQ(sim::FreeBytes(u'C'), freeBefore);
}

TEST_F(DecompressTest, FileThatCannotBeOpenedOrSizedIsSkipped) {
  sim::AddDrive(u'C');
  auto held = sim::AddFile(u'C', File(u"held.txt", 1 << 20));
  auto unsized = sim::AddFile(u'C', File(u"unsized.txt", 1 << 20));
  auto fine = sim::AddFile(u'C', File(u"fine.txt", 1 << 20));
  sim::HoldId hold = sim::HoldOpen(u'C', held, os::GenericRead, os::FileShareRead);
  ASSERT_NE(hold, 0u);
  // held.txt is sized first (an open for attributes meets no share mode; its open for writing
  // then fails), unsized.txt second.
  sim::Fail("GetFileSizeEx", {2});

  EXPECT_TRUE(Pass(u"C:"));
  sim::ReleaseHold(hold);
  EXPECT_TRUE(IsCompressed(u'C', held));
  EXPECT_TRUE(IsCompressed(u'C', unsized));
  EXPECT_FALSE(IsCompressed(u'C', fine));
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST_F(DecompressTest, WithoutAVersionClassOnlyStartAndEndAreLogged) {
  sim::AddDrive(u'C');
  auto file = sim::AddFile(u'C', File(u"doc.txt", 1 << 20));
  EXPECT_TRUE(Pass(u"C:", NTFSTYPE_NONE));
  EXPECT_TRUE(IsCompressed(u'C', file));
  EXPECT_EQ(Lines(), (std::vector<std::string>{"----- C: Decompress Start \n", "----- C: Decompress End \n"}));
}

TEST_F(DecompressTest, VolumeWithoutJournalLogsOnlyStartAndGetsNoJournal) {
  sim::DriveSpec drive;
  drive.journal = false;
  sim::AddDrive(u'C', drive);
  auto file = sim::AddFile(u'C', File(u"doc.txt", 1 << 20));
  EXPECT_FALSE(Pass(u"C:"));
  EXPECT_FALSE(sim::JournalActive(u'C'));
  EXPECT_TRUE(IsCompressed(u'C', file));
  EXPECT_EQ(Lines(), (std::vector<std::string>{"----- C: Decompress Start \n"}));
  EXPECT_EQ(sim::OpenHandleCount(), 0u) << "the volume is closed again";
}

TEST_F(DecompressTest, UnopenableVolumeLogsNothing) {
  sim::AddDrive(u'C');
  sim::HoldId hold = sim::HoldOpen(u"\\\\.\\C:", os::GenericRead, 0);
  ASSERT_NE(hold, 0u);
  EXPECT_FALSE(Pass(u"C:"));
  sim::ReleaseHold(hold);
  EXPECT_TRUE(Lines().empty());
}

TEST_F(DecompressTest, StopRequestFinishesTheFileInHandAndEndsTheVolume) {
  sim::AddDrive(u'C');
  auto first = sim::AddFile(u'C', File(u"one.txt", 1 << 20));
  auto second = sim::AddFile(u'C', File(u"Two.txt", 1 << 20));
  auto third = sim::AddFile(u'C', File(u"Three.txt", 1 << 20));
  // The cancel arrives while the second file is being decompressed.
  sim::OnCall(
      "DeviceIoControl", [&](std::uint64_t call) { if (call == 2) record.stopRequest = 1; }, os::FsctlSetCompression);

  EXPECT_TRUE(Pass(u"C:"));
  sim::OnCall("DeviceIoControl", nullptr, os::FsctlSetCompression);
  EXPECT_FALSE(IsCompressed(u'C', first));
  EXPECT_FALSE(IsCompressed(u'C', second)) << "the file in hand is finished";
  EXPECT_TRUE(IsCompressed(u'C', third));
  EXPECT_EQ(Lines(), (std::vector<std::string>{"----- C: Decompress Start \n", "----- C: Decompress End \n"}));
  EXPECT_EQ(CurrentName(), "Three.txt");
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

// A mixed volume made from a seed: directories, system files, names with and without
// (excluded) extensions in any case, sizes about MaxFileSize, compressed and plain files, files
// held open by another program and placeholders; the free space may run out on the way. On a
// fresh Windows 10 machine.
std::vector<std::uint64_t> BuildMixedVolume(unsigned seed) {
  sim::Reset();
  sim::SetWindowsVersion(10, 0);
  std::mt19937 random(seed);
  auto pick = [&](unsigned n) { return unsigned(random() % n); };
  sim::DriveSpec drive;
  drive.freeBytes = FreeSpaceFloor + (pick(2) ? 8 * sim::GiB : std::uint64_t(pick(40)) << 20);
  sim::AddDrive(u'C', drive);
  static const char16_t* const extensions[] = {u".txt", u".ZIP", u".Mp4", u"", u".", u".doc", u".tar.gz", u".DLL"};
  std::vector<std::uint64_t> frns;
  for (int i = 0; i < 300; ++i) {
    std::u16string name = u"f" + std::u16string(1, char16_t(u'a' + i % 26)) + char16_t(u'0' + i / 26 % 10) +
                          char16_t(u'A' + i / 260) + extensions[pick(8)];
    if (pick(10) == 0) {
      frns.push_back(sim::AddDirectory(u'C', name));
      if (pick(2)) sim::SetFileAttributes(u'C', frns.back(), os::FileAttributeDirectory | os::FileAttributeCompressed);
      continue;
    }
    std::uint32_t attributes = 0x20 | (pick(4) ? 0 : os::FileAttributeCompressed) | (pick(12) ? 0 : os::FileAttributeSystem);
    std::uint64_t size = pick(8) ? (1 + pick(4)) << 20 : std::uint64_t(MaxFileSize) - 1 + pick(3);
    frns.push_back(sim::AddFile(u'C', File(name, size, attributes)));
    if (pick(15) == 0) sim::HoldOpen(u'C', frns.back(), os::GenericRead, os::FileShareRead);
    if (pick(20) == 0) sim::SetReparsePoint(u'C', frns.back(), u"");
  }
  return frns;
}

// The pass in the order of steps it was first written in: the free space before every record,
// the file opened before its compressed bit is looked at.
void ReferencePass() {
  EnumContext context;
  std::memset(&context, 0, sizeof(context));
  context.Volume = OpenVolume(u"C:");
  context.NtfsType = NTFSTYPE_WIN8_1_UP;
  ASSERT_TRUE(ReadJournal(context));
  while (NextFileRecord(context)) {
    std::uint64_t available = 0;
    ASSERT_TRUE(os::GetDiskFreeSpaceExW(u"C:", &available, nullptr, nullptr));
    if (available < FreeSpaceFloor) break;
    FileCandidate& file = context.Current;
    if (!OpenEligibleFile(file)) continue;
    if (file.Attributes & os::FileAttributeCompressed) DecompressFile(file);
    os::CloseHandle(file.File);
  }
  os::CloseHandle(context.Volume);
}

TEST_F(DecompressTest, MixedVolumesLoseTheirCompressionExactlyAsInTheOrderOfSteps) {
  for (unsigned seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(seed);
    std::vector<std::uint64_t> frns = BuildMixedVolume(seed);
    ReferencePass();
    std::vector<bool> expected;
    for (auto frn : frns) expected.push_back(IsCompressed(u'C', frn));
    std::uint64_t expectedFree = sim::FreeBytesAvailable(u'C');

    ASSERT_EQ(BuildMixedVolume(seed), frns);
    std::uint64_t compressedFiles = 0;
    std::vector<bool> wasCompressed;
    for (auto frn : frns) {
      sim::FileInfo info = sim::VolumeFile(u'C', frn);
      wasCompressed.push_back(info.compressed());
      compressedFiles += info.compressed() && !(info.attributes & os::FileAttributeDirectory);
    }
    EXPECT_TRUE(Pass(u"C:", NTFSTYPE_WIN8_1_UP));
    for (std::size_t i = 0; i < frns.size(); ++i) {
      EXPECT_EQ(IsCompressed(u'C', frns[i]), expected[i]) << Narrow(sim::VolumeFile(u'C', frns[i]).name);
    }
    EXPECT_EQ(sim::FreeBytesAvailable(u'C'), expectedFree);
    // Only compressed candidates are opened, for their attributes; a file is opened for writing
    // only to clear its compression (which another program's open may still refuse), once.
    std::uint64_t cleared = 0, writeOpens = 0;
    for (std::size_t i = 0; i < frns.size(); ++i) {
      cleared += wasCompressed[i] && !IsCompressed(u'C', frns[i]);
      writeOpens += sim::VolumeFile(u'C', frns[i]).writeOpens;
    }
    EXPECT_LE(sim::FileOpens().attributesOnly, compressedFiles);
    EXPECT_EQ(writeOpens, cleared);
    EXPECT_GE(sim::FileOpens().beyondAttributes, cleared);
    EXPECT_LE(sim::CallCount("GetDiskFreeSpaceExW"), compressedFiles);
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
  }
}

// A user's compressed file under an oplock or lease whose break the user never acknowledges, last
// used long ago or yesterday (the pass has no last-access rule): the pass selects it without a
// break, does not wait on the open to change it, leaves it compressed and goes on; a cancel that
// comes while it is at the file ends the pass.
class OplockedFile : public DecompressTest, public ::testing::WithParamInterface<std::tuple<sim::OplockLevel, bool>> {};

std::string CaseName(const ::testing::TestParamInfo<std::tuple<sim::OplockLevel, bool>>& info) {
  static const char* const levels[] = {"Level1", "Batch", "Filter", "Level2", "Read", "ReadHandle", "ReadWrite",
                                       "ReadWriteHandle"};
  return std::string(levels[int(std::get<0>(info.param))]) + (std::get<1>(info.param) ? "OnRecentFile" : "OnStaleFile");
}

TEST_P(OplockedFile, NeverStallsThePassOrACancel) {
  sim::AddDrive(u'C');
  sim::FileSpec spec = File(u"mine.txt", 1 << 20);
  spec.lastAccess = sim::Now() - (std::get<1>(GetParam()) ? sim::Day : 40 * sim::Day);
  auto mine = sim::AddFile(u'C', spec);
  auto other = sim::AddFile(u'C', File(u"other.txt", 1 << 20));
  sim::HoldId hold = sim::HoldOpen(u'C', mine, os::GenericRead | os::GenericWrite, os::FileShareRead | os::FileShareWrite);
  ASSERT_TRUE(sim::GrantOplock(hold, std::get<0>(GetParam())));
  const sim::FileInfo before = sim::VolumeFile(u'C', mine);

  EXPECT_TRUE(Pass(u"C:"));
  EXPECT_FALSE(IsCompressed(u'C', other)) << "the pass went on past the user's file";
  sim::OnCall("NtCreateFile", [&](std::uint64_t) { record.stopRequest = 1; });
  EXPECT_TRUE(Pass(u"C:"));
  sim::OnCall("NtCreateFile", nullptr);
  EXPECT_EQ(Lines().back(), "----- C: Decompress End \n");

  EXPECT_TRUE(sim::OplockWaits().empty()) << Narrow(sim::OplockWaits().front());
  const sim::FileInfo after = sim::VolumeFile(u'C', mine);
  EXPECT_TRUE(after.compressed());
  EXPECT_EQ(after.allocated, before.allocated);
  EXPECT_EQ(after.usn, before.usn);
  sim::ReleaseHold(hold);
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(UserOplocks, OplockedFile,
                         ::testing::Combine(::testing::Values(sim::OplockLevel::Batch, sim::OplockLevel::Filter,
                                                              sim::OplockLevel::ReadWriteHandle),
                                            ::testing::Bool()),
                         CaseName);

// Compressed files behind reparse points stay compressed.
class ReparsePoints : public DecompressTest {
 protected:
  reparse_test::Cases Cases() {
    sim::AddDrive(u'C');
    return {[](char16_t letter, const char16_t* name) { return sim::AddFile(letter, File(name, 1 << 20)); },
            [this] { EXPECT_TRUE(Pass(u"C:")); }, true};
  }
};

TEST_F(ReparsePoints, LinkToAFileElsewhereIsNotFollowed) { Cases().LinkToAFileElsewhere(); }
TEST_F(ReparsePoints, LinkSwappedInAfterTheRecordIsClosedUntouched) { Cases().LinkSwappedInAfterTheRecord(); }
TEST_F(ReparsePoints, PlaceholderIsNeitherOpenedNorFetched) { Cases().Placeholder(); }

}  // namespace
