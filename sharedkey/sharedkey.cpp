#include "sharedkey/sharedkey.h"

#include <cstdlib>
#include <cstring>

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
  const int read = OsRegQueryValue(sharedKey, kLockCountName, stored, &storedSize);
  std::int32_t count = 0;
  // Only a count that is missing or too large to read is reset. A count that holds no number
  // belongs to other installers' bookkeeping (a REG_DWORD reads as none), and a read that
  // failed says nothing about the count: rewriting either as "0" would remove a key that its
  // holders still use.
  if ((read != kOsSuccess && read != kOsFileNotFound && read != kOsMoreData) ||
      (read == kOsSuccess && ParseLockCount(stored, storedSize, &count) == 0)) {
    OsRegCloseKey(sharedKey);
    return kSharedKeyLeftAlone;
  }
  if (read == kOsSuccess) {
    result = LoweredLockCount(count);
    textLength = FormatLockCount(result, text);
  }
  OsRegSetStringValue(sharedKey, kLockCountName, text, static_cast<std::uint32_t>(textLength + 1));
  OsRegCloseKey(sharedKey);
  return result;
}

void ReleaseHold() {
  if (DecrementLockCount() < 1) {
    DeleteKeyTree(OsLocalMachine(), kSharedKeyPath);
  }
}

namespace {

// The names of a key's subkeys, NUL after NUL, in listing order. Plain C allocation keeps the
// shipped program free of the C++ runtime's exception machinery; a list that cannot grow ends
// the listing, as any other failure of it does.
struct NameList {
  char* names = nullptr;
  std::size_t used = 0;
  std::size_t capacity = 0;
};

bool AppendName(NameList* list, const char* name, std::size_t length) {
  if (list->used + length + 1 > list->capacity) {
    const std::size_t capacity = list->capacity * 2 + kPathBufferSize;
    void* grown = std::realloc(list->names, capacity);
    if (grown == nullptr) {
      return false;
    }
    list->names = static_cast<char*>(grown);
    list->capacity = capacity;
  }
  std::memcpy(list->names + list->used, name, length);
  list->names[list->used + length] = '\0';
  list->used += length + 1;
  return true;
}

}  // namespace

void DeleteKeyTree(OsKey parent, const char* path) {
  OsKey key = nullptr;
  if (OsRegOpenKey(parent, path, &key) == kOsSuccess) {
    NameList subkeys;
    char name[kPathBufferSize];
    std::uint32_t nameLength = kPathBufferSize;
    for (std::uint32_t index = 0; OsRegEnumKey(key, index, name, &nameLength) == kOsSuccess; ++index) {
      if (!AppendName(&subkeys, name, nameLength)) {
        break;
      }
      nameLength = kPathBufferSize;
    }
    for (std::size_t offset = 0; offset < subkeys.used; offset += std::strlen(subkeys.names + offset) + 1) {
      DeleteKeyTree(key, subkeys.names + offset);
    }
    std::free(subkeys.names);
    OsRegCloseKey(key);
  }
  OsRegDeleteKey(parent, path);
}
