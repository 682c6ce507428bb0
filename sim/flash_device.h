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
#include "sim/flash_image.h"

namespace sim {

constexpr uint64_t kPspWindowSize = 1ull << 20;

// One step of a status word that changes: `status` for `reads` reads.
struct PspStatusStep {
  uint32_t status = 0;
  uint64_t reads = 0;  // the last step's is not counted: it holds for every later read
};

// How the PSP answers the mailbox status word.
struct PspDesc {
  std::optional<uint64_t> windowBase;  // a base already in the window registers
  uint32_t status = kPspStatusBooted;  // the status word once the PSP is ready
  uint64_t readyAfter = 0;             // status reads that show neither bit 29 nor 30 first
  // When not empty, the answers read after read instead of `status` and `readyAfter`.
  std::vector<PspStatusStep> sequence;
};

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
