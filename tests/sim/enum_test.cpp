// The change journal as the volume device reports it: USN_JOURNAL_DATA, MFT_ENUM_DATA input
// forms and USN_RECORD_V2/V3 batches, byte for byte, on each Windows version.
#include "tests/sim/sim_test_util.h"

namespace {

using namespace simtest;

struct EnumInput {
  std::uint8_t bytes[32] = {};
  EnumInput(std::uint64_t start, std::int64_t low, std::int64_t high, std::uint16_t minMajor = 0,
            std::uint16_t maxMajor = 0) {
    PutAt(bytes, 0, start);
    PutAt(bytes, 8, low);
    PutAt(bytes, 16, high);
    PutAt(bytes, 24, minMajor);
    PutAt(bytes, 26, maxMajor);
  }
};

struct Batch {
  bool ok = false;
  std::uint32_t error = 0;
  std::uint32_t returned = 0;
  std::vector<std::uint8_t> bytes;
};

Batch Enumerate(os::Handle volume, const EnumInput& input, std::uint32_t inSize = 32, std::uint32_t outSize = 4096) {
  Batch batch;
  batch.bytes.assign(outSize, 0xCD);
  batch.ok = os::DeviceIoControl(volume, os::FsctlEnumUsnData, input.bytes, inSize, batch.bytes.data(), outSize,
                                 &batch.returned);
  if (!batch.ok) batch.error = os::GetLastError();
  return batch;
}

std::vector<std::uint8_t> QueryJournal(os::Handle volume, std::uint32_t* returned, bool* ok) {
  std::vector<std::uint8_t> out(64, 0xCD);
  *ok = os::DeviceIoControl(volume, os::FsctlQueryUsnJournal, nullptr, 0, out.data(), 64, returned);
  return out;
}

class Journal : public SimTest {};

TEST_F(Journal, QueryReportsTheDocumentedLayoutPerVersion) {
  sim::AddDrive(u'C');
  sim::AddFile(u'C', File(u"a.txt", 10));
  const std::int64_t next = sim::JournalNextUsn(u'C');
  ASSERT_GT(next, 0);

  struct Case {
    std::uint32_t major, minor, size;
    std::uint16_t minMajor, maxMajor;
  };
  // Windows 7 knows only USN_JOURNAL_DATA_V0 (56 bytes); the V1 tail is left alone.
  for (Case c : {Case{6, 1, 56, 0, 0}, Case{6, 2, 64, 2, 2}, Case{6, 3, 64, 2, 3}, Case{10, 0, 64, 2, 3}}) {
    SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor));
    sim::SetWindowsVersion(c.major, c.minor);
    os::Handle volume = OpenVolume();
    std::uint32_t returned = 0;
    bool ok = false;
    auto out = QueryJournal(volume, &returned, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(returned, c.size);
    EXPECT_NE(At<std::uint64_t>(out.data(), 0), 0u) << "UsnJournalID";
    EXPECT_EQ(At<std::int64_t>(out.data(), 16), next) << "NextUsn";
    EXPECT_LE(At<std::int64_t>(out.data(), 8), next) << "FirstUsn";
    EXPECT_GT(At<std::int64_t>(out.data(), 32), next) << "MaxUsn";
    EXPECT_GT(At<std::uint64_t>(out.data(), 40), 0u) << "MaximumSize";
    if (c.size == 64) {
      EXPECT_EQ(At<std::uint16_t>(out.data(), 56), c.minMajor);
      EXPECT_EQ(At<std::uint16_t>(out.data(), 58), c.maxMajor);
    } else {
      EXPECT_EQ(At<std::uint16_t>(out.data(), 56), 0xCDCD);
    }
    os::CloseHandle(volume);
  }
}

