// The text rules of a run: the command tail, the watched path and the lock count text.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>

#include "app/commandline.h"
#include "sharedkey/lockcount.h"

extern const char* const kGuideText;

namespace {

int NoLeadBytes(unsigned char /*byte*/) { return 0; }
// A double-byte code page in the manner of 932: 0x81-0x9F and 0xE0-0xFC lead.
int ShiftJisLeadBytes(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

struct TailCase {
  const char* commandLine;
  const char* tail;
};

TEST(CommandTail, SkipsTheProgramNameByTheStartUpRule) {
  const TailCase cases[] = {
      {"runrelease.exe child.exe -f\"C:\\a.dat\"", "child.exe -f\"C:\\a.dat\""},
      {"\"C:\\Program Files\\runrelease.exe\" child.exe", "child.exe"},
      {"\"C:\\a.exe\"b c", "b c"},         // the tail starts right after the closing quote
      {"\"C:\\a.exe\" \t \x01 b ", "b "},  // blanks, tabs and control bytes skipped; end blanks stay
      {"\"C:\\no closing quote", ""},
      {"runrelease.exe", ""},
      {"runrelease.exe   ", ""},
      {"", ""},
      {"a\x01"
       "b c",
       "b c"},  // an unquoted name ends at any byte of 32 or less
      {"\"\"x", "x"},
  };
  for (const TailCase& testCase : cases) {
    EXPECT_STREQ(CommandTailFromCommandLine(testCase.commandLine, NoLeadBytes), testCase.tail) << testCase.commandLine;
  }
}

TEST(CommandTail, LeadByteCarriesItsTrailByteInAQuotedName) {
  // 0x81 0x22 is one double-byte character whose trail byte is a quote: it does not end the name.
  EXPECT_STREQ(CommandTailFromCommandLine("\"C:\\\x81\"x.exe\" tail", ShiftJisLeadBytes), "tail");
  EXPECT_STREQ(CommandTailFromCommandLine("\"C:\\\x81\"x.exe\" tail", NoLeadBytes), "x.exe\" tail");
  // A lead byte right before the end takes nothing with it and the line still ends.
  EXPECT_STREQ(CommandTailFromCommandLine("\"C:\\\x81", ShiftJisLeadBytes), "");
  // Outside quotes lead bytes play no part: the name ends at the first blank.
  EXPECT_STREQ(CommandTailFromCommandLine("C:\\\x81\x20tail", ShiftJisLeadBytes), "tail");
}

struct PathCase {
  std::string tail;
  int named;
  std::string path;
};

// A cell of a markdown table row: the text between backticks, or the cell as it stands.
std::string CellText(std::string cell) {
  const std::size_t first = cell.find_first_not_of(' ');
  const std::size_t last = cell.find_last_not_of(' ');
  cell = first == std::string::npos ? std::string() : cell.substr(first, last - first + 1);
  if (cell.size() >= 2 && cell.front() == '`' && cell.back() == '`') {
    return cell.substr(1, cell.size() - 2);
  }
  return cell;
}

// The guide's worked command tails are what the program takes from them, row by row.
TEST(WatchedPath, GuideWorkedTailsAreThePrograms) {
  const std::string guide = kGuideText;
  const std::size_t section = guide.find("\n## Worked command tails\n");
  ASSERT_NE(section, std::string::npos) << "the guide has no worked command tails";
  std::istringstream lines(guide.substr(section));
  std::string line;
  while (std::getline(lines, line) && line != "| Command tail | Watched path |") {
  }
  ASSERT_TRUE(std::getline(lines, line)) << "the table of worked command tails has no rows";
  int rows = 0;
  while (std::getline(lines, line) && !line.empty() && line[0] == '|') {
    const std::size_t middle = line.find(" | ");
    ASSERT_NE(middle, std::string::npos) << line;
    const std::string tail = CellText(line.substr(1, middle - 1));
    const std::string path = CellText(line.substr(middle + 3, line.size() - middle - 4));
    char taken[kPathBufferSize];
    const int named = WatchedPathFromTail(tail.c_str(), taken);
    if (path == "none") {
      EXPECT_EQ(named, 0) << tail;
    } else {
      EXPECT_EQ(named, 1) << tail;
      EXPECT_EQ(std::string(taken), path) << tail;
    }
    ++rows;
  }
  EXPECT_GE(rows, 6);
}

TEST(WatchedPath, FromTheThirdByteAfterTheFirstDashLessTheLastByte) {
  const std::string longest(259, 'p');
  const PathCase cases[] = {
      {"uninstall.exe -f\"C:\\app\\app.dat\"", 1, "C:\\app\\app.dat"},
      {"C:\\my-tools\\un.exe -f\"C:\\a.dat\"", 1, "ols\\un.exe -f\"C:\\a.dat"},  // a dash in the child's path
      {"un.exe -fC:\\a.dat", 1, ":\\a.da"},           // unquoted: its first and last bytes go
      {"un.exe -f\"C:\\a.dat\" ", 1, "C:\\a.dat\""},  // a blank after the quote
      {"un.exe -f \"C:\\a.dat\"", 1, "\"C:\\a.dat"},  // a blank before the quote
      {"un.exe -f\"x", 1, ""},                        // three bytes after the dash
      {"un.exe -f\"", 0, ""},                         // two bytes after the dash
      {"un.exe -", 0, ""},
      {"un.exe C:\\a.dat", 0, ""},  // no dash at all
      {"", 0, ""},
      {"-f\"" + longest, 1, longest.substr(0, 258)},  // 259 bytes to copy fit
      {"-f\"" + longest + "q", 0, ""},                // 260 are never cut
  };
  for (const PathCase& testCase : cases) {
    char path[kPathBufferSize];
    std::memset(path, 'X', sizeof path);
    EXPECT_EQ(WatchedPathFromTail(testCase.tail.c_str(), path), testCase.named) << testCase.tail;
    EXPECT_EQ(std::string(path), testCase.path) << testCase.tail;
  }
}

struct CountCase {
  std::string text;  // the stored bytes, NUL included where stored
  int isNumber;
  std::int32_t count;
};

TEST(LockCountText, ReadsSignedDecimalWithWrapAround) {
  using std::string_literals::operator""s;
  const CountCase cases[] = {
      {"1\0"s, 1, 1},
      {"0\0"s, 1, 0},
      {" \t7\0"s, 1, 7},
      {"4 holds\0"s, 1, 4},
      {"+5\0"s, 1, 5},
      {"007\0"s, 1, 7},
      {"0x10\0"s, 1, 0},
      {"-2147483648\0"s, 1, std::numeric_limits<std::int32_t>::min()},
      {"2147483647\0"s, 1, std::numeric_limits<std::int32_t>::max()},
      {"2147483648\0"s, 1, std::numeric_limits<std::int32_t>::min()},
      {"4294967295\0"s, 1, -1},
      {"4294967296\0"s, 1, 0},
      {"99999999999999999999\0"s, 1, 1661992959},  // 10^20 - 1 modulo 2^32
      {"-4294967295\0"s, 1, 1},
      {"12"s, 1, 12},  // no NUL: the text ends with the stored bytes
      {"3\0"
       "9"s,
       1, 3},                 // a NUL ends the text before the stored bytes end
      {"\x07\0\0\0"s, 0, 0},  // a REG_DWORD of 7
      {"\0\0\0\0"s, 0, 0},    // a REG_DWORD of 0
      {""s, 0, 0},
      {"\0"s, 0, 0},
      {" \n\v\f\r\0"s, 0, 0},
      {"+\0"s, 0, 0},
      {"- 1\0"s, 0, 0},
      {"--1\0"s, 0, 0},
      {"x1\0"s, 0, 0},
  };
  for (const CountCase& testCase : cases) {
    std::int32_t count = 12345;
    const auto* bytes = reinterpret_cast<const unsigned char*>(testCase.text.data());
    EXPECT_EQ(ParseLockCount(bytes, testCase.text.size(), &count), testCase.isNumber) << testCase.text;
    EXPECT_EQ(count, testCase.isNumber != 0 ? testCase.count : 12345) << testCase.text;
  }
}

TEST(LockCountText, NeverReadsBeyondTheStoredSize) {
  // The digits after the stored size are not the value's: only "12" counts.
  const unsigned char bytes[] = {'1', '2', '3', '4'};
  std::int32_t count = 0;
  ASSERT_EQ(ParseLockCount(bytes, 2, &count), 1);
  EXPECT_EQ(count, 12);
  EXPECT_EQ(ParseLockCount(bytes, 0, &count), 0);
}

TEST(LockCountText, LowersAndWritesWithPercentD) {
  const std::int32_t lowest = std::numeric_limits<std::int32_t>::min();
  const std::int32_t highest = std::numeric_limits<std::int32_t>::max();
  EXPECT_EQ(LoweredLockCount(1), 0);
  EXPECT_EQ(LoweredLockCount(0), -1);
  EXPECT_EQ(LoweredLockCount(lowest), highest);
  EXPECT_EQ(LoweredLockCount(highest), highest - 1);

  const struct {
    std::int32_t count;
    const char* text;
  } cases[] = {{0, "0"}, {2, "2"}, {-1, "-1"}, {highest, "2147483647"}, {lowest, "-2147483648"}};
  for (const auto& testCase : cases) {
    char text[kLockCountTextSize];
    EXPECT_EQ(FormatLockCount(testCase.count, text), std::strlen(testCase.text));
    EXPECT_STREQ(text, testCase.text);
  }
}

TEST(LockCountText, WritingThenReadingKeepsEveryCount) {
  for (std::int64_t value = std::numeric_limits<std::int32_t>::min(); value <= std::numeric_limits<std::int32_t>::max();
       value += 65521) {
    char text[kLockCountTextSize];
    const std::size_t length = FormatLockCount(static_cast<std::int32_t>(value), text);
    std::int32_t read = 0;
    ASSERT_EQ(ParseLockCount(reinterpret_cast<const unsigned char*>(text), length + 1, &read), 1);
    ASSERT_EQ(read, value);
  }
}

}  // namespace
