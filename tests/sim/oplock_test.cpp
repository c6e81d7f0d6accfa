// Oplocks and leases of another program: which opens break them, which would wait for the
// acknowledgement that never comes, what FILE_COMPLETE_IF_OPLOCKED returns, and what an open for
// attributes alone may do with its handle.
#include "tests/sim/sim_test_util.h"

namespace {

using namespace simtest;
using Level = sim::OplockLevel;

constexpr std::uint32_t Attributes = os::FileReadAttributes | os::Synchronize;
constexpr std::uint32_t FileGenericRead = 0x00120089;
constexpr std::uint32_t ShareAll = os::FileShareRead | os::FileShareWrite | os::FileShareDelete;
constexpr std::int32_t Cancelled = static_cast<std::int32_t>(0xC0000120);
constexpr std::int32_t SharingViolation = static_cast<std::int32_t>(0xC0000043);
constexpr std::int32_t Success = os::StatusSuccess;
constexpr std::int32_t InProgress = os::StatusOplockBreakInProgress;

class Oplocks : public VolumeTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    sim::AddDrive(u'C');
    frn_ = sim::AddFile(u'C', File(u"mine.txt", 100000));
    volume_ = OpenVolume();
  }
  // The status of one open, its handle closed again.
  std::int32_t Open(std::uint32_t access, std::uint32_t options = 0, std::uint32_t share = ShareAll) {
    os::Handle file = os::NullHandle;
    std::int32_t status = OpenById(volume_, frn_, &file, access, share, options);
    EXPECT_EQ(file != os::NullHandle, status == Success || status == InProgress);
    if (file != os::NullHandle) os::CloseHandle(file);
    return status;
  }
  std::uint64_t frn_ = 0;
};

TEST_F(Oplocks, EachLevelBreaksAndWaitsAsDocumented) {
  struct Case {
    Level level;
    std::int32_t read, readWrite;   // FILE_GENERIC_READ, then read-write, with FILE_COMPLETE_IF_OPLOCKED
  };
  const Case cases[] = {
      {Level::Level1, InProgress, InProgress}, {Level::Batch, InProgress, InProgress},
      {Level::Filter, Success, InProgress},    {Level::Level2, Success, Success},
      {Level::Read, Success, Success},         {Level::ReadHandle, Success, Success},
      {Level::ReadWrite, InProgress, InProgress}, {Level::ReadWriteHandle, InProgress, InProgress},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.level));
    sim::HoldId hold = sim::HoldOpen(u'C', frn_, os::GenericRead, ShareAll);
    ASSERT_TRUE(sim::GrantOplock(hold, c.level));
    bool waits = c.readWrite == InProgress;
    // An open for attributes alone neither breaks nor waits, and meets no share mode.
    EXPECT_EQ(Open(Attributes, 0, 0), Success);
    EXPECT_EQ(sim::Oplock(u'C', frn_).breaks, 0u);
    EXPECT_EQ(Open(FileGenericRead, os::FileCompleteIfOplocked), c.read);
    EXPECT_EQ(Open(os::FileGenericReadWrite, os::FileCompleteIfOplocked), c.readWrite);
    EXPECT_EQ(sim::Oplock(u'C', frn_).breaking, waits);
    // While the break is not acknowledged every such open would wait; the holder hears once.
    EXPECT_EQ(Open(os::GenericRead), waits ? Cancelled : Success);
    EXPECT_EQ(Open(os::FileGenericReadWrite), waits ? Cancelled : Success);
    EXPECT_EQ(sim::Oplock(u'C', frn_).breaks, waits ? 1u : 0u);
    EXPECT_EQ(sim::OplockWaits().size(), waits ? 2u : 0u);
    if (waits) {
      EXPECT_EQ(sim::OplockWaits()[0], u"NtCreateFile C:\\mine.txt");
    }
    sim::ReleaseHold(hold);
    EXPECT_FALSE(sim::Oplock(u'C', frn_).held) << "closing the holder ends its oplock";
    EXPECT_EQ(Open(os::FileGenericReadWrite), Success);
    sim::Reset();
    SetUp();
  }
}

