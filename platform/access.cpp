#include "platform/access.h"

#include "diag/trap.h"
#include "platform/hw.h"

// Access size in bytes for a width code; a code it does not know traps and gives 0.
static uint32_t CheckedWidth(uint32_t width, uint32_t trapCode) {
  switch (width) {
    case 0x01: case 0x81: return 1;
    case 0x02: case 0x82: return 2;
    case 0x03: case 0x83: return 4;
    default: FatalTrap(trapCode); return 0;
  }
}

typedef uint16_t __attribute__((aligned(1), may_alias)) U16;
typedef uint32_t __attribute__((aligned(1), may_alias)) U32;

void PortReadWidth(uint32_t width, uint16_t port, void* destination) {
  switch (CheckedWidth(width, kTrapPortReadWidth)) {
    case 1: *static_cast<uint8_t*>(destination) = hw::In8(port); break;
    case 2: *static_cast<U16*>(destination) = hw::In16(port); break;
    case 4: *static_cast<U32*>(destination) = hw::In32(port); break;
    default: break;
  }
}

void PortWriteWidth(uint32_t width, uint16_t port, const void* source) {
  switch (CheckedWidth(width, kTrapPortWriteWidth)) {
    case 1: hw::Out8(port, *static_cast<const uint8_t*>(source)); break;
    case 2: hw::Out16(port, *static_cast<const U16*>(source)); break;
    case 4: hw::Out32(port, *static_cast<const U32*>(source)); break;
    default: break;
  }
}

void MemReadWidth(uint32_t width, uint64_t address, void* destination) {
  switch (CheckedWidth(width, kTrapMemReadWidth)) {
    case 1: *static_cast<uint8_t*>(destination) = hw::Read8(address); break;
    case 2: *static_cast<U16*>(destination) = hw::Read16(address); break;
    case 4: *static_cast<U32*>(destination) = hw::Read32(address); break;
    default: break;
  }
}

void MemWriteWidth(uint32_t width, uint64_t address, const void* source) {
  switch (CheckedWidth(width, kTrapMemWriteWidth)) {
    case 1: hw::Write8(address, *static_cast<const uint8_t*>(source)); break;
    case 2: hw::Write16(address, *static_cast<const U16*>(source)); break;
    case 4: hw::Write32(address, *static_cast<const U32*>(source)); break;
    default: break;
  }
}

void PortWrite32Tagged(uint32_t selector, uint32_t value, uint32_t extra) { hw::Out32Tagged(selector, value, extra); }

uint32_t FabricConfigRead(uint64_t socket, uint64_t die, uint64_t function, uint64_t offset) {
  if (socket > 1) FatalTrap(kTrapFabricSocket);
  if (die > 3) FatalTrap(kTrapFabricDie);
  if (function > 7) FatalTrap(kTrapFabricFunction);
  if (offset > 0x3FF) FatalTrap(kTrapFabricOffset);
  if (offset % 4 != 0) FatalTrap(kTrapFabricAlign);
  // Fields are cut to their widths, so even a read after a returned trap stays on bus 0.
  using Offset = PciConfigOffset;
  return hw::Read32(PciConfigBase + Offset::Device::Of(((socket << 2) | die) + kFabricFirstDevice) +
                    Offset::Function::Of(function) + Offset::Register::Of(offset));
}

uint64_t MsrRead(uint32_t index) { return hw::Rdmsr(index); }

uint64_t MsrOrWrite(uint32_t index, uint64_t mask) {
  uint64_t value = hw::Rdmsr(index) | mask;
  hw::Wrmsr(index, value);
  return value;
}

uint32_t CpuidQuery(uint32_t leaf, uint32_t* eax, uint32_t* ebx, uint32_t* ecx, uint32_t* edx) {
  hw::CpuidRegs r = hw::Cpuid(leaf, leaf);
  if (eax) *eax = r.Eax;
  if (ebx) *ebx = r.Ebx;
  if (ecx) *ecx = r.Ecx;
  if (edx) *edx = r.Edx;
  return leaf;
}

uint64_t Dr2Read() { return hw::ReadDr2(); }
uint64_t Dr2Write(uint64_t v) { hw::WriteDr2(v); return v; }
uint64_t Dr3Read() { return hw::ReadDr3(); }
uint64_t Dr3Write(uint64_t v) { hw::WriteDr3(v); return v; }
uint64_t Dr7Read() { return hw::ReadDr7(); }
uint64_t Dr7Write(uint64_t v) { hw::WriteDr7(v); return v; }
uint64_t Cr4Read() { return hw::ReadCr4(); }
uint64_t Cr4Write(uint64_t v) { hw::WriteCr4(v); return v; }
