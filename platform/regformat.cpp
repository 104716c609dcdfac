#include "platform/regformat.h"

#include <algorithm>
#include <utility>

namespace {

constexpr std::string_view kRootName = "HKEY_LOCAL_MACHINE";
constexpr std::size_t kHexLineWidth = 80;

enum class RecordKind { Key, RemoveKey, SetValue, RemoveValue };

struct Record {
  RecordKind kind = RecordKind::Key;
  std::vector<std::string> path;
  RegValue value;
};

unsigned char Fold(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte - 'A' + 'a') : byte;
}

bool IsTextByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte == '\t' || (byte >= 0x20 && byte != 0x7F);
}

bool IsAllText(std::string_view text) { return std::all_of(text.begin(), text.end(), IsTextByte); }

std::string_view Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  const unsigned char folded = Fold(c);
  return folded >= 'a' && folded <= 'f' ? folded - 'a' + 10 : -1;
}

// 1 to maxDigits hex digits, the whole of text.
bool ParseHexNumber(std::string_view text, std::size_t maxDigits, std::uint32_t* number) {
  if (text.empty() || text.size() > maxDigits) {
    return false;
  }
  std::uint32_t result = 0;
  for (const char c : text) {
    const int digit = HexDigit(c);
    if (digit < 0) {
      return false;
    }
    result = (result << 4) | static_cast<std::uint32_t>(digit);
  }
  *number = result;
  return true;
}

// Comma-separated bytes of two hex digits each; an empty list is no bytes.
bool ParseHexBytes(std::string_view text, std::vector<unsigned char>* bytes) {
  text = Trim(text);
  bytes->clear();
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view item = Trim(text.substr(0, comma));
    std::uint32_t byte = 0;
    if (item.size() != 2 || !ParseHexNumber(item, 2, &byte)) {
      return false;
    }
    bytes->push_back(static_cast<unsigned char>(byte));
    if (comma == std::string_view::npos) {
      break;
    }
    text = text.substr(comma + 1);
    if (Trim(text).empty()) {
      return false;
    }
  }
  return true;
}

// A quoted string at the start of text with \\ and \" escapes; *rest is what follows it.
bool ParseQuoted(std::string_view text, std::string* result, std::string_view* rest) {
  if (text.empty() || text[0] != '"') {
    return false;
  }
  result->clear();
  for (std::size_t at = 1; at < text.size(); ++at) {
    char c = text[at];
    if (c == '"') {
      *rest = text.substr(at + 1);
      return true;
    }
    if (c == '\\') {
      if (++at == text.size() || (text[at] != '\\' && text[at] != '"')) {
        return false;
      }
      c = text[at];
    }
    result->push_back(c);
  }
  return false;
}

