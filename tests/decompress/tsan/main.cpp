// handover_stress_tsan [writes]: exit 0 when no torn name was seen (ThreadSanitizer reports a
// data race with exit code 66).
#include <cstdio>
#include <cstdlib>

#include "tests/decompress/handover_stress.h"

int main(int argc, char** argv) {
  std::uint64_t writes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200000;
  std::uint64_t torn = RunHandoverStress(writes);
  std::printf("%llu writes, %llu torn names seen\n", static_cast<unsigned long long>(writes),
              static_cast<unsigned long long>(torn));
  return torn == 0 ? 0 : 1;
}