TEST_F(Journal, AbsentJournalFailsUntilCreated) {
  sim::DriveSpec spec;
  spec.journal = false;
  sim::AddDrive(u'D', spec);
  sim::AddFile(u'D', File(u"a.txt", 10));
  os::Handle volume = OpenVolume(u"\\\\.\\D:");
  std::uint32_t returned = 0;
  bool ok = true;
  QueryJournal(volume, &returned, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(os::GetLastError(), os::ErrorJournalNotActive);
  EXPECT_FALSE(Enumerate(volume, EnumInput(0, 0, 0), 24).ok);

  std::uint8_t create[16] = {};
  EXPECT_FALSE(os::DeviceIoControl(volume, os::FsctlCreateUsnJournal, create, 8, nullptr, 0, &returned));
  EXPECT_EQ(os::GetLastError(), os::ErrorInvalidParameter);
  ASSERT_TRUE(os::DeviceIoControl(volume, os::FsctlCreateUsnJournal, create, 16, nullptr, 0, &returned));
  EXPECT_TRUE(sim::JournalActive(u'D'));
  auto out = QueryJournal(volume, &returned, &ok);
  ASSERT_TRUE(ok);
  // Files from before the journal carry USN 0, so the whole volume is still enumerated.
  Batch batch = Enumerate(volume, EnumInput(0, 0, At<std::int64_t>(out.data(), 16)), 24);
  ASSERT_TRUE(batch.ok);
  EXPECT_EQ(At<std::uint32_t>(batch.bytes.data(), 8), 72u);
  os::CloseHandle(volume);
}

TEST_F(Journal, FatVolumeHasNoJournal) {
  sim::DriveSpec spec;
  spec.fileSystem = u"FAT32";
  sim::AddDrive(u'E', spec);
  os::Handle volume = OpenVolume(u"\\\\.\\E:");
  ASSERT_NE(volume, os::InvalidHandleValue);
  std::uint32_t returned = 0;
  bool ok = true;
  QueryJournal(volume, &returned, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(os::GetLastError(), 1u);   // ERROR_INVALID_FUNCTION
  os::CloseHandle(volume);
}

class Enum : public VolumeTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    sim::AddDrive(u'C');
    dir_ = sim::AddDirectory(u'C', u"Docs");
    sim::FileSpec spec = File(u"Report.docx", 5000, 0x20 | os::FileAttributeCompressed);
    spec.parent = dir_;
    spec.lastWrite = sim::DefaultStartTime - sim::Day;
    spec.securityId = 0x321;
    file_ = sim::AddFile(u'C', spec);
    volume_ = OpenVolume();
  }
  std::int64_t Next() { return sim::JournalNextUsn(u'C'); }

  std::uint64_t dir_ = 0, file_ = 0;
};

TEST_F(Enum, VersionTwoRecordsOnWindowsSeven) {
  Batch batch = Enumerate(volume_, EnumInput(0, 0, Next()), 32);
  ASSERT_TRUE(batch.ok);
  const std::uint8_t* b = batch.bytes.data();
  // Directory "Docs": 60 + 8 name bytes = 68, padded to 72.
  const std::uint8_t* r = b + 8;
  EXPECT_EQ(At<std::uint32_t>(r, 0), 72u);
  EXPECT_EQ(At<std::uint16_t>(r, 4), 2);
  EXPECT_EQ(At<std::uint16_t>(r, 6), 0);
  EXPECT_EQ(At<std::uint64_t>(r, 8), dir_);
  EXPECT_EQ(At<std::uint64_t>(r, 16), sim::RootFrn);
  EXPECT_EQ(At<std::uint32_t>(r, 52), os::FileAttributeDirectory);
  EXPECT_EQ(At<std::uint16_t>(r, 56), 8);
  EXPECT_EQ(At<std::uint16_t>(r, 58), 60);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(r + 60), 4), u"Docs");
  EXPECT_EQ(At<std::uint32_t>(r, 68), 0u) << "padding is zero";

  // "Report.docx": 60 + 22 = 82, padded to 88.
  r += 72;
  sim::FileInfo info = sim::VolumeFile(u'C', file_);
  EXPECT_EQ(At<std::uint32_t>(r, 0), 88u);
  EXPECT_EQ(At<std::uint64_t>(r, 8), file_);
  EXPECT_EQ(At<std::uint64_t>(r, 16), dir_);
  EXPECT_EQ(At<std::int64_t>(r, 24), info.usn);
  EXPECT_EQ(At<std::int64_t>(r, 32), static_cast<std::int64_t>(sim::DefaultStartTime - sim::Day));
  EXPECT_EQ(At<std::uint32_t>(r, 40), 0u) << "Reason";
  EXPECT_EQ(At<std::uint32_t>(r, 44), 0u) << "SourceInfo";
  EXPECT_EQ(At<std::uint32_t>(r, 48), 0x321u);
  EXPECT_EQ(At<std::uint32_t>(r, 52), 0x20u | os::FileAttributeCompressed);
  EXPECT_EQ(At<std::uint16_t>(r, 56), 22);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(r + 60), 11), u"Report.docx");

  EXPECT_EQ(batch.returned, 8u + 72 + 88);
  EXPECT_EQ(At<std::uint64_t>(b, 0), (file_ & 0xFFFFFFFFFFFF) + 1) << "next start follows the last record";
  Batch end = Enumerate(volume_, EnumInput(At<std::uint64_t>(b, 0), 0, Next()), 32);
  EXPECT_FALSE(end.ok);
  EXPECT_EQ(end.error, os::ErrorHandleEof);
}

