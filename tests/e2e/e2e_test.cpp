// The real program, run with real children, files and registry, scenario by scenario from the
// table that every build shares.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/scenario.h"
#include "support/testsupport.h"

namespace fs = std::filesystem;

namespace {

const char* const kUnrelatedKeys = "[Software\\RunReleaseTest\\Unrelated] \"Keep\"=\"yes\" \"Count\"=dword:00000001";

std::string ExpectedRegistry(const std::string& items) {
  const std::string regText = RegistryTextOfItems(items + " " + kUnrelatedKeys);
  RegKey root;
  EXPECT_TRUE(ApplyRegistryText(regText, &root)) << regText;
  return FormatRegistryText(OwnedTrees(root));
}

// Replaces {child}, {dashed-child}, {missing} and {file:NAME}.
std::string ExpandTail(std::string tail, const fs::path& folder) {
  const auto replaceAll = [&tail](const std::string& from, const std::string& to) {
    for (std::size_t at = tail.find(from); at != std::string::npos; at = tail.find(from, at + to.size())) {
      tail.replace(at, from.size(), to);
    }
  };
  replaceAll("{child}", (folder / ExecutableName("child")).string());
  replaceAll("{dashed-child}", (folder / "my-tools" / ExecutableName("child")).string());
  replaceAll("{missing}", (folder / ExecutableName("missing")).string());
  for (std::size_t at = tail.find("{file:"); at != std::string::npos; at = tail.find("{file:")) {
    const std::size_t end = tail.find('}', at);
    tail.replace(at, end + 1 - at, (folder / tail.substr(at + 6, end - at - 6)).string());
  }
  return ExpandRepeats(tail);
}

}  // namespace

void PrintTo(const Scenario& scenario, std::ostream* stream) { *stream << scenario.name; }

namespace {

class EndToEnd : public testing::TestWithParam<Scenario> {};

TEST_P(EndToEnd, Scenario) {
  const Scenario& scenario = GetParam();
  const fs::path folder = MakeScenarioFolder("rr");
  TestIsolateRegistry(folder.string());
  ASSERT_EQ(TestResetRegistry(RegistryTextOfItems(scenario.before + " " + kUnrelatedKeys)), 0);

  fs::copy_file(ProgramPath("e2e_child"), folder / ExecutableName("child"));
  fs::create_directories(folder / "my-tools");
  fs::copy_file(ProgramPath("e2e_child"), folder / "my-tools" / ExecutableName("child"));
  for (const std::string& name : scenario.files) {
    std::ofstream(folder / name) << "watched";
  }
  for (const std::string& name : scenario.folders) {
    fs::create_directories(folder / name);
  }
  std::vector<int> held;
  for (const std::string& name : scenario.held) {
    held.push_back(TestHoldFile((folder / name).string()));
    ASSERT_GE(held.back(), 0) << name;
  }

  TestSetEnvironment("RUNRELEASE_FAULTS", scenario.faults.empty() ? nullptr : scenario.faults.c_str());
  int exitCode = -1;
  std::string output;
  const int started = TestRunProgram(ProgramPath(scenario.faults.empty() ? "runrelease" : "runrelease-faults"),
                                     ExpandTail(scenario.tail, folder), &exitCode, &output);
  TestSetEnvironment("RUNRELEASE_FAULTS", nullptr);
  for (const int id : held) {
    TestFreeFile(id);
  }

  ASSERT_EQ(started, 0);
  EXPECT_EQ(exitCode, 1);
  EXPECT_EQ(output, "");
  EXPECT_EQ(TestExportRegistry(), ExpectedRegistry(scenario.after));
  std::vector<std::string> made = scenario.files;
  made.insert(made.end(), scenario.folders.begin(), scenario.folders.end());
  for (const std::string& name : made) {
    const bool expected = std::find(scenario.present.begin(), scenario.present.end(), name) != scenario.present.end();
    EXPECT_EQ(fs::exists(folder / name), expected) << name;
  }
  TestResetRegistry("");
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

std::vector<Scenario> TableOrFail() {
  std::string error;
  std::vector<Scenario> scenarios = LoadScenarios(&error);
  if (!error.empty()) {
    ADD_FAILURE() << "scenario table line not understood: " << error;
  }
  return scenarios;
}

std::string ScenarioName(const testing::TestParamInfo<Scenario>& info) {
  std::string name = info.param.name;
  for (char& byte : name) {
    if (byte == '-') {
      byte = '_';
    }
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Table, EndToEnd, testing::ValuesIn(TableOrFail()), ScenarioName);

}  // namespace
