// The instructions and memory the hardware model answers: IN/OUT and CPUID by
// instruction hooks, RDMSR/WRMSR/RDTSC/PAUSE, moves to and from CR4 and the debug
// registers and the tagged port write by hooks on their sites in the image's
// code, and all memory outside DRAM (but the thunk page) as MMIO: the model
// decodes it, and answers all ones where nothing is.
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "sim/emu/emulator_engine.h"

namespace sim {

using namespace emu;

namespace {

constexpr uint32_t kTrapAgentLeaf = 0xBACCD00B;

// ---- instruction forms emulated through the hardware model ----

enum class Op { Rdmsr, Wrmsr, Rdtsc, Pause, ReadCr, WriteCr, ReadDr, WriteDr };

struct Instruction {
  Op op;
  unsigned length;
  unsigned control;  // CR or DR number
  unsigned gpr;      // the general register operand
};

bool IsLegacyPrefix(uint8_t b) {
  switch (b) {
    case 0xF0: case 0xF2: case 0xF3: case 0x2E: case 0x36: case 0x3E: case 0x26: case 0x64: case 0x65:
    case 0x66: case 0x67:
      return true;
    default:
      return false;
  }
}
bool IsRex(uint8_t b) { return (b & 0xF0) == 0x40; }

// Decodes the instruction at p (n bytes available) if it is one of the forms above.
std::optional<Instruction> Decode(const uint8_t* p, size_t n) {
  size_t i = 0;
  bool rep = false;
  while (i < n && i < 14 && IsLegacyPrefix(p[i])) rep |= p[i++] == 0xF3;
  uint8_t rex = 0;
  if (i < n && IsRex(p[i])) rex = p[i++];
  if (i >= n) return std::nullopt;
  if (p[i] == 0x90) {
    if (rep && !(rex & 1)) return Instruction{Op::Pause, unsigned(i + 1), 0, 0};
    return std::nullopt;
  }
  if (p[i] != 0x0F || i + 1 >= n) return std::nullopt;
  switch (p[i + 1]) {
    case 0x30: return Instruction{Op::Wrmsr, unsigned(i + 2), 0, 0};
    case 0x31: return Instruction{Op::Rdtsc, unsigned(i + 2), 0, 0};
    case 0x32: return Instruction{Op::Rdmsr, unsigned(i + 2), 0, 0};
    case 0x20: case 0x21: case 0x22: case 0x23: {
      if (i + 2 >= n) return std::nullopt;
      const uint8_t m = p[i + 2];
      const unsigned control = ((m >> 3) & 7) | ((rex & 4) ? 8 : 0);
      const unsigned gpr = (m & 7) | ((rex & 1) ? 8 : 0);
      static constexpr Op kOps[4] = {Op::ReadCr, Op::ReadDr, Op::WriteCr, Op::WriteDr};
      return Instruction{kOps[p[i + 1] - 0x20], unsigned(i + 3), control, gpr};
    }
    default:
      return std::nullopt;
  }
}

// An exchange of EBX with another 32-bit register: [REX] 87 /r, register form.
size_t XchgWithEbx(const uint8_t* p, size_t n) {
  size_t i = 0;
  uint8_t rex = 0;
  if (i < n && IsRex(p[i])) rex = p[i++];
  if (i + 2 > n || p[i] != 0x87 || (rex & 8)) return 0;
  const uint8_t m = p[i + 1];
  if ((m >> 6) != 3) return 0;
  const unsigned reg = ((m >> 3) & 7) | ((rex & 4) ? 8 : 0);
  const unsigned rm = (m & 7) | ((rex & 1) ? 8 : 0);
  return reg == 3 || rm == 3 ? i + 2 : 0;
}

// The seam's tagged port write: OUT DX, EAX between two identical exchanges that
// swap the extra value into EBX and back.
bool IsTaggedOut(const uint8_t* code, size_t size, size_t at) {
  if (code[at] != 0xEF) return false;
  for (size_t len = 2; len <= 3; ++len) {
    if (at < len || at + 1 + len > size) continue;
    if (XchgWithEbx(code + at - len, len) == len && std::memcmp(code + at - len, code + at + 1, len) == 0) return true;
  }
  return false;
}

Hardware& Hw() { return ActivePlatform().hardware(); }

using Engine = EmulatorDispatch::Engine;

uint32_t OnIn(uc_engine*, uint32_t port, int size, void* user) {
  auto* e = static_cast<Engine*>(user);
  uint32_t v = uint32_t(WidthMask(unsigned(size)));
  e->Guarded([&] { v = Hw().PortIn(uint16_t(port), uint8_t(size)); });
  return v;
}

void OnOut(uc_engine*, uint32_t port, int size, uint32_t value, void* user) {
  auto* e = static_cast<Engine*>(user);
  e->Guarded([&] { Hw().PortOut(uint16_t(port), uint8_t(size), uint32_t(value & WidthMask(unsigned(size)))); });
}

int OnCpuid(uc_engine*, void* user) {
  auto* e = static_cast<Engine*>(user);
  e->Guarded([&] {
    const uint32_t leaf = uint32_t(e->Reg(UC_X86_REG_RAX));
    const uint32_t sub = uint32_t(e->Reg(UC_X86_REG_RCX));
    if (leaf == kTrapAgentLeaf) {
      // The trap-agent query: the answer comes back in SI, the rest of RSI is kept.
      const uint16_t answer = Hw().TrapAgentQuery(sub);
      e->SetReg(UC_X86_REG_SI, answer);
      return;
    }
    const CpuidValue v = Hw().Cpuid(leaf, sub);
    e->SetReg(UC_X86_REG_RAX, v.eax);
    e->SetReg(UC_X86_REG_RBX, v.ebx);
    e->SetReg(UC_X86_REG_RCX, v.ecx);
    e->SetReg(UC_X86_REG_RDX, v.edx);
  });
  return 1;  // the hook is the instruction
}

void OnSite(uc_engine*, uint64_t address, uint32_t, void* user) {
  auto* e = static_cast<Engine*>(user);
  e->Guarded([&] {
    if (e->taggedRvas.count(address - e->CopyBase(address))) {
      Hw().PortOutTagged(uint32_t(e->Reg(UC_X86_REG_RCX)), uint32_t(e->Reg(UC_X86_REG_RAX)),
                         uint32_t(e->Reg(UC_X86_REG_RBX)));
      e->SetReg(UC_X86_REG_RIP, address + 1);
      return;
    }
    const uint64_t end = e->CopyBase(address) + e->image.SizeOfImage();
    const auto insn = Decode(e->memory.Host(address), size_t(std::min<uint64_t>(15, end - address)));
    if (!insn) return;  // another instruction starts here; it runs as it is
    auto gpr = [&](unsigned n) { return kGpr[n & 15]; };
    switch (insn->op) {
      case Op::Rdmsr: {
        const uint64_t v = Hw().Rdmsr(uint32_t(e->Reg(UC_X86_REG_RCX)));
        e->SetReg(UC_X86_REG_RAX, v & 0xFFFFFFFFu);
        e->SetReg(UC_X86_REG_RDX, v >> 32);
        break;
      }
      case Op::Wrmsr:
        Hw().Wrmsr(uint32_t(e->Reg(UC_X86_REG_RCX)),
                   (e->Reg(UC_X86_REG_RDX) << 32) | (e->Reg(UC_X86_REG_RAX) & 0xFFFFFFFFu));
        break;
      case Op::Rdtsc: {
        const uint64_t v = Hw().Rdtsc();
        e->SetReg(UC_X86_REG_RAX, v & 0xFFFFFFFFu);
        e->SetReg(UC_X86_REG_RDX, v >> 32);
        break;
      }
      case Op::Pause:
        Hw().Pause();
        break;
      case Op::ReadCr:
        if (insn->control != 4) return;  // only CR4 belongs to the platform model
        e->SetReg(gpr(insn->gpr), Hw().ReadCr4());
        break;
      case Op::WriteCr:
        if (insn->control != 4) return;
        Hw().WriteCr4(e->Reg(gpr(insn->gpr)));
        break;
      case Op::ReadDr:
        if (insn->control > 7) return;
        e->SetReg(gpr(insn->gpr), Hw().ReadDebug(uint8_t(insn->control)));
        break;
      case Op::WriteDr:
        if (insn->control > 7) return;
        Hw().WriteDebug(uint8_t(insn->control), e->Reg(gpr(insn->gpr)));
        break;
    }
    e->SetReg(UC_X86_REG_RIP, address + insn->length);
  });
}

// Every access to memory outside DRAM reaches the hardware model here, whole, as
// the seam makes it; the MMIO callbacks below only hand its pieces out.
void OnMmioAccess(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t value, void* user) {
  auto* e = static_cast<Engine*>(user);
  const unsigned n = unsigned(size);
  const bool write = type == UC_MEM_WRITE;
  if (!write && e->split.Takes(address, n)) return;  // its pieces come from the pending access
  e->access.active = false;
  if (n != 1 && n != 2 && n != 4 && n != 8) return;  // wider accesses go piece by piece
  if (!write && n > 1 && (address & (n - 1)) != 0) e->split.Expect(address, n);
  if (e->failed) {
    e->access = {true, write, address, n, WidthMask(n)};
    return;
  }
  e->Guarded([&] {
    const uint64_t nothingBefore = Hw().NothingTotal();
    uint64_t v = uint64_t(value) & WidthMask(n);
    if (write) Hw().MemWrite(address, uint8_t(n), v);
    else v = Hw().MemRead(address, uint8_t(n));
    e->access = {true, write, address, n, v};
    if (Hw().NothingTotal() != nothingBefore) e->CheckStack(address, n, write);
  });
}

uint64_t OnMmioRead(uc_engine*, uint64_t offset, unsigned size, void* user) {
  auto* w = static_cast<Engine::MmioWindow*>(user);
  Engine* e = w->engine;
  const uint64_t a = w->base + offset;
  if (e->access.Holds(a, size, false)) return e->access.Piece(a, size);
  uint64_t v = WidthMask(size);
  e->Guarded([&] { v = Hw().MemRead(a, uint8_t(size)); });
  return v;
}

void OnMmioWrite(uc_engine*, uint64_t offset, unsigned size, uint64_t value, void* user) {
  auto* w = static_cast<Engine::MmioWindow*>(user);
  Engine* e = w->engine;
  const uint64_t a = w->base + offset;
  if (e->access.Holds(a, size, true)) return;
  e->Guarded([&] { Hw().MemWrite(a, uint8_t(size), value & WidthMask(size)); });
}

}  // namespace

// A read of the DRAM kept for placed data: recorded like the host build's seam records it.
void OnPlacedDataRead(uc_engine*, uc_mem_type, uint64_t address, int size, int64_t, void* user) {
  auto* e = static_cast<Engine*>(user);
  const unsigned n = unsigned(size);
  if (e->split.Takes(address, n)) return;
  if (n != 1 && n != 2 && n != 4 && n != 8) return;
  if (n > 1 && address % kPage + n > kPage) e->split.Expect(address, n);
  e->Guarded([&] { Hw().MemRead(address, uint8_t(n)); });
}

void EmulatorDispatch::Engine::CheckStack(uint64_t address, unsigned size, bool write) const {
  const uint64_t rsp = Reg(UC_X86_REG_RSP);
  if (rsp > kDramBase && rsp <= kDramEnd) return;
  throw EmulationError(std::string("the driver used its stack where nothing is: a ") + (write ? "write" : "read") +
                       " of " + std::to_string(size) + " bytes at " + HexText(address) + " with the stack pointer at " +
                       HexText(rsp) + "; RIP " + Where(Reg(UC_X86_REG_RIP)));
}

void EmulatorDispatch::Engine::MapMmio() {
  // Everything outside DRAM but the thunk page is the hardware model's: PCI
  // configuration space, the chipset window, the flash, and all ones where
  // nothing decodes (page 0 included: a null pointer's data reads so too).
  uc_hook h;
  for (MmioWindow* w : {&low, &high, &top}) {
    const uint64_t end = w == &low ? kDramBase : w == &high ? kFourGiB : 0;  // 0: the top of the address space
    Check(uc_mmio_map(uc, w->base, end - w->base, OnMmioRead, w, OnMmioWrite, w), "map MMIO at " + HexText(w->base));
    Check(uc_hook_add(uc, &h, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(OnMmioAccess), this,
                      w->base, end - 1),
          "hook MMIO at " + HexText(w->base));
  }
  Check(uc_hook_add(uc, &h, UC_HOOK_MEM_READ, reinterpret_cast<void*>(OnPlacedDataRead), this, kPlacedDataBase,
                    kPlacedDataEnd - 1),
        "hook placed data");
}

void EmulatorDispatch::Engine::HookInstructions() {
  uc_hook h;
  Check(uc_hook_add(uc, &h, UC_HOOK_INSN, reinterpret_cast<void*>(OnIn), this, 1, 0, UC_X86_INS_IN), "hook IN");
  Check(uc_hook_add(uc, &h, UC_HOOK_INSN, reinterpret_cast<void*>(OnOut), this, 1, 0, UC_X86_INS_OUT), "hook OUT");
  Check(uc_hook_add(uc, &h, UC_HOOK_INSN, reinterpret_cast<void*>(OnCpuid), this, 1, 0, UC_X86_INS_CPUID), "hook CPUID");

  // Sites of the instructions the hardware model answers: every place such an
  // opcode starts, and every prefix byte before it where the instruction may start.
  const std::vector<uint8_t>& code = image.Layout();
  std::set<uint64_t> sites;
  for (const PeSection& s : image.Sections()) {
    if (!s.Executable()) continue;
    const size_t begin = s.rva, end = std::min<size_t>(size_t(s.rva) + s.size, code.size());
    for (size_t p = begin; p < end; ++p) {
      if (IsTaggedOut(code.data() + begin, end - begin, p - begin)) {
        sites.insert(p);
        taggedRvas.insert(p);
        continue;
      }
      const bool hit = p + 1 < end && ((code[p] == 0x0F && ((code[p + 1] >= 0x20 && code[p + 1] <= 0x23) ||
                                                            (code[p + 1] >= 0x30 && code[p + 1] <= 0x32))) ||
                                       (code[p] == 0xF3 && code[p + 1] == 0x90));
      if (!hit) continue;
      for (size_t k = 0; k <= 14 && p - k >= begin; ++k) {
        if (k > 0 && !IsLegacyPrefix(code[p - k]) && !IsRex(code[p - k])) break;
        sites.insert(p - k);
      }
    }
  }
  siteRvas.assign(sites.begin(), sites.end());
  // The first copies' sites now; a further copy's when it is first loaded, its
  // code not yet translated.
  for (unsigned k = 0; k < std::min(kEmuImageSlots, capacity); ++k) HookCopy(k);
}

void EmulatorDispatch::Engine::HookCopy(unsigned k) {
  if (copyHooked[k]) return;
  const uint64_t base = CopyAddress(k);
  uc_hook h;
  for (uint64_t rva : siteRvas)
    Check(uc_hook_add(uc, &h, UC_HOOK_CODE, reinterpret_cast<void*>(OnSite), this, base + rva, base + rva),
          "hook an instruction site");
  copyHooked[k] = true;
}

}  // namespace sim
