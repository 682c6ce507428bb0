// The seam on real x86-64 hardware: single instructions and volatile accesses.
// Linked into the image only.
#include "platform/hw.h"

namespace hw {

uint8_t In8(uint16_t port) {
  uint8_t v;
  __asm__ __volatile__("inb %w1, %b0" : "=a"(v) : "Nd"(port));
  return v;
}
uint16_t In16(uint16_t port) {
  uint16_t v;
  __asm__ __volatile__("inw %w1, %w0" : "=a"(v) : "Nd"(port));
  return v;
}
uint32_t In32(uint16_t port) {
  uint32_t v;
  __asm__ __volatile__("inl %w1, %0" : "=a"(v) : "Nd"(port));
  return v;
}
void Out8(uint16_t port, uint8_t value) { __asm__ __volatile__("outb %b0, %w1" : : "a"(value), "Nd"(port)); }
void Out16(uint16_t port, uint16_t value) { __asm__ __volatile__("outw %w0, %w1" : : "a"(value), "Nd"(port)); }
void Out32(uint16_t port, uint32_t value) { __asm__ __volatile__("outl %0, %w1" : : "a"(value), "Nd"(port)); }

void Out32Tagged(uint32_t selector, uint32_t value, uint32_t extra) {
  // EBX is callee-saved: swap it in and out by hand around the OUT so the
  // compiler never sees it clobbered. The port is DX's low 16 bits.
  __asm__ __volatile__(
      "xchgl %%ebx, %k[x]\n\t"
      "outl %%eax, %%dx\n\t"
      "xchgl %%ebx, %k[x]"
      : [x] "+r"(extra)
      : "a"(value), "c"(selector), "d"(selector)
      : "memory");
}

uint8_t Read8(uint64_t a) { return *reinterpret_cast<volatile uint8_t*>(a); }
uint16_t Read16(uint64_t a) { return *reinterpret_cast<volatile uint16_t*>(a); }
uint32_t Read32(uint64_t a) { return *reinterpret_cast<volatile uint32_t*>(a); }
uint64_t Read64(uint64_t a) { return *reinterpret_cast<volatile uint64_t*>(a); }
void Write8(uint64_t a, uint8_t v) { *reinterpret_cast<volatile uint8_t*>(a) = v; }
void Write16(uint64_t a, uint16_t v) { *reinterpret_cast<volatile uint16_t*>(a) = v; }
void Write32(uint64_t a, uint32_t v) { *reinterpret_cast<volatile uint32_t*>(a) = v; }
void Write64(uint64_t a, uint64_t v) { *reinterpret_cast<volatile uint64_t*>(a) = v; }

uint64_t Rdmsr(uint32_t index) {
  uint32_t lo, hi;
  __asm__ __volatile__("rdmsr" : "=a"(lo), "=d"(hi) : "c"(index));
  return (uint64_t{hi} << 32) | lo;
}
void Wrmsr(uint32_t index, uint64_t value) {
  __asm__ __volatile__("wrmsr" : : "c"(index), "a"(uint32_t(value)), "d"(uint32_t(value >> 32)) : "memory");
}

CpuidRegs Cpuid(uint32_t leaf, uint32_t subleaf) {
  CpuidRegs r;
  __asm__ __volatile__("cpuid" : "=a"(r.Eax), "=b"(r.Ebx), "=c"(r.Ecx), "=d"(r.Edx) : "a"(leaf), "c"(subleaf));
  return r;
}

uint16_t TrapAgentCpuid(uint32_t code) {
  uint64_t answer;
  // Only SI is cleared; the rest of RSI is kept, and RSI is restored after the
  // answer has been taken. RBX is saved by hand (it may be the frame register).
  __asm__ __volatile__(
      "pushfq\n\t"
      "pushq %%rbx\n\t"
      "pushq %%rsi\n\t"
      "movl $0xBACCD00B, %%eax\n\t"
      "movl $2, %%ebx\n\t"
      "xorw %%si, %%si\n\t"
      "cpuid\n\t"
      "movzwl %%si, %%eax\n\t"
      "popq %%rsi\n\t"
      "popq %%rbx\n\t"
      "popfq"
      : "=a"(answer), "+c"(code)
      :
      : "rdx", "memory");
  return uint16_t(answer);
}

uint64_t Rdtsc() {
  uint32_t lo, hi;
  __asm__ __volatile__("rdtsc" : "=a"(lo), "=d"(hi));
  return (uint64_t{hi} << 32) | lo;
}
void Pause() { __asm__ __volatile__("pause"); }

uint64_t ReadDr2() { uint64_t v; __asm__ __volatile__("movq %%dr2, %0" : "=r"(v)); return v; }
void WriteDr2(uint64_t v) { __asm__ __volatile__("movq %0, %%dr2" : : "r"(v)); }
uint64_t ReadDr3() { uint64_t v; __asm__ __volatile__("movq %%dr3, %0" : "=r"(v)); return v; }
void WriteDr3(uint64_t v) { __asm__ __volatile__("movq %0, %%dr3" : : "r"(v)); }
uint64_t ReadDr7() { uint64_t v; __asm__ __volatile__("movq %%dr7, %0" : "=r"(v)); return v; }
void WriteDr7(uint64_t v) { __asm__ __volatile__("movq %0, %%dr7" : : "r"(v)); }
uint64_t ReadCr4() { uint64_t v; __asm__ __volatile__("movq %%cr4, %0" : "=r"(v)); return v; }
void WriteCr4(uint64_t v) { __asm__ __volatile__("movq %0, %%cr4" : : "r"(v) : "memory"); }

// Boot-service drivers run identity-mapped.
void* PhysToPtr(uint64_t address) { return reinterpret_cast<void*>(address); }
uint64_t PtrToPhys(const volatile void* pointer) { return reinterpret_cast<uint64_t>(pointer); }

}  // namespace hw
