// Files: plain files by path, file records opened by reference number, share modes between
// handles and other programs' opens, and the per-file queries.
#include "tests/sim/sim_test_util.h"

namespace {

using namespace simtest;

const char16_t* const Ini = u"C:\\Program Files\\Ombrix\\Ombrix.ini";

class PlainFiles : public SimTest {};

TEST_F(PlainFiles, WrittenBytesCanBeReadBackByTheTestAndTheProgram) {
  os::Handle out = os::CreateFileW(Ini, os::GenericWrite, 0, os::CreateAlways, os::FileAttributeNormal);
  ASSERT_NE(out, os::InvalidHandleValue);
  EXPECT_EQ(os::GetLastError(), 0u);
  const std::uint8_t data[5] = {1, 2, 3, 4, 5};
  std::uint32_t written = 0;
  ASSERT_TRUE(os::WriteFile(out, data, 5, &written));
  EXPECT_EQ(written, 5u);
  std::uint8_t none[1];
  std::uint32_t read = 9;
  EXPECT_FALSE(os::ReadFile(out, none, 1, &read)) << "opened for writing only";
  EXPECT_EQ(os::GetLastError(), os::ErrorAccessDenied);
  ASSERT_TRUE(os::CloseHandle(out));
  EXPECT_EQ(sim::FileBytes(u"c:\\program files\\ombrix\\OMBRIX.INI"), (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));

  os::Handle in = os::CreateFileW(Ini, os::GenericRead, 0, os::OpenExisting, os::FileAttributeNormal);
  ASSERT_NE(in, os::InvalidHandleValue);
  std::uint8_t buffer[8] = {};
  ASSERT_TRUE(os::ReadFile(in, buffer, 8, &read));
  EXPECT_EQ(read, 5u);
  EXPECT_EQ(buffer[4], 5);
  ASSERT_TRUE(os::ReadFile(in, buffer, 8, &read));
  EXPECT_EQ(read, 0u) << "end of file";
  std::int64_t size = 0;
  EXPECT_TRUE(os::GetFileSizeEx(in, &size));
  EXPECT_EQ(size, 5);
  os::CloseHandle(in);

  // CREATE_ALWAYS over an existing file truncates it and says so.
  out = os::CreateFileW(Ini, os::GenericWrite, 0, os::CreateAlways, os::FileAttributeNormal);
  EXPECT_EQ(os::GetLastError(), 183u);
  os::CloseHandle(out);
  EXPECT_TRUE(sim::FileBytes(Ini)->empty());
}

TEST_F(PlainFiles, OpenWithoutSharingFailsWhileAnotherHandleIsOpen) {
  sim::PutFile(Ini, {9});
  os::Handle reader = os::CreateFileW(Ini, os::GenericRead, 0, os::OpenExisting, 0);
  ASSERT_NE(reader, os::InvalidHandleValue);
  EXPECT_EQ(os::CreateFileW(Ini, os::GenericWrite, 0, os::CreateAlways, 0), os::InvalidHandleValue);
  EXPECT_EQ(os::GetLastError(), os::ErrorSharingViolation);
  EXPECT_EQ(sim::FileBytes(Ini), (std::vector<std::uint8_t>{9})) << "a refused CREATE_ALWAYS truncates nothing";
  os::CloseHandle(reader);

  // A file held by another program that shares reading only.
  sim::HoldId hold = sim::HoldOpen(Ini, os::GenericRead, os::FileShareRead);
  ASSERT_NE(hold, 0u);
  os::Handle shared = os::CreateFileW(Ini, os::GenericRead, os::FileShareRead, os::OpenExisting, 0);
  EXPECT_NE(shared, os::InvalidHandleValue);
  os::CloseHandle(shared);
  EXPECT_EQ(os::CreateFileW(Ini, os::GenericRead, 0, os::OpenExisting, 0), os::InvalidHandleValue)
      << "the holder reads, so the new open must share reading";
  EXPECT_EQ(os::CreateFileW(Ini, os::GenericWrite, os::FileShareRead | os::FileShareWrite, os::OpenExisting, 0),
            os::InvalidHandleValue)
      << "the holder does not share writing";
  sim::ReleaseHold(hold);
  os::Handle writer = os::CreateFileW(Ini, os::GenericWrite, 0, os::CreateAlways, 0);
  EXPECT_NE(writer, os::InvalidHandleValue);
  EXPECT_EQ(sim::HoldOpen(Ini, os::GenericRead, os::FileShareRead | os::FileShareWrite), 0u)
      << "the program's open does not share at all";
  os::CloseHandle(writer);
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST_F(PlainFiles, DispositionsBehaveAsDocumented) {
  EXPECT_EQ(os::CreateFileW(Ini, os::GenericRead, 0, os::OpenExisting, 0), os::InvalidHandleValue);
  EXPECT_EQ(os::GetLastError(), os::ErrorFileNotFound);
  EXPECT_EQ(os::CreateFileW(u"relative.txt", os::GenericRead, 0, os::CreateAlways, 0), os::InvalidHandleValue);
  sim::PutFile(Ini, {1}, os::FileAttributeReadonly);
  EXPECT_EQ(os::CreateFileW(Ini, os::GenericWrite, 0, os::CreateAlways, 0), os::InvalidHandleValue);
  EXPECT_EQ(os::GetLastError(), os::ErrorAccessDenied);
  os::Handle ro = os::CreateFileW(u"\\\\?\\C:\\Program Files\\Ombrix\\Ombrix.ini", os::GenericRead, 0,
                                  os::OpenExisting, 0);
  ASSERT_NE(ro, os::InvalidHandleValue);
  char16_t path[64];
  EXPECT_EQ(os::GetFinalPathNameByHandleW(ro, path, 64, 0), 38u);
  EXPECT_EQ(std::u16string(path), u"\\\\?\\C:\\Program Files\\Ombrix\\Ombrix.ini");
  os::CloseHandle(ro);
}

class VolumeFiles : public VolumeTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    sim::AddDrive(u'C');
    dir_ = sim::AddDirectory(u'C', u"Users");
    sub_ = sim::AddDirectory(u'C', u"Ann", dir_);
    sim::FileSpec spec = File(u"notes.txt", 123456);
    spec.parent = sub_;
    spec.creation = 1000;
    spec.lastAccess = 2000;
    spec.lastWrite = 3000;
    file_ = sim::AddFile(u'C', spec);
    volume_ = OpenVolume();
    ASSERT_NE(volume_, os::InvalidHandleValue);
  }
  std::uint64_t dir_ = 0, sub_ = 0, file_ = 0;
};

