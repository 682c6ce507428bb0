#include "sim/emu/emulator_dispatch.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <optional>
#include <set>
#include <vector>

#include "sim/platform.h"
#include "uefi/base.h"

namespace sim {

namespace {

constexpr uint64_t kPage = 0x1000;
constexpr uint64_t kDramEnd = kDramBase + kDramSize;
constexpr uint64_t kFourGiB = 1ull << 32;
constexpr uint64_t kThunkStride = 16;
constexpr size_t kServiceCount = static_cast<size_t>(Service::Count);
// Where every call from the firmware returns to; emulation ends when it gets there.
constexpr uint64_t kStop = kEmuThunkBase + 0x800;
static_assert(kServiceCount * kThunkStride <= 0x800);
// A nested call's frame starts this far below the interrupted caller's stack pointer.
constexpr uint64_t kNestedGap = 128;
// Room the host needs in the platform stack region above the driver's stack.
constexpr uint64_t kHostStackReserve = 512ull << 10;
constexpr uint32_t kTrapAgentLeaf = 0xBACCD00B;

constexpr int kGpr[16] = {UC_X86_REG_RAX, UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_RBX,
                          UC_X86_REG_RSP, UC_X86_REG_RBP, UC_X86_REG_RSI, UC_X86_REG_RDI,
                          UC_X86_REG_R8,  UC_X86_REG_R9,  UC_X86_REG_R10, UC_X86_REG_R11,
                          UC_X86_REG_R12, UC_X86_REG_R13, UC_X86_REG_R14, UC_X86_REG_R15};
constexpr int kArgumentRegisters[4] = {UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_R8, UC_X86_REG_R9};

uint64_t WidthMask(unsigned width) { return width >= 8 ? ~0ull : (1ull << (8 * width)) - 1; }
uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) & ~(a - 1); }

const char* ServiceName(Service s) {
  switch (s) {
    case Service::Unimplemented: return "Unimplemented";
    case Service::RaiseTpl: return "RaiseTpl";
    case Service::RestoreTpl: return "RestoreTpl";
    case Service::AllocatePool: return "AllocatePool";
    case Service::FreePool: return "FreePool";
    case Service::CreateEvent: return "CreateEvent";
    case Service::SignalEvent: return "SignalEvent";
    case Service::CloseEvent: return "CloseEvent";
    case Service::InstallProtocolInterface: return "InstallProtocolInterface";
    case Service::RegisterProtocolNotify: return "RegisterProtocolNotify";
    case Service::LocateProtocol: return "LocateProtocol";
    case Service::CreateEventEx: return "CreateEventEx";
    case Service::PcdGet8: return "PcdGet8";
    case Service::PcdGet16: return "PcdGet16";
    case Service::PcdGet32: return "PcdGet32";
    case Service::PcdGet64: return "PcdGet64";
    case Service::PcdGetBool: return "PcdGetBool";
    case Service::PcdSet8: return "PcdSet8";
    case Service::PcdSet16: return "PcdSet16";
    case Service::PcdSet32: return "PcdSet32";
    case Service::PcdSet64: return "PcdSet64";
    case Service::PcdSetBool: return "PcdSetBool";
    case Service::TopologySystemInfo: return "TopologySystemInfo";
    case Service::TopologySocketInfo: return "TopologySocketInfo";
    case Service::TopologyUnused: return "TopologyUnused";
    case Service::TopologyRootBusInfo: return "TopologyRootBusInfo";
    case Service::SmmCommunicate: return "SmmCommunicate";
    case Service::Count: break;
  }
  return "?";
}

const char* ExceptionName(uint32_t vector) {
  switch (vector) {
    case 0: return "#DE divide error";
    case 1: return "#DB debug";
    case 3: return "#BP breakpoint (int3)";
    case 4: return "#OF overflow";
    case 5: return "#BR bound range";
    case 6: return "#UD invalid opcode";
    case 13: return "#GP general protection";
    case 14: return "#PF page fault";
    case 17: return "#AC alignment check";
    default: return "interrupt";
  }
}

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

}  // namespace

