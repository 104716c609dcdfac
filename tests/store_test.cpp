#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/store.h"
#include "platform/regformat.h"
#include "sharedkey/sharedkey.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Each test gets a store of its own in a fresh folder.
class StoreTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/store-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    store_ = folder_ / "registry.reg";
    setenv("RUNRELEASE_REGISTRY", store_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("RUNRELEASE_REGISTRY");
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  static OsKey Open(const char* path) {
    OsKey key = nullptr;
    EXPECT_EQ(OsRegOpenKey(OsLocalMachine(), path, &key), kOsSuccess) << path;
    return key;
  }

  static std::string Export() {
    std::string text;
    EXPECT_EQ(StoreExport(&text), kOsSuccess);
    return text;
  }

  static std::string Query(OsKey key, const char* name) {
    unsigned char data[512];
    std::uint32_t size = sizeof data;
    if (OsRegQueryValue(key, name, data, &size) != kOsSuccess) {
      return "<missing>";
    }
    return std::string(reinterpret_cast<const char*>(data), size);
  }

  static std::vector<std::string> Subkeys(OsKey key) {
    std::vector<std::string> names;
    char name[300];
    for (std::uint32_t index = 0;; ++index) {
      std::uint32_t length = sizeof name;
      const int result = OsRegEnumKey(key, index, name, &length);
      if (result != kOsSuccess) {
        EXPECT_EQ(result, kOsNoMoreItems);
        return names;
      }
      names.emplace_back(name, length);
    }
  }

  fs::path folder_;
  fs::path store_;
};

std::string Canonical(const std::string& text) {
  RegKey root;
  EXPECT_TRUE(ApplyRegistryText(text, &root)) << text;
  return FormatRegistryText(root);
}

struct ValidCase {
  const char* what;
  std::string text;
  std::string canonical;
};

const std::string kHead = "REGEDIT4\n\n";

const ValidCase kValidFiles[] = {
    {"empty file is an empty registry", "", kHead},
    {"header only, CRLF", "REGEDIT4\r\n", kHead},
    {"parents implied, sections in any order, CRLF and comments",
     "REGEDIT4\r\n; a note\r\n\r\n[HKEY_LOCAL_MACHINE\\B\\C]\r\n\"x\"=\"1\"\r\n[HKEY_LOCAL_MACHINE\\A]\r\n",
     kHead + "[HKEY_LOCAL_MACHINE\\A]\n\n[HKEY_LOCAL_MACHINE\\B]\n\n[HKEY_LOCAL_MACHINE\\B\\C]\n\"x\"=\"1\"\n\n"},
    {"every kind of value",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n@=\"d\"\n\"s\"=\"a\\\\b\\\"c\"\n\"n\"=dword:1F\n\"b\"=hex:00,ff\n"
     "\"e\"=hex(2):41,00\n\"z\"=hex(1):41,00\n\"w\"=hex(4):01,00,00,00\n\"v\"=hex:\n",
     kHead + "[HKEY_LOCAL_MACHINE\\K]\n@=\"d\"\n\"b\"=hex:00,ff\n\"e\"=hex(2):41,00\n\"n\"=dword:0000001f\n"
             "\"s\"=\"a\\\\b\\\"c\"\n\"v\"=hex:\n\"w\"=dword:00000001\n\"z\"=\"A\"\n\n"},
    {"continuation lines join one hex value", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"b\"=hex:01,\\\n  02,\\\r\n  03\n",
     kHead + "[HKEY_LOCAL_MACHINE\\K]\n\"b\"=hex:01,02,03\n\n"},
    {"later records override and removals remove what came before",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=\"1\"\n\"b\"=\"2\"\n[HKEY_LOCAL_MACHINE\\K\\Sub\\Deep]\n"
     "[HKEY_LOCAL_MACHINE\\k]\n\"A\"=\"3\"\n\"b\"=-\n[-HKEY_LOCAL_MACHINE\\K\\SUB]\n[-HKEY_LOCAL_MACHINE\\Never]\n",
     kHead + "[HKEY_LOCAL_MACHINE\\K]\n\"a\"=\"3\"\n\n"},
    {"a key removed and written again is new",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=\"1\"\n[-HKEY_LOCAL_MACHINE\\K]\n[HKEY_LOCAL_MACHINE\\K]\n\"b\"=\"2\"\n",
     kHead + "[HKEY_LOCAL_MACHINE\\K]\n\"b\"=\"2\"\n\n"},
    {"bare root section without values, root name in any case",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE]\n[hkey_local_machine\\A]\n", kHead + "[HKEY_LOCAL_MACHINE\\A]\n\n"},
    {"names keep brackets, blanks and high bytes",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\a]b [x]\xc3\xa9]\n\"q ; [r]\"=\"\xc3\xa9\"\n",
     kHead + "[HKEY_LOCAL_MACHINE\\a]b [x]\xc3\xa9]\n\"q ; [r]\"=\"\xc3\xa9\"\n\n"},
    {"name of 255 bytes", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\" + std::string(255, 'n') + "]\n",
     kHead + "[HKEY_LOCAL_MACHINE\\" + std::string(255, 'n') + "]\n\n"},
};

