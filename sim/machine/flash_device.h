// Two devices at the top of the address space below 4 GiB: the boot flash, which
// ends at 4 GiB and only reads, and the PSP's register window, which decodes its
// 1 MiB once root bus 0's window registers give it a base. Both decode ahead of
// the PCI configuration space they may overlap.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "psp/flash.h"
#include "sim/images/flash_image.h"
#include "sim/scenario/desc.h"

namespace sim {

class PspDevice {
 public:
  void Setup(const PspDesc& desc) { desc_ = desc; }
  // window: the base the window registers show, 0 when they show none.
  bool Read(uint64_t window, uint64_t address, uint8_t width, uint64_t* value);
  bool Write(uint64_t window, uint64_t address, uint8_t width) const;
  uint64_t StatusReads() const { return statusReads_; }

 private:
  static bool Decodes(uint64_t window, uint64_t address, uint8_t width) {
    return window != 0 && address >= window && address - window + width <= kPspWindowSize;
  }
  uint32_t StatusAt(uint64_t read) const;
  PspDesc desc_;
  uint64_t statusReads_ = 0;
};

}  // namespace sim
