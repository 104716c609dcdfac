// Runs of the real program that release holds on one shared key at the same moment: the release
// lock makes them take turns, so the count ends exact.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/scenario.h"
#include "support/testsupport.h"

namespace fs = std::filesystem;

namespace {

TEST(Concurrency, SimultaneousReleasesLoseNoDecrement) {
  constexpr int kRuns = 8;
  const fs::path folder = MakeScenarioFolder("rrrace");
  TestIsolateRegistry(folder.string());
  ASSERT_EQ(TestResetRegistry(RegistryTextOfItems("[Software\\Norvo\\Common] \"LockCount\"=\"10\"")), 0);
  const std::string child = (folder / ExecutableName("child")).string();
  fs::copy_file(ProgramPath("e2e_child"), child);

  std::vector<std::thread> runs;
  std::vector<int> exitCodes(kRuns, -1);
  for (int run = 0; run < kRuns; ++run) {
    const std::string watched = (folder / ("app" + std::to_string(run) + ".dat")).string();
    std::ofstream(watched) << "watched";
    // Every child removes its file after the same pause, so the releases meet.
    std::string tail = child;
    tail += " sleep 1500 rm " + watched;
    tail += " -f\"" + watched + "\"";
    runs.emplace_back([&exitCodes, run, tail] {
      std::string output;
      TestRunProgram(ProgramPath("runrelease"), tail, &exitCodes[static_cast<std::size_t>(run)], &output);
    });
  }
  for (std::thread& run : runs) {
    run.join();
  }
  for (const int exitCode : exitCodes) {
    EXPECT_EQ(exitCode, 1);
  }
  EXPECT_EQ(TestExportRegistry(), CanonicalOwnedTrees("[Software\\Norvo\\Common] \"LockCount\"=\"2\""));
  TestResetRegistry("");
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

}  // namespace