struct EmulatorDispatch::Engine {
  Engine(PeImage peImage, EmulatorLimits lim) : image(std::move(peImage)), limits(lim) {
    if (image.SizeOfImage() > kEmuImageRegionSize)
      throw EmulationError("the image does not fit the " + HexText(kEmuImageRegionSize) + "-byte region it is placed in");
    try {
      Setup();
    } catch (...) {
      if (uc != nullptr) uc_close(uc);
      throw;
    }
  }
  ~Engine() { uc_close(uc); }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  void Setup();

  uint64_t Call(uint64_t function, std::initializer_list<uint64_t> args);
  void Serve(Service service, uint64_t rsp);

  uint64_t Reg(int reg) const {
    uint64_t v = 0;
    uc_reg_read(uc, reg, &v);
    return v;
  }
  void SetReg(int reg, uint64_t v) { uc_reg_write(uc, reg, &v); }
  void Check(uc_err err, const std::string& what) const {
    if (err != UC_ERR_OK) throw EmulationError("emulator: " + what + ": " + uc_strerror(err));
  }
  std::string Where(uint64_t address) const {
    if (address >= kEmuImageBase && address - kEmuImageBase < image.SizeOfImage())
      return HexText(address) + " (image + " + HexText(address - kEmuImageBase) + ")";
    if (address >= kEmuThunkBase && address - kEmuThunkBase < kPage) return HexText(address) + " (firmware thunk page)";
    return HexText(address);
  }
  std::string BytesAt(uint64_t address) const {
    std::string out;
    for (uint64_t a = address; a < address + 4; ++a) {
      if (!memory.Contains(a, 1)) break;
      char b[4];
      std::snprintf(b, sizeof b, "%02X ", memory.Read<uint8_t>(a));
      out += b;
    }
    return out.empty() ? "(not in DRAM)" : out.substr(0, out.size() - 1);
  }
  // A failure inside a hook: remembered, the emulation stopped, and rethrown once
  // uc_emu_start has returned. Later hardware hooks of the same run do nothing.
  void Fail(std::exception_ptr error) {
    if (!hookError) hookError = error;
    failed = true;
    uc_emu_stop(uc);
  }
  template <class F>
  void Guarded(F&& f) {
    if (failed) return;
    try {
      f();
    } catch (...) {
      Fail(std::current_exception());
    }
  }

  uint64_t GuestRead64(uint64_t address, const std::string& what) const {
    if (!memory.Contains(address, 8)) throw EmulationError(what + " " + HexText(address) + " lies outside DRAM");
    return memory.Read<uint64_t>(address);
  }
  void GuestWrite64(uint64_t address, uint64_t value, const std::string& what) {
    if (!memory.Contains(address, 8)) throw EmulationError(what + " " + HexText(address) + " lies outside DRAM");
    memory.Write<uint64_t>(address, value);
  }
  Guid GuestGuid(uint64_t address, const std::string& what) const {
    if (!memory.Contains(address, sizeof(Guid))) throw EmulationError(what + " " + HexText(address) + " lies outside DRAM");
    Guid g;
    std::memcpy(&g, memory.Host(address), sizeof g);
    return g;
  }

  PeImage image;
  EmulatorLimits limits;
  PhysicalMemory& memory = PhysicalMemory::Instance();
  uc_engine* uc = nullptr;
  alignas(4096) uint8_t thunks[kPage];
  std::set<uint64_t> taggedSites;  // addresses
  size_t sites = 0;

  struct MmioWindow {
    Engine* engine;
    uint64_t base;
  };
  MmioWindow low{this, kPage}, high{this, kDramEnd};
  struct ReadOnlyRange {
    Engine* engine;
    std::string name;
  };
  std::deque<ReadOnlyRange> readOnly;

  // Run state.
  int depth = 0;
  uint64_t blocks = 0;
  bool failed = false;
  std::exception_ptr hookError;
  struct PendingService {
    Service service;
    uint64_t rsp;  // at the thunk: the caller's return address
  };
  std::optional<PendingService> pending;
  // The access an instruction makes to MMIO, taken whole in the memory hook; the
  // emulator then hands it to the MMIO callbacks in pieces of at most 4 bytes.
  struct PendingAccess {
    bool active = false;
    bool write = false;
    uint64_t address = 0;
    unsigned size = 0;
    uint64_t value = 0;
    bool Covers(uint64_t a, unsigned n, bool w) const {
      return active && write == w && a >= address && a - address + n <= size;
    }
  } access;
};

