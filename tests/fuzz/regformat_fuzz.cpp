#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix/store.h"
#include "platform/regformat.h"
#include "require.h"

namespace {

// One store per fuzzing process, in a folder of its own under TMPDIR.
std::string folder;
std::string storePath;
std::string nextPath;

// A tree that refused text must leave as it is, whatever it already holds.
constexpr std::string_view kBaseText =
    "REGEDIT4\n\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Norvo\\Common]\n\"LockCount\"=\"2\"\n\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Other]\n@=hex(7):41,00,00\n\"n\"=dword:00000010\n\n";
RegKey baseTree;

void RemoveStore() {
  for (const char* suffix : {"/registry.reg", "/registry.reg.lock", "/registry.reg.tmp", "/next"}) {
    unlink((folder + suffix).c_str());
  }
  rmdir(folder.c_str());
}

void WriteWhole(const std::string& path, std::string_view text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  Require(fd >= 0, "open the next store text");
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
    Require(wrote > 0, "write the next store text");
    done += static_cast<std::size_t>(wrote);
  }
  close(fd);
}

std::string ReadWhole(const std::string& path) {
  std::string text;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  Require(file != nullptr, "open the store");
  char chunk[4096];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
    text.append(chunk, got);
  }
  std::fclose(file);
  return text;
}

// The store must read the file just as the parser does. The text goes in by rename, as the
// store's own writers do, so each input is a new file the store cannot mistake for the last.
void CheckStore(std::string_view text, bool accepted, const RegKey& tree) {
  WriteWhole(nextPath, text);
  Require(rename(nextPath.c_str(), storePath.c_str()) == 0, "rename the store text into place");
  std::string exported;
  const int result = StoreExport(&exported);
  if (accepted) {
    Require(result == kOsSuccess, "StoreExport of a valid store");
    Require(exported == FormatRegistryText(tree), "StoreExport text");
    return;
  }
  Require(result == kOsBadDatabase, "StoreExport of an invalid store answers 1009");
  Require(StoreImport("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Added]\n") == kOsBadDatabase,
          "StoreImport into an invalid store answers 1009");
  Require(ReadWhole(storePath) == text, "an invalid store is left byte for byte");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* temp = std::getenv("TMPDIR");
  std::string pattern = std::string(temp != nullptr && *temp != '\0' ? temp : "/tmp") + "/regformat_fuzz.XXXXXX";
  Require(mkdtemp(&pattern[0]) != nullptr, "make the store folder");
  folder = pattern;
  storePath = folder + "/registry.reg";
  nextPath = folder + "/next";
  setenv("RUNRELEASE_REGISTRY", storePath.c_str(), 1);
  std::atexit(RemoveStore);
  Require(ApplyRegistryText(kBaseText, &baseTree), "the base text parses");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  RegKey root;
  const bool accepted = ApplyRegistryText(text, &root);
  if (accepted) {
    const std::string formatted = FormatRegistryText(root);
    RegKey again;
    Require(ApplyRegistryText(formatted, &again), "formatted text parses");
    Require(again == root, "formatted text gives the same tree");
    Require(FormatRegistryText(again) == formatted, "formatting is stable");
  } else {
    Require(root == RegKey(), "refused text leaves an empty root empty");
    RegKey base = baseTree;
    Require(!ApplyRegistryText(text, &base), "refusal does not depend on the tree");
    Require(base == baseTree, "refused text leaves a tree as it was");
  }
  CheckStore(text, accepted, root);
  return 0;
}