TEST_F(VolumeFiles, OpenByIdGivesSizeTimesAndPath) {
  os::Handle file = os::NullHandle;
  ASSERT_EQ(OpenById(volume_, file_, &file), os::StatusSuccess);
  std::int64_t size = 0;
  ASSERT_TRUE(os::GetFileSizeEx(file, &size));
  EXPECT_EQ(size, 123456);
  os::FileTime access = 0, creation = 0, write = 0;
  ASSERT_TRUE(os::GetFileTime(file, nullptr, &access, nullptr));
  EXPECT_EQ(access, 2000u);
  ASSERT_TRUE(os::GetFileTime(file, &creation, nullptr, &write));
  EXPECT_EQ(creation, 1000u);
  EXPECT_EQ(write, 3000u);

  const std::u16string expected = u"\\\\?\\C:\\Users\\Ann\\notes.txt";
  std::vector<char16_t> path(4096, u'#');
  ASSERT_EQ(os::GetFinalPathNameByHandleW(file, path.data(), 4096, 0), expected.size());
  EXPECT_EQ(std::u16string(path.data()), expected);
  // Too small: the size needed, NUL included, and nothing written.
  char16_t small[10] = {u'#'};
  EXPECT_EQ(os::GetFinalPathNameByHandleW(file, small, 10, 0), expected.size() + 1);
  EXPECT_EQ(small[0], u'#');
  EXPECT_EQ(os::GetFinalPathNameByHandleW(file, path.data(), static_cast<std::uint32_t>(expected.size()), 0),
            expected.size() + 1);
  ASSERT_EQ(os::GetFinalPathNameByHandleW(file, path.data(), 4096, 2), 43u);   // VOLUME_NAME_NT
  EXPECT_EQ(std::u16string(path.data()), u"\\Device\\HarddiskVolume2\\Users\\Ann\\notes.txt");
  ASSERT_EQ(os::GetFinalPathNameByHandleW(file, path.data(), 4096, 4), 20u);   // VOLUME_NAME_NONE
  EXPECT_EQ(std::u16string(path.data()), u"\\Users\\Ann\\notes.txt");
  os::CloseHandle(file);

  // The path leads back to the record, in both accepted forms and any case.
  EXPECT_EQ(sim::VolumeFileByPath(u"c:\\users\\ANN\\Notes.TXT").frn, file_);
  std::uint32_t high = 7;
  EXPECT_EQ(os::GetCompressedFileSizeW(expected.c_str(), &high), 123456u);
  EXPECT_EQ(high, 0u);
  EXPECT_EQ(os::GetCompressedFileSizeW(u"C:\\Users\\Ann\\notes.txt", nullptr), 123456u);
  EXPECT_EQ(os::GetFileAttributesW(u"C:\\Users\\Ann\\notes.txt"), 0x20u);
  EXPECT_EQ(os::GetCompressedFileSizeW(u"C:\\Users\\Bob\\notes.txt", &high), 0xFFFFFFFFu);
  EXPECT_EQ(os::GetLastError(), os::ErrorFileNotFound);
}