TEST_F(Enum, VersionThreeRecordsOnWindowsTenWhenAsked) {
  sim::SetWindowsVersion(10, 0);
  Batch batch = Enumerate(volume_, EnumInput(0, 0, Next(), 2, 3));
  ASSERT_TRUE(batch.ok);
  const std::uint8_t* r = batch.bytes.data() + 8;
  EXPECT_EQ(At<std::uint32_t>(r, 0), 88u) << "76 + 8, padded";
  EXPECT_EQ(At<std::uint16_t>(r, 4), 3);
  EXPECT_EQ(At<std::uint64_t>(r, 8), dir_);
  EXPECT_EQ(At<std::uint64_t>(r, 16), 0u) << "high half of the 128-bit id";
  EXPECT_EQ(At<std::uint64_t>(r, 24), sim::RootFrn);
  EXPECT_EQ(At<std::uint64_t>(r, 32), 0u);
  EXPECT_EQ(At<std::uint32_t>(r, 68), os::FileAttributeDirectory);
  EXPECT_EQ(At<std::uint16_t>(r, 72), 8);
  EXPECT_EQ(At<std::uint16_t>(r, 74), 76);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(r + 76), 4), u"Docs");
  r += 88;
  EXPECT_EQ(At<std::uint32_t>(r, 0), 104u) << "76 + 22 = 98, padded";
  EXPECT_EQ(At<std::uint64_t>(r, 8), file_);
  EXPECT_EQ(At<std::uint64_t>(r, 24), dir_);
  EXPECT_EQ(At<std::int64_t>(r, 40), sim::VolumeFile(u'C', file_).usn);
  EXPECT_EQ(At<std::uint32_t>(r, 64), 0x321u);
  EXPECT_EQ(At<std::uint32_t>(r, 68), 0x20u | os::FileAttributeCompressed);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(r + 76), 11), u"Report.docx");

  // A range that stops at 2 still gets version 2 records.
  Batch v2 = Enumerate(volume_, EnumInput(0, 0, Next(), 2, 2));
  ASSERT_TRUE(v2.ok);
  EXPECT_EQ(At<std::uint16_t>(v2.bytes.data() + 12, 0), 2);
}

TEST_F(Enum, InputFormsAndVersionRangesAreChecked) {
  // Too short for MFT_ENUM_DATA_V0.
  EXPECT_EQ(Enumerate(volume_, EnumInput(0, 0, Next()), 16).error, os::ErrorInvalidParameter);

  // Windows 7 reads the first 24 bytes only: garbage versions do not matter.
  EXPECT_TRUE(Enumerate(volume_, EnumInput(0, 0, Next(), 9, 1), 32).ok);

  sim::SetWindowsVersion(6, 2);
  EXPECT_EQ(Enumerate(volume_, EnumInput(0, 0, Next(), 3, 2)).error, os::ErrorInvalidParameter) << "min > max";
  EXPECT_EQ(Enumerate(volume_, EnumInput(0, 0, Next(), 3, 3)).error, os::ErrorInvalidParameter)
      << "Windows 8 volumes support version 2 only";
  Batch win8 = Enumerate(volume_, EnumInput(0, 0, Next(), 2, 3));
  ASSERT_TRUE(win8.ok);
  EXPECT_EQ(At<std::uint16_t>(win8.bytes.data() + 12, 0), 2);
  EXPECT_TRUE(Enumerate(volume_, EnumInput(0, 0, Next()), 24).ok) << "V0 input is still accepted";

  sim::SetWindowsVersion(6, 3);
  EXPECT_EQ(Enumerate(volume_, EnumInput(0, 0, Next(), 0, 0)).error, os::ErrorInvalidParameter);
  EXPECT_EQ(Enumerate(volume_, EnumInput(0, 0, Next(), 4, 4)).error, os::ErrorInvalidParameter);
  Batch v3 = Enumerate(volume_, EnumInput(0, 0, Next(), 3, 3));
  ASSERT_TRUE(v3.ok);
  EXPECT_EQ(At<std::uint16_t>(v3.bytes.data() + 12, 0), 3);
}

