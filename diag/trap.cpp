#include "diag/trap.h"

#include "platform/hw.h"
#include "platform/processor_registers.h"
#include "platform/timer.h"

namespace {
constexpr uint16_t kPortDeadMarker = 0xE0;
constexpr uint16_t kPortPostCode = 0x80;
}  // namespace

uint16_t TrapAgentQuery(uint32_t code) { return hw::TrapAgentCpuid(code); }

uint64_t TrapDisplayWait(uint64_t pstateDefinition) {
  uint64_t m = MsrPStateDefinition::Multiplier::Get(pstateDefinition);
  uint64_t d = MsrPStateDefinition::Divisor::Get(pstateDefinition);
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
      uint64_t n = MsrPStateStatus::CurrentPState::Get(hw::Rdmsr(MsrPStateStatus::kAt));
      uint64_t wait = TrapDisplayWait(hw::Rdmsr(static_cast<uint32_t>(MsrPStateDefinition::kAt + n)));
      uint64_t start = TscRead();
      while (!(TscRead() > start + wait)) SpinPause();
    }
  }
}

bool FatalTrapExpr(uint32_t code) {
  FatalTrap(code);
  return true;
}
