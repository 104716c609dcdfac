#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/posix/store.h"
#include "support/testsupport.h"

namespace {

// A run that does not end in time has hung: it is killed and answered as timed out.
constexpr int kProgramWaitMilliseconds = 120000;
constexpr int kProgramTimedOut = 258;

std::string WithoutHeader(const std::string& regText) {
  const std::string header = "REGEDIT4";
  if (regText.compare(0, header.size(), header) != 0) {
    return regText;
  }
  return regText.substr(header.size());
}

}  // namespace

void TestIsolateRegistry(const std::string& folder) {
  TestSetEnvironment("RUNRELEASE_REGISTRY", (folder + "/registry.reg").c_str());
}

int TestResetRegistry(const std::string& regText) {
  std::string change = "REGEDIT4\n\n";
  for (const char* tree : kTestOwnedTrees) {
    change += std::string("[-HKEY_LOCAL_MACHINE\\") + tree + "]\n";
  }
  return StoreImport(change + WithoutHeader(regText));
}

std::string TestExportRegistry() {
  std::string text;
  RegKey root;
  if (StoreExport(&text) != 0 || !ApplyRegistryText(text, &root)) {
    return "unreadable store";
  }
  return FormatRegistryText(OwnedTrees(root));
}

int TestCreateKey(const std::string& path) { return StoreImport("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\" + path + "]\n"); }

int TestHoldFile(const std::string& path) {
  const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0 || flock(descriptor, LOCK_SH) != 0) {
    if (descriptor >= 0) {
      close(descriptor);
    }
    return -1;
  }
  return descriptor;
}

void TestFreeFile(int id) { close(id); }

int TestRunProgram(const std::string& program, const std::string& commandTail, int* exitCode, std::string* output) {
  char outputPath[] = "/tmp/rroutputXXXXXX";
  const int outputFile = mkstemp(outputPath);
  if (outputFile < 0) {
    return 5;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outputFile, 1);
  posix_spawn_file_actions_adddup2(&actions, outputFile, 2);
  std::string programCopy = program;
  std::string tailCopy = commandTail;
  char* argv[] = {programCopy.data(), tailCopy.data(), nullptr};
  pid_t child = 0;
  const int error = posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(outputFile);
  int status = 0;
  bool ended = false;
  for (int waited = 0; error == 0 && !ended; ++waited) {
    ended = waitpid(child, &status, WNOHANG) == child;
    if (!ended && waited == kProgramWaitMilliseconds) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      unlink(outputPath);
      return kProgramTimedOut;
    }
    if (!ended) {
      usleep(1000);
    }
  }
  if (ended) {
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::ifstream written(outputPath, std::ios::binary);
    std::ostringstream text;
    text << written.rdbuf();
    *output = text.str();
  }
  unlink(outputPath);
  return error == 0 ? 0 : 2;
}

void TestSetEnvironment(const char* name, const char* value) {
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}
