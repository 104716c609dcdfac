// clang-format off
#include <windows.h>
#include <psapi.h>
// clang-format on

#include "bench/bench.h"

std::uint64_t BenchPeakMemoryBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
    return 0;
  }
  return counters.PeakWorkingSetSize;
}

int BenchRemoveTreeWithSystem(const char* path) { return static_cast<int>(RegDeleteTreeA(HKEY_LOCAL_MACHINE, path)); }
