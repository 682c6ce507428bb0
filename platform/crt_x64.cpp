// The two routines the compiler may call behind our back (structure copies and
// large zero-initialisation). Linked into the image only; the host has its C library.
#include <stddef.h>

#include "platform/mem.h"

extern "C" void* memcpy(void* destination, const void* source, size_t length) {
  return MemCopy(destination, source, length);
}

extern "C" void* memset(void* buffer, int value, size_t length) {
  return MemFill8(buffer, length, static_cast<uint64_t>(value));
}
