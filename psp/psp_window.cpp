#include "psp/psp_window.h"

#include "diag/debug_print.h"
#include "diag/trap.h"
#include "platform/access.h"
#include "platform/hw.h"
#include "platform/processor_registers.h"
#include "psp/fabric_mmio.h"

namespace {
void WindowWrite(uint32_t index, uint32_t value) {
  hw::Write32(IndexRegisterAddress(0), index);
  hw::Write32(DataRegisterAddress(0), value);
}
}  // namespace

// Out of line: the placement and the recovery check share one copy.
__attribute__((noinline)) uint32_t PspWindowRegisterRead(uint32_t index) {
  hw::Write32(IndexRegisterAddress(0), index);
  return hw::Read32(DataRegisterAddress(0));
}

void PspBarInitEarlyV2() {
  if (!MsrApicBase::BootProcessor::IsSet(MsrRead(MsrApicBase::kAt))) return;
  if (PspWindowBaseLow::Base::IsSet(PspWindowRegisterRead(PspWindowBaseLow::kAt))) return;  // placed already
  uint64_t base = 0, length = kPspWindowLength;
  uint8_t attribute = (kMmioTypeBelow4G << 6) | 3;
  if (FabricAddMmioMap(&base, &length, FabricTargetSocketDie(0, 0), &attribute) != EFI_SUCCESS) {
    FatalTrap(kTrapPspWindowAllocate);
    DebugPrint(kDebugLevelPsp, "PspBarInitEarlyV2 Allocate MMIO Fail\n");
    // No range, no base: the registers keep showing none rather than a window at 0.
    return;
  }
  DebugPrint(kDebugLevelPsp, "PspBarInitEarlyV2 Allocate MMIO @0x%lx\n", base);
  WindowWrite(PspWindowBaseLow::kAt, uint32_t(base) | PspWindowBaseLow::kPlacedFlags);
  WindowWrite(PspWindowBaseHigh::kAt, uint32_t(base >> 32));
}
