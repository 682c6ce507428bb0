// The two routines the compiler may call behind our back (structure copies and
// large zero-initialisation). Linked into the image only; the host has its C
// library. This file is compiled to machine code, not to link-time bitcode
// (cmake/image.cmake), so the link drops each routine no call in the image
// needs; a routine that is needed is there. Single bytes, like MemCopy and
// MemFill8 (kept apart from them so that they stay the driver's own).
#include <stddef.h>
#include <stdint.h>

extern "C" void* memcpy(void* destination, const void* source, size_t length) {
  auto* d = static_cast<uint8_t*>(destination);
  auto* s = static_cast<const uint8_t*>(source);
  for (size_t i = 0; i < length; ++i) d[i] = s[i];
  return destination;
}

extern "C" void* memset(void* buffer, int value, size_t length) {
  auto* b = static_cast<volatile uint8_t*>(buffer);
  for (size_t i = 0; i < length; ++i) b[i] = static_cast<uint8_t>(value);
  return buffer;
}
