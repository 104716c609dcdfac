#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "support/testsupport.h"
#include "support/win32.h"

namespace {

constexpr const char* kSoftwareName = "Software";
// A program that hangs fails its test instead of stalling the whole run.
constexpr DWORD kProgramWaitMs = 120000;

std::vector<HANDLE> heldFiles;

std::string_view OwnedName(const char* tree) {
  const std::string_view path(tree);
  return path.substr(path.find('\\') + 1);
}

bool IsOwnedName(std::string_view name) {
  return std::any_of(std::begin(kTestOwnedTrees), std::end(kTestOwnedTrees),
                     [name](const char* tree) { return RegCompareNames(name, OwnedName(tree)) == 0; });
}

// A seed may reach the machine's registry only inside the owned trees.
bool StaysInOwnedTrees(const RegKey& root) {
  if (!root.values.empty()) {
    return false;
  }
  for (const RegKey& software : root.subkeys) {
    if (RegCompareNames(software.name, kSoftwareName) != 0 || !software.values.empty()) {
      return false;
    }
    for (const RegKey& tree : software.subkeys) {
      if (!IsOwnedName(tree.name)) {
        return false;
      }
    }
  }
  return true;
}

LONG WriteKey(HKEY parent, const RegKey& key) {
  HKEY created = nullptr;
  LONG result = RegCreateKeyExA(parent, key.name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr);
  if (result != ERROR_SUCCESS) {
    return result;
  }
  for (const RegValue& value : key.values) {
    result = RegSetValueExA(created, value.name.c_str(), 0, value.type, value.data.data(),
                            static_cast<DWORD>(value.data.size()));
    if (result != ERROR_SUCCESS) {
      break;
    }
  }
  for (const RegKey& subkey : key.subkeys) {
    if (result == ERROR_SUCCESS) {
      result = WriteKey(created, subkey);
    }
  }
  RegCloseKey(created);
  return result;
}

LONG ReadValues(HKEY key, RegKey* into) {
  DWORD nameCapacity = 0;
  DWORD dataCapacity = 0;
  LONG result = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &nameCapacity,
                                 &dataCapacity, nullptr, nullptr);
  if (result != ERROR_SUCCESS) {
    return result;
  }
  std::vector<char> name(nameCapacity + 1);
  std::vector<unsigned char> data(dataCapacity + 1);
  for (DWORD index = 0;; ++index) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD dataSize = static_cast<DWORD>(data.size());
    DWORD type = 0;
    result = RegEnumValueA(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &dataSize);
    if (result == ERROR_NO_MORE_ITEMS) {
      return ERROR_SUCCESS;
    }
    if (result != ERROR_SUCCESS) {
      return result;
    }
    RegPutValue(into, std::string_view(name.data(), nameLength), type,
                std::vector<unsigned char>(data.begin(), data.begin() + dataSize));
  }
}

LONG ReadKey(HKEY parent, const std::string& name, RegKey* into) {
  into->name = name;
  HKEY key = nullptr;
  LONG result = RegOpenKeyExA(parent, name.c_str(), 0, KEY_READ, &key);
  if (result != ERROR_SUCCESS) {
    return result;
  }
  result = ReadValues(key, into);
  char subkeyName[kRegMaxKeyNameLength + 1];
  for (DWORD index = 0; result == ERROR_SUCCESS; ++index) {
    DWORD length = sizeof subkeyName;
    result = RegEnumKeyExA(key, index, subkeyName, &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_SUCCESS) {
      RegKey subkey;
      result = ReadKey(key, std::string(subkeyName, length), &subkey);
      into->subkeys.push_back(std::move(subkey));
    }
  }
  RegCloseKey(key);
  // The registry's own enumeration order folds case differently from the tree's.
  std::sort(into->subkeys.begin(), into->subkeys.end(),
            [](const RegKey& left, const RegKey& right) { return RegCompareNames(left.name, right.name) < 0; });
  return result == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : result;
}

// The stored case of an owned tree's name, so that the export shows the keys as they were made.
LONG FindOwnedTree(HKEY software, std::string_view owned, std::string* stored) {
  char name[kRegMaxKeyNameLength + 1];
  for (DWORD index = 0;; ++index) {
    DWORD length = sizeof name;
    const LONG result = RegEnumKeyExA(software, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (result != ERROR_SUCCESS) {
      return result;
    }
    if (RegCompareNames(std::string_view(name, length), owned) == 0) {
      stored->assign(name, length);
      return ERROR_SUCCESS;
    }
  }
}

}  // namespace

void TestIsolateRegistry(const std::string& /*folder*/) {
  // Each test run has a Wine prefix, and so a machine registry, of its own.
}

