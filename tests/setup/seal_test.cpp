// The setup's seal: SHA-256 itself, and the sealing tool and the setup agreeing on what the digest
// covers, so that a sealed program verifies, one changed byte of its code does not, and what code
// signing rewrites later does not matter.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Ombrix_Setup/program_seal.h"

namespace {

std::string Hex(const std::uint8_t (&digest)[32]) {
  std::string out;
  char two[3];
  for (std::uint8_t b : digest) {
    std::snprintf(two, sizeof(two), "%02x", b);
    out += two;
  }
  return out;
}

std::string Sha256Of(const std::string& text, std::size_t piece) {
  Sha256 hash;
  for (std::size_t at = 0; at < text.size(); at += piece) hash.Update(text.data() + at, std::min(piece, text.size() - at));
  std::uint8_t digest[32];
  hash.Finish(digest);
  return Hex(digest);
}

TEST(SealTest, Sha256GivesThePublishedDigests) {
  // The standard's examples: one block, two blocks, and a million bytes fed in uneven pieces.
  EXPECT_EQ(Sha256Of("", 1), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Of("abc", 1), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 7),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Sha256Of(std::string(1'000'000, 'a'), 4093),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// A PE32 file as the linker leaves it: headers, code, and the setup's unsealed seal block.
std::vector<std::uint8_t> UnsealedProgram() {
  std::vector<std::uint8_t> file(4096, 0x90);
  std::memcpy(file.data(), "MZ", 2);
  const std::uint8_t peAt[4] = {0x80, 0, 0, 0};
  std::memcpy(file.data() + 0x3C, peAt, 4);
  std::memcpy(file.data() + 0x80, "PE\0\0", 4);
  file[0x98] = 0x0B, file[0x99] = 0x01;   // optional header magic 0x10B
  std::memset(file.data() + 0x98 + 64, 0, 4);
  std::memset(file.data() + 0x800, 0, sizeof(ProgramSeal));
  std::memcpy(file.data() + 0x800, SetupSeal.tag, sizeof(SetupSeal.tag));
  return file;
}

std::vector<std::uint8_t> SealedByTool(const std::vector<std::uint8_t>& file) {
  const std::string path = ::testing::TempDir() + "sealed.exe";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), file.size());
  EXPECT_EQ(std::system(("python3 " OMBRIX_SEAL_TOOL " " + path).c_str()), 0);
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool Verifies(const std::vector<std::uint8_t>& file, std::size_t piece) {
  ProgramSeal seal;
  std::memcpy(&seal, file.data() + 0x800, sizeof(seal));
  SealDigest digest(seal);
  for (std::size_t at = 0; at < file.size(); at += piece) digest.Update(file.data() + at, std::min(piece, file.size() - at));
  return digest.Matches();
}

TEST(SealTest, ToolAndSetupAgreeOnWhatTheDigestCovers) {
  std::vector<std::uint8_t> unsealed = UnsealedProgram();
  EXPECT_FALSE(Verifies(unsealed, 4096));   // no seal written: nothing verifies
  std::vector<std::uint8_t> sealed = SealedByTool(unsealed);
  ASSERT_EQ(sealed.size(), unsealed.size());
  EXPECT_TRUE(Verifies(sealed, 4096));
  EXPECT_TRUE(Verifies(sealed, 333));

  // Signing: a checksum, a certificate table entry and certificates appended.
  std::vector<std::uint8_t> signed_ = sealed;
  signed_[0x98 + 64] = 0x5A;
  signed_[0x98 + 96 + 32] = 0x00, signed_[0x98 + 96 + 33] = 0x10, signed_[0x98 + 96 + 36] = 0x40;
  signed_.insert(signed_.end(), 64, 0xCE);
  EXPECT_TRUE(Verifies(signed_, 4096));

  // Any other byte, the end cut off, or a seal claiming more than the file holds.
  for (std::size_t at : {std::size_t(0x3C), std::size_t(0x98 + 68), std::size_t(0x7FF), std::size_t(0x800 + 76),
                         std::size_t(4095)}) {
    std::vector<std::uint8_t> changed = sealed;
    changed[at] ^= 1;
    EXPECT_FALSE(Verifies(changed, 4096)) << "byte " << at;
  }
  EXPECT_FALSE(Verifies(std::vector<std::uint8_t>(sealed.begin(), sealed.end() - 1), 4096));
}

}  // namespace
