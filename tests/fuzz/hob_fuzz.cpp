// Fuzzes the HOB searches over arbitrary HOB list bytes in platform memory. The
// list opens with the hand-off information HOB, as the earlier boot phase lays
// it out (it names where the list ends), and closes with an end-of-list HOB;
// everything between is the input. Any read outside the list is a sanitizer
// report; every HOB found must lie whole inside the list and carry the GUID.
//
// Input: the wanted GUID (16 bytes), a start offset for one search from an
// arbitrary place (2 bytes), then the HOBs.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "platform/probes.h"
#include "sim/board/platform.h"

namespace {

constexpr uint64_t kHandoffLength = 56;
constexpr uint64_t kListLimit = 1 << 16;

// A found HOB: a GUID-extension HOB with the wanted GUID, whole inside [start, end).
void CheckFound(const void* found, const Guid& wanted, uint64_t start, uint64_t end) {
  if (found == nullptr) return;
  const uint64_t at = reinterpret_cast<uint64_t>(found);
  const auto* hob = static_cast<const GuidHob*>(found);
  if (at < start || at >= end || hob->Header.Type != kHobTypeGuidExtension) std::abort();
  if (hob->Header.Length < sizeof(GuidHob) || hob->Header.Length > end - at) std::abort();
  if (!GuidEqual(hob->Name, wanted)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sim::Platform platform{sim::ParseScenario("", "fuzz.toml")};
  static const uint64_t base = platform.memory().PoolAlloc(kListLimit + 2 * kHandoffLength + 1024) + 64;

  fuzz::Input in{data, size};
  Guid wanted;
  for (uint8_t* b = reinterpret_cast<uint8_t*>(&wanted); b != reinterpret_cast<uint8_t*>(&wanted + 1); ++b)
    *b = in.Byte();
  const uint64_t from = in.Le(2);
  std::vector<uint8_t> hobs = in.Rest();
  if (hobs.size() > kListLimit) return 0;

  // Hand-off information HOB, the input, end of list.
  const uint64_t endOfList = base + kHandoffLength + hobs.size();
  std::vector<uint8_t> list(kHandoffLength);
  list[0] = 1;
  list[2] = kHandoffLength;
  list[8] = 9;  // version
  std::memcpy(&list[48], &endOfList, 8);
  list.insert(list.end(), hobs.begin(), hobs.end());
  const uint8_t end[8] = {0xFF, 0xFF, 8, 0, 0, 0, 0, 0};
  list.insert(list.end(), end, end + 8);
  fuzz::GuardedBytes placed(base, list, 64, 2 * kListLimit);

  mHobList = reinterpret_cast<void*>(base);
  // Every instance in turn, as a caller walks them; each step moves on.
  const void* found = FindFirstGuidHob(&wanted);
  while (found != nullptr) {
    CheckFound(found, wanted, base, endOfList);
    const auto* hob = static_cast<const GuidHob*>(found);
    const void* next = FindNextGuidHob(&wanted, static_cast<const uint8_t*>(found) + hob->Header.Length);
    if (next != nullptr && next <= found) std::abort();
    found = next;
  }
  // A search from any place in the list stays in it.
  CheckFound(FindNextGuidHob(&wanted, reinterpret_cast<void*>(base + from % list.size())), wanted, base, endOfList);
  VyrCapsuleGetStatus();
  return 0;
}
