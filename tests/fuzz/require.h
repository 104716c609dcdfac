#pragma once

#include <cstdio>
#include <cstdlib>

// Stops the run on a broken expectation; abort() makes libFuzzer keep the input as a crash.
inline void Require(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "broken expectation: %s\n", what);
    std::abort();
  }
}
