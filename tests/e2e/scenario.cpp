#include "e2e/scenario.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "support/testsupport.h"

extern const char* const kScenarioText;

namespace fs = std::filesystem;

namespace {

std::filesystem::path programFolder;

std::vector<std::string> Words(const std::string& text) {
  std::istringstream stream(text);
  std::vector<std::string> words;
  for (std::string word; stream >> word;) {
    words.push_back(word);
  }
  return words;
}

// Splits at blanks outside double quotes; a backslash inside quotes keeps the next byte.
std::vector<std::string> Items(const std::string& text) {
  std::vector<std::string> items;
  std::string item;
  bool quoted = false;
  for (std::size_t index = 0; index < text.size(); ++index) {
    const char byte = text[index];
    if (!quoted && byte == ' ') {
      if (!item.empty()) {
        items.push_back(item);
      }
      item.clear();
      continue;
    }
    item.push_back(byte);
    if (quoted && byte == '\\' && index + 1 < text.size()) {
      item.push_back(text[++index]);
    } else if (byte == '"') {
      quoted = !quoted;
    }
  }
  if (!item.empty()) {
    items.push_back(item);
  }
  return items;
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

std::string ExpandRepeats(const std::string& text) {
  std::string expanded;
  for (std::size_t index = 0; index < text.size();) {
    if (text.compare(index, 7, "{blank}") == 0) {
      expanded += ' ';
      index += 7;
    } else if (text.compare(index, 8, "{repeat:") == 0) {
      char* end = nullptr;
      const long count = std::strtol(text.c_str() + index + 8, &end, 10);
      const std::size_t fill = static_cast<std::size_t>(end - text.c_str()) + 1;
      expanded.append(static_cast<std::size_t>(count), text[fill]);
      index = fill + 2;
    } else {
      expanded += text[index++];
    }
  }
  return expanded;
}

std::string RegistryTextOfItems(const std::string& items) {
  std::string text = "REGEDIT4\n";
  for (const std::string& item : Items(ExpandRepeats(items))) {
    text += item.front() == '[' ? "\n[HKEY_LOCAL_MACHINE\\" + item.substr(1) + "\n" : item + "\n";
  }
  return text;
}

std::vector<Scenario> LoadScenarios() {
  std::vector<Scenario> scenarios;
  std::istringstream table(kScenarioText);
  bool afterGiven = false;
  const auto finish = [&] {
    if (!scenarios.empty() && !afterGiven) {
      scenarios.back().after = scenarios.back().before;
    }
  };
  for (std::string line; std::getline(table, line);) {
    const std::size_t keyEnd = line.find(' ');
    const std::string key = line.substr(0, keyEnd);
    const std::size_t restStart = line.find_first_not_of(' ', keyEnd);
    const std::string rest = restStart == std::string::npos ? "" : line.substr(restStart);
    if (key.empty() || key[0] == '#') {
      continue;
    }
    if (key == "scenario") {
      finish();
      scenarios.push_back(Scenario{});
      scenarios.back().name = rest;
      afterGiven = false;
      continue;
    }
    if (scenarios.empty()) {
      ADD_FAILURE() << "scenario table line before any scenario: " << line;
      return {};
    }
    Scenario& scenario = scenarios.back();
    if (key == "before") {
      scenario.before = rest;
    } else if (key == "after") {
      scenario.after = rest;
      afterGiven = true;
    } else if (key == "file") {
      scenario.files = Words(rest);
    } else if (key == "folder") {
      scenario.folders = Words(rest);
    } else if (key == "held") {
      scenario.held = Words(rest);
    } else if (key == "present") {
      scenario.present = Words(rest);
    } else if (key == "faults") {
      scenario.faults = rest;
    } else if (key == "tail") {
      scenario.tail = rest;
    } else {
      ADD_FAILURE() << "scenario table line not understood: " << line;
      return {};
    }
  }
  finish();
  return scenarios;
}

void SetProgramFolder(const char* argv0) { programFolder = std::filesystem::absolute(argv0).parent_path(); }

std::string ExecutableName(const std::string& name) { return name + RUNRELEASE_EXE_SUFFIX; }

std::string ProgramPath(const std::string& name) { return (programFolder / ExecutableName(name)).string(); }

std::string MakeScenarioFolder(const char* prefix) {
  std::random_device random;
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / (prefix + std::to_string(random() % 100000000U));
  std::filesystem::create_directories(folder);
  EXPECT_EQ(folder.string().find('-'), std::string::npos) << "the temporary folder's path holds a dash: " << folder;
  return folder.string();
}

std::string CanonicalOwnedTrees(const std::string& items) {
  const std::string regText = RegistryTextOfItems(items);
  RegKey root;
  EXPECT_TRUE(ApplyRegistryText(regText, &root)) << regText;
  return FormatRegistryText(OwnedTrees(root));
}

ScenarioRun RunScenario(const Scenario& scenario, const std::string& faults) {
  ScenarioRun run;
  const fs::path folder = MakeScenarioFolder("rr");
  TestIsolateRegistry(folder.string());
  if (TestResetRegistry(RegistryTextOfItems(scenario.before + " " + kUnrelatedKeys)) != 0) {
    ADD_FAILURE() << "cannot seed the registry of " << scenario.name;
    return run;
  }
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
    EXPECT_GE(held.back(), 0) << name;
  }

  const fs::path reached = folder / "fault.reached";
  TestSetEnvironment("RUNRELEASE_FAULTS", faults.empty() ? nullptr : faults.c_str());
  TestSetEnvironment("RUNRELEASE_FAULT_REACHED", reached.string().c_str());
  run.started = TestRunProgram(ProgramPath(faults.empty() ? "runrelease" : "runrelease-faults"),
                               ExpandTail(scenario.tail, folder), &run.exitCode, &run.output);
  TestSetEnvironment("RUNRELEASE_FAULTS", nullptr);
  TestSetEnvironment("RUNRELEASE_FAULT_REACHED", nullptr);
  for (const int id : held) {
    TestFreeFile(id);
  }

  run.registry = TestExportRegistry();
  run.faultReached = fs::exists(reached);
  for (const fs::path& log : {folder / "child.log", folder / "my-tools" / "child.log"}) {
    std::ifstream noted(log);
    for (std::string line; std::getline(noted, line);) {
      run.childLog += line + "\n";
    }
  }
  std::vector<std::string> made = scenario.files;
  made.insert(made.end(), scenario.folders.begin(), scenario.folders.end());
  for (const std::string& name : made) {
    if (fs::exists(folder / name)) {
      run.present.push_back(name);
    }
  }
  TestResetRegistry("");
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  return run;
}

void PrintTo(const Scenario& scenario, std::ostream* stream) { *stream << scenario.name; }

std::string ScenarioTestName(const testing::TestParamInfo<Scenario>& info) {
  std::string name = info.param.name;
  for (char& byte : name) {
    byte = byte == '-' ? '_' : byte;
  }
  return name;
}
