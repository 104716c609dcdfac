#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

// One end-to-end scenario of the table in scenarios.txt.
struct Scenario {
  std::string name;
  std::string before;  // registry items, as RegistryTextOfItems takes them
  std::string after;
  std::vector<std::string> files;
  std::vector<std::string> folders;
  std::vector<std::string> held;
  std::vector<std::string> present;
  std::string faults;
  std::string tail;  // with its placeholders
};

// Every scenario of the table; a line that the table's format does not allow fails the test
// program that loads it, and no scenario is loaded.
std::vector<Scenario> LoadScenarios();

// The REGEDIT4 text of registry items: [key] opens a key under HKEY_LOCAL_MACHINE, and the value
// lines after it belong to it; blanks separate items outside double quotes.
std::string RegistryTextOfItems(const std::string& items);

// Canonical REGEDIT4 text of the test's owned trees in a registry given as items.
std::string CanonicalOwnedTrees(const std::string& items);

// Every scenario's registry also holds these keys, which must come through every run untouched.
constexpr const char* kUnrelatedKeys =
    "[Software\\RunReleaseTest\\Unrelated] \"Keep\"=\"yes\" \"Count\"=dword:00000001";

// What one run of a scenario did.
struct ScenarioRun {
  int started = -1;  // 0 when the program could be started and waited for
  int exitCode = -1;
  std::string output;
  std::string registry;              // canonical text of the owned trees afterwards
  std::vector<std::string> present;  // the scenario's files and folders still there
  bool faultReached = false;
  std::string childLog;  // what the child noted it did, for messages
};

// Runs a scenario in a fresh folder with a fresh registry: the shipped program when faults is
// empty, else the fault-injection build with those faults.
ScenarioRun RunScenario(const Scenario& scenario, const std::string& faults);

// Expands {repeat:N:C} and {blank}; other placeholders are left for the caller.
std::string ExpandRepeats(const std::string& text);

// The folder of the test programs, taken from the driver's argv[0] by the shared main.
void SetProgramFolder(const char* argv0);

// A program's file name: name with the system's executable suffix.
std::string ExecutableName(const std::string& name);

// A program beside the driver.
std::string ProgramPath(const std::string& name);

// A fresh temporary folder. Its path holds no dash, or the test fails, since a dash before the
// switch would move the watched path.
std::string MakeScenarioFolder(const char* prefix);

// Scenarios as gtest parameters: shown by name, and named after them with '_' for '-'.
void PrintTo(const Scenario& scenario, std::ostream* stream);
std::string ScenarioTestName(const testing::TestParamInfo<Scenario>& info);