namespace {

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

void OnThunk(uc_engine*, uint64_t address, uint32_t, void* user) {
  auto* e = static_cast<Engine*>(user);
  const uint64_t offset = address - kEmuThunkBase;
  if (offset % kThunkStride != 0 || offset / kThunkStride >= kServiceCount) {
    e->Fail(std::make_exception_ptr(EmulationError("the driver jumped into the firmware thunk page at " + HexText(address))));
    return;
  }
  // Leave the emulator before the `ret`: the service runs outside it, and the
  // return is taken when the emulation resumes.
  e->pending = Engine::PendingService{static_cast<Service>(offset / kThunkStride), e->Reg(UC_X86_REG_RSP)};
  e->SetReg(UC_X86_REG_RIP, kStop);
  uc_emu_stop(e->uc);
}

void OnSite(uc_engine*, uint64_t address, uint32_t, void* user) {
  auto* e = static_cast<Engine*>(user);
  e->Guarded([&] {
    if (e->taggedSites.count(address)) {
      Hw().PortOutTagged(uint32_t(e->Reg(UC_X86_REG_RCX)), uint32_t(e->Reg(UC_X86_REG_RAX)),
                         uint32_t(e->Reg(UC_X86_REG_RBX)));
      e->SetReg(UC_X86_REG_RIP, address + 1);
      return;
    }
    const uint64_t end = kEmuImageBase + e->image.SizeOfImage();
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

void OnBlock(uc_engine*, uint64_t address, uint32_t, void* user) {
  auto* e = static_cast<Engine*>(user);
  if (++e->blocks > e->limits.blocksPerCall && !e->failed)
    e->Fail(std::make_exception_ptr(EmulationError("the driver ran away: more than " + std::to_string(e->limits.blocksPerCall) +
                                                   " translation blocks in one call from the firmware, now at " +
                                                   e->Where(address))));
}

bool OnMemInvalid(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t, void* user) {
  auto* e = static_cast<Engine*>(user);
  const char* what = "access";
  const char* why = "nothing is mapped there";
  switch (type) {
    case UC_MEM_READ_UNMAPPED: what = "read"; break;
    case UC_MEM_WRITE_UNMAPPED: what = "write"; break;
    case UC_MEM_FETCH_UNMAPPED: what = "instruction fetch"; break;
    case UC_MEM_READ_PROT: what = "read"; why = "the memory is protected"; break;
    case UC_MEM_WRITE_PROT: what = "write"; why = "the memory is read-only"; break;
    case UC_MEM_FETCH_PROT: what = "instruction fetch"; why = "the memory is not executable"; break;
    default: break;
  }
  e->Fail(std::make_exception_ptr(EmulationError(std::string("the driver faulted: ") + what + " of " + std::to_string(size) +
                                                 " bytes at " + e->Where(address) + ": " + why + "; RIP " +
                                                 e->Where(e->Reg(UC_X86_REG_RIP)))));
  return false;
}

void OnInterrupt(uc_engine*, uint32_t vector, void* user) {
  auto* e = static_cast<Engine*>(user);
  e->Fail(std::make_exception_ptr(EmulationError("the driver raised CPU exception " + std::to_string(vector) + " (" +
                                                 ExceptionName(vector) + "); RIP " + e->Where(e->Reg(UC_X86_REG_RIP)))));
}

void OnReadOnlyWrite(uc_engine*, uc_mem_type, uint64_t address, int size, int64_t, void* user) {
  auto* r = static_cast<Engine::ReadOnlyRange*>(user);
  Engine* e = r->engine;
  e->Fail(std::make_exception_ptr(EmulationError("the driver wrote " + std::to_string(size) + " bytes to its read-only " +
                                                 r->name + " at " + e->Where(address) + "; RIP " +
                                                 e->Where(e->Reg(UC_X86_REG_RIP)))));
}

void OnStackGuard(uc_engine*, uc_mem_type, uint64_t address, int size, int64_t, void* user) {
  auto* e = static_cast<Engine*>(user);
  e->Fail(std::make_exception_ptr(EmulationError(
      "the driver's stack overflowed: a write of " + std::to_string(size) + " bytes at " + HexText(address) +
      ", in the lowest page of its " + std::to_string(kEmuGuestStackSize >> 10) + " KiB stack; RIP " +
      e->Where(e->Reg(UC_X86_REG_RIP)))));
}

// Every access to memory outside DRAM below 4 GiB reaches the hardware model here,
// whole, as the seam makes it; the MMIO callbacks below only hand its pieces out.
void OnMmioAccess(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t value, void* user) {
  auto* e = static_cast<Engine*>(user);
  e->access.active = false;
  const unsigned n = unsigned(size);
  if (n != 1 && n != 2 && n != 4 && n != 8) return;  // wider accesses go piece by piece
  const bool write = type == UC_MEM_WRITE;
  if (e->failed) {
    e->access = {true, write, address, n, WidthMask(n)};
    return;
  }
  e->Guarded([&] {
    uint64_t v = uint64_t(value) & WidthMask(n);
    if (write) Hw().MemWrite(address, uint8_t(n), v);
    else v = Hw().MemRead(address, uint8_t(n));
    e->access = {true, write, address, n, v};
  });
}

uint64_t OnMmioRead(uc_engine*, uint64_t offset, unsigned size, void* user) {
  auto* w = static_cast<Engine::MmioWindow*>(user);
  Engine* e = w->engine;
  const uint64_t a = w->base + offset;
  if (e->access.Covers(a, size, false)) {
    const uint64_t piece = (e->access.value >> (8 * (a - e->access.address))) & WidthMask(size);
    if (a - e->access.address + size == e->access.size) e->access.active = false;
    return piece;
  }
  uint64_t v = WidthMask(size);
  e->Guarded([&] { v = Hw().MemRead(a, uint8_t(size)); });
  return v;
}

void OnMmioWrite(uc_engine*, uint64_t offset, unsigned size, uint64_t value, void* user) {
  auto* w = static_cast<Engine::MmioWindow*>(user);
  Engine* e = w->engine;
  const uint64_t a = w->base + offset;
  if (e->access.Covers(a, size, true)) {
    if (a - e->access.address + size == e->access.size) e->access.active = false;
    return;
  }
  e->Guarded([&] { Hw().MemWrite(a, uint8_t(size), value & WidthMask(size)); });
}

}  // namespace

void EmulatorDispatch::Engine::Setup() {
  Check(uc_open(UC_ARCH_X86, UC_MODE_64, &uc), "open");

  // DRAM, shared with the models; only the image's pages may hold code.
  const uint64_t imageEnd = kEmuImageBase + AlignUp(image.SizeOfImage(), kPage);
  auto mapDram = [&](uint64_t from, uint64_t to, uint32_t prot) {
    if (to > from) Check(uc_mem_map_ptr(uc, from, to - from, prot, memory.Host(from)), "map DRAM at " + HexText(from));
  };
  mapDram(kDramBase, kEmuImageBase, UC_PROT_READ | UC_PROT_WRITE);
  mapDram(kEmuImageBase, imageEnd, UC_PROT_ALL);
  mapDram(imageEnd, kDramEnd, UC_PROT_READ | UC_PROT_WRITE);

  // The thunk page: a `ret` per service, int3 between them, the stop address after.
  std::memset(thunks, 0xCC, sizeof thunks);
  for (size_t i = 0; i < kServiceCount; ++i) thunks[i * kThunkStride] = 0xC3;
  thunks[kStop - kEmuThunkBase] = 0xF4;
  Check(uc_mem_map_ptr(uc, kEmuThunkBase, kPage, UC_PROT_READ | UC_PROT_EXEC, thunks), "map the thunk page");

  // Everything else below 4 GiB but page 0 is registers: PCI configuration space,
  // the chipset window, and all-ones where nothing decodes.
  Check(uc_mmio_map(uc, low.base, kDramBase - low.base, OnMmioRead, &low, OnMmioWrite, &low), "map MMIO below DRAM");
  Check(uc_mmio_map(uc, high.base, kFourGiB - high.base, OnMmioRead, &high, OnMmioWrite, &high), "map MMIO above DRAM");

  // Hooks go in before the first run: translated code never sees later ones.
  uc_hook h;
  Check(uc_hook_add(uc, &h, UC_HOOK_INSN, reinterpret_cast<void*>(OnIn), this, 1, 0, UC_X86_INS_IN), "hook IN");
  Check(uc_hook_add(uc, &h, UC_HOOK_INSN, reinterpret_cast<void*>(OnOut), this, 1, 0, UC_X86_INS_OUT), "hook OUT");
  Check(uc_hook_add(uc, &h, UC_HOOK_INSN, reinterpret_cast<void*>(OnCpuid), this, 1, 0, UC_X86_INS_CPUID), "hook CPUID");
  Check(uc_hook_add(uc, &h, UC_HOOK_CODE, reinterpret_cast<void*>(OnThunk), this, kEmuThunkBase,
                    kEmuThunkBase + kServiceCount * kThunkStride - 1),
        "hook the thunks");
  Check(uc_hook_add(uc, &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(OnBlock), this, 1, 0), "hook blocks");
  Check(uc_hook_add(uc, &h, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(OnMemInvalid), this, 1, 0), "hook faults");
  Check(uc_hook_add(uc, &h, UC_HOOK_INTR, reinterpret_cast<void*>(OnInterrupt), this, 1, 0), "hook exceptions");
  Check(uc_hook_add(uc, &h, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(OnMmioAccess), this, low.base,
                    kDramBase - 1),
        "hook MMIO below DRAM");
  Check(uc_hook_add(uc, &h, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(OnMmioAccess), this,
                    high.base, kFourGiB - 1),
        "hook MMIO above DRAM");

  // The lowest page of the driver's stack is a guard: below it lie the firmware's tables.
  Check(uc_hook_add(uc, &h, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(OnStackGuard), this, kStackBase,
                    kStackBase + kPage - 1),
        "hook the stack guard");

  // Writes to the headers and to sections that are not writable are faults.
  auto readOnlyRange = [&](uint64_t rva, uint64_t size, std::string name) {
    if (size == 0) return;
    readOnly.push_back({this, std::move(name)});
    Check(uc_hook_add(uc, &h, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(OnReadOnlyWrite), &readOnly.back(),
                      kEmuImageBase + rva, kEmuImageBase + rva + size - 1),
          "hook read-only sections");
  };
  uint64_t firstSection = image.SizeOfImage();
  for (const PeSection& s : image.Sections()) firstSection = std::min<uint64_t>(firstSection, s.rva);
  readOnlyRange(0, firstSection, "headers");
  for (const PeSection& s : image.Sections())
    if (!s.Writable()) readOnlyRange(s.rva, s.size, "section " + s.name);

  // Sites of the instructions the hardware model answers: every place such an
  // opcode starts, and every prefix byte before it where the instruction may start.
  const std::vector<uint8_t>& code = image.Layout();
  std::set<uint64_t> siteRvas;
  for (const PeSection& s : image.Sections()) {
    if (!s.Executable()) continue;
    const size_t begin = s.rva, end = std::min<size_t>(size_t(s.rva) + s.size, code.size());
    for (size_t p = begin; p < end; ++p) {
      if (IsTaggedOut(code.data() + begin, end - begin, p - begin)) {
        siteRvas.insert(p);
        taggedSites.insert(kEmuImageBase + p);
        continue;
      }
      const bool hit = p + 1 < end && ((code[p] == 0x0F && ((code[p + 1] >= 0x20 && code[p + 1] <= 0x23) ||
                                                            (code[p + 1] >= 0x30 && code[p + 1] <= 0x32))) ||
                                       (code[p] == 0xF3 && code[p + 1] == 0x90));
      if (!hit) continue;
      for (size_t k = 0; k <= 14 && p - k >= begin; ++k) {
        if (k > 0 && !IsLegacyPrefix(code[p - k]) && !IsRex(code[p - k])) break;
        siteRvas.insert(p - k);
      }
    }
  }
  for (uint64_t rva : siteRvas)
    Check(uc_hook_add(uc, &h, UC_HOOK_CODE, reinterpret_cast<void*>(OnSite), this, kEmuImageBase + rva,
                      kEmuImageBase + rva),
          "hook an instruction site");
  sites = siteRvas.size();

  // SSE stays usable (OSFXSR, OSXMMEXCPT); the driver's own CR4 moves go to the model.
  SetReg(UC_X86_REG_CR4, 0x660);
}

uint64_t EmulatorDispatch::Engine::Call(uint64_t function, std::initializer_list<uint64_t> args) {
  const bool nested = depth > 0;
  uint64_t top;
  uc_context* saved = nullptr;
  if (nested) {
    // Called while a service runs: the interrupted call's registers are kept, and
    // its frame lies above the stack pointer at the thunk.
    top = (Reg(UC_X86_REG_RSP) - kNestedGap) & ~15ull;
    if (top < kStackBase || top > kEmuGuestStackTop)
      throw EmulationError("a nested call from the firmware found the driver's stack pointer outside its stack: " +
                           HexText(top + kNestedGap));
    Check(uc_context_alloc(uc, &saved), "save the interrupted call");
    if (uc_err err = uc_context_save(uc, saved); err != UC_ERR_OK) {
      uc_context_free(saved);
      Check(err, "save the interrupted call");
    }
  } else {
    const auto here = reinterpret_cast<uint64_t>(__builtin_frame_address(0));
    if (here >= kStackBase && here < kEmuGuestStackTop + kHostStackReserve)
      throw EmulationError("the host runs at " + HexText(here) + ", too deep in the platform stack region for the driver's stack below " +
                           HexText(kEmuGuestStackTop));
    top = kEmuGuestStackTop;
    blocks = 0;
    for (int r : kGpr) SetReg(r, 0);
    SetReg(UC_X86_REG_RFLAGS, 0x2);
  }

  struct Scope {
    Engine& e;
    uc_context* saved;
    ~Scope() {
      --e.depth;
      if (saved != nullptr) {
        uc_context_restore(e.uc, saved);
        uc_context_free(saved);
      }
    }
  } scope{*this, saved};
  ++depth;

  // MS x64 frame: return address, 32 bytes of shadow space, then the fifth and
  // later arguments; RSP % 16 == 8 at the first instruction.
  const size_t slots = std::max<size_t>(4, args.size());
  const uint64_t rsp = top - ((8 * slots + 15) & ~15ull) - 8;
  if (rsp < kStackBase + kPage) throw EmulationError("the driver's stack is exhausted: nested calls reached " + HexText(rsp));
  memory.Write<uint64_t>(rsp, kStop);
  size_t i = 0;
  for (uint64_t a : args) {
    if (i < 4) SetReg(kArgumentRegisters[i], a);
    else memory.Write<uint64_t>(rsp + 8 + 8 * i, a);
    ++i;
  }
  SetReg(UC_X86_REG_RSP, rsp);

  uint64_t rip = function;
  for (;;) {
    failed = false;
    pending.reset();
    access.active = false;
    const uc_err err = uc_emu_start(uc, rip, kStop, 0, 0);
    if (hookError) {
      std::exception_ptr error = hookError;
      hookError = nullptr;
      std::rethrow_exception(error);
    }
    if (err == UC_ERR_INSN_INVALID)
      throw EmulationError("the driver executed an invalid instruction at " + Where(Reg(UC_X86_REG_RIP)) + ": " +
                           BytesAt(Reg(UC_X86_REG_RIP)));
    if (err != UC_ERR_OK)
      throw EmulationError(std::string("emulation failed: ") + uc_strerror(err) + "; RIP " + Where(Reg(UC_X86_REG_RIP)));
    if (pending) {
      const PendingService call = *pending;
      pending.reset();
      const uint64_t ret = GuestRead64(call.rsp, std::string("the stack pointer at the call of ") + ServiceName(call.service));
      Serve(call.service, call.rsp);
      SetReg(UC_X86_REG_RSP, call.rsp + 8);
      rip = ret;
      continue;
    }
    const uint64_t at = Reg(UC_X86_REG_RIP);
    if (at == kStop) break;
    const bool hlt = at > kEmuImageBase && memory.Contains(at - 1, 1) && memory.Read<uint8_t>(at - 1) == 0xF4;
    throw EmulationError("the driver stopped at " + Where(at) + " without returning" + (hlt ? " (hlt)" : ""));
  }
  return Reg(UC_X86_REG_RAX);
}

// Each service takes its arguments as host_dispatch.cpp's thunk of the same name
// does and hands the same values to the firmware model; pointers are DRAM addresses.
void EmulatorDispatch::Engine::Serve(Service service, uint64_t rsp) {
  Firmware& fw = ActivePlatform().firmware();
  const std::string name = ServiceName(service);
  auto arg = [&](int n) {
    if (n < 4) return Reg(kArgumentRegisters[n]);
    return GuestRead64(rsp + 8 + 8 * uint64_t(n), "the stack slot of " + name + "'s argument " + std::to_string(n + 1));
  };
  auto ret = [&](uint64_t v) { SetReg(UC_X86_REG_RAX, v); };
  auto store = [&](uint64_t address, uint64_t value) { GuestWrite64(address, value, name + "'s output pointer"); };
  auto guid = [&](uint64_t address) { return GuestGuid(address, name + "'s GUID pointer"); };

  switch (service) {
    case Service::Unimplemented:
      ret(fw.Unimplemented("boot service slot"));
      return;
    case Service::RaiseTpl:
      ret(fw.RaiseTpl(arg(0)));
      return;
    case Service::RestoreTpl:
      fw.RestoreTpl(arg(0));
      return;
    case Service::AllocatePool: {
      const uint64_t buffer = arg(2);
      uint64_t at = 0;
      const uint64_t size = arg(1);
      const uint64_t s = fw.AllocatePool(uint32_t(arg(0)), size, buffer ? &at : nullptr);
      // The pool grows up from the bottom of DRAM towards the image at its top.
      if (s == 0 && at + size > kEmuImageBase)
        throw EmulationError("pool memory reached the image: AllocatePool of " + HexText(size) + " bytes at " + HexText(at) +
                             " overlaps the region from " + HexText(kEmuImageBase));
      if (s == 0) store(buffer, at);
      ret(s);
      return;
    }
    case Service::FreePool:
      ret(fw.FreePool(arg(0)));
      return;
    case Service::CreateEvent: {
      const uint64_t event = arg(4);
      uint64_t handle = 0;
      const uint64_t s = fw.CreateEvent(uint32_t(arg(0)), arg(1), arg(2), arg(3), nullptr, event ? &handle : nullptr);
      if (s == 0) store(event, handle);
      ret(s);
      return;
    }
    case Service::CreateEventEx: {
      const uint64_t groupAddress = arg(4), event = arg(5);
      Guid group{};
      if (groupAddress) group = guid(groupAddress);
      uint64_t handle = 0;
      const uint64_t s = fw.CreateEvent(uint32_t(arg(0)), arg(1), arg(2), arg(3), groupAddress ? &group : nullptr,
                                        event ? &handle : nullptr);
      if (s == 0) store(event, handle);
      ret(s);
      return;
    }
    case Service::SignalEvent:
      ret(fw.SignalEvent(arg(0)));
      return;
    case Service::CloseEvent:
      ret(fw.CloseEvent(arg(0)));
      return;
    case Service::InstallProtocolInterface: {
      const uint64_t handleAddress = arg(0), protocolAddress = arg(1);
      const uint32_t type = uint32_t(arg(2));
      if (handleAddress == 0 || protocolAddress == 0) {
        ret(fw.InstallProtocolInterface(nullptr, Guid{}, type, 0));
        return;
      }
      uint64_t handle = GuestRead64(handleAddress, name + "'s handle pointer");
      const Guid protocol = guid(protocolAddress);
      const uint64_t s = fw.InstallProtocolInterface(&handle, protocol, type, arg(3));
      if (s == 0) store(handleAddress, handle);
      ret(s);
      return;
    }
    case Service::RegisterProtocolNotify: {
      const uint64_t protocolAddress = arg(0), event = arg(1), registration = arg(2);
      uint64_t r = 0;
      uint64_t s = EFI_INVALID_PARAMETER;
      if (protocolAddress) s = fw.RegisterProtocolNotify(guid(protocolAddress), event, registration ? &r : nullptr);
      if (s == 0) store(registration, r);
      ret(s);
      return;
    }
    case Service::LocateProtocol: {
      const uint64_t protocolAddress = arg(0), registration = arg(1), iface = arg(2);
      if (protocolAddress == 0) {
        ret(EFI_INVALID_PARAMETER);
        return;
      }
      uint64_t i = 0;
      const uint64_t s = fw.LocateProtocol(guid(protocolAddress), registration, iface ? &i : nullptr);
      if (iface) store(iface, i);
      ret(s);
      return;
    }
    case Service::PcdGet8: ret(uint8_t(fw.PcdGet(arg(0), 1))); return;
    case Service::PcdGet16: ret(uint16_t(fw.PcdGet(arg(0), 2))); return;
    case Service::PcdGet32: ret(uint32_t(fw.PcdGet(arg(0), 4))); return;
    case Service::PcdGet64: ret(fw.PcdGet(arg(0), 8)); return;
    case Service::PcdGetBool: ret(Boolean(fw.PcdGet(arg(0), 0))); return;
    case Service::PcdSet8: ret(fw.PcdSet(arg(0), 1, uint8_t(arg(1)))); return;
    case Service::PcdSet16: ret(fw.PcdSet(arg(0), 2, uint16_t(arg(1)))); return;
    case Service::PcdSet32: ret(fw.PcdSet(arg(0), 4, uint32_t(arg(1)))); return;
    case Service::PcdSet64: ret(fw.PcdSet(arg(0), 8, arg(1))); return;
    case Service::PcdSetBool: ret(fw.PcdSet(arg(0), 0, Boolean(arg(1)))); return;
    case Service::TopologySystemInfo: {
      const uint64_t sockets = arg(1), dies = arg(2);
      uint64_t s = 0, d = 0;
      const uint64_t st = fw.TopologySystemInfo(&s, &d);
      if (sockets) store(sockets, s);
      if (dies) store(dies, d);
      ret(st);
      return;
    }
    case Service::TopologySocketInfo: {
      const uint64_t dies = arg(2);
      uint64_t d = 0;
      const uint64_t st = fw.TopologySocketInfo(arg(1), &d);
      if (st == 0 && dies) store(dies, d);
      ret(st);
      return;
    }
    case Service::TopologyUnused:
      ret(fw.Unimplemented("FabricTopologyProtocol slot 3"));
      return;
    case Service::TopologyRootBusInfo: {
      const uint64_t bus = arg(5);
      uint64_t b = 0;
      const uint64_t st = fw.TopologyRootBusInfo(arg(1), arg(2), arg(3), &b);
      if (st == 0 && bus) store(bus, b);
      ret(st);
      return;
    }
    case Service::SmmCommunicate: {
      const uint64_t sizeAddress = arg(2);
      uint64_t size = 0;
      if (sizeAddress) size = GuestRead64(sizeAddress, name + "'s size pointer");
      ret(fw.SmmCommunicate(arg(0), arg(1), sizeAddress ? &size : nullptr));
      return;
    }
    case Service::Count:
      break;
  }
  throw EmulationError("the driver called an unknown service");
}

EmulatorDispatch::EmulatorDispatch(const std::string& imagePath, EmulatorLimits limits)
    : EmulatorDispatch(PeImage::Read(imagePath, kEmuImageRegionSize), limits) {}

EmulatorDispatch::EmulatorDispatch(PeImage image, EmulatorLimits limits)
    : engine_(std::make_unique<Engine>(std::move(image), limits)) {}

EmulatorDispatch::~EmulatorDispatch() = default;

uint64_t EmulatorDispatch::ServiceAddress(Service service) {
  const size_t index = static_cast<size_t>(service) < kServiceCount ? static_cast<size_t>(service) : 0;
  return kEmuThunkBase + index * kThunkStride;
}

uint64_t EmulatorDispatch::EntryPoint() {
  Engine& e = *engine_;
  e.image.Place(e.memory.Host(kEmuImageBase), kEmuImageBase);
  uc_ctl_remove_cache(e.uc, kEmuImageBase, kEmuImageBase + e.image.SizeOfImage());
  return kEmuImageBase + e.image.EntryRva();
}

uint64_t EmulatorDispatch::CallEntry(uint64_t entry, uint64_t imageHandle, uint64_t systemTable) {
  return engine_->Call(entry, {imageHandle, systemTable});
}

void EmulatorDispatch::CallNotify(uint64_t function, uint64_t event, uint64_t context) {
  engine_->Call(function, {event, context});
}

const PeImage& EmulatorDispatch::Image() const { return engine_->image; }
size_t EmulatorDispatch::HookedSites() const { return engine_->sites; }

}  // namespace sim
