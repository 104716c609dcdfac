#include "sharedkey/sharedkey.h"

#include <string>
#include <vector>

#include "app/commandline.h"
#include "sharedkey/lockcount.h"

int DecrementLockCount() {
  OsKey sharedKey = nullptr;
  if (OsRegOpenKey(OsLocalMachine(), kSharedKeyPath, &sharedKey) != kOsSuccess) {
    return kSharedKeyLeftAlone;
  }
  unsigned char stored[kPathBufferSize];
  std::uint32_t storedSize = sizeof stored;
  int result = 0;
  char text[kLockCountTextSize] = "0";
  std::size_t textLength = 1;
  if (OsRegQueryValue(sharedKey, kLockCountName, stored, &storedSize) == kOsSuccess) {
    std::int32_t count = 0;
    if (ParseLockCount(stored, storedSize, &count) == 0) {
      // Counts kept as REG_DWORD, or text that holds no number, belong to other installers'
      // bookkeeping: rewriting them as "0" would remove a key its holders still use.
      OsRegCloseKey(sharedKey);
      return kSharedKeyLeftAlone;
    }
    result = LoweredLockCount(count);
    textLength = FormatLockCount(result, text);
  }
  OsRegSetStringValue(sharedKey, kLockCountName, text, static_cast<std::uint32_t>(textLength + 1));
  OsRegCloseKey(sharedKey);
  return result;
}

void DeleteKeyTree(OsKey parent, const char* path) {
  OsKey key = nullptr;
  if (OsRegOpenKey(parent, path, &key) == kOsSuccess) {
    std::vector<std::string> subkeys;
    char name[kPathBufferSize];
    std::uint32_t nameLength = kPathBufferSize;
    for (std::uint32_t index = 0; OsRegEnumKey(key, index, name, &nameLength) == kOsSuccess; ++index) {
      subkeys.emplace_back(name, nameLength);
      nameLength = kPathBufferSize;
    }
    for (const std::string& subkey : subkeys) {
      DeleteKeyTree(key, subkey.c_str());
    }
    OsRegCloseKey(key);
  }
  OsRegDeleteKey(parent, path);
}
