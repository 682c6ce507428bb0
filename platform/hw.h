// The instruction-level seam. Everything the driver does to hardware goes through
// these functions: the image links an x86-64 implementation (hw_x64.cpp), the host
// build links the virtual platform's. Keep this list short and literal: one
// function per instruction form, no policy.
#pragma once
#include <stdint.h>

namespace hw {

uint8_t In8(uint16_t port);
uint16_t In16(uint16_t port);
uint32_t In32(uint16_t port);
void Out8(uint16_t port, uint8_t value);
void Out16(uint16_t port, uint16_t value);
void Out32(uint16_t port, uint32_t value);
// One 32-bit OUT to the port in the selector's low 16 bits, executed with
// ECX = EDX = selector, EAX = value and EBX = extra (EBX restored afterwards).
void Out32Tagged(uint32_t selector, uint32_t value, uint32_t extra);

// Single loads and stores of exactly the given width at a physical address.
uint8_t Read8(uint64_t address);
uint16_t Read16(uint64_t address);
uint32_t Read32(uint64_t address);
uint64_t Read64(uint64_t address);
void Write8(uint64_t address, uint8_t value);
void Write16(uint64_t address, uint16_t value);
void Write32(uint64_t address, uint32_t value);
void Write64(uint64_t address, uint64_t value);

uint64_t Rdmsr(uint32_t index);
void Wrmsr(uint32_t index, uint64_t value);

struct CpuidRegs {
  uint32_t Eax, Ebx, Ecx, Edx;
};
// CPUID with EAX = leaf and ECX = subleaf.
CpuidRegs Cpuid(uint32_t leaf, uint32_t subleaf);
// CPUID with EAX = 0xBACCD00B, EBX = 2, ECX = code and SI = 0; returns SI afterwards.
// Preserves the caller's flags, RBX, RCX, RDX and RSI.
uint16_t TrapAgentCpuid(uint32_t code);

uint64_t Rdtsc();
void Pause();

uint64_t ReadDr2();
void WriteDr2(uint64_t value);
uint64_t ReadDr3();
void WriteDr3(uint64_t value);
uint64_t ReadDr7();
void WriteDr7(uint64_t value);
uint64_t ReadCr4();
void WriteCr4(uint64_t value);

// Physical addresses and pointers to memory the driver owns or was handed.
void* PhysToPtr(uint64_t address);
uint64_t PtrToPhys(const volatile void* pointer);

}  // namespace hw
