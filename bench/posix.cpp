#include <sys/resource.h>

#include "bench/bench.h"

std::uint64_t BenchPeakMemoryBytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-union-access): the C library declares it in a union.
  return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024U;
}

// The file store has only the key-by-key removal the program itself makes.
int BenchRemoveTreeWithSystem(const char* /*path*/) { return kBenchNoSystemTreeRemoval; }
