// The seam on the virtual platform: each instruction becomes an access to the
// active platform's hardware model.
#include "platform/hw.h"
#include "sim/board/platform.h"

namespace hw {
namespace {
sim::Hardware& H() { return sim::ActivePlatform().hardware(); }
}  // namespace

uint8_t In8(uint16_t port) { return uint8_t(H().PortIn(port, 1)); }
uint16_t In16(uint16_t port) { return uint16_t(H().PortIn(port, 2)); }
uint32_t In32(uint16_t port) { return H().PortIn(port, 4); }
void Out8(uint16_t port, uint8_t value) { H().PortOut(port, 1, value); }
void Out16(uint16_t port, uint16_t value) { H().PortOut(port, 2, value); }
void Out32(uint16_t port, uint32_t value) { H().PortOut(port, 4, value); }
void Out32Tagged(uint32_t selector, uint32_t value, uint32_t extra) { H().PortOutTagged(selector, value, extra); }

uint8_t Read8(uint64_t a) { return uint8_t(H().MemRead(a, 1)); }
uint16_t Read16(uint64_t a) { return uint16_t(H().MemRead(a, 2)); }
uint32_t Read32(uint64_t a) { return uint32_t(H().MemRead(a, 4)); }
uint64_t Read64(uint64_t a) { return H().MemRead(a, 8); }
void Write8(uint64_t a, uint8_t v) { H().MemWrite(a, 1, v); }
void Write16(uint64_t a, uint16_t v) { H().MemWrite(a, 2, v); }
void Write32(uint64_t a, uint32_t v) { H().MemWrite(a, 4, v); }
void Write64(uint64_t a, uint64_t v) { H().MemWrite(a, 8, v); }

uint64_t Rdmsr(uint32_t index) { return H().Rdmsr(index); }
void Wrmsr(uint32_t index, uint64_t value) { H().Wrmsr(index, value); }

CpuidRegs Cpuid(uint32_t leaf, uint32_t subleaf) {
  sim::CpuidValue v = H().Cpuid(leaf, subleaf);
  return {v.eax, v.ebx, v.ecx, v.edx};
}
uint16_t TrapAgentCpuid(uint32_t code) { return H().TrapAgentQuery(code); }

uint64_t Rdtsc() { return H().Rdtsc(); }
void Pause() { H().Pause(); }

uint64_t ReadDr2() { return H().ReadDebug(2); }
void WriteDr2(uint64_t v) { H().WriteDebug(2, v); }
uint64_t ReadDr3() { return H().ReadDebug(3); }
void WriteDr3(uint64_t v) { H().WriteDebug(3, v); }
uint64_t ReadDr7() { return H().ReadDebug(7); }
void WriteDr7(uint64_t v) { H().WriteDebug(7, v); }
uint64_t ReadCr4() { return H().ReadCr4(); }
void WriteCr4(uint64_t v) { H().WriteCr4(v); }

// DRAM is mapped at its physical address in this process.
void* PhysToPtr(uint64_t address) { return reinterpret_cast<void*>(address); }
uint64_t PtrToPhys(const volatile void* pointer) { return reinterpret_cast<uint64_t>(pointer); }

}  // namespace hw
