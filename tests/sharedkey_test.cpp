// Lowering the lock count and removing key trees, on the real backend, with its calls made to
// fail where a case asks for it.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "e2e/scenario.h"
#include "platform/fault.h"
#include "sharedkey/sharedkey.h"
#include "support/testsupport.h"

namespace fs = std::filesystem;

namespace {

class SharedKey : public testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    folder = fs::temp_directory_path() / ("rrunit" + std::to_string(random()));
    fs::create_directories(folder);
    TestIsolateRegistry(folder.string());
    OsClearFaults();
  }
  void TearDown() override {
    OsClearFaults();
    TestResetRegistry("");
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }
  static void Seed(const std::string& items, const char* faults) {
    ASSERT_EQ(TestResetRegistry(RegistryTextOfItems(items)), 0) << items;
    OsClearFaults();
    ASSERT_EQ(OsParseFaults(faults), 1) << faults;
  }
  fs::path folder;
};

struct DecrementCase {
  const char* before;
  const char* faults;
  int result;
  const char* after;  // nullptr: as before
};

TEST_F(SharedKey, DecrementLockCount) {
  const DecrementCase cases[] = {
      {"[Software\\Norvo\\Common] \"LockCount\"=\"1\"", "", 0, "[Software\\Norvo\\Common] \"LockCount\"=\"0\""},
      {"[Software\\Norvo\\Common] \"LockCount\"=\"0\"", "", -1, "[Software\\Norvo\\Common] \"LockCount\"=\"-1\""},
      {"[Software\\Norvo\\Common] \"LockCount\"=\"007\"", "", 6, "[Software\\Norvo\\Common] \"LockCount\"=\"6\""},
      {"[Software\\Norvo\\Common] \"LockCount\"=\"0x10\"", "", -1, "[Software\\Norvo\\Common] \"LockCount\"=\"-1\""},
      {"[Software\\Norvo\\Common] \"LockCount\"=\"4294967295\"", "", -2,
       "[Software\\Norvo\\Common] \"LockCount\"=\"-2\""},
      // Text stored without a NUL ends with the stored bytes.
      {"[Software\\Norvo\\Common] \"LockCount\"=hex(1):31,32", "", 11,
       "[Software\\Norvo\\Common] \"LockCount\"=\"11\""},
      // Written back as text whatever the stored type was.
      {"[Software\\Norvo\\Common] \"LockCount\"=hex:33,00", "", 2, "[Software\\Norvo\\Common] \"LockCount\"=\"2\""},
      {"[Software\\Norvo\\Common] \"LockCount\"=\"{repeat:259:0}\"", "", -1,
       "[Software\\Norvo\\Common] \"LockCount\"=\"-1\""},
      // Unreadable: missing, or too large for the value buffer.
      {"[Software\\Norvo\\Common]", "", 0, "[Software\\Norvo\\Common] \"LockCount\"=\"0\""},
      {"[Software\\Norvo\\Common] \"LockCount\"=\"{repeat:260:5}\"", "", 0,
       "[Software\\Norvo\\Common] \"LockCount\"=\"0\""},
      // Holding no number, or not read for another reason: left exactly as it is.
      {"[Software\\Norvo\\Common] \"LockCount\"=\"3\"", "RegQueryValue:1:5", kSharedKeyLeftAlone, nullptr},
      {"[Software\\Norvo\\Common] \"LockCount\"=\"3\"", "RegQueryValue:1:1018", kSharedKeyLeftAlone, nullptr},
      {"[Software\\Norvo\\Common] \"LockCount\"=dword:00000007", "", kSharedKeyLeftAlone, nullptr},
      {"[Software\\Norvo\\Common] \"LockCount\"=\"\"", "", kSharedKeyLeftAlone, nullptr},
      {"[Software\\Norvo\\Common] \"LockCount\"=\"+\"", "", kSharedKeyLeftAlone, nullptr},
      {"[Software\\Norvo\\Common] \"LockCount\"=\"   \"", "", kSharedKeyLeftAlone, nullptr},
      {"[Software\\Norvo\\Common] \"LockCount\"=\"holds\"", "", kSharedKeyLeftAlone, nullptr},
      // No shared key, or one that cannot be opened: nothing written.
      {"[Software\\Norvo]", "", kSharedKeyLeftAlone, nullptr},
      {"[Software\\Norvo\\Common] \"LockCount\"=\"1\"", "RegOpenKey:1:5", kSharedKeyLeftAlone, nullptr},
      // A write that fails goes unnoticed: the count is still the lowered one.
      {"[Software\\Norvo\\Common] \"LockCount\"=\"3\"", "RegSetStringValue:1:5", 2, nullptr},
  };
  for (const DecrementCase& testCase : cases) {
    Seed(testCase.before, testCase.faults);
    EXPECT_EQ(DecrementLockCount(), testCase.result) << testCase.before << " " << testCase.faults;
    OsClearFaults();
    EXPECT_EQ(TestExportRegistry(), CanonicalOwnedTrees(testCase.after != nullptr ? testCase.after : testCase.before))
        << testCase.before << " " << testCase.faults;
  }
}

struct TreeCase {
  const char* before;
  const char* faults;
  const char* after;
};

TEST_F(SharedKey, DeleteKeyTree) {
  const TreeCase cases[] = {
      {"[Software\\Norvo\\Common\\Aa] [Software\\Norvo\\Common\\Bb] [Software\\Norvo\\Common\\Cc] "
       "[Software\\Norvo\\Common\\Dd] \"V\"=\"1\" [Software\\Norvo\\Tools]",
       "", "[Software\\Norvo\\Tools]"},
      {"[Software\\Norvo\\Common\\A] [Software\\Norvo\\Common\\Bb] [Software\\Norvo\\Common\\Ccc] "
       "[Software\\Norvo\\Common\\Dddd] [Software\\Norvo\\Tools]",
       "", "[Software\\Norvo\\Tools]"},
      {"[Software\\Norvo\\Common\\L1\\L2\\L3\\L4\\L5\\L6] \"Deep\"=\"yes\" [Software\\Norvo\\Common\\L1\\Side] "
       "[Software\\Norvo\\Tools]",
       "", "[Software\\Norvo\\Tools]"},
      {"[Software\\Norvo\\Tools]", "", "[Software\\Norvo\\Tools]"},
      // The second removal (B) fails: A and C still go, Common's own removal is tried and refused.
      {"[Software\\Norvo\\Common\\A] [Software\\Norvo\\Common\\B] [Software\\Norvo\\Common\\C]", "RegDeleteKey:2:5",
       "[Software\\Norvo\\Common\\B]"},
      // A key that cannot be opened keeps its subkeys; its removal is still tried.
      {"[Software\\Norvo\\Common\\A]", "RegOpenKey:1:5", "[Software\\Norvo\\Common\\A]"},
      {"[Software\\Norvo\\Common] \"LockCount\"=\"0\" [Software\\Norvo\\Tools]", "RegOpenKey:1:5",
       "[Software\\Norvo\\Tools]"},
      // A listing that ends early removes what it listed and keeps the rest.
      {"[Software\\Norvo\\Common\\A] [Software\\Norvo\\Common\\B]", "RegEnumKey:2:234", "[Software\\Norvo\\Common\\B]"},
  };
  for (const TreeCase& testCase : cases) {
    Seed(testCase.before, testCase.faults);
    DeleteKeyTree(OsLocalMachine(), kSharedKeyPath);
    OsClearFaults();
    EXPECT_EQ(TestExportRegistry(), CanonicalOwnedTrees(testCase.after)) << testCase.before << " " << testCase.faults;
  }
}

}  // namespace
