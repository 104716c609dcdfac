#include "platform/posix/arguments.h"

namespace {

bool IsSeparator(char byte) { return byte == ' ' || byte == '\t'; }

const char* SkipSeparators(const char* cursor) {
  while (IsSeparator(*cursor)) {
    ++cursor;
  }
  return cursor;
}

const char* ProgramName(const char* cursor, std::string* name) {
  bool quoted = false;
  for (; *cursor != '\0' && (quoted || !IsSeparator(*cursor)); ++cursor) {
    if (*cursor == '"') {
      quoted = !quoted;
    } else {
      name->push_back(*cursor);
    }
  }
  return cursor;
}

const char* Argument(const char* cursor, std::string* argument) {
  bool quoted = false;
  while (*cursor != '\0' && (quoted || !IsSeparator(*cursor))) {
    std::size_t backslashes = 0;
    while (*cursor == '\\') {
      ++backslashes;
      ++cursor;
    }
    if (*cursor != '"') {
      argument->append(backslashes, '\\');
      if (*cursor != '\0' && (quoted || !IsSeparator(*cursor))) {
        argument->push_back(*cursor++);
      }
      continue;
    }
    argument->append(backslashes / 2, '\\');
    if (backslashes % 2 == 1) {
      argument->push_back('"');
    } else if (quoted && cursor[1] == '"') {
      argument->push_back('"');
      ++cursor;
    } else {
      quoted = !quoted;
    }
    ++cursor;
  }
  return cursor;
}

}  // namespace

std::vector<std::string> SplitCommandLine(const char* commandLine) {
  std::vector<std::string> arguments;
  const char* cursor = SkipSeparators(commandLine);
  if (*cursor == '\0') {
    return arguments;
  }
  arguments.emplace_back();
  cursor = SkipSeparators(ProgramName(cursor, &arguments.back()));
  while (*cursor != '\0') {
    arguments.emplace_back();
    cursor = SkipSeparators(Argument(cursor, &arguments.back()));
  }
  return arguments;
}
