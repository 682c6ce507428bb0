#include "diag/trap.h"

#include "platform/hw.h"
#include "platform/timer.h"

namespace {
constexpr uint16_t kPortDeadMarker = 0xE0;
constexpr uint16_t kPortPostCode = 0x80;
constexpr uint32_t kMsrPStateStatus = 0xC0010063;
constexpr uint32_t kMsrPStateDef0 = 0xC0010064;
}  // namespace

uint16_t TrapAgentQuery(uint32_t code) { return hw::TrapAgentCpuid(code); }

uint64_t TrapDisplayWait(uint64_t pstateDefinition) {
  uint64_t m = pstateDefinition & 0xFF;
  uint64_t d = (pstateDefinition >> 8) & 0x3F;
  if (d == 0) d = 1;
  return ((m / d) * 500000000000000ull) / 1000000ull;
}

bool FatalTrap(uint32_t code) {
  hw::Out16(kPortDeadMarker, 0xDEAD);
  hw::Out32(kPortPostCode, code);
  if (TrapAgentQuery(code) != 0) return false;

  const uint64_t home = (uint64_t{0xDEAD} << 48) | (uint64_t{code} << 16);
  for (;;) {
    uint64_t pattern = home;
    for (int step = 0; step < 6; ++step) {
      pattern = (pattern << 8) | (pattern >> 56);
      hw::Out32(kPortPostCode, static_cast<uint32_t>(pattern));
      uint64_t n = hw::Rdmsr(kMsrPStateStatus) & 7;
      uint64_t wait = TrapDisplayWait(hw::Rdmsr(kMsrPStateDef0 + static_cast<uint32_t>(n)));
      uint64_t start = TscRead();
      while (!(TscRead() > start + wait)) SpinPause();
    }
  }
}

bool FatalTrapExpr(uint32_t code) {
  FatalTrap(code);
  return true;
}