TEST_F(VolumeFiles, OpenByIdFailuresReturnTheirStatusAndLeaveTheHandle) {
  os::Handle file = 0x7777;
  EXPECT_EQ(OpenById(volume_, sub_, &file), static_cast<std::int32_t>(0xC00000BA)) << "a directory";
  EXPECT_EQ(OpenById(volume_, 0x0001000000123456, &file), static_cast<std::int32_t>(0xC000000D)) << "unknown";
  EXPECT_EQ(OpenById(volume_, file_ + (1ull << 48), &file), static_cast<std::int32_t>(0xC000000D))
      << "stale sequence number";
  EXPECT_EQ(OpenById(volume_, 0, &file), static_cast<std::int32_t>(0xC000000D)) << "a metafile";
  EXPECT_EQ(OpenById(0x1234, file_, &file), static_cast<std::int32_t>(0xC0000008)) << "not a volume handle";
  EXPECT_EQ(file, 0x7777u);

  sim::RemoveVolumeFile(u'C', file_);
  EXPECT_EQ(OpenById(volume_, file_, &file), static_cast<std::int32_t>(0xC000000D));
  EXPECT_FALSE(sim::VolumeFileByPath(u"C:\\Users\\Ann\\notes.txt").exists);
}

TEST_F(VolumeFiles, ShareModesDecideWhoMayOpen) {
  // Held by another program without write sharing: opening for write fails.
  sim::HoldId hold = sim::HoldOpen(u'C', file_, os::GenericRead, os::FileShareRead);
  ASSERT_NE(hold, 0u);
  os::Handle file = os::NullHandle;
  EXPECT_EQ(OpenById(volume_, file_, &file), static_cast<std::int32_t>(0xC0000043));
  EXPECT_EQ(file, os::NullHandle);
  EXPECT_EQ(OpenById(volume_, file_, &file, os::GenericRead, os::FileShareRead), os::StatusSuccess)
      << "reading is shared";
  os::CloseHandle(file);
  sim::ReleaseHold(hold);

  // Our own open without sharing keeps others out until closed.
  ASSERT_EQ(OpenById(volume_, file_, &file, os::FileGenericReadWrite, 0), os::StatusSuccess);
  os::Handle second = os::NullHandle;
  EXPECT_EQ(OpenById(volume_, file_, &second), static_cast<std::int32_t>(0xC0000043));
  EXPECT_EQ(sim::HoldOpen(u'C', file_, os::GenericRead, 3), 0u);
  os::CloseHandle(file);
  EXPECT_EQ(OpenById(volume_, file_, &second), os::StatusSuccess);
  os::CloseHandle(second);
}

TEST_F(VolumeFiles, VolumeDeviceHonoursShareModes) {
  os::Handle exclusive = os::CreateFileW(u"\\\\.\\C:", os::GenericRead, 0, os::OpenExisting, 0);
  EXPECT_EQ(exclusive, os::InvalidHandleValue) << "our first volume handle reads";
  EXPECT_EQ(os::GetLastError(), os::ErrorSharingViolation);
  os::CloseHandle(volume_);
  volume_ = OpenVolume();
  sim::HoldId hold = sim::HoldOpen(u"\\\\.\\C:", os::GenericRead, os::FileShareRead);
  ASSERT_EQ(hold, 0u) << "our volume handle writes; a holder that does not share writing cannot open";
  os::CloseHandle(volume_);
  hold = sim::HoldOpen(u"\\\\.\\C:", os::GenericRead, os::FileShareRead);
  ASSERT_NE(hold, 0u);
  EXPECT_EQ(OpenVolume(), os::InvalidHandleValue);
  sim::ReleaseHold(hold);
  volume_ = OpenVolume();
  EXPECT_NE(volume_, os::InvalidHandleValue);
}

TEST_F(VolumeFiles, HandlesAreCheckedByKind) {
  std::int64_t size = 0;
  EXPECT_FALSE(os::GetFileSizeEx(0x4444, &size));
  EXPECT_EQ(os::GetLastError(), os::ErrorInvalidHandle);
  EXPECT_FALSE(os::GetFileSizeEx(volume_, &size));
  std::uint16_t format = 0;
  std::uint32_t returned = 0;
  EXPECT_FALSE(os::DeviceIoControl(volume_, os::FsctlGetCompression, nullptr, 0, &format, 2, &returned));
  EXPECT_FALSE(os::CloseHandle(0x4444));
  EXPECT_EQ(os::GetLastError(), os::ErrorInvalidHandle);
  EXPECT_TRUE(os::CloseHandle(os::InvalidHandleValue)) << "the current-process pseudo handle";
}

TEST_F(VolumeFiles, AddFileKeepsNamesUniquePerDirectory) {
  EXPECT_EQ(sim::AddFile(u'C', File(u"Users", 1)), 0u) << "taken by the directory";
  EXPECT_EQ(sim::AddFile(u'C', File(u"USERS", 1)), 0u) << "names ignore case";
  sim::FileSpec inFile = File(u"x", 1);
  inFile.parent = file_;
  EXPECT_EQ(sim::AddFile(u'C', inFile), 0u) << "a file is no directory";
  EXPECT_NE(sim::AddFile(u'C', File(u"notes.txt", 1)), 0u) << "same name, other directory";
}

}  // namespace
