// The seal the build writes into the setup program (tools/seal.py): a SHA-256 digest of the
// program's file as linked, by which the running setup knows that the file it copies into the
// install directory is the one it was started from, not one put at its name afterwards.
#pragma once

#include <cstddef>
#include <cstdint>

class Sha256 {
 public:
  Sha256();
  void Update(const void* data, std::size_t size);
  void Finish(std::uint8_t (&digest)[32]);

 private:
  void Block(const std::uint8_t* block);
  std::uint32_t state_[8];
  std::uint8_t pending_[64];
  std::size_t pendingSize_ = 0;
  std::uint64_t total_ = 0;
};

// The digest covers the first coveredSize bytes of the file, with the skipped ranges read as
// zeros: the seal itself, and the two fields code signing rewrites later (the PE checksum and
// the certificate table's directory entry), so that a signed program keeps its seal. Whatever
// signing appends lies beyond coveredSize. An unsealed program has coveredSize 0.
constexpr int SealSkips = 3;
struct ProgramSeal {
  char tag[16];   // found by the sealing tool; the one place these bytes occur in the file
  std::uint32_t coveredSize;
  std::uint32_t skipOffset[SealSkips];
  std::uint32_t skipSize[SealSkips];
  std::uint8_t digest[32];
};
static_assert(sizeof(ProgramSeal) == 76, "the sealing tool writes 76 bytes");

// The running setup's own seal, as the loader mapped it from the file.
extern ProgramSeal SetupSeal;

// The digest of a file's bytes under a seal's ranges, fed in order from offset 0.
class SealDigest {
 public:
  explicit SealDigest(const ProgramSeal& seal) : seal_(seal) {}
  // Takes bytes at the next offsets; those beyond coveredSize are ignored.
  void Update(const std::uint8_t* data, std::size_t size);
  // True when exactly coveredSize bytes came and their digest is the seal's.
  bool Matches();

 private:
  const ProgramSeal& seal_;
  Sha256 hash_;
  std::uint64_t offset_ = 0;
};
