#include <string_view>

#include "support/testsupport.h"

RegKey OwnedTrees(const RegKey& root) {
  RegKey owned;
  RegKey software;
  for (const char* tree : kTestOwnedTrees) {
    const std::string_view path(tree);
    const std::string_view parentName = path.substr(0, path.find('\\'));
    const RegKey* parent = RegFindSubkey(&root, parentName);
    const RegKey* key = parent != nullptr ? RegFindSubkey(parent, path.substr(parentName.size() + 1)) : nullptr;
    if (key != nullptr) {
      software.name = parent->name;
      software.subkeys.push_back(*key);
    }
  }
  if (!software.subkeys.empty()) {
    owned.subkeys.push_back(software);
  }
  return owned;
}
