// Every scenario again, with one platform call failing on its n-th use, for n = 1, 2, ... until
// a run no longer reaches the fault, and with each code the call can fail with. Whatever fails,
// a run exits with 1, prints nothing, ends, leaves a store that parses, removes no key that a
// fault-free run keeps, and leaves LockCount as it was or as a fault-free release writes it (a
// shared key whose removal failed keeps the lowered count).
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "app/commandline.h"
#include "e2e/scenario.h"
#include "sharedkey/lockcount.h"
#include "support/testsupport.h"

namespace {

// The probe's two calls are left out: what they return is the probe's answer about the file
// (present or absent), and how a run acts on each answer is what the scenarios themselves show.
const struct {
  const char* call;
  std::vector<int> codes;
} kSweptCalls[] = {
    {"RegOpenKey", {2, 5, 14}},
    {"RegQueryValue", {5, 14, 1018}},
    {"RegSetStringValue", {5, 14, 1018}},
    {"RegEnumKey", {5, 14, 1018}},
    {"RegDeleteKey", {2, 5, 14}},
    {"RegCloseKey", {6}},
    {"CloseFile", {6}},
    {"StartProcess", {2, 5, 193}},
    {"WaitForProcess", {6}},
    {"AcquireReleaseLock", {2, 5, 258}},
    {"FreeReleaseLock", {288}},
};

constexpr int kMostUses = 64;

RegKey TreeOf(const std::string& regText) {
  RegKey root;
  EXPECT_TRUE(ApplyRegistryText(regText, &root)) << "the store no longer parses:\n" << regText;
  return root;
}

void CollectKeyPaths(const RegKey& key, const std::string& path, std::set<std::string>* paths) {
  for (const RegKey& subkey : key.subkeys) {
    std::string subpath = path + "\\" + subkey.name;
    for (char& byte : subpath) {
      byte = static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte - 'A' + 'a' : byte);
    }
    paths->insert(subpath);
    CollectKeyPaths(subkey, subpath, paths);
  }
}

const RegValue* LockCountIn(const RegKey& root) {
  const RegKey* key = &root;
  for (const char* name : {"Software", "Norvo", "Common"}) {
    key = RegFindSubkey(key, name);
    if (key == nullptr) {
      return nullptr;
    }
  }
  return RegFindValue(key, "LockCount");
}

// The LockCount a fault-free release writes over the one that was there.
RegValue ReleasedLockCount(const RegValue* was) {
  std::int32_t count = 0;
  char text[kLockCountTextSize] = "0";
  const bool readable = was != nullptr && was->data.size() <= kPathBufferSize;
  if (readable && ParseLockCount(was->data.data(), was->data.size(), &count) != 0) {
    FormatLockCount(LoweredLockCount(count), text);
  }
  const std::string written(text);
  RegValue released{"LockCount", kRegSz, std::vector<unsigned char>(written.begin(), written.end())};
  released.data.push_back(0);
  return released;
}

std::vector<Scenario> FaultFreeScenarios() {
  std::vector<Scenario> scenarios;
  for (const Scenario& scenario : LoadScenarios()) {
    if (scenario.faults.empty()) {
      scenarios.push_back(scenario);
    }
  }
  return scenarios;
}

class FailureSweep : public testing::TestWithParam<Scenario> {};

TEST_P(FailureSweep, EveryFaultLeavesTheRegistrySound) {
  const Scenario& scenario = GetParam();
  const ScenarioRun clean = RunScenario(scenario, "");
  ASSERT_EQ(clean.started, 0);
  const RegKey before = TreeOf(CanonicalOwnedTrees(scenario.before + " " + kUnrelatedKeys));
  // The keys there before the run that a fault-free run keeps; a key the child makes is not
  // there when a fault keeps the child from running.
  std::set<std::string> existed;
  std::set<std::string> cleanLeft;
  CollectKeyPaths(before, "", &existed);
  CollectKeyPaths(TreeOf(clean.registry), "", &cleanLeft);
  std::set<std::string> kept;
  for (const std::string& path : existed) {
    if (cleanLeft.count(path) != 0) {
      kept.insert(path);
    }
  }

  for (const auto& swept : kSweptCalls) {
    for (const int code : swept.codes) {
      for (int use = 1; use <= kMostUses; ++use) {
        const std::string faults = std::string(swept.call) + ":" + std::to_string(use) + ":" + std::to_string(code);
        ScenarioRun run = RunScenario(scenario, faults);
        if (!run.faultReached && run.childLog.empty() && !clean.childLog.empty()) {
          // Under Wine a run now and then left no trace (about once in 1,500, the fault not
          // reached): Wine's process start failing with ERROR_INTERNAL_ERROR, which the support
          // now retries for the harness's own start. Should a child's start fail so, the run is
          // made once more, and said so.
          std::printf("%s: the child left no trace, run once more\n", faults.c_str());
          run = RunScenario(scenario, faults);
        }
        ASSERT_EQ(run.started, 0) << faults << " did not end";
        EXPECT_EQ(run.exitCode, 1) << faults;
        EXPECT_EQ(run.output, "") << faults;
        if (!run.faultReached) {
          EXPECT_EQ(run.registry, clean.registry) << faults << " was never reached; the child noted:\n" << run.childLog;
          EXPECT_EQ(run.present, clean.present) << faults << " was never reached; the child noted:\n" << run.childLog;
          break;
        }
        const RegKey after = TreeOf(run.registry);
        std::set<std::string> left;
        CollectKeyPaths(after, "", &left);
        for (const std::string& path : kept) {
          EXPECT_EQ(left.count(path), 1U) << faults << " removed " << path;
        }
        const RegValue* count = LockCountIn(after);
        const RegValue* was = LockCountIn(before);
        if (count != nullptr && (was == nullptr || !(*count == *was))) {
          EXPECT_TRUE(*count == ReleasedLockCount(was))
              << faults << " left LockCount neither as it was nor as a release writes it:\n"
              << run.registry;
        }
        ASSERT_LT(use, kMostUses) << faults << ": the call is still reached after " << kMostUses << " uses";
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, FailureSweep, testing::ValuesIn(FaultFreeScenarios()), ScenarioTestName);

}  // namespace
