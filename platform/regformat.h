#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// HKEY_LOCAL_MACHINE as a tree, and its text in the registry export format REGEDIT4. Nothing here
// touches the system, so every platform reads and writes the same text the same way.

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::size_t kRegMaxKeyNameLength = 255;
constexpr std::size_t kRegMaxKeyDepth = 512;

struct RegValue {
  std::string name;  // empty for the default value
  std::uint32_t type = 0;
  std::vector<unsigned char> data;
};

// Subkeys and values are kept sorted by RegCompareNames and unique under it, so two trees
// holding the same registry compare equal.
struct RegKey {
  std::string name;
  std::vector<RegValue> values;
  std::vector<RegKey> subkeys;
};

bool operator==(const RegValue& left, const RegValue& right);
bool operator==(const RegKey& left, const RegKey& right);

// Applies every record of a REGEDIT4 text to root, in order. On any invalid line root is left as
// it was and the answer is false. Allocation failure throws std::bad_alloc, and root may then be
// partly changed.
bool ApplyRegistryText(std::string_view text, RegKey* root);

// The canonical text of root: parsing it into an empty root gives root back exactly.
std::string FormatRegistryText(const RegKey& root);

// One change as the records that make it, without the header, in the canonical text's own form:
// applied after a text that holds the tree before the change, they give the tree after it. The
// path names a key under HKEY_LOCAL_MACHINE.
std::string FormatSetValueRecord(const std::vector<std::string>& path, const RegValue& value);
std::string FormatRemoveKeyRecord(const std::vector<std::string>& path);

// Names compare with ASCII letters folded: <0, 0 or >0.
int RegCompareNames(std::string_view left, std::string_view right);

// Whether the text can hold name as a value name: any bytes but control characters (tab is fine).
bool RegIsStorableName(std::string_view name);

RegKey* RegFindSubkey(RegKey* key, std::string_view name);
const RegKey* RegFindSubkey(const RegKey* key, std::string_view name);
const RegValue* RegFindValue(const RegKey* key, std::string_view name);

// Removes the subkey with its whole tree; false when there is none of that name.
bool RegRemoveSubkey(RegKey* key, std::string_view name);

// Replaces the data and type of the value, or adds it; an existing value keeps its name's case.
void RegPutValue(RegKey* key, std::string_view name, std::uint32_t type, std::vector<unsigned char> data);
