#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>

#include "app/commandline.h"
#include "require.h"

namespace {

int NoLeadByte(unsigned char) { return 0; }

int DoubleByteLead(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC) ? 1 : 0;
}

// The start-up rule by index over the text before the first NUL.
std::size_t ReferenceTailOffset(const std::string& line, LeadBytePredicate isLeadByte) {
  const auto byte = [&line](std::size_t at) { return static_cast<unsigned char>(line[at]); };
  std::size_t at = 0;
  if (!line.empty() && line[0] == '"') {
    at = 1;
    while (at < line.size() && line[at] != '"') {
      at += isLeadByte(byte(at)) != 0 && at + 1 < line.size() ? 2 : 1;
    }
    if (at < line.size()) {
      ++at;
    }
  } else {
    while (at < line.size() && byte(at) > 32) {
      ++at;
    }
  }
  while (at < line.size() && byte(at) >= 1 && byte(at) <= 32) {
    ++at;
  }
  return at;
}

// The watched path rule on the text before the first NUL; returns whether one is named.
bool ReferenceWatchedPath(const std::string& tail, std::string* path) {
  path->clear();
  const std::size_t dash = tail.find('-');
  if (dash == std::string::npos || tail.size() - dash - 1 < 3) {
    return false;
  }
  const std::string copied = tail.substr(dash + 3);
  if (copied.size() > 259) {
    return false;
  }
  *path = copied.substr(0, copied.size() - 1);
  return true;
}

// Exactly the path buffer's size on the heap, so a write past it lands in ASan's red zone.
struct PathBuffer {
  char bytes[kPathBufferSize];
};

void CheckWatchedPath(const char* tail) {
  const auto buffer = std::make_unique<PathBuffer>();
  std::memset(buffer->bytes, 0x5A, sizeof buffer->bytes);
  const int named = WatchedPathFromTail(tail, buffer->bytes);
  std::string expected;
  const bool expectedNamed = ReferenceWatchedPath(tail, &expected);
  Require(named == (expectedNamed ? 1 : 0), "WatchedPathFromTail answer");
  Require(std::memchr(buffer->bytes, '\0', sizeof buffer->bytes) != nullptr, "watched path NUL-terminated");
  Require(std::string(buffer->bytes) == expected, "watched path text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The line is the input plus its NUL and nothing more, so reading past the NUL is caught.
  const auto line = std::make_unique<char[]>(size + 1);
  std::memcpy(line.get(), data, size);
  line[size] = '\0';
  const std::string text(line.get());

  for (const LeadBytePredicate isLeadByte : {NoLeadByte, DoubleByteLead}) {
    const char* tail = CommandTailFromCommandLine(line.get(), isLeadByte);
    Require(tail >= line.get() && tail <= line.get() + text.size(), "tail inside the line");
    Require(static_cast<std::size_t>(tail - line.get()) == ReferenceTailOffset(text, isLeadByte), "tail offset");
    CheckWatchedPath(tail);
  }
  CheckWatchedPath(line.get());
  return 0;
}
