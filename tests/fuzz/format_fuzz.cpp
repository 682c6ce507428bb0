// Fuzzes the format engine. The input builds a format piece by piece and, for
// every conversion that takes an argument, that argument's own object: a
// string of any length, a null pointer, a GUID, a time record or a number.
// Each object and the output buffer are allocated to their exact size, so the
// sanitizer sees any read or write outside them. Checks: the text stays in the
// buffer, is terminated, is the counted text cut at size - 1, and the byte and
// 16-bit outputs agree.
//
// Input: control byte (bit 0 wide output, bit 1 wide format), buffer size in
// units, slot-count byte (bit 7: pass only the low 7 bits' worth of slots),
// then pieces. A piece is a literal character (tag below 0x80; 0 ends the
// pieces and the rest of the input is appended raw) or a conversion (tag
// 0x80 and up, then a flag byte, a precision/kind byte, and what they ask for).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "diag/format.h"
#include "fuzz_support.h"

namespace {

using fuzz::Input;


// Conversion characters a piece may end with; the last three take no slot.
constexpr char kKinds[] = "asScduxXpgtr%q\n\r";

struct Built {
  std::vector<uint16_t> format;  // in 16-bit units; narrowed for a byte format
  std::vector<uint64_t> slots;
  std::vector<std::unique_ptr<uint8_t[]>> objects;
};

uint64_t Object(Built& b, const uint8_t* bytes, size_t size) {
  b.objects.emplace_back(new uint8_t[size]);
  if (size != 0) std::memcpy(b.objects.back().get(), bytes, size);
  return reinterpret_cast<uint64_t>(b.objects.back().get());
}

void Number(Built& b, uint64_t value) {
  char digits[24];
  int n = 0;
  do digits[n++] = char('0' + value % 10); while ((value /= 10) != 0);
  while (n > 0) b.format.push_back(uint16_t(digits[--n]));
}

// A width or precision: digits (small, or a full 64-bit run) or "*" with its slot.
void Field(Built& b, Input& in, bool star, bool leadingZero, uint64_t* known) {
  uint64_t value = in.Byte();
  if (value >= 250) value = in.Le(8);
  if (star) {
    b.format.push_back('*');
    b.slots.push_back(value);
  } else {
    if (leadingZero) b.format.push_back('0');
    Number(b, value);
  }
  *known = value;
}

// A string of 8- or 16-bit characters; its object holds the terminator unless
// `cut` asks for one that ends exactly at the precision (the engine reads no
// further than a precision when one is given).
uint64_t String(Built& b, Input& in, size_t unit, bool cut, uint64_t precision) {
  const uint8_t sel = in.Byte();
  if (sel == 0) return 0;
  const size_t length = sel - 1u;
  std::vector<uint8_t> text;
  for (size_t i = 0; i < length * unit; i += unit) {
    uint16_t c = uint16_t(unit == 1 ? in.Byte() : in.Le(2));
    if (c == 0) c = 'x';
    text.push_back(uint8_t(c));
    if (unit == 2) text.push_back(uint8_t(c >> 8));
  }
  if (cut && precision <= length) {
    text.resize(precision * unit);
  } else {
    text.insert(text.end(), unit, 0);
  }
  return Object(b, text.data(), text.size());
}

void Conversion(Built& b, Input& in) {
  const uint8_t flags = in.Byte();
  const uint8_t form = in.Byte();
  const char kind = kKinds[(form >> 2) & 15];
  b.format.push_back('%');
  const char order[] = "-+ ,l";
  for (int i = 0; i < 5; ++i) {
    const int bit = (form & 0x80) ? 4 - i : i;
    if (flags & (1 << bit)) b.format.push_back(uint16_t(bit == 4 && (flags & 0x20) ? 'L' : order[bit]));
  }
  uint64_t width = 0, precision = 1;
  const int widthMode = flags >> 6;
  if (widthMode != 0) Field(b, in, widthMode == 2, widthMode == 3, &width);
  const int precisionMode = form & 3;
  bool precisionGiven = false;
  if (precisionMode != 0) {
    b.format.push_back('.');
    precisionGiven = true;
    if (precisionMode >= 2) Field(b, in, precisionMode == 3, false, &precision);
  }
  b.format.push_back(uint16_t(kind));
  const bool cut = (form & 0x40) && precisionGiven;
  switch (kind) {
    case 'a':
      b.slots.push_back(String(b, in, 1, cut, precision));
      break;
    case 's':
    case 'S':
      b.slots.push_back(String(b, in, 2, cut, precision));
      break;
    case 'g':
    case 't': {
      uint8_t record[16];
      const size_t size = kind == 'g' ? 16 : 6;  // a GUID; a time record's six bytes
      const bool present = in.Byte() & 1;
      for (size_t i = 0; i < size; ++i) record[i] = in.Byte();
      b.slots.push_back(present ? Object(b, record, size) : 0);
      break;
    }
    case 'c':
    case 'd':
    case 'u':
    case 'x':
    case 'X':
    case 'p':
    case 'r':
      b.slots.push_back(in.Le(8));
      break;
    default:
      break;
  }
}

// Formats into an exactly sized buffer of `units` output units; checks bounds
// and termination and returns what was stored.
std::vector<uint8_t> Format(uint64_t units, uint32_t control, const void* format, FormatArgList args,
                            uint64_t* stored) {
  const size_t unit = control & FORMAT_WIDE_OUTPUT ? 2 : 1;
  std::unique_ptr<uint8_t[]> out(new uint8_t[units * unit]);
  uint8_t* const buffer = out.get();
  *stored = FormatCore(buffer, units, control, format, args);
  if (units == 0) {
    if (*stored != 0) std::abort();
    return {};
  }
  if (*stored > units - 1) std::abort();
  for (size_t b = 0; b < unit; ++b)
    if (buffer[*stored * unit + b] != 0) std::abort();  // not terminated where it says
  return std::vector<uint8_t>(buffer, buffer + *stored * unit);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  const uint8_t mode = in.Byte();
  const uint64_t units = in.Byte();
  const uint8_t slotCount = in.Byte();
  const bool wideFormat = mode & 2;

  Built b;
  for (int pieces = 0; pieces < 48 && !in.Empty(); ++pieces) {
    const uint8_t tag = in.Byte();
    if (tag == 0) {
      // The rest as it stands, in format units.
      while (!in.Empty()) b.format.push_back(uint16_t(wideFormat ? in.Le(2) : in.Byte()));
    } else if (tag < 0x80) {
      uint16_t c = tag;
      if (tag == 0x7F && wideFormat) c = uint16_t(in.Le(2));  // any 16-bit character
      b.format.push_back(c == '%' || c == 0 ? 0x7F : c);
    } else {
      Conversion(b, in);
    }
  }
  b.format.push_back(0);

  // The format as its own object, in its unit size (a byte format keeps each unit's low byte).
  std::vector<uint8_t> bytes;
  for (uint16_t c : b.format) {
    bytes.push_back(uint8_t(c));
    if (wideFormat) bytes.push_back(uint8_t(c >> 8));
  }
  std::unique_ptr<uint8_t[]> format(new uint8_t[bytes.size()]);
  std::memcpy(format.get(), bytes.data(), bytes.size());

  uint64_t count = b.slots.size();
  if (slotCount & 0x80) count = std::min<uint64_t>(count, slotCount & 0x7F);
  std::unique_ptr<uint64_t[]> slots(new uint64_t[count]);
  if (count != 0) std::memcpy(slots.get(), b.slots.data(), count * sizeof(uint64_t));
  const FormatArgList args{count == 0 && (slotCount & 1) ? nullptr : slots.get(), count};

  const uint32_t control = (mode & 1 ? FORMAT_WIDE_OUTPUT : 0) | (wideFormat ? FORMAT_WIDE_FORMAT : 0);
  uint64_t stored = 0;
  const std::vector<uint8_t> text = Format(units, control, format.get(), args, &stored);

  // The whole text, counted: what was stored is it, cut at size - 1.
  const uint64_t counted = FormatCore(nullptr, 0, control | FORMAT_COUNT_ONLY, format.get(), args);
  if (units != 0 && stored != std::min(counted, units - 1)) std::abort();

  // Byte output is the low byte of every 16-bit output unit.
  uint64_t other = 0;
  const std::vector<uint8_t> twin = Format(units, control ^ FORMAT_WIDE_OUTPUT, format.get(), args, &other);
  if (other != stored) std::abort();
  const std::vector<uint8_t>& narrow = control & FORMAT_WIDE_OUTPUT ? twin : text;
  const std::vector<uint8_t>& wide = control & FORMAT_WIDE_OUTPUT ? text : twin;
  for (uint64_t i = 0; i < stored; ++i)
    if (narrow[i] != wide[2 * i]) std::abort();
  return 0;
}
