#include <windows.h>

#include "platform/fault.h"
#include "platform/platform.h"

namespace {

HKEY ToHkey(OsKey key) { return reinterpret_cast<HKEY>(key); }

}  // namespace

OsKey OsLocalMachine() { return reinterpret_cast<OsKey>(HKEY_LOCAL_MACHINE); }

int OsRegOpenKey(OsKey parent, const char* path, OsKey* key) {
  OS_FAULT_POINT(OsCall::RegOpenKey);
  HKEY opened = nullptr;
  const LONG result = RegOpenKeyExA(ToHkey(parent), path, 0, KEY_ALL_ACCESS, &opened);
  if (result == ERROR_SUCCESS) {
    *key = reinterpret_cast<OsKey>(opened);
  }
  return static_cast<int>(result);
}

int OsRegQueryValue(OsKey key, const char* name, unsigned char* data, std::uint32_t* size) {
  OS_FAULT_POINT(OsCall::RegQueryValue);
  DWORD capacity = *size;
  const LONG result = RegQueryValueExA(ToHkey(key), name, nullptr, nullptr, data, &capacity);
  *size = capacity;
  return static_cast<int>(result);
}

int OsRegSetStringValue(OsKey key, const char* name, const char* text, std::uint32_t size) {
  OS_FAULT_POINT(OsCall::RegSetStringValue);
  return static_cast<int>(RegSetValueExA(ToHkey(key), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), size));
}

int OsRegEnumKey(OsKey key, std::uint32_t index, char* name, std::uint32_t* length) {
  OS_FAULT_POINT(OsCall::RegEnumKey);
  DWORD capacity = *length;
  const LONG result = RegEnumKeyExA(ToHkey(key), index, name, &capacity, nullptr, nullptr, nullptr, nullptr);
  *length = capacity;
  return static_cast<int>(result);
}

int OsRegDeleteKey(OsKey parent, const char* path) {
  OS_FAULT_POINT(OsCall::RegDeleteKey);
  return static_cast<int>(RegDeleteKeyA(ToHkey(parent), path));
}

int OsRegCloseKey(OsKey key) {
  OS_FAULT_POINT(OsCall::RegCloseKey);
  return static_cast<int>(RegCloseKey(ToHkey(key)));
}
