#include "common/worker_record.h"

// The hand-over is a sequence lock over nameSequence: the writer makes the sequence odd, rewrites
// the name and makes it even again; a reader copies the name between two reads of the sequence
// and tries again, a few times at most, when they differ or were odd. The name's units are
// themselves read and written atomically (relaxed order is not enough on its own, so the unit
// stores are releases and the unit loads acquires): a reader that sees any unit of a new name
// then also sees the odd sequence, and no access is a data race.

namespace {

inline char16_t LoadUnit(const char16_t* unit) { return __atomic_load_n(unit, __ATOMIC_ACQUIRE); }
inline void StoreUnit(char16_t* unit, char16_t value) { __atomic_store_n(unit, value, __ATOMIC_RELEASE); }

}  // namespace

void SetCurrentName(WorkerRecord& record, const char16_t* name) {
  std::uint32_t sequence = record.nameSequence.load(std::memory_order_relaxed);
  record.nameSequence.store(sequence + 1, std::memory_order_relaxed);

  int length = 0;
  if (name != nullptr) {
    while (length < CurrentNameCapacity - 1 && name[length] != 0) {
      StoreUnit(&record.currentName[length], name[length]);
      ++length;
    }
  }
  // Clear what is left of the previous name. Everything past a name's terminator is always zero,
  // so the clearing stops at the first unit that already is.
  for (int i = length; i < CurrentNameCapacity && LoadUnit(&record.currentName[i]) != 0; ++i) {
    StoreUnit(&record.currentName[i], 0);
  }

  record.nameSequence.store(sequence + 2, std::memory_order_release);
}

bool ReadCurrentName(WorkerRecord& record, char16_t* name, int capacity) {
  if (capacity <= 0) return false;
  int limit = capacity < CurrentNameCapacity ? capacity : CurrentNameCapacity;
  // The page reads on its timer: rather than wait for the worker to finish a name, it keeps
  // showing the one it has.
  constexpr int Attempts = 4;
  for (int attempt = 0; attempt < Attempts; ++attempt) {
    std::uint32_t before = record.nameSequence.load(std::memory_order_acquire);
    if (before & 1) continue;   // a name is being written
    int length = 0;
    while (length < limit - 1) {
      char16_t unit = LoadUnit(&record.currentName[length]);
      if (unit == 0) break;
      name[length++] = unit;
    }
    name[length] = 0;
    if (record.nameSequence.load(std::memory_order_relaxed) == before) return true;
  }
  name[0] = 0;
  return false;
}
