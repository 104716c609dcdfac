#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "require.h"
#include "sharedkey/lockcount.h"

namespace {

constexpr std::int64_t kTwoTo32 = std::int64_t{1} << 32;

// The count rule by 64-bit arithmetic: accumulate modulo 2^32, negate, then read the low 32 bits
// as two's complement.
bool ReferenceParse(const std::uint8_t* data, std::size_t size, std::int32_t* count) {
  std::size_t end = 0;
  while (end < size && data[end] != 0) {
    ++end;
  }
  std::size_t at = 0;
  while (at < end && std::isspace(data[at]) != 0) {
    ++at;
  }
  bool negative = false;
  if (at < end && (data[at] == '+' || data[at] == '-')) {
    negative = data[at] == '-';
    ++at;
  }
  if (at == end || std::isdigit(data[at]) == 0) {
    return false;
  }
  std::int64_t value = 0;
  for (; at < end && std::isdigit(data[at]) != 0; ++at) {
    value = (value * 10 + (data[at] - '0')) % kTwoTo32;
  }
  if (negative) {
    value = (kTwoTo32 - value) % kTwoTo32;
  }
  *count = static_cast<std::int32_t>(value >= kTwoTo32 / 2 ? value - kTwoTo32 : value);
  return true;
}

std::int32_t ReferenceLowered(std::int32_t count) {
  std::int64_t lowered = std::int64_t{count} - 1;
  if (lowered < INT32_MIN) {
    lowered += kTwoTo32;
  }
  return static_cast<std::int32_t>(lowered);
}

void CheckFormatRoundTrip(std::int32_t count) {
  // Exactly the promised size on the heap, so a longer write is caught.
  const auto text = std::make_unique<char[]>(kLockCountTextSize);
  const std::size_t length = FormatLockCount(count, text.get());
  char expected[32];
  std::snprintf(expected, sizeof expected, "%d", static_cast<int>(count));
  Require(length == std::strlen(expected), "FormatLockCount length");
  Require(std::memcmp(text.get(), expected, length + 1) == 0, "FormatLockCount text");

  const auto* bytes = reinterpret_cast<const unsigned char*>(text.get());
  for (const std::size_t parsed : {length, length + 1}) {
    std::int32_t back = 0;
    Require(ParseLockCount(bytes, parsed, &back) == 1, "formatted count parses");
    Require(back == count, "formatted count reads back");
  }
  Require(LoweredLockCount(count) == ReferenceLowered(count), "LoweredLockCount");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Exactly the input bytes on the heap, so reading one more is caught.
  const auto copy = std::make_unique<unsigned char[]>(size);
  if (size > 0) {
    std::memcpy(copy.get(), data, size);
  }
  std::int32_t count = 0;
  const int parsed = ParseLockCount(copy.get(), size, &count);
  std::int32_t expected = 0;
  const bool expectedParsed = ReferenceParse(data, size, &expected);
  Require(parsed == (expectedParsed ? 1 : 0), "ParseLockCount answer");
  if (expectedParsed) {
    Require(count == expected, "ParseLockCount count");
    CheckFormatRoundTrip(count);
  }

  if (size >= 4) {
    std::int32_t raw = 0;
    std::memcpy(&raw, data, sizeof raw);
    CheckFormatRoundTrip(raw);
  }
  return 0;
}
