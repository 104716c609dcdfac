#pragma once

#include <cstdint>

// What the benchmark needs from the system beyond the platform contract, one definition per
// system.

// The most memory this process has held at once so far, in bytes: its peak resident set on
// Linux, its peak working set on Windows.
std::uint64_t BenchPeakMemoryBytes();

// Removes the key at path under HKEY_LOCAL_MACHINE with the registry's own tree removal.
// Returns 0, a Windows error code, or kBenchNoSystemTreeRemoval on a system that has none.
int BenchRemoveTreeWithSystem(const char* path);

constexpr int kBenchNoSystemTreeRemoval = 1;
