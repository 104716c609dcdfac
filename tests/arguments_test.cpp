// How this system's backend splits a child's command line into arguments.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/posix/arguments.h"

namespace {

struct SplitCase {
  const char* commandLine;
  std::vector<std::string> arguments;
};

TEST(SplitCommandLine, FollowsTheWindowsRules) {
  const SplitCase cases[] = {
      {"sh uninstall.sh -f\"/opt/norvo/app.dat\"", {"sh", "uninstall.sh", "-f/opt/norvo/app.dat"}},
      {"  a\t b  ", {"a", "b"}},
      {"\"/opt/my tools/un\" x", {"/opt/my tools/un", "x"}},
      {"\"/a b\"c d", {"/a bc", "d"}},                // the name goes on after its closing quote
      {"C:\\dir\\\"x y\" z", {"C:\\dir\\x y", "z"}},  // no backslash rules in the name
      {"p a\\\\\"b c\"", {"p", "a\\b c"}},            // 2n backslashes and a quote: n, quoting opens
      {"p a\\\\\\\"b", {"p", "a\\\"b"}},              // 2n+1: n and a literal quote
      {"p a\\b\\\\c", {"p", "a\\b\\\\c"}},            // backslashes not before a quote stand
      {"p \"a\"\"b\"", {"p", "a\"b"}},                // "" inside quotes is a quote
      {"p \"\"", {"p", ""}},
      {"p \"unclosed arg", {"p", "unclosed arg"}},
      {"p a\\", {"p", "a\\"}},
      {"", {}},
      {" \t ", {}},
  };
  for (const SplitCase& testCase : cases) {
    EXPECT_EQ(SplitCommandLine(testCase.commandLine), testCase.arguments) << testCase.commandLine;
  }
}

}  // namespace
