// Prepares and times what the benchmark compares, with the tests' own registry support:
//   bench_setup seed KEYS     makes the shared key hold LockCount "1" and KEYS subkeys in three
//                             levels, one value each, with nothing else under the maker key
//   bench_setup overhead RUNS times RUNS runs of the trivial child alone and as many full runs of
//                             runrelease with it, taken in turns, and prints their medians
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "e2e/scenario.h"
#include "sharedkey/sharedkey.h"
#include "support/testsupport.h"

namespace fs = std::filesystem;

namespace {

struct TreeShape {
  long first = 0;
  long second = 0;
  long third = 0;
};

// Ten keys at the first level; below each, the rest split as evenly between a second and a third
// level as the count allows. KEYS is 0 or a multiple of ten.
bool ShapeOf(long keys, TreeShape* shape) {
  constexpr long kFirstLevelKeys = 10;
  *shape = TreeShape{};
  if (keys == 0) {
    return true;
  }
  if (keys < kFirstLevelKeys || keys % kFirstLevelKeys != 0) {
    return false;
  }
  shape->first = kFirstLevelKeys;
  const long belowEach = keys / kFirstLevelKeys - 1;
  for (long divisor = 1; divisor * divisor <= belowEach; ++divisor) {
    if (belowEach % divisor == 0) {
      shape->second = divisor;
    }
  }
  shape->third = shape->second == 0 ? 0 : belowEach / shape->second - 1;
  return true;
}

std::string SharedKeyText(const TreeShape& shape) {
  const std::string shared = std::string("[HKEY_LOCAL_MACHINE\\") + kSharedKeyPath;
  std::string text = "REGEDIT4\n\n" + shared + "]\n\"LockCount\"=\"1\"\n";
  for (long part = 0; part < shape.first; ++part) {
    const std::string partKey = shared + "\\Part" + std::to_string(part);
    text += partKey + "]\n\"Data\"=\"x\"\n";
    for (long piece = 0; piece < shape.second; ++piece) {
      const std::string pieceKey = partKey + "\\Piece" + std::to_string(piece);
      text += pieceKey + "]\n\"Data\"=\"x\"\n";
      for (long item = 0; item < shape.third; ++item) {
        text += pieceKey + "\\Item" + std::to_string(item) + "]\n\"Data\"=\"x\"\n";
      }
    }
  }
  return text;
}

int Seed(const char* keysText) {
  char* end = nullptr;
  const long keys = std::strtol(keysText, &end, 10);
  TreeShape shape;
  if (*end != '\0' || !ShapeOf(keys, &shape)) {
    (void)std::fprintf(stderr, "KEYS must be 0 or a multiple of ten: %s\n", keysText);
    return 2;
  }
  const int seeded = TestResetRegistry(SharedKeyText(shape));
  if (seeded != 0) {
    (void)std::fprintf(stderr, "cannot seed the registry: error %d\n", seeded);
    return 1;
  }
  (void)std::printf("seeded %ld subkeys: %ld x (1 + %ld x (1 + %ld))\n", keys, shape.first, shape.second, shape.third);
  return 0;
}

double MedianMilliseconds(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// One timed start of program with the exact command tail; negative when it did not run.
double TimedRun(const std::string& program, const std::string& tail) {
  const auto start = std::chrono::steady_clock::now();
  int exitCode = 0;
  std::string output;
  if (TestRunProgram(program, tail, &exitCode, &output) != 0) {
    return -1;
  }
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The watched file stays, so no hold is released and every run finds the same registry: the
// overhead is the probes, the lock and the maker-key test around a child that does nothing.
int Overhead(const char* runsText) {
  const long runs = std::strtol(runsText, nullptr, 10);
  if (runs < 1) {
    (void)std::fprintf(stderr, "RUNS must be a positive number: %s\n", runsText);
    return 2;
  }
  const fs::path folder = MakeScenarioFolder("rrbench");
  const fs::path child = folder / ExecutableName("child");
  fs::copy_file(ProgramPath("trivial_child"), child);
  const fs::path watched = folder / "app.dat";
  std::ofstream(watched) << "watched";
  const std::string holding =
      std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\") + kSharedKeyPath + "]\n\"LockCount\"=\"2\"\n";
  if (folder.string().find('-') != std::string::npos || TestResetRegistry(holding) != 0) {
    (void)std::fprintf(stderr, "cannot prepare %s and its registry\n", folder.string().c_str());
    return 1;
  }
  const std::string watchSwitch = "-f\"" + watched.string() + "\"";
  const std::string runrelease = ProgramPath("runrelease");
  std::vector<double> alone;
  std::vector<double> full;
  for (long run = 0; run < runs; ++run) {
    alone.push_back(TimedRun(child.string(), watchSwitch));
    full.push_back(TimedRun(runrelease, "\"" + child.string() + "\" " + watchSwitch));
  }
  const std::string after = TestExportRegistry();
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  if (std::min(*std::min_element(alone.begin(), alone.end()), *std::min_element(full.begin(), full.end())) < 0 ||
      after.find("\"LockCount\"=\"2\"") == std::string::npos) {
    (void)std::fprintf(stderr, "a run failed or changed the registry:\n%s\n", after.c_str());
    return 1;
  }
  (void)std::printf("child_ms=%.3f full_ms=%.3f runs=%ld\n", MedianMilliseconds(alone), MedianMilliseconds(full), runs);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  SetProgramFolder(argv[0]);
  const std::string mode = argc == 3 ? argv[1] : "";
  if (mode == "seed") {
    return Seed(argv[2]);
  }
  if (mode == "overhead") {
    return Overhead(argv[2]);
  }
  (void)std::fprintf(stderr, "usage: bench_setup seed KEYS | overhead RUNS\n");
  return 2;
}
