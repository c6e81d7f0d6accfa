#include "tests/decompress/handover_stress.h"

#include <atomic>
#include <thread>

#include "common/worker_record.h"

namespace {

// Letter i of the alphabet is written (i * 37 % 700 + 1) times: long and short names alternate.
int LengthOf(char16_t letter) { return (letter - u'a') * 37 % 700 + 1; }

bool Whole(const char16_t* name) {
  if (name[0] == 0) return true;   // nothing written yet
  char16_t letter = name[0];
  if (letter < u'a' || letter > u'z') return false;
  int n = 0;
  while (name[n] == letter) ++n;
  return name[n] == 0 && n == LengthOf(letter);
}

}  // namespace

std::uint64_t RunHandoverStress(std::uint64_t writes) {
  static WorkerRecord record{};
  record.nameSequence = 0;
  for (auto& unit : record.currentName) unit = 0;
  std::atomic<bool> writing{true};
  std::atomic<std::uint64_t> torn{0};
  std::uint64_t reads = 0;

  std::thread reader([&] {
    char16_t name[CurrentNameCapacity];
    while (writing.load(std::memory_order_relaxed)) {
      if (!ReadCurrentName(record, name, CurrentNameCapacity)) {
        if (name[0] != 0) torn.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
      if (!Whole(name)) torn.fetch_add(1, std::memory_order_relaxed);
      ++reads;
    }
  });
  char16_t name[CurrentNameCapacity];
  for (std::uint64_t i = 0; i < writes; ++i) {
    char16_t letter = char16_t(u'a' + i % 26);
    int length = LengthOf(letter);
    for (int k = 0; k < length; ++k) name[k] = letter;
    name[length] = 0;
    SetCurrentName(record, name);
  }
  writing = false;
  reader.join();
  return torn.load();
}
