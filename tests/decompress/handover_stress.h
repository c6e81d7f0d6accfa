// A writer rewriting the current name as fast as it can while a reader reads it, each name one
// repeated letter whose count the letter fixes, so any mix of two names shows. Returns the number
// of torn names the reader saw. Shared by the host test and the ThreadSanitizer program.
#pragma once

#include <cstdint>

std::uint64_t RunHandoverStress(std::uint64_t writes);
