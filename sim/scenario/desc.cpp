#include "sim/scenario/desc.h"

#include <algorithm>
#include <cstring>

#include "psp/fabric_mmio.h"

namespace sim {

uint64_t HobFootprint(const HobDesc& hob) {
  constexpr uint64_t kGuidHobHeader = 24;
  if (hob.length && *hob.length >= kGuidHobHeader) return *hob.length;
  return (kGuidHobHeader + hob.data.size() + 7) & ~7ull;
}

HobDesc HeapHob(const HeapHobDesc& desc) {
  HobDesc hob;
  hob.name = HeapHobGuid;
  const HeapBufferHeader header = {desc.signature, desc.handle, desc.size, desc.persist, desc.valid, {0, 0}};
  hob.data.resize(sizeof header);
  std::memcpy(hob.data.data(), &header, sizeof header);
  hob.data.insert(hob.data.end(), desc.data.begin(), desc.data.end());
  hob.length = desc.length;
  return hob;
}

uint64_t S3Desc::FieldsEnd() const {
  return std::max({kHeaderSize, endMarkerOffset + 4, terminatorOffset + 2});
}

uint16_t MmioRequestDesc::Target() const { return bus ? *bus : FabricTargetSocketDie(socket, die); }

}  // namespace sim
