#include "app/run.h"

#include "app/commandline.h"
#include "platform/platform.h"
#include "probe/probe.h"
#include "sharedkey/sharedkey.h"

namespace {

// The emptiness test and the removal are two calls; the removal is the registry's own
// non-recursive delete, which refuses a key that has gained a subkey in between, so such a
// subkey is never lost. The maker key's values go with it.
void RemoveMakerKeyIfEmpty() {
  OsKey makerKey = nullptr;
  if (OsRegOpenKey(OsLocalMachine(), kMakerKeyPath, &makerKey) == kOsSuccess) {
    char name[kPathBufferSize];
    std::uint32_t nameLength = kPathBufferSize;
    const int firstSubkey = OsRegEnumKey(makerKey, 0, name, &nameLength);
    OsRegCloseKey(makerKey);
    if (firstSubkey == kOsSuccess) {
      return;
    }
  }
  OsRegDeleteKey(OsLocalMachine(), kMakerKeyPath);
}

}  // namespace

int RunChildAndRelease(void* /*instance*/, void* /*previousInstance*/, const char* commandTail, int /*showState*/) {
  char watchedPath[kPathBufferSize];
  const int watched = WatchedPathFromTail(commandTail, watchedPath);
  const int before = watched != 0 ? IsFilePresent(watchedPath) : 0;

  OsProcess child = nullptr;
  if (OsStartProcess(commandTail, &child) == kOsSuccess) {
    OsWaitForProcess(child);
  }

  const int after = watched != 0 ? IsFilePresent(watchedPath) : 0;

  // Another run releasing at the same moment would lose a decrement. The lock is bounded, and a
  // run that cannot have it goes on unlocked rather than hang an uninstall.
  OsLock lock = nullptr;
  const int locked = OsAcquireReleaseLock(&lock);
  if (before == 1 && after == 0) {
    ReleaseHold();
  }
  RemoveMakerKeyIfEmpty();
  if (locked == kOsSuccess) {
    OsFreeReleaseLock(lock);
  }
  return 1;
}
