// Fuzzes the format engine: any format, control word and buffer size must stay
// inside the buffer, terminate the text, and count what it stores.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "diag/format.h"

namespace {
constexpr size_t kGuard = 16;
constexpr uint8_t kGuardByte = 0xA5;
// Every argument slot points here, so string, GUID and time conversions read
// valid, terminated memory whatever the format asks for.
alignas(8) uint8_t gArgument[64];
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint32_t control = (data[0] & 1 ? FORMAT_WIDE_OUTPUT : 0) | (data[0] & 2 ? FORMAT_WIDE_FORMAT : 0);
  const uint64_t units = data[1] % 96;
  std::memset(gArgument, 0, sizeof gArgument);
  std::memcpy(gArgument, data + 2, std::min<size_t>(2, size - 2));
  data += 2;
  size -= 2;

  // The format, terminated in its own unit size.
  const size_t unit = control & FORMAT_WIDE_FORMAT ? 2 : 1;
  std::vector<uint8_t> format(data, data + size);
  format.resize((size / unit) * unit);
  format.insert(format.end(), unit, 0);

  uint64_t slots[8];
  for (uint64_t& s : slots) s = reinterpret_cast<uint64_t>(gArgument);
  const FormatArgList args{slots, 8};

  const size_t outUnit = control & FORMAT_WIDE_OUTPUT ? 2 : 1;
  std::vector<uint8_t> out(units * outUnit + kGuard, kGuardByte);
  const uint64_t stored = FormatCore(out.data(), units, control, format.data(), args);
  for (size_t i = units * outUnit; i < out.size(); ++i)
    if (out[i] != kGuardByte) std::abort();  // wrote past the buffer
  if (units == 0) {
    if (stored != 0) std::abort();
    return 0;
  }
  if (stored > units - 1) std::abort();
  for (size_t b = 0; b < outUnit; ++b)
    if (out[stored * outUnit + b] != 0) std::abort();  // not terminated where it says

  const uint64_t counted = FormatCore(nullptr, 0, control | FORMAT_COUNT_ONLY, format.data(), args);
  if (counted < stored) std::abort();
  if (counted < units - 1 && counted != stored) std::abort();  // room enough, yet cut or padded
  return 0;
}
