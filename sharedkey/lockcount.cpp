#include "sharedkey/lockcount.h"

#include <cstdio>
#include <limits>

namespace {

bool IsWhiteSpace(unsigned char byte) { return byte == ' ' || (byte >= 0x09 && byte <= 0x0D); }
bool IsDigit(unsigned char byte) { return byte >= '0' && byte <= '9'; }

// Two's complement without the implementation-defined narrowing of an out-of-range value.
std::int32_t WrappedToSigned(std::uint32_t value) {
  if (value <= static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) {
    return static_cast<std::int32_t>(value);
  }
  return -static_cast<std::int32_t>(~value) - 1;
}

}  // namespace

int ParseLockCount(const unsigned char* data, std::size_t size, std::int32_t* count) {
  std::size_t index = 0;
  const auto atText = [&] { return index < size && data[index] != '\0'; };
  while (atText() && IsWhiteSpace(data[index])) {
    ++index;
  }
  bool negative = false;
  if (atText() && (data[index] == '+' || data[index] == '-')) {
    negative = data[index] == '-';
    ++index;
  }
  if (!atText() || !IsDigit(data[index])) {
    return 0;
  }
  std::uint32_t magnitude = 0;
  while (atText() && IsDigit(data[index])) {
    magnitude = magnitude * 10U + static_cast<std::uint32_t>(data[index] - '0');
    ++index;
  }
  *count = WrappedToSigned(negative ? 0U - magnitude : magnitude);
  return 1;
}

std::int32_t LoweredLockCount(std::int32_t count) {
  return count == std::numeric_limits<std::int32_t>::min() ? std::numeric_limits<std::int32_t>::max() : count - 1;
}

std::size_t FormatLockCount(std::int32_t count, char* text) {
  const int length = std::snprintf(text, kLockCountTextSize, "%d", static_cast<int>(count));
  return static_cast<std::size_t>(length);
}
