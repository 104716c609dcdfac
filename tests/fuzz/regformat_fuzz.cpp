#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix/store.h"
#include "platform/regformat.h"
#include "require.h"

namespace {

// One store per fuzzing process, in a folder of its own under TMPDIR, held open for rewriting.
std::string folder;
std::string storePath;
// The same file by another name: switching names each input makes the store drop what it read
// before, so a rewrite within one timestamp tick at the same size is still read afresh.
std::string otherStorePath;
bool useOtherPath = false;
int storeFd = -1;

// A tree that refused text must leave as it is, whatever it already holds.
constexpr std::string_view kBaseText =
    "REGEDIT4\n\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Norvo\\Common]\n\"LockCount\"=\"2\"\n\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Other]\n@=hex(7):41,00,00\n\"n\"=dword:00000010\n\n";
RegKey baseTree;

void RemoveStore() {
  close(storeFd);
  for (const char* suffix : {"/registry.reg", "/registry.reg.lock", "/registry.reg.tmp"}) {
    unlink((folder + suffix).c_str());
  }
  rmdir(folder.c_str());
}

// Rewritten in place rather than replaced: replacing makes every input free an inode, which
// costs the file system more than the whole check.
void Rewrite(std::string_view text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = pwrite(storeFd, text.data() + done, text.size() - done, static_cast<off_t>(done));
    Require(wrote > 0, "write the store text");
    done += static_cast<std::size_t>(wrote);
  }
  Require(ftruncate(storeFd, static_cast<off_t>(text.size())) == 0, "cut the store text");
}

// By name, so that a store that replaced the file is seen.
std::string ReadWhole() {
  const int fd = open(storePath.c_str(), O_RDONLY | O_CLOEXEC);
  Require(fd >= 0, "open the store");
  std::string text;
  char chunk[4096];
  for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) != 0;) {
    Require(got > 0, "read the store");
    text.append(chunk, static_cast<std::size_t>(got));
  }
  close(fd);
  return text;
}

// The store must read the file's committed text just as the parser does, and never write a file
// it refused.
void CheckStore(std::string_view text, bool accepted, const RegKey& tree) {
  Rewrite(text);
  useOtherPath = !useOtherPath;
  setenv("RUNRELEASE_REGISTRY", (useOtherPath ? otherStorePath : storePath).c_str(), 1);
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
  Require(ReadWhole() == text, "an invalid store is left byte for byte");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* temp = std::getenv("TMPDIR");
  std::string pattern = std::string(temp != nullptr && *temp != '\0' ? temp : "/tmp") + "/regformat_fuzz.XXXXXX";
  Require(mkdtemp(&pattern[0]) != nullptr, "make the store folder");
  folder = pattern;
  storePath = folder + "/registry.reg";
  otherStorePath = folder + "/./registry.reg";
  storeFd = open(storePath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  Require(storeFd >= 0, "make the store");
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
  // The store reads the text less a change that a crash cut short.
  const std::string_view committed = text.substr(0, StoreCommittedLength(text));
  RegKey stored;
  const bool storable = ApplyRegistryText(committed, &stored);
  CheckStore(text, storable, stored);
  return 0;
}
