// Times one removal of the shared key in a process that does nothing else, on the shipped
// program's own code and platform:
//   bench_release program   a release as a run makes it: LockCount lowered from 1, then the
//                           shared key removed with everything under it
//   bench_release system    the same tree removed by the registry's own tree removal
// Prints the seconds taken and the process's peak memory before and after; fails unless the shared
// key is gone.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "bench/bench.h"
#include "platform/platform.h"
#include "sharedkey/sharedkey.h"

int main(int argc, char** argv) {
  const bool program = argc == 2 && std::strcmp(argv[1], "program") == 0;
  if (!program && !(argc == 2 && std::strcmp(argv[1], "system") == 0)) {
    (void)std::fprintf(stderr, "usage: bench_release program|system\n");
    return 2;
  }
  const std::uint64_t peakBefore = BenchPeakMemoryBytes();
  const auto start = std::chrono::steady_clock::now();
  int released = kOsSuccess;
  if (program) {
    ReleaseHold();
  } else {
    released = BenchRemoveTreeWithSystem(kSharedKeyPath);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::uint64_t peakAfter = BenchPeakMemoryBytes();

  OsKey left = nullptr;
  const int opened = OsRegOpenKey(OsLocalMachine(), kSharedKeyPath, &left);
  if (released != kOsSuccess || opened != kOsFileNotFound) {
    (void)std::fprintf(stderr, "the shared key was not removed: %d, then opening it gave %d\n", released, opened);
    return 1;
  }
  (void)std::printf("seconds=%.6f peak_before=%llu peak_after=%llu\n", seconds,
                    static_cast<unsigned long long>(peakBefore), static_cast<unsigned long long>(peakAfter));
  return 0;
}