std::string DeepPath(int depth) {
  std::string path = "HKEY_LOCAL_MACHINE";
  for (int level = 0; level < depth; ++level) {
    path += "\\d";
  }
  return path;
}

const std::pair<const char*, std::string> kInvalidFiles[] = {
    {"other header", "REGEDIT5\n[HKEY_LOCAL_MACHINE\\A]\n"},
    {"unicode export header", "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"},
    {"no header", "[HKEY_LOCAL_MACHINE\\A]\n"},
    {"second header", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\nREGEDIT4\n"},
    {"other root", "REGEDIT4\n[HKEY_CURRENT_USER\\A]\n"},
    {"root name run on", "REGEDIT4\n[HKEY_LOCAL_MACHINEX\\A]\n"},
    {"values on the bare root", "REGEDIT4\n[HKEY_LOCAL_MACHINE]\n\"v\"=\"x\"\n"},
    {"removing the root", "REGEDIT4\n[-HKEY_LOCAL_MACHINE]\n"},
    {"value before any section", "REGEDIT4\n\"v\"=\"x\"\n[HKEY_LOCAL_MACHINE\\A]\n"},
    {"value in a removal section", "REGEDIT4\n[-HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"x\"\n"},
    {"empty name between backslashes", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\\\B]\n"},
    {"trailing backslash", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\]\n"},
    {"name of 256 bytes", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\" + std::string(256, 'n') + "]\n"},
    {"513 levels", "REGEDIT4\n[" + DeepPath(513) + "]\n"},
    {"NUL byte", std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"a") + '\0' + "b\"\n"},
    {"control byte", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"a\rb\"\n"},
    {"unknown escape", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"a\\nb\"\n"},
    {"unterminated string", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"abc\n"},
    {"text after the string", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"abc\" x\n"},
    {"blanks around the equals sign", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\" = \"abc\"\n"},
    {"dword of 9 digits", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:000000001\n"},
    {"dword not hex", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:12g4\n"},
    {"empty dword", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:\n"},
    {"hex byte of one digit", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:1,02\n"},
    {"hex list ending in a comma", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:01,\n"},
    {"continuation at the end", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:01,\\\n"},
    {"bad hex type", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex(1x):00\n"},
    {"unknown data kind", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=qword:01\n"},
    {"unclosed section", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n"},
    {"stray words", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\nhello\n"},
    {"good records then one bad line",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"1\"\n[HKEY_LOCAL_MACHINE\\B]\n\"w\"=\n"},
};

TEST(RegistryText, ValidFilesParseToTheirCanonicalText) {
  for (const ValidCase& valid : kValidFiles) {
    RegKey root;
    ASSERT_TRUE(ApplyRegistryText(valid.text, &root)) << valid.what;
    EXPECT_EQ(FormatRegistryText(root), valid.canonical) << valid.what;
  }
  RegKey deep;
  EXPECT_TRUE(ApplyRegistryText("REGEDIT4\n[" + DeepPath(512) + "]\n", &deep)) << "512 levels";
}

TEST(RegistryText, InvalidFilesLeaveTheTreeAsItWas) {
  const std::string seed = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Kept]\n\"k\"=dword:7\n";
  for (const auto& [what, text] : kInvalidFiles) {
    RegKey root;
    ASSERT_TRUE(ApplyRegistryText(seed, &root));
    const RegKey before = root;
    EXPECT_FALSE(ApplyRegistryText(text, &root)) << what;
    EXPECT_TRUE(root == before) << what;
  }
}

TEST(RegistryText, LongBinaryWrapsAndStrangeValuesComeBackExactly) {
  RegKey root;
  ASSERT_TRUE(ApplyRegistryText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K\\\"q\\\"]\n", &root));
  RegKey& key = root.subkeys[0];
  std::vector<unsigned char> bytes(300);
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    bytes[at] = static_cast<unsigned char>(at);
  }
  RegPutValue(&key, "long", kRegBinary, bytes);
  RegPutValue(&key, "no nul", kRegSz, {'a', 'b'});
  RegPutValue(&key, "inner nul", kRegSz, {'a', 0, 'b', 0});
  RegPutValue(&key, "newline", kRegSz, {'a', '\n', 0});
  RegPutValue(&key, "empty sz", kRegSz, {});
  RegPutValue(&key, "short dword", kRegDword, {1, 2, 3});
  RegPutValue(&key, "none", 0, {});
  RegPutValue(&key, "top type", 0xFFFFFFFF, {9});
  RegPutValue(&key, "tab\tand \\ \"", kRegSz, {'\t', 0});
  const std::string text = FormatRegistryText(root);
  RegKey back;
  ASSERT_TRUE(ApplyRegistryText(text, &back)) << text;
  EXPECT_TRUE(back == root) << text;
  std::istringstream lines(text);
  int longLines = 0;
  for (std::string line; std::getline(lines, line);) {
    EXPECT_LE(line.size(), 80U) << line;
    longLines += !line.empty() && line.back() == '\\' ? 1 : 0;
  }
  EXPECT_GE(longLines, 10);
}

// Random files of every record kind: each one's canonical text parses back to the same tree and
// formats to itself.
TEST(RegistryText, RandomFilesRoundTrip) {
  std::mt19937 random(20240601);
  const char* const names[] = {"a", "A", "b", "_x", "Zed", "q\"uote", "back\\slash", "[br]", "\xe4", " sp "};
  auto pick = [&](int count) { return static_cast<int>(random() % static_cast<unsigned>(count)); };
  auto quoted = [](const std::string& name) {
    std::string out = "\"";
    for (char c : name) {
      out += (c == '\\' || c == '"') ? std::string("\\") + c : std::string(1, c);
    }
    return out + "\"";
  };
  for (int round = 0; round < 200; ++round) {
    std::string text = "REGEDIT4\n";
    bool inKey = false;
    for (int record = pick(30); record > 0; --record) {
      const int kind = pick(6);
      if (kind <= 1 || !inKey) {
        std::string path = "HKEY_LOCAL_MACHINE";
        for (int depth = 1 + pick(3); depth > 0; --depth) {
          std::string name = names[pick(10)];
          name.erase(std::remove(name.begin(), name.end(), '\\'), name.end());
          path += "\\" + name;
        }
        const bool remove = kind == 1 && inKey;
        text += (remove ? "[-" : "[") + path + "]\n";
        inKey = !remove;
        continue;
      }
      text += pick(5) == 0 ? std::string("@") : quoted(names[pick(10)]);
      switch (kind) {
        case 2:
          text += "=" + quoted(names[pick(10)]) + "\n";
          break;
        case 3:
          text += "=dword:" + std::to_string(pick(100000)) + "\n";
          break;
        case 4: {
          text += pick(2) == 0 ? "=hex:" : "=hex(" + std::to_string(pick(12)) + "):";
          for (int count = pick(60); count > 0; --count) {
            char byte[4];
            (void)std::snprintf(byte, sizeof byte, "%02x", pick(256));
            text += byte + std::string(count > 1 ? (pick(8) == 0 ? ",\\\n  " : ",") : "");
          }
          text += "\n";
          break;
        }
        default:
          text += "=-\n";
      }
    }
    RegKey first;
    ASSERT_TRUE(ApplyRegistryText(text, &first)) << text;
    const std::string canonical = FormatRegistryText(first);
    RegKey second;
    ASSERT_TRUE(ApplyRegistryText(canonical, &second)) << canonical;
    EXPECT_TRUE(second == first) << text;
    EXPECT_EQ(FormatRegistryText(second), canonical);
  }
}

TEST_F(StoreTest, InvalidStoreIsRefusedByEveryCallAndNeverWritten) {
  std::vector<std::string> texts;
  for (const auto& invalid : kInvalidFiles) {
    texts.push_back(invalid.second);
  }
  for (const std::string& text : texts) {
    // The store starts valid, so each bad file is seen as a change to a cached store.
    WriteFile(store_, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n");
    OsKey key = Open("A");
    // A new inode: the cached one is held open, so the change cannot go unseen.
    fs::remove(store_);
    WriteFile(store_, text);
    OsKey other = nullptr;
    unsigned char data[8];
    std::uint32_t size = sizeof data;
    char name[8];
    std::uint32_t length = sizeof name;
    std::string exported;
    EXPECT_EQ(OsRegOpenKey(OsLocalMachine(), "A", &other), kOsBadDatabase) << text;
    EXPECT_EQ(OsRegQueryValue(key, "v", data, &size), kOsBadDatabase);
    EXPECT_EQ(OsRegSetStringValue(key, "v", "x", 2), kOsBadDatabase);
    EXPECT_EQ(OsRegEnumKey(OsLocalMachine(), 0, name, &length), kOsBadDatabase);
    EXPECT_EQ(OsRegDeleteKey(OsLocalMachine(), "A"), kOsBadDatabase);
    EXPECT_EQ(StoreImport("REGEDIT4\n[HKEY_LOCAL_MACHINE\\New]\n"), kOsBadDatabase);
    EXPECT_EQ(StoreExport(&exported), kOsBadDatabase);
    EXPECT_EQ(ReadFile(store_), text);
    EXPECT_EQ(OsRegCloseKey(key), kOsSuccess);
  }
}

TEST_F(StoreTest, InvalidImportChangesNothing) {
  ASSERT_EQ(StoreImport("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"1\"\n"), kOsSuccess);
  const std::string before = ReadFile(store_);
  EXPECT_EQ(StoreImport("REGEDIT4\n[-HKEY_LOCAL_MACHINE\\A]\n[HKEY_LOCAL_MACHINE\\B]\n\"w\"=\n"), kOsBadDatabase);
  EXPECT_EQ(ReadFile(store_), before);
}

TEST_F(StoreTest, MissingStoreIsEmptyAndReadsCreateNothing) {
  OsKey key = nullptr;
  char name[8];
  std::uint32_t length = sizeof name;
  EXPECT_EQ(OsRegOpenKey(OsLocalMachine(), "Software", &key), kOsFileNotFound);
  EXPECT_EQ(OsRegEnumKey(OsLocalMachine(), 0, name, &length), kOsNoMoreItems);
  EXPECT_EQ(Export(), kHead);
  EXPECT_FALSE(fs::exists(store_));
  WriteFile(store_, "");
  EXPECT_EQ(Export(), kHead);
}

TEST_F(StoreTest, PersonWrittenFileIsReadAndRewrittenCanonically) {
  const ValidCase& sample = kValidFiles[2];
  WriteFile(store_, sample.text);
  EXPECT_EQ(Export(), sample.canonical);
  OsKey key = Open("b\\c");
  ASSERT_EQ(OsRegSetStringValue(key, "y", "2", 2), kOsSuccess);
  EXPECT_EQ(ReadFile(store_), kHead +
                                  "[HKEY_LOCAL_MACHINE\\A]\n\n[HKEY_LOCAL_MACHINE\\B]\n\n"
                                  "[HKEY_LOCAL_MACHINE\\B\\C]\n\"x\"=\"1\"\n\"y\"=\"2\"\n\n");
  EXPECT_EQ(OsRegCloseKey(key), kOsSuccess);
}

TEST_F(StoreTest, NamesMatchInAnyCaseKeepTheirCaseAndEnumerateInFoldedOrder) {
  ASSERT_EQ(StoreImport("REGEDIT4\n[HKEY_LOCAL_MACHINE\\S\\b]\n[HKEY_LOCAL_MACHINE\\S\\Zed]\n"
                        "[HKEY_LOCAL_MACHINE\\S\\a2]\n[HKEY_LOCAL_MACHINE\\S\\_u]\n[HKEY_LOCAL_MACHINE\\S\\A1]\n"
                        "[HKEY_LOCAL_MACHINE\\s\\B]\n\"Value\"=\"v\"\n"),
            kOsSuccess);
  OsKey key = Open("s");
  EXPECT_EQ(Subkeys(key), (std::vector<std::string>{"_u", "A1", "a2", "b", "Zed"}));
  OsKey sub = Open("S\\B");
  EXPECT_EQ(Query(sub, "VALUE"), std::string("v\0", 2));
  ASSERT_EQ(OsRegSetStringValue(sub, "value", "w", 2), kOsSuccess);
  EXPECT_EQ(OsRegDeleteKey(key, "ZED"), kOsSuccess);
  EXPECT_EQ(Export(), kHead +
                          "[HKEY_LOCAL_MACHINE\\S]\n\n[HKEY_LOCAL_MACHINE\\S\\_u]\n\n[HKEY_LOCAL_MACHINE\\S\\A1]\n\n"
                          "[HKEY_LOCAL_MACHINE\\S\\a2]\n\n[HKEY_LOCAL_MACHINE\\S\\b]\n\"Value\"=\"w\"\n\n");
  EXPECT_EQ(OsRegCloseKey(sub), kOsSuccess);
  EXPECT_EQ(OsRegCloseKey(key), kOsSuccess);
}

TEST_F(StoreTest, QueryAndEnumAnswerLikeWindows) {
  ASSERT_EQ(StoreImport("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K\\abc]\n[HKEY_LOCAL_MACHINE\\K]\n\"s\"=\"hello\"\n"
                        "\"b\"=hex:\n"),
            kOsSuccess);
  OsKey key = Open("K");
  unsigned char data[16] = {};
  std::uint32_t size = 5;
  EXPECT_EQ(OsRegQueryValue(key, "s", data, &size), kOsMoreData);
  EXPECT_EQ(size, 6U);
  size = 0;
  EXPECT_EQ(OsRegQueryValue(key, "s", nullptr, &size), kOsSuccess);
  EXPECT_EQ(size, 6U);
  EXPECT_EQ(OsRegQueryValue(key, "s", data, &size), kOsSuccess);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), std::string("hello\0", 6));
  size = 0;
  EXPECT_EQ(OsRegQueryValue(key, "b", data, &size), kOsSuccess);
  EXPECT_EQ(size, 0U);
  EXPECT_EQ(OsRegQueryValue(key, "missing", data, &size), kOsFileNotFound);
  EXPECT_EQ(OsRegQueryValue(key, nullptr, data, &size), kOsFileNotFound);

  char name[8] = {};
  std::uint32_t length = 3;
  EXPECT_EQ(OsRegEnumKey(key, 0, name, &length), kOsMoreData) << "no room for the NUL";
  length = 4;
  EXPECT_EQ(OsRegEnumKey(key, 0, name, &length), kOsSuccess);
  EXPECT_EQ(length, 3U);
  EXPECT_STREQ(name, "abc");
  length = sizeof name;
  EXPECT_EQ(OsRegEnumKey(key, 1, name, &length), kOsNoMoreItems);
  EXPECT_EQ(OsRegCloseKey(key), kOsSuccess);
}

TEST_F(StoreTest, SetStoresExactBytesAndRefusesWhatTheFileCannotHold) {
  ASSERT_EQ(StoreImport("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n"), kOsSuccess);
  OsKey key = Open("K");
  EXPECT_EQ(OsRegSetStringValue(key, nullptr, "d", 2), kOsSuccess);
  EXPECT_EQ(OsRegSetStringValue(key, "raw", "ab", 2), kOsSuccess);
  EXPECT_EQ(OsRegSetStringValue(key, "line", "a\nb", 4), kOsSuccess);
  EXPECT_EQ(OsRegSetStringValue(key, "bad\nname", "x", 2), kOsInvalidParameter);
  EXPECT_EQ(OsRegSetStringValue(key, "null", nullptr, 3), kOsInvalidParameter);
  EXPECT_EQ(OsRegSetStringValue(OsLocalMachine(), "v", "x", 2), kOsAccessDenied);
  EXPECT_EQ(Query(key, ""), std::string("d\0", 2));
  EXPECT_EQ(Query(key, "raw"), "ab");
  EXPECT_EQ(Query(key, "line"), std::string("a\nb\0", 4));
  EXPECT_EQ(Canonical(ReadFile(store_)), kHead +
                                             "[HKEY_LOCAL_MACHINE\\K]\n@=\"d\"\n\"line\"=hex(1):61,0a,62,00\n"
                                             "\"raw\"=hex(1):61,62\n\n");
  EXPECT_EQ(OsRegCloseKey(key), kOsSuccess);
}

TEST_F(StoreTest, ChangesAreAppendedReadTheSameByAnyReaderAndStayBounded) {
  ASSERT_EQ(StoreImport("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K\\Gone]\n[HKEY_LOCAL_MACHINE\\K\\Kept]\n"), kOsSuccess);
  const std::string imported = ReadFile(store_);
  OsKey key = Open("K");
  ASSERT_EQ(OsRegDeleteKey(key, "GONE"), kOsSuccess);
  EXPECT_EQ(ReadFile(store_).substr(0, imported.size()), imported) << "the delete rewrote the file";
  std::size_t largest = 0;
  for (int change = 0; change < 3000; ++change) {
    // Some values hold control bytes, which the file keeps as hex.
    const std::string text =
        "value " + std::to_string(change) + std::string(static_cast<std::size_t>(change % 3), '\x01');
    const std::string name = "v" + std::to_string(change % 50);
    ASSERT_EQ(OsRegSetStringValue(key, name.c_str(), text.c_str(), static_cast<std::uint32_t>(text.size() + 1)),
              kOsSuccess);
    largest = std::max(largest, static_cast<std::size_t>(fs::file_size(store_)));
  }
  const std::string file = ReadFile(store_);
  EXPECT_EQ(Canonical(file), Export());
  EXPECT_LT(largest, 64U * 1024U + 4096U) << "appended changes are never rewritten";
  // Read afresh by the store itself, under another name.
  const fs::path copy = folder_ / "copy.reg";
  fs::copy_file(store_, copy);
  const std::string cached = Export();
  setenv("RUNRELEASE_REGISTRY", copy.c_str(), 1);
  EXPECT_EQ(Export(), cached);
  EXPECT_EQ(OsRegCloseKey(key), kOsSuccess);
}

// A store file without write permission is replaced, keeping its mode, as every rewrite is. As
// root the change is made by a child that gives up root, since root may write any file.
TEST_F(StoreTest, FileWithoutWritePermissionIsReplacedNotAppendedTo) {
  ASSERT_EQ(StoreImport("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n"), kOsSuccess);
  ASSERT_EQ(chmod(store_.c_str(), 0444), 0);
  ASSERT_EQ(chmod((store_.string() + ".lock").c_str(), 0666), 0);
  ASSERT_EQ(chmod(folder_.c_str(), 0777), 0);
  const pid_t child = fork();
  if (child == 0) {
    constexpr uid_t kNobody = 65534;
    if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
      _exit(100);
    }
    OsKey key = nullptr;
    const int opened = OsRegOpenKey(OsLocalMachine(), "K", &key);
    _exit(opened != 0 ? opened : OsRegSetStringValue(key, "v", "1", 2));
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(fs::status(store_).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  EXPECT_EQ(ReadFile(store_), kHead + "[HKEY_LOCAL_MACHINE\\K]\n\"v\"=\"1\"\n\n");
}

// Whatever a change cut short at any byte leaves, zeroed or not, the store reads as before it, and
// the next change cuts it off and is whole.
TEST_F(StoreTest, ChangeCutShortIsNoPartOfTheStore) {
  ASSERT_EQ(StoreImport("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=\"0\"\n"), kOsSuccess);
  OsKey key = Open("K");
  ASSERT_EQ(OsRegSetStringValue(key, "v", "1", 2), kOsSuccess);
  const std::string committed = ReadFile(store_);
  const std::string before = Export();
  ASSERT_EQ(OsRegSetStringValue(key, "v", "2", 2), kOsSuccess);
  const std::string change = ReadFile(store_).substr(committed.size());
  ASSERT_GT(change.size(), 20U);
  for (std::size_t cut = 0; cut < change.size(); ++cut) {
    for (const bool zeroed : {false, true}) {
      std::string text = committed + change.substr(0, cut);
      if (zeroed) {
        text.append(change.size() - cut, '\0');
      }
      fs::remove(store_);
      WriteFile(store_, text);
      EXPECT_EQ(Export(), before) << "cut at " << cut << (zeroed ? ", zeroed" : "");
      ASSERT_EQ(OsRegSetStringValue(key, "w", "3", 2), kOsSuccess);
      EXPECT_EQ(ReadFile(store_).substr(0, committed.size()), committed);
      EXPECT_EQ(Canonical(ReadFile(store_)), Canonical(committed + "[HKEY_LOCAL_MACHINE\\K]\n\"w\"=\"3\"\n"))
          << "cut at " << cut << (zeroed ? ", zeroed" : "");
    }
  }
  EXPECT_EQ(OsRegCloseKey(key), kOsSuccess);
}

TEST(StoreText, OnlyACutShortChangeIsLeftOut) {
  const std::string records = "[-HKEY_LOCAL_MACHINE\\A]\n";
  const std::string change =
      ";runrelease change " + std::to_string(records.size()) + "\n" + records + ";runrelease end\n";
  const std::string base = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\n";
  const struct {
    const char* name;
    std::string text;
    std::size_t committed;
  } cases[] = {
      {"no change", base, base.size()},
      {"a whole change", base + change, base.size() + change.size()},
      {"a change cut short", base + change.substr(0, 30), base.size()},
      {"the end line cut short", base + change.substr(0, change.size() - 1), base.size()},
      {"a first line cut short", base + change + ";runrelease ch", base.size() + change.size()},
      {"zeros after a change", base + change + std::string(9, '\0'), base.size() + change.size()},
      {"a frame-like comment with more after it",
       "REGEDIT4\n;runrelease change 3\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"1\"\n", std::string::npos},
      {"a comment that is no frame", "REGEDIT4\n;runrelease changes\n", std::string::npos},
      {"a last line without its end", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]", std::string::npos},
  };
  for (const auto& sample : cases) {
    const std::size_t expected = sample.committed == std::string::npos ? sample.text.size() : sample.committed;
    EXPECT_EQ(StoreCommittedLength(sample.text), expected) << sample.name;
  }
}

TEST_F(StoreTest, PathsAndDeletesAnswerLikeWindows) {
  ASSERT_EQ(StoreImport("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\B\\C]\n"), kOsSuccess);
  OsKey key = nullptr;
  for (const char* path : {"\\A", "A\\\\B", "A\\", "\\"}) {
    EXPECT_EQ(OsRegOpenKey(OsLocalMachine(), path, &key), kOsBadPathname) << path;
    EXPECT_EQ(OsRegDeleteKey(OsLocalMachine(), path), kOsBadPathname) << path;
  }
  EXPECT_EQ(OsRegOpenKey(OsLocalMachine(), "A\\X", &key), kOsFileNotFound);
  EXPECT_EQ(OsRegDeleteKey(OsLocalMachine(), "A\\X"), kOsFileNotFound);
  EXPECT_EQ(OsRegDeleteKey(OsLocalMachine(), "X\\Y"), kOsFileNotFound);
  EXPECT_EQ(OsRegDeleteKey(OsLocalMachine(), "A\\B"), kOsAccessDenied) << "has a subkey";
  EXPECT_EQ(OsRegDeleteKey(OsLocalMachine(), ""), kOsAccessDenied) << "the root itself";
  OsKey b = Open("A\\B");
  OsKey same = nullptr;
  ASSERT_EQ(OsRegOpenKey(b, "", &same), kOsSuccess);
  EXPECT_EQ(OsRegDeleteKey(b, "C"), kOsSuccess);
  EXPECT_EQ(OsRegDeleteKey(same, ""), kOsSuccess) << "an empty path names the handle's key";
  EXPECT_EQ(Export(), kHead + "[HKEY_LOCAL_MACHINE\\A]\n\n");
  EXPECT_EQ(OsRegCloseKey(b), kOsSuccess);
  EXPECT_EQ(OsRegCloseKey(same), kOsSuccess);
  EXPECT_EQ(OsRegCloseKey(OsLocalMachine()), kOsSuccess);
  EXPECT_EQ(OsRegOpenKey(OsLocalMachine(), "A", &key), kOsSuccess) << "the root outlives its close";
  EXPECT_EQ(OsRegCloseKey(key), kOsSuccess);
}

void ExpectKeyDeleted(OsKey gone) {
  OsKey opened = nullptr;
  unsigned char data[4];
  std::uint32_t size = sizeof data;
  char name[8];
  std::uint32_t length = sizeof name;
  EXPECT_EQ(OsRegOpenKey(gone, "", &opened), kOsKeyDeleted);
  EXPECT_EQ(OsRegQueryValue(gone, "v", data, &size), kOsKeyDeleted);
  EXPECT_EQ(OsRegSetStringValue(gone, "v", "x", 2), kOsKeyDeleted);
  EXPECT_EQ(OsRegEnumKey(gone, 0, name, &length), kOsKeyDeleted);
  EXPECT_EQ(OsRegDeleteKey(gone, "Sub"), kOsKeyDeleted);
}

const std::string kRecreated = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\P\\K\\Sub]\n";

// A handle whose key went answers 1018 to every call, and stays so when a key of the same name
// comes back.
TEST_F(StoreTest, HandleToKeyRemovedHereAnswersKeyDeleted) {
  ASSERT_EQ(StoreImport(kRecreated), kOsSuccess);
  OsKey key = Open("P\\K");
  OsKey sub = Open("P\\K\\Sub");
  ASSERT_EQ(OsRegDeleteKey(key, "Sub"), kOsSuccess);
  ASSERT_EQ(OsRegDeleteKey(OsLocalMachine(), "P\\K"), kOsSuccess);
  ASSERT_EQ(StoreImport(kRecreated), kOsSuccess);
  for (OsKey gone : {key, sub}) {
    ExpectKeyDeleted(gone);
    EXPECT_EQ(OsRegCloseKey(gone), kOsSuccess);
  }
  EXPECT_EQ(Export(), Canonical(kRecreated)) << "the new keys are untouched";
}

TEST_F(StoreTest, HandleToKeyRemovedByAnotherProcessAnswersKeyDeleted) {
  ASSERT_EQ(StoreImport(kRecreated), kOsSuccess);
  OsKey key = Open("P\\K");
  OsKey sub = Open("P\\K\\Sub");
  const pid_t child = fork();
  if (child == 0) {
    _exit(StoreImport("REGEDIT4\n[-HKEY_LOCAL_MACHINE\\P\\K]\n"));
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0);
  for (OsKey gone : {key, sub}) {
    ExpectKeyDeleted(gone);
  }
  ASSERT_EQ(StoreImport(kRecreated), kOsSuccess);
  for (OsKey gone : {key, sub}) {
    ExpectKeyDeleted(gone);
    EXPECT_EQ(OsRegCloseKey(gone), kOsSuccess);
  }
  EXPECT_EQ(Export(), Canonical(kRecreated));
}

TEST_F(StoreTest, EveryCallSeesWhatOthersWrote) {
  ASSERT_EQ(StoreImport("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=\"1\"\n"), kOsSuccess);
  OsKey key = Open("K");
  EXPECT_EQ(Query(key, "v"), std::string("1\0", 2));
  const pid_t child = fork();
  if (child == 0) {
    OsKey own = nullptr;
    const int opened = OsRegOpenKey(OsLocalMachine(), "K", &own);
    _exit(opened != 0 ? opened : OsRegSetStringValue(own, "v", "2", 2));
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(Query(key, "v"), std::string("2\0", 2));
  // An editor that rewrites the file in place, keeping its inode.
  WriteFile(store_, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=\"3\"\n");
  EXPECT_EQ(Query(key, "v"), std::string("3\0", 2));
  fs::remove(store_);
  EXPECT_EQ(Query(key, "v"), "<missing>");
  EXPECT_EQ(OsRegCloseKey(key), kOsSuccess);
}

TEST_F(StoreTest, ConcurrentWritersLoseNothing) {
  constexpr int kProcesses = 4;
  constexpr int kChanges = 40;
  ASSERT_EQ(StoreImport("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Shared]\n"), kOsSuccess);
  std::vector<pid_t> children;
  for (int process = 0; process < kProcesses; ++process) {
    const pid_t child = fork();
    if (child == 0) {
      OsKey shared = nullptr;
      int failed = OsRegOpenKey(OsLocalMachine(), "Shared", &shared);
      for (int change = 0; change < kChanges && failed == 0; ++change) {
        const std::string id = std::to_string(process) + "-" + std::to_string(change);
        failed = change % 2 == 0 ? StoreImport("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Shared\\K" + id + "]\n")
                                 : OsRegSetStringValue(shared, ("v" + id).c_str(), id.c_str(),
                                                       static_cast<std::uint32_t>(id.size() + 1));
      }
      _exit(failed);
    }
    children.push_back(child);
  }
  for (const pid_t child : children) {
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
  }
  OsKey shared = Open("Shared");
  EXPECT_EQ(Subkeys(shared).size(), static_cast<std::size_t>(kProcesses * kChanges / 2));
  for (int process = 0; process < kProcesses; ++process) {
    for (int change = 0; change < kChanges; ++change) {
      const std::string id = std::to_string(process) + "-" + std::to_string(change);
      OsKey sub = nullptr;
      if (change % 2 == 0) {
        EXPECT_EQ(OsRegOpenKey(shared, ("K" + id).c_str(), &sub), kOsSuccess) << id;
        OsRegCloseKey(sub);
      } else {
        EXPECT_EQ(Query(shared, ("v" + id).c_str()), id + '\0');
      }
    }
  }
  EXPECT_EQ(OsRegCloseKey(shared), kOsSuccess);
}

constexpr int kGenerationValues = 1000;

// Each generation replaces the whole tree; a reader must only ever see one generation whole.
std::string Generation(int generation) {
  std::string text = "REGEDIT4\n[-HKEY_LOCAL_MACHINE\\Big]\n[HKEY_LOCAL_MACHINE\\Big]\n";
  const std::string data = std::to_string(generation) + std::string(100, '.');
  for (int value = 0; value < kGenerationValues; ++value) {
    text += "\"v" + std::to_string(value) + "\"=\"" + data + "\"\n";
  }
  return text;
}

TEST_F(StoreTest, KilledWriterLeavesOldOrNewStore) {
  ASSERT_EQ(StoreImport(Generation(0)), kOsSuccess);
  std::mt19937 random(7);
  int lastSeen = 0;
  for (int kill = 0; kill < 25; ++kill) {
    const pid_t child = fork();
    if (child == 0) {
      for (int generation = lastSeen + 1;; ++generation) {
        StoreImport(Generation(generation));
      }
    }
    usleep(1000 + static_cast<useconds_t>(random() % 60000));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    RegKey root;
    const std::string text = ReadFile(store_);
    ASSERT_TRUE(ApplyRegistryText(text, &root)) << "torn store after kill " << kill;
    ASSERT_EQ(root.subkeys.size(), 1U);
    const std::vector<RegValue>& values = root.subkeys[0].values;
    ASSERT_EQ(values.size(), static_cast<std::size_t>(kGenerationValues));
    const std::vector<unsigned char> first = values[0].data;
    for (const RegValue& value : values) {
      ASSERT_EQ(value.data, first) << "mixed generations after kill " << kill;
    }
    lastSeen = std::stoi(std::string(first.begin(), first.end() - 1));
    for (const auto& entry : fs::directory_iterator(folder_)) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(name == "registry.reg" || name == "registry.reg.lock" || name == "registry.reg.tmp") << name;
    }
  }
  EXPECT_GT(lastSeen, 0) << "the writer never finished a change";
  ASSERT_EQ(StoreImport(Generation(-1)), kOsSuccess) << "the lock died with the writer";
  EXPECT_EQ(Export(), Canonical(Generation(-1)));
}

#if defined(__SANITIZE_ADDRESS__)
constexpr double kReleaseSecondsLimit = 600;  // the sanitizers slow every call several times
#else
constexpr double kReleaseSecondsLimit = 60;
#endif

// The release of a shared key with 10,000 subkeys: about 50,000 calls, each change durable.
TEST_F(StoreTest, ReleasingTenThousandSubkeysTakesSeconds) {
  constexpr int kSubkeys = 10000;
  std::string text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Norvo\\Common]\n\"LockCount\"=\"1\"\n";
  for (int index = 0; index < kSubkeys; ++index) {
    text += "[HKEY_LOCAL_MACHINE\\Software\\Norvo\\Common\\Sub" + std::to_string(index) + "]\n\"v\"=\"x\"\n";
  }
  ASSERT_EQ(StoreImport(text), kOsSuccess);
  const auto start = std::chrono::steady_clock::now();
  DeleteKeyTree(OsLocalMachine(), kSharedKeyPath);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("released %d subkeys in %.2f s\n", kSubkeys, seconds);
  EXPECT_LT(seconds, kReleaseSecondsLimit);
  EXPECT_EQ(Export(), kHead + "[HKEY_LOCAL_MACHINE\\Software]\n\n[HKEY_LOCAL_MACHINE\\Software\\Norvo]\n\n");
}

}  // namespace