class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  // The next line without its line end, or false at the end of the text.
  bool Next(std::string_view* line) {
    if (at_ >= text_.size()) {
      return false;
    }
    const std::size_t end = std::min(text_.find('\n', at_), text_.size());
    *line = text_.substr(at_, end - at_);
    if (!line->empty() && line->back() == '\r') {
      line->remove_suffix(1);
    }
    at_ = end + 1;
    return true;
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

bool ParseSection(std::string_view line, Record* record) {
  std::string_view inner = line.substr(1, line.size() - 2);
  const bool remove = !inner.empty() && inner[0] == '-';
  if (remove) {
    inner.remove_prefix(1);
  }
  if (inner.size() < kRootName.size() || RegCompareNames(inner.substr(0, kRootName.size()), kRootName) != 0) {
    return false;
  }
  inner.remove_prefix(kRootName.size());
  record->kind = remove ? RecordKind::RemoveKey : RecordKind::Key;
  record->path.clear();
  if (inner.empty()) {
    return !remove;
  }
  if (inner[0] != '\\') {
    return false;
  }
  while (!inner.empty()) {
    inner.remove_prefix(1);
    const std::string_view name = inner.substr(0, inner.find('\\'));
    if (name.empty() || name.size() > kRegMaxKeyNameLength || record->path.size() == kRegMaxKeyDepth) {
      return false;
    }
    record->path.emplace_back(name);
    inner.remove_prefix(name.size());
  }
  return true;
}

bool ParseValue(std::string_view line, LineReader* reader, Record* record) {
  std::string_view rest;
  if (line[0] == '@') {
    record->value.name.clear();
    rest = line.substr(1);
  } else if (!ParseQuoted(line, &record->value.name, &rest)) {
    return false;
  }
  if (rest.empty() || rest[0] != '=') {
    return false;
  }
  rest.remove_prefix(1);
  record->kind = RecordKind::SetValue;
  RegValue& value = record->value;
  if (rest == "-") {
    record->kind = RecordKind::RemoveValue;
    return true;
  }
  if (!rest.empty() && rest[0] == '"') {
    std::string text;
    std::string_view after;
    if (!ParseQuoted(rest, &text, &after) || !after.empty()) {
      return false;
    }
    value.type = kRegSz;
    value.data.assign(text.begin(), text.end());
    value.data.push_back(0);
    return true;
  }
  constexpr std::string_view kDword = "dword:";
  if (rest.substr(0, kDword.size()) == kDword) {
    std::uint32_t number = 0;
    if (!ParseHexNumber(rest.substr(kDword.size()), 8, &number)) {
      return false;
    }
    value.type = kRegDword;
    value.data = {static_cast<unsigned char>(number), static_cast<unsigned char>(number >> 8),
                  static_cast<unsigned char>(number >> 16), static_cast<unsigned char>(number >> 24)};
    return true;
  }
  constexpr std::string_view kHex = "hex";
  if (rest.substr(0, kHex.size()) != kHex) {
    return false;
  }
  rest.remove_prefix(kHex.size());
  value.type = kRegBinary;
  if (!rest.empty() && rest[0] == '(') {
    const std::size_t close = rest.find(')');
    if (close == std::string_view::npos || !ParseHexNumber(rest.substr(1, close - 1), 8, &value.type)) {
      return false;
    }
    rest.remove_prefix(close + 1);
  }
  if (rest.empty() || rest[0] != ':') {
    return false;
  }
  rest.remove_prefix(1);
  std::string joined(rest);
  while (!joined.empty() && joined.back() == '\\') {
    joined.pop_back();
    std::string_view next;
    if (!reader->Next(&next) || !IsAllText(next)) {
      return false;
    }
    joined += Trim(next);
  }
  return ParseHexBytes(joined, &value.data);
}

bool ParseRecords(std::string_view text, std::vector<Record>* records) {
  if (text.empty()) {
    return true;
  }
  if (text.find('\0') != std::string_view::npos) {
    return false;
  }
  LineReader reader(text);
  std::string_view line;
  if (!reader.Next(&line) || Trim(line) != "REGEDIT4") {
    return false;
  }
  bool valuesAllowed = false;
  while (reader.Next(&line)) {
    if (!IsAllText(line)) {
      return false;
    }
    line = Trim(line);
    if (line.empty() || line[0] == ';') {
      continue;
    }
    Record record;
    if (line[0] == '[' && line.back() == ']') {
      if (!ParseSection(line, &record)) {
        return false;
      }
      valuesAllowed = record.kind == RecordKind::Key && !record.path.empty();
    } else if (!valuesAllowed || (line[0] != '@' && line[0] != '"') || !ParseValue(line, &reader, &record)) {
      return false;
    }
    records->push_back(std::move(record));
  }
  return true;
}

// Where name is among the sorted items, or would go; *exact tells which.
template <typename Items>
auto Locate(Items& items, std::string_view name, bool* exact) {
  const auto found = std::lower_bound(items.begin(), items.end(), name, [](const auto& item, std::string_view wanted) {
    return RegCompareNames(item.name, wanted) < 0;
  });
  *exact = found != items.end() && RegCompareNames(found->name, name) == 0;
  return found;
}

template <typename Items>
auto Find(Items& items, std::string_view name) -> decltype(&*items.begin()) {
  bool exact = false;
  const auto found = Locate(items, name, &exact);
  return exact ? &*found : nullptr;
}

RegKey* FindOrAddSubkey(RegKey* key, const std::string& name) {
  bool exact = false;
  const auto found = Locate(key->subkeys, name, &exact);
  if (exact) {
    return &*found;
  }
  RegKey added;
  added.name = name;
  return &*key->subkeys.insert(found, std::move(added));
}

void RemoveKeyAt(RegKey* root, const std::vector<std::string>& path) {
  RegKey* parent = root;
  for (std::size_t at = 0; parent != nullptr && at + 1 < path.size(); ++at) {
    parent = RegFindSubkey(parent, path[at]);
  }
  if (parent != nullptr) {
    RegRemoveSubkey(parent, path.back());
  }
}

void RemoveValue(RegKey* key, std::string_view name) {
  bool exact = false;
  const auto found = Locate(key->values, name, &exact);
  if (exact) {
    key->values.erase(found);
  }
}

void AppendQuoted(std::string* out, std::string_view text) {
  out->push_back('"');
  for (std::size_t special = text.find_first_of("\\\""); special != std::string_view::npos;
       special = text.find_first_of("\\\"")) {
    out->append(text.substr(0, special)).push_back('\\');
    out->push_back(text[special]);
    text.remove_prefix(special + 1);
  }
  out->append(text).push_back('"');
}

bool IsPlainString(const RegValue& value) {
  return value.type == kRegSz && !value.data.empty() && value.data.back() == 0 &&
         std::all_of(value.data.begin(), value.data.end() - 1,
                     [](unsigned char byte) { return IsTextByte(static_cast<char>(byte)); });
}

void AppendHex(std::string* out, std::uint32_t number, int digits) {
  constexpr char kDigits[] = "0123456789abcdef";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
    out->push_back(kDigits[(number >> shift) & 0xF]);
  }
}