TEST_F(Oplocks, SharingViolationAsksAHandleCachingHolderToClose) {
  for (Level level : {Level::Batch, Level::ReadWriteHandle, Level::ReadHandle, Level::Level2}) {
    SCOPED_TRACE(int(level));
    sim::HoldId hold = sim::HoldOpen(u'C', frn_, os::GenericRead, os::FileShareRead);
    ASSERT_TRUE(sim::GrantOplock(hold, level));
    bool closable = level != Level::Level2;
    EXPECT_EQ(Open(os::FileGenericReadWrite, os::FileCompleteIfOplocked), SharingViolation);
    EXPECT_EQ(sim::Oplock(u'C', frn_).breaks, closable ? 1u : 0u);
    EXPECT_TRUE(sim::OplockWaits().empty());
    EXPECT_EQ(Open(os::FileGenericReadWrite), closable ? Cancelled : SharingViolation);
    EXPECT_EQ(sim::OplockWaits().size(), closable ? 1u : 0u);
    sim::ReleaseHold(hold);
    sim::Reset();
    SetUp();
  }
  // Exclusive oplocks go only to a file no one else reads or writes.
  sim::HoldId reader = sim::HoldOpen(u'C', frn_, os::GenericRead, ShareAll);
  sim::HoldId other = sim::HoldOpen(u'C', frn_, os::GenericRead, ShareAll);
  EXPECT_FALSE(sim::GrantOplock(other, Level::Batch));
  EXPECT_TRUE(sim::GrantOplock(other, Level::ReadHandle));
  EXPECT_FALSE(sim::GrantOplock(reader, Level::Read)) << "one oplock per file here";
  sim::ReleaseHold(reader);
  sim::ReleaseHold(other);
}

TEST_F(Oplocks, HandleOperationsNeedTheAccessTheyAreDefinedWith) {
  os::Handle file = os::NullHandle;
  ASSERT_EQ(OpenById(volume_, frn_, &file, Attributes), Success);
  std::int64_t size = 0;
  os::FileTime access = 0;
  os::ByHandleFileInformation info = {};
  os::FileCompressionInfo compression = {};
  std::uint16_t format = 0xFFFF;
  std::uint32_t returned = 0;
  EXPECT_TRUE(os::GetFileSizeEx(file, &size));
  EXPECT_TRUE(os::GetFileTime(file, nullptr, &access, nullptr));
  EXPECT_TRUE(os::GetFileInformationByHandle(file, &info));
  EXPECT_TRUE(os::GetFileInformationByHandleEx(file, os::FileCompressionInfoClass, &compression, sizeof(compression)));
  EXPECT_TRUE(os::DeviceIoControl(file, os::FsctlGetCompression, nullptr, 0, &format, 2, &returned));
  EXPECT_EQ(format, 0u);
  format = os::CompressionFormatDefault;
  EXPECT_FALSE(os::DeviceIoControl(file, os::FsctlSetCompression, &format, 2, nullptr, 0, &returned));
  EXPECT_EQ(os::GetLastError(), os::ErrorAccessDenied);
  os::CloseHandle(file);
  // Without read attributes the times and the identity are out of reach; the size is not.
  ASSERT_EQ(OpenById(volume_, frn_, &file, os::Synchronize), Success);
  EXPECT_TRUE(os::GetFileSizeEx(file, &size));
  EXPECT_FALSE(os::GetFileTime(file, nullptr, &access, nullptr));
  EXPECT_FALSE(os::GetFileInformationByHandle(file, &info));
  os::CloseHandle(file);
  // A compression change needs read and write data access both.
  ASSERT_EQ(OpenById(volume_, frn_, &file, os::GenericWrite), Success);
  EXPECT_FALSE(os::DeviceIoControl(file, os::FsctlSetCompression, &format, 2, nullptr, 0, &returned));
  EXPECT_EQ(os::GetLastError(), os::ErrorAccessDenied);
  os::CloseHandle(file);
  EXPECT_FALSE(sim::VolumeFile(u'C', frn_).compressed());
  EXPECT_EQ(sim::FileOpens().attributesOnly, 2u);
  EXPECT_EQ(sim::FileOpens().beyondAttributes, 1u);
}

}  // namespace
