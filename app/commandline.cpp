#include "app/commandline.h"

#include <cstring>

const char* CommandTailFromCommandLine(const char* commandLine, LeadBytePredicate isLeadByte) {
  const auto* cursor = reinterpret_cast<const unsigned char*>(commandLine);
  if (*cursor == '"') {
    ++cursor;
    while (*cursor != '\0' && *cursor != '"') {
      if (isLeadByte(*cursor) != 0 && cursor[1] != '\0') {
        ++cursor;
      }
      ++cursor;
    }
    if (*cursor == '"') {
      ++cursor;
    }
  } else {
    while (*cursor > ' ') {
      ++cursor;
    }
  }
  while (*cursor != '\0' && *cursor <= ' ') {
    ++cursor;
  }
  return reinterpret_cast<const char*>(cursor);
}

int WatchedPathFromTail(const char* tail, char (&path)[kPathBufferSize]) {
  path[0] = '\0';
  const char* dash = std::strchr(tail, '-');
  if (dash == nullptr || dash[1] == '\0' || dash[2] == '\0' || dash[3] == '\0') {
    return 0;
  }
  const char* copied = dash + 3;
  const std::size_t length = std::strlen(copied);
  if (length >= kPathBufferSize) {
    return 0;
  }
  std::memcpy(path, copied, length - 1);
  path[length - 1] = '\0';
  return 1;
}
