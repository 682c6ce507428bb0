#include "sim/machine/flash_device.h"

namespace sim {

bool PspDevice::Read(uint64_t window, uint64_t address, uint8_t width, uint64_t* value) {
  if (!Decodes(window, address, width)) return false;
  *value = 0;
  if (address - window == PspMailboxStatus::kAt && width == 4) {
    *value = StatusAt(statusReads_);
    ++statusReads_;
  }
  return true;
}

uint32_t PspDevice::StatusAt(uint64_t read) const {
  if (desc_.sequence.empty()) return read < desc_.readyAfter ? 0 : desc_.status;
  for (size_t i = 0; i + 1 < desc_.sequence.size(); ++i) {
    if (read < desc_.sequence[i].reads) return desc_.sequence[i].status;
    read -= desc_.sequence[i].reads;
  }
  return desc_.sequence.back().status;
}

bool PspDevice::Write(uint64_t window, uint64_t address, uint8_t width) const { return Decodes(window, address, width); }

}  // namespace sim
