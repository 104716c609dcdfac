#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fault.h"
#include "platform/platform.h"
#include "platform/posix/store.h"
#include "platform/regformat.h"

// A handle names its key by path. Once the key is seen gone the handle stays dead, as a Windows
// handle does, even if a key of that name comes back. A delete made here marks its handles at
// once; one made by another process is seen at the handle's next use.
struct OsKeyObject {
  std::vector<std::string> path;
  bool removed = false;
};

namespace {

OsKeyObject localMachine;
std::vector<OsKeyObject*> openHandles;

// An empty path names the key itself.
int SplitPath(std::string_view path, std::vector<std::string>* parts) {
  if (path.empty()) {
    return kOsSuccess;
  }
  for (;;) {
    const std::size_t slash = path.find('\\');
    const std::string_view part = path.substr(0, slash);
    if (part.empty()) {
      return kOsBadPathname;
    }
    parts->emplace_back(part);
    if (slash == std::string_view::npos) {
      return kOsSuccess;
    }
    path.remove_prefix(slash + 1);
  }
}

template <typename Key>
Key* Resolve(Key* root, OsKeyObject* handle) {
  Key* key = handle->removed ? nullptr : root;
  for (std::size_t at = 0; key != nullptr && at < handle->path.size(); ++at) {
    key = RegFindSubkey(key, handle->path[at]);
  }
  handle->removed = key == nullptr;
  return key;
}

void MarkRemoved(const std::vector<std::string>& gone) {
  for (OsKeyObject* handle : openHandles) {
    if (handle->path.size() >= gone.size() && std::equal(gone.begin(), gone.end(), handle->path.begin(),
                                                         [](const std::string& left, const std::string& right) {
                                                           return RegCompareNames(left, right) == 0;
                                                         })) {
      handle->removed = true;
    }
  }
}

}  // namespace

OsKey OsLocalMachine() { return &localMachine; }

int OsRegOpenKey(OsKey parent, const char* path, OsKey* key) {
  OS_FAULT_POINT(OsCall::RegOpenKey);
  if (parent == nullptr || key == nullptr) {
    return kOsInvalidParameter;
  }
  return StoreVisit([&](const RegKey& root) -> int {
    std::vector<std::string> parts;
    if (const int result = SplitPath(path == nullptr ? "" : path, &parts)) {
      return result;
    }
    const RegKey* found = Resolve(&root, parent);
    if (found == nullptr) {
      return kOsKeyDeleted;
    }
    std::vector<std::string> opened = parent->path;
    for (const std::string& part : parts) {
      found = RegFindSubkey(found, part);
      if (found == nullptr) {
        return kOsFileNotFound;
      }
      opened.push_back(found->name);
    }
    auto handle = std::make_unique<OsKeyObject>(OsKeyObject{std::move(opened), false});
    openHandles.push_back(handle.get());
    *key = handle.release();
    return kOsSuccess;
  });
}

int OsRegQueryValue(OsKey key, const char* name, unsigned char* data, std::uint32_t* size) {
  OS_FAULT_POINT(OsCall::RegQueryValue);
  if (key == nullptr || (data != nullptr && size == nullptr)) {
    return kOsInvalidParameter;
  }
  return StoreVisit([&](const RegKey& root) -> int {
    const RegKey* found = Resolve(&root, key);
    if (found == nullptr) {
      return kOsKeyDeleted;
    }
    const RegValue* value = RegFindValue(found, name == nullptr ? "" : name);
    if (value == nullptr) {
      return kOsFileNotFound;
    }
    if (size == nullptr) {
      return kOsSuccess;
    }
    const auto needed = static_cast<std::uint32_t>(value->data.size());
    const bool fits = needed <= *size;
    *size = needed;
    if (data == nullptr) {
      return kOsSuccess;
    }
    if (!fits) {
      return kOsMoreData;
    }
    std::copy(value->data.begin(), value->data.end(), data);
    return kOsSuccess;
  });
}

int OsRegSetStringValue(OsKey key, const char* name, const char* text, std::uint32_t size) {
  OS_FAULT_POINT(OsCall::RegSetStringValue);
  const std::string_view valueName = name == nullptr ? "" : name;
  if (key == nullptr || (text == nullptr && size != 0) || !RegIsStorableName(valueName)) {
    return kOsInvalidParameter;
  }
  // HKEY_LOCAL_MACHINE itself holds no values.
  if (key == &localMachine) {
    return kOsAccessDenied;
  }
  return StoreChange([&](RegKey* root, std::string* records) -> int {
    RegKey* found = Resolve(root, key);
    if (found == nullptr) {
      return kOsKeyDeleted;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    RegPutValue(found, valueName, kRegSz, std::vector<unsigned char>(bytes, bytes + size));
    *records = FormatSetValueRecord(key->path, *RegFindValue(found, valueName));
    return kOsSuccess;
  });
}

int OsRegEnumKey(OsKey key, std::uint32_t index, char* name, std::uint32_t* length) {
  OS_FAULT_POINT(OsCall::RegEnumKey);
  if (key == nullptr || name == nullptr || length == nullptr) {
    return kOsInvalidParameter;
  }
  return StoreVisit([&](const RegKey& root) -> int {
    const RegKey* found = Resolve(&root, key);
    if (found == nullptr) {
      return kOsKeyDeleted;
    }
    if (index >= found->subkeys.size()) {
      return kOsNoMoreItems;
    }
    const std::string& subkey = found->subkeys[index].name;
    if (subkey.size() >= *length) {
      return kOsMoreData;
    }
    std::copy(subkey.begin(), subkey.end(), name);
    name[subkey.size()] = '\0';
    *length = static_cast<std::uint32_t>(subkey.size());
    return kOsSuccess;
  });
}

int OsRegDeleteKey(OsKey parent, const char* path) {
  OS_FAULT_POINT(OsCall::RegDeleteKey);
  if (parent == nullptr || path == nullptr) {
    return kOsInvalidParameter;
  }
  std::vector<std::string> target;
  const int deleted = StoreChange([&](RegKey* root, std::string* records) -> int {
    target = parent->path;
    if (const int result = SplitPath(path, &target)) {
      return result;
    }
    if (Resolve(root, parent) == nullptr) {
      return kOsKeyDeleted;
    }
    // An empty path deletes the handle's own key, which HKEY_LOCAL_MACHINE cannot be.
    if (target.empty()) {
      return kOsAccessDenied;
    }
    RegKey* owner = root;
    for (std::size_t at = 0; owner != nullptr && at + 1 < target.size(); ++at) {
      owner = RegFindSubkey(owner, target[at]);
    }
    const RegKey* doomed = owner == nullptr ? nullptr : RegFindSubkey(owner, target.back());
    if (doomed == nullptr) {
      return kOsFileNotFound;
    }
    if (!doomed->subkeys.empty()) {
      return kOsAccessDenied;
    }
    RegRemoveSubkey(owner, target.back());
    *records = FormatRemoveKeyRecord(target);
    return kOsSuccess;
  });
  if (deleted == kOsSuccess) {
    MarkRemoved(target);
  }
  return deleted;
}

int OsRegCloseKey(OsKey key) {
  OS_FAULT_POINT(OsCall::RegCloseKey);
  if (key == nullptr) {
    return kOsInvalidParameter;
  }
  if (key != &localMachine) {
    openHandles.erase(std::remove(openHandles.begin(), openHandles.end(), key), openHandles.end());
    delete key;
  }
  return kOsSuccess;
}
