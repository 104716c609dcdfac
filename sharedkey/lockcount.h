#pragma once

#include <cstddef>
#include <cstdint>

// LockCount is signed decimal text. Reading stops at the first NUL or at the end of the stored
// bytes, skips leading white space, takes one optional sign and the digits after it, and wraps
// modulo 2^32. Returns 0 when the text holds no number.
int ParseLockCount(const unsigned char* data, std::size_t size, std::int32_t* count);

// count - 1, wrapping from the lowest count to the highest.
std::int32_t LoweredLockCount(std::int32_t count);

// "%d" text of count into text, which holds at least kLockCountTextSize bytes; returns its
// length without the NUL.
constexpr std::size_t kLockCountTextSize = 12;
std::size_t FormatLockCount(std::int32_t count, char* text);