int TestResetRegistry(const std::string& regText) {
  RegKey seed;
  if (!ApplyRegistryText(regText, &seed) || !StaysInOwnedTrees(seed)) {
    return kOsInvalidParameter;
  }
  for (const char* tree : kTestOwnedTrees) {
    const LONG removed = RegDeleteTreeA(HKEY_LOCAL_MACHINE, tree);
    if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND) {
      return static_cast<int>(removed);
    }
  }
  for (const RegKey& software : seed.subkeys) {
    const LONG written = WriteKey(HKEY_LOCAL_MACHINE, software);
    if (written != ERROR_SUCCESS) {
      return static_cast<int>(written);
    }
  }
  return 0;
}

std::string TestExportRegistry() {
  RegKey root;
  RegKey software;
  software.name = kSoftwareName;
  HKEY softwareKey = nullptr;
  LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSoftwareName, 0, KEY_READ, &softwareKey);
  for (const char* tree : kTestOwnedTrees) {
    std::string stored;
    if (result != ERROR_SUCCESS) {
      break;
    }
    const LONG found = FindOwnedTree(softwareKey, OwnedName(tree), &stored);
    if (found == ERROR_SUCCESS) {
      RegKey owned;
      result = ReadKey(softwareKey, stored, &owned);
      software.subkeys.push_back(std::move(owned));
    } else if (found != ERROR_NO_MORE_ITEMS) {
      result = found;
    }
  }
  if (softwareKey != nullptr) {
    RegCloseKey(softwareKey);
  }
  if (result != ERROR_SUCCESS) {
    return "unreadable registry: error " + std::to_string(result);
  }
  std::sort(software.subkeys.begin(), software.subkeys.end(),
            [](const RegKey& left, const RegKey& right) { return RegCompareNames(left.name, right.name) < 0; });
  root.subkeys.push_back(std::move(software));
  return FormatRegistryText(OwnedTrees(root));
}

int TestCreateKey(const std::string& path) {
  HKEY key = nullptr;
  const LONG result =
      RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (result == ERROR_SUCCESS) {
    RegCloseKey(key);
  }
  return static_cast<int>(result);
}

int TestHoldFile(const std::string& path) {
  const HANDLE file =
      CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return -1;
  }
  heldFiles.push_back(file);
  return static_cast<int>(heldFiles.size() - 1);
}

void TestFreeFile(int id) {
  if (id < 0 || static_cast<std::size_t>(id) >= heldFiles.size() ||
      heldFiles[static_cast<std::size_t>(id)] == nullptr) {
    return;
  }
  CloseHandle(heldFiles[static_cast<std::size_t>(id)]);
  heldFiles[static_cast<std::size_t>(id)] = nullptr;
}

int TestRunCommandLine(const char* application, std::string commandLine, int* exitCode) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  BOOL created =
      CreateProcessA(application, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started);
  // Wine's process start now and then fails with ERROR_INTERNAL_ERROR (once in 3,000 starts of
  // the program seen here); that is the harness's start, not the run, so it is tried once more.
  if (!created && GetLastError() == ERROR_INTERNAL_ERROR) {
    created = CreateProcessA(application, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             &started);
  }
  if (!created) {
    return static_cast<int>(GetLastError());
  }
  CloseHandle(started.hThread);
  int result = 0;
  DWORD code = 0;
  if (WaitForSingleObject(started.hProcess, kProgramWaitMs) != WAIT_OBJECT_0) {
    TerminateProcess(started.hProcess, 1);
    result = kOsWaitTimeout;
  } else if (!GetExitCodeProcess(started.hProcess, &code)) {
    result = static_cast<int>(GetLastError());
  }
  CloseHandle(started.hProcess);
  if (result == 0) {
    *exitCode = static_cast<int>(code);
  }
  return result;
}

// The program under test is a GUI program with no standard handles of its own, so it has no
// output to capture: output is always empty here.
int TestRunProgram(const std::string& program, const std::string& commandTail, int* exitCode, std::string* output) {
  std::string line = "\"" + program + "\"";
  if (!commandTail.empty()) {
    line += " " + commandTail;
  }
  const int result = TestRunCommandLine(nullptr, line, exitCode);
  if (result == 0) {
    output->clear();
  }
  return result;
}

void TestSetEnvironment(const char* name, const char* value) {
  // The C runtime keeps its own copy for getenv; the system's copy is what children inherit.
  const std::string assignment = std::string(name) + "=" + (value != nullptr ? value : "");
  _putenv(assignment.c_str());
  SetEnvironmentVariableA(name, value);
}
