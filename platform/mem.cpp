#include "platform/mem.h"

// Eight-byte units at any alignment (the 64-bit fill).
typedef uint64_t __attribute__((aligned(1), may_alias)) Unaligned64;

void* MemCopy(void* destination, const void* source, uint64_t length) {
  if (length == 0 || destination == source) return destination;
  return MemCopyRaw(destination, source, length);
}

// Single bytes: upward when the destination lies below the source, else from
// the top down, so overlapping ranges copy as if through a buffer.
void* MemCopyRaw(void* destination, const void* source, uint64_t length) {
  auto* d = static_cast<uint8_t*>(destination);
  auto* s = static_cast<const uint8_t*>(source);
  if (d < s) {
    for (uint64_t i = 0; i < length; ++i) d[i] = s[i];
  } else {
    for (uint64_t i = length; i > 0; --i) d[i - 1] = s[i - 1];
  }
  return destination;
}

__attribute__((noinline)) void* MemZero(void* buffer, uint64_t length) {
  auto* b = static_cast<uint8_t*>(buffer);
  for (uint64_t i = 0; i < length; ++i) b[i] = 0;
  return buffer;
}

void* MemFill8(void* buffer, uint64_t length, uint64_t value) {
  auto* b = static_cast<volatile uint8_t*>(buffer);
  for (uint64_t i = 0; i < length; ++i) b[i] = static_cast<uint8_t>(value);
  return buffer;
}

void* MemFill32(void* buffer, uint64_t count, uint32_t value) {
  typedef uint32_t __attribute__((aligned(1), may_alias)) Unaligned32;
  auto* b = static_cast<uint8_t*>(buffer);
  for (uint64_t i = 0; i < count; ++i) *reinterpret_cast<Unaligned32*>(b + i * 4) = value;
  return buffer;
}

void* MemFill64(void* buffer, uint64_t count, uint64_t value) {
  auto* b = static_cast<uint8_t*>(buffer);
  for (uint64_t i = 0; i < count; ++i) *reinterpret_cast<Unaligned64*>(b + i * 8) = value;
  return buffer;
}
