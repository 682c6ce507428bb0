// How the flash inspector writes numbers, addresses, magics and directory kinds:
// shared by its inspection, its text and its JSON.
#pragma once
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "sim/common/text.h"
#include "sim/images/flash_image.h"

namespace sim::flash_listing {

inline std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline std::string Format(const char* format, ...) {
  char b[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(b, sizeof b, format, args);
  va_end(args);
  return b;
}

inline std::string Hex32(uint64_t v) { return HexText(v, 8); }
inline std::string Hex64(uint64_t v) { return HexText(v, 16); }
// An address as short as it can be: 8 digits below 4 GiB.
inline std::string Address(uint64_t v) { return v <= 0xFFFFFFFF ? Hex32(v) : Hex64(v); }

// "$PSP" when the four bytes are printable, else the number.
inline std::string MagicText(uint32_t magic) {
  std::string s = "\"";
  for (int i = 0; i < 4; ++i) {
    const char c = char(magic >> (8 * i));
    if (c < 0x20 || c > 0x7E || c == '"') return Hex32(magic);
    s += c;
  }
  return s + "\"";
}

inline const char* KindName(FlashDirectoryKind kind) {
  switch (kind) {
    case FlashDirectoryKind::Psp: return "PSP directory";
    case FlashDirectoryKind::Combo: return "combo directory";
    case FlashDirectoryKind::Bios: return "BIOS directory";
    case FlashDirectoryKind::BiosLevel2: return "level-2 BIOS directory";
  }
  return "?";
}

// An entry-table pointer that names nothing.
inline bool NoPointer(uint32_t p) { return p == 0 || p == 0xFFFFFFFF; }

}  // namespace sim::flash_listing
