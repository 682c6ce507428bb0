#include "sim/machine/flash_device.h"

namespace sim {

bool PspDevice::Read(uint64_t window, uint64_t address, uint8_t width, uint64_t* value) {
  if (!Decodes(window, address, width)) return false;
  *value = 0;
  if (address - window == kPspMailboxStatusOffset && width == 4) {
    *value = statusReads_ < desc_.readyAfter ? 0 : desc_.status;
    ++statusReads_;
  }
  return true;
}

bool PspDevice::Write(uint64_t window, uint64_t address, uint8_t width) const { return Decodes(window, address, width); }

}  // namespace sim