TEST_F(Enum, ThreeZeroOnWindowsTenCanBeNarrowedByTheTest) {
  sim::SetWindowsVersion(10, 0);
  sim::DriveSpec spec;
  spec.journalMaxMajor = 2;
  sim::AddDrive(u'D', spec);
  sim::AddFile(u'D', File(u"x", 1));
  os::Handle d = OpenVolume(u"\\\\.\\D:");
  std::uint32_t returned = 0;
  bool ok = false;
  auto out = QueryJournal(d, &returned, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(At<std::uint16_t>(out.data(), 58), 2);
  Batch batch = Enumerate(d, EnumInput(0, 0, At<std::int64_t>(out.data(), 16), 2, 3));
  ASSERT_TRUE(batch.ok);
  EXPECT_EQ(At<std::uint16_t>(batch.bytes.data() + 12, 0), 2);
  os::CloseHandle(d);
}

TEST_F(Enum, JournalOfVersionFourStillEnumeratesVersionTwoOrThree) {
  sim::SetWindowsVersion(10, 0);
  sim::DriveSpec spec;
  spec.journalMaxMajor = 4;
  sim::AddDrive(u'D', spec);
  sim::AddFile(u'D', File(u"a.txt", 1));
  sim::AddFile(u'D', File(u"b.txt", 1));
  os::Handle d = OpenVolume(u"\\\\.\\D:");
  std::uint32_t returned = 0;
  bool ok = false;
  auto out = QueryJournal(d, &returned, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(At<std::uint16_t>(out.data(), 58), 4);
  std::int64_t next = At<std::int64_t>(out.data(), 16);
  Batch range = Enumerate(d, EnumInput(0, 0, next, 2, 4));
  ASSERT_TRUE(range.ok);
  EXPECT_EQ(At<std::uint16_t>(range.bytes.data() + 12, 0), 3);
  EXPECT_EQ(Enumerate(d, EnumInput(0, 0, next, 4, 4)).error, os::ErrorInvalidParameter)
      << "no enumeration record has version 4";

  // Where the range allows both, the file system may answer either.
  spec.enumRecords = sim::DriveSpec::EnumRecords::Lowest;
  sim::AddDrive(u'D', spec);
  sim::AddFile(u'D', File(u"a.txt", 1));
  os::CloseHandle(d);
  d = OpenVolume(u"\\\\.\\D:");
  Batch lowest = Enumerate(d, EnumInput(0, 0, sim::JournalNextUsn(u'D'), 2, 4));
  ASSERT_TRUE(lowest.ok);
  EXPECT_EQ(At<std::uint16_t>(lowest.bytes.data() + 12, 0), 2);
  EXPECT_EQ(At<std::uint32_t>(lowest.bytes.data() + 8, 0), 72u) << "60 + 10, padded";
  Batch narrow = Enumerate(d, EnumInput(0, 0, sim::JournalNextUsn(u'D'), 3, 4));
  ASSERT_TRUE(narrow.ok);
  EXPECT_EQ(At<std::uint16_t>(narrow.bytes.data() + 12, 0), 3) << "the lowest the range asks for";
  os::CloseHandle(d);
}

TEST_F(Enum, BatchesFillTheOutputAndContinueInAscendingOrder) {
  std::vector<std::uint64_t> added;
  for (int i = 0; i < 300; ++i) added.push_back(sim::AddFile(u'C', File(u"file" + std::u16string(1, u'A' + i % 26) +
                                                                       std::u16string(1, u'a' + i / 26) + u".bin", i)));
  std::vector<std::uint64_t> seen;
  EnumInput input(0, 0, Next());
  std::vector<std::uint32_t> sizes;
  for (;;) {
    Batch batch = Enumerate(volume_, input, 32, 4096);
    if (!batch.ok) {
      EXPECT_EQ(batch.error, os::ErrorHandleEof);
      break;
    }
    sizes.push_back(batch.returned);
    ASSERT_LE(batch.returned, 4096u);
    std::uint32_t at = 8;
    while (at < batch.returned) {
      std::uint32_t length = At<std::uint32_t>(batch.bytes.data() + at, 0);
      ASSERT_EQ(length % 8, 0u);
      seen.push_back(At<std::uint64_t>(batch.bytes.data() + at, 8));
      at += length;
    }
    ASSERT_EQ(at, batch.returned);
    std::memcpy(input.bytes, batch.bytes.data(), 8);
  }
  ASSERT_GT(sizes.size(), 3u);
  // Every batch but the last is full: the next record (at most 88 bytes) would not have fit.
  for (std::size_t i = 0; i + 1 < sizes.size(); ++i) EXPECT_GT(sizes[i] + 88, 4096u) << "batch " << i;
  ASSERT_EQ(seen.size(), 302u);   // Docs, Report.docx and the 300
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(seen.back(), added.back());
}

TEST_F(Enum, UsnRangeAndRemovedFilesFilterRecords) {
  const std::int64_t before = Next();
  std::uint64_t later = sim::AddFile(u'C', File(u"later.txt", 1));
  std::uint64_t gone = sim::AddFile(u'C', File(u"gone.txt", 1));
  sim::RemoveVolumeFile(u'C', gone);

  auto frns = [&](std::int64_t low, std::int64_t high) {
    std::vector<std::uint64_t> out;
    Batch batch = Enumerate(volume_, EnumInput(0, low, high), 24);
    for (std::uint32_t at = 8; batch.ok && at < batch.returned; at += At<std::uint32_t>(batch.bytes.data() + at, 0))
      out.push_back(At<std::uint64_t>(batch.bytes.data() + at, 8));
    return out;
  };
  EXPECT_EQ(frns(0, before - 1), (std::vector<std::uint64_t>{dir_, file_}));
  EXPECT_EQ(frns(before, Next()), (std::vector<std::uint64_t>{later}));
  EXPECT_TRUE(frns(Next(), Next() + 1000).empty());
}

TEST_F(Enum, OutputTooSmallForOneRecordFails) {
  EXPECT_EQ(Enumerate(volume_, EnumInput(0, 0, Next()), 24, 4).error, os::ErrorInsufficientBuffer);
  EXPECT_EQ(Enumerate(volume_, EnumInput(0, 0, Next()), 24, 40).error, os::ErrorInsufficientBuffer);
  Batch one = Enumerate(volume_, EnumInput(0, 0, Next()), 24, 8 + 72);
  ASSERT_TRUE(one.ok);
  EXPECT_EQ(one.returned, 80u);
}

TEST_F(Enum, QueuedRawOutputReplacesTheNextCalls) {
  std::vector<std::uint8_t> raw(8, 0);
  raw.push_back(0xFF);   // one stray byte after the header
  sim::QueueEnumOutput(u'C', raw);
  sim::QueueEnumOutput(u'C', std::vector<std::uint8_t>(8, 0));
  Batch first = Enumerate(volume_, EnumInput(0, 0, Next()), 24);
  ASSERT_TRUE(first.ok);
  EXPECT_EQ(first.returned, 9u);
  EXPECT_EQ(first.bytes[8], 0xFF);
  Batch second = Enumerate(volume_, EnumInput(0, 0, Next()), 24);
  ASSERT_TRUE(second.ok);
  EXPECT_EQ(second.returned, 8u);
  Batch real = Enumerate(volume_, EnumInput(0, 0, Next()), 24);
  ASSERT_TRUE(real.ok);
  EXPECT_EQ(At<std::uint64_t>(real.bytes.data() + 8, 8), dir_);
}

TEST_F(Enum, CompressionChangesMoveTheFileUsnPastTheOldNextUsn) {
  const std::int64_t before = Next();
  os::Handle file = os::InvalidHandleValue;
  ASSERT_EQ(OpenById(volume_, file_, &file), os::StatusSuccess);
  std::uint16_t none = os::CompressionFormatNone;
  std::uint32_t returned = 0;
  ASSERT_TRUE(os::DeviceIoControl(file, os::FsctlSetCompression, &none, 2, nullptr, 0, &returned));
  os::CloseHandle(file);
  EXPECT_EQ(sim::VolumeFile(u'C', file_).usn, before);
  EXPECT_GT(Next(), before);
}

}  // namespace