void AppendValue(std::string* out, const RegValue& value) {
  const std::size_t lineStart = out->size();
  if (value.name.empty()) {
    out->push_back('@');
  } else {
    AppendQuoted(out, value.name);
  }
  out->push_back('=');
  if (IsPlainString(value)) {
    AppendQuoted(out, std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size() - 1));
  } else if (value.type == kRegDword && value.data.size() == 4) {
    *out += "dword:";
    AppendHex(out,
              static_cast<std::uint32_t>(value.data[0] | value.data[1] << 8 | value.data[2] << 16) |
                  static_cast<std::uint32_t>(value.data[3]) << 24,
              8);
  } else {
    *out += "hex";
    if (value.type != kRegBinary) {
      int digits = 1;
      while (digits < 8 && (value.type >> (digits * 4)) != 0) {
        ++digits;
      }
      out->push_back('(');
      AppendHex(out, value.type, digits);
      out->push_back(')');
    }
    out->push_back(':');
    std::size_t currentLine = lineStart;
    for (std::size_t at = 0; at < value.data.size(); ++at) {
      const std::size_t piece = at + 1 < value.data.size() ? 3 : 2;
      if (at > 0 && out->size() - currentLine + piece + 1 > kHexLineWidth) {
        *out += "\\\n  ";
        currentLine = out->size() - 2;
      }
      AppendHex(out, value.data[at], 2);
      if (piece == 3) {
        out->push_back(',');
      }
    }
  }
  out->push_back('\n');
}

void AppendKeys(std::string* out, const RegKey& key, std::string* path) {
  for (const RegKey& subkey : key.subkeys) {
    const std::size_t parentLength = path->size();
    path->append(1, '\\').append(subkey.name);
    out->append(1, '[').append(*path).append("]\n");
    for (const RegValue& value : subkey.values) {
      AppendValue(out, value);
    }
    out->push_back('\n');
    AppendKeys(out, subkey, path);
    path->resize(parentLength);
  }
}

void AppendKeyPath(std::string* out, const std::vector<std::string>& path) {
  out->append(kRootName);
  for (const std::string& name : path) {
    out->append(1, '\\').append(name);
  }
}

}  // namespace

bool operator==(const RegValue& left, const RegValue& right) {
  return left.name == right.name && left.type == right.type && left.data == right.data;
}

bool operator==(const RegKey& left, const RegKey& right) {
  return left.name == right.name && left.values == right.values && left.subkeys == right.subkeys;
}

bool ApplyRegistryText(std::string_view text, RegKey* root) {
  std::vector<Record> records;
  if (!ParseRecords(text, &records)) {
    return false;
  }
  // The parser refuses value lines outside a key section, so a value record always follows the
  // key record that makes current its key.
  RegKey* current = root;
  for (Record& record : records) {
    switch (record.kind) {
      case RecordKind::Key:
        current = root;
        for (const std::string& name : record.path) {
          current = FindOrAddSubkey(current, name);
        }
        break;
      case RecordKind::RemoveKey:
        RemoveKeyAt(root, record.path);
        break;
      case RecordKind::SetValue:
        RegPutValue(current, record.value.name, record.value.type, std::move(record.value.data));
        break;
      case RecordKind::RemoveValue:
        RemoveValue(current, record.value.name);
        break;
    }
  }
  return true;
}

std::string FormatRegistryText(const RegKey& root) {
  std::string out = "REGEDIT4\n\n";
  std::string path(kRootName);
  AppendKeys(&out, root, &path);
  return out;
}

std::string FormatSetValueRecord(const std::vector<std::string>& path, const RegValue& value) {
  std::string out = "[";
  AppendKeyPath(&out, path);
  out += "]\n";
  AppendValue(&out, value);
  return out;
}

std::string FormatRemoveKeyRecord(const std::vector<std::string>& path) {
  std::string out = "[-";
  AppendKeyPath(&out, path);
  out += "]\n";
  return out;
}

int RegCompareNames(std::string_view left, std::string_view right) {
  const std::size_t common = std::min(left.size(), right.size());
  for (std::size_t at = 0; at < common; ++at) {
    const unsigned char a = Fold(left[at]);
    const unsigned char b = Fold(right[at]);
    if (a != b) {
      return a < b ? -1 : 1;
    }
  }
  return left.size() == right.size() ? 0 : (left.size() < right.size() ? -1 : 1);
}

bool RegIsStorableName(std::string_view name) { return IsAllText(name); }

RegKey* RegFindSubkey(RegKey* key, std::string_view name) { return Find(key->subkeys, name); }

const RegKey* RegFindSubkey(const RegKey* key, std::string_view name) { return Find(key->subkeys, name); }

const RegValue* RegFindValue(const RegKey* key, std::string_view name) { return Find(key->values, name); }

bool RegRemoveSubkey(RegKey* key, std::string_view name) {
  bool exact = false;
  const auto found = Locate(key->subkeys, name, &exact);
  if (!exact) {
    return false;
  }
  key->subkeys.erase(found);
  return true;
}

void RegPutValue(RegKey* key, std::string_view name, std::uint32_t type, std::vector<unsigned char> data) {
  bool exact = false;
  auto found = Locate(key->values, name, &exact);
  if (!exact) {
    RegValue added;
    added.name = std::string(name);
    found = key->values.insert(found, std::move(added));
  }
  found->type = type;
  found->data = std::move(data);
}
