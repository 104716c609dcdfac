// The GUI start-up's own rule for the command tail, seen through the real Windows API: the
// program is started with exact command lines, and the registry shows which tail it took.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "e2e/scenario.h"
#include "support/testsupport.h"
#include "support/win32.h"

namespace fs = std::filesystem;

namespace {

// Starts runrelease.exe by its path with commandLine as the whole line GetCommandLineA returns.
DWORD RunWithCommandLine(const std::string& commandLine) {
  int exitCode = 0;
  const int started = TestRunCommandLine(ProgramPath("runrelease").c_str(), commandLine, &exitCode);
  return started != 0 ? static_cast<DWORD>(started) + 1000 : static_cast<DWORD>(exitCode);
}

struct StartupCase {
  const char* name;     // the program's own name as the line gives it; {exe} is its real path
  const char* between;  // what stands between the name and the tail
  bool tailGiven;
  const char* count;  // LockCount after the run
};

TEST(StartUp, TakesTheTailByTheProgramsOwnRule) {
  const StartupCase cases[] = {
      {"\"{exe}\"", "", true, "1"},         // the tail starts right after the closing quote
      {"\"C:\\a.exe\"", "", true, "1"},     // the name need not be the program's real path
      {"\"{exe}\"", " \t  \t", true, "1"},  // blanks and tabs after the name
      {"{exe}", "\t", true, "1"},
      {"\"{exe}\"", "", false, "2"},  // an empty tail starts nothing and releases nothing
      {"\"{exe}", " ", true, "2"},    // no closing quote: the name runs to the switch's quote
  };
  for (const StartupCase& testCase : cases) {
    const fs::path folder = MakeScenarioFolder("rrstart");
    const std::string child = (folder / ExecutableName("child")).string();
    fs::copy_file(ProgramPath("e2e_child"), child);
    const std::string watched = (folder / "app.dat").string();
    std::ofstream(watched) << "watched";
    ASSERT_EQ(TestResetRegistry(RegistryTextOfItems("[Software\\Norvo\\Common] \"LockCount\"=\"2\"")), 0);

    std::string name = testCase.name;
    const std::size_t exe = name.find("{exe}");
    if (exe != std::string::npos) {
      name.replace(exe, 5, ProgramPath("runrelease"));
    }
    std::string commandLine = name + testCase.between;
    if (testCase.tailGiven) {
      commandLine += child;
      commandLine += " rm " + watched;
      commandLine += " -f\"" + watched + "\"";
    }
    EXPECT_EQ(RunWithCommandLine(commandLine), 1U) << name;

    EXPECT_EQ(TestExportRegistry(),
              CanonicalOwnedTrees(std::string("[Software\\Norvo\\Common] \"LockCount\"=\"") + testCase.count + "\""))
        << name << testCase.between;
    TestResetRegistry("");
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }
}

}  // namespace
