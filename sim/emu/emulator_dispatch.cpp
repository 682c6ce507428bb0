// The engine: the emulator's memory map and fault hooks, the run loop that serves
// the firmware calls the driver makes and the nested calls those start, and the
// Dispatch interface the platform drives. Hardware hooks live in
// emulator_hooks.cpp, the service thunks in emulator_services.cpp.
#include "sim/emu/emulator_dispatch.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

#include "sim/board/platform.h"
#include "sim/emu/emulator_engine.h"

namespace sim {

using namespace emu;

namespace {

// A nested call's frame starts this far below the interrupted caller's stack pointer.
constexpr uint64_t kNestedGap = 128;
// Room the host needs in the platform stack region above the driver's stack.
constexpr uint64_t kHostStackReserve = 512ull << 10;

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

using Engine = EmulatorDispatch::Engine;

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
  std::string from;
  // Only DRAM (and the firmware's thunks) holds code: outside it are registers,
  // or nothing. A call that went there left where it came from on the stack.
  if (type == UC_MEM_FETCH_PROT && !e->memory.Contains(address, 1)) {
    why = "nothing is mapped there to run";
    const uint64_t rsp = e->Reg(UC_X86_REG_RSP);
    if (e->memory.Contains(rsp, 8) && e->CopyBase(e->memory.Read<uint64_t>(rsp)) != 0)
      from = "; the return address on the stack " + e->Where(e->memory.Read<uint64_t>(rsp));
  }
  e->Fail(std::make_exception_ptr(EmulationError(std::string("the driver faulted: ") + what + " of " + std::to_string(size) +
                                                 " bytes at " + e->Where(address) + ": " + why + "; RIP " +
                                                 e->Where(e->Reg(UC_X86_REG_RIP)) + from)));
  return false;
}

void OnInterrupt(uc_engine*, uint32_t vector, void* user) {
  auto* e = static_cast<Engine*>(user);
  e->Fail(std::make_exception_ptr(EmulationError("the driver raised CPU exception " + std::to_string(vector) + " (" +
                                                 ExceptionName(vector) + "); RIP " + e->Where(e->Reg(UC_X86_REG_RIP)))));
}

// A write into the image region: a fault when it reaches a copy's headers or a
// section that is not writable.
void OnImageWrite(uc_engine*, uc_mem_type, uint64_t address, int size, int64_t, void* user) {
  auto* e = static_cast<Engine*>(user);
  const uint64_t base = e->CopyBase(address);
  if (base == 0) return;
  const uint64_t rva = address - base;
  for (const Engine::ReadOnlyRange& r : e->readOnly) {
    if (rva + uint64_t(size) <= r.rva || rva >= r.rva + r.size) continue;
    e->Fail(std::make_exception_ptr(EmulationError("the driver wrote " + std::to_string(size) + " bytes to its read-only " +
                                                   r.name + " at " + e->Where(address) + "; RIP " +
                                                   e->Where(e->Reg(UC_X86_REG_RIP)))));
    return;
  }
}

void OnStackGuard(uc_engine*, uc_mem_type, uint64_t address, int size, int64_t, void* user) {
  auto* e = static_cast<Engine*>(user);
  e->Fail(std::make_exception_ptr(EmulationError(
      "the driver's stack overflowed: a write of " + std::to_string(size) + " bytes at " + HexText(address) +
      ", in the lowest page of its " + std::to_string(kEmuGuestStackSize >> 10) + " KiB stack; RIP " +
      e->Where(e->Reg(UC_X86_REG_RIP)))));
}

}  // namespace

std::string EmulatorDispatch::Engine::Where(uint64_t address) const {
  if (const uint64_t base = CopyBase(address); base != 0)
    return HexText(address) + " (image" + (base == kEmuImageBase ? "" : " copy " + std::to_string(CopyNumber(base))) +
           " + " + HexText(address - base) + ")";
  if (address >= kEmuThunkBase && address - kEmuThunkBase < kPage) return HexText(address) + " (firmware thunk page)";
  return HexText(address);
}

std::string EmulatorDispatch::Engine::BytesAt(uint64_t address) const {
  std::string out;
  for (uint64_t a = address; a < address + 4; ++a) {
    if (!memory.Contains(a, 1)) break;
    char b[4];
    std::snprintf(b, sizeof b, "%02X ", memory.Read<uint8_t>(a));
    out += b;
  }
  return out.empty() ? "(not in DRAM)" : out.substr(0, out.size() - 1);
}

uint64_t EmulatorDispatch::Engine::GuestRead64(uint64_t address, const std::string& what) const {
  if (!memory.Contains(address, 8)) throw EmulationError(what + " " + HexText(address) + " lies outside DRAM");
  return memory.Read<uint64_t>(address);
}

void EmulatorDispatch::Engine::GuestWrite64(uint64_t address, uint64_t value, const std::string& what) {
  if (!memory.Contains(address, 8)) throw EmulationError(what + " " + HexText(address) + " lies outside DRAM");
  memory.Write<uint64_t>(address, value);
}

Guid EmulatorDispatch::Engine::GuestGuid(uint64_t address, const std::string& what) const {
  if (!memory.Contains(address, sizeof(Guid))) throw EmulationError(what + " " + HexText(address) + " lies outside DRAM");
  Guid g;
  std::memcpy(&g, memory.Host(address), sizeof g);
  return g;
}

void EmulatorDispatch::Engine::Setup() {
  Check(uc_open(UC_ARCH_X86, UC_MODE_64, &uc), "open");

  // DRAM, shared with the models; only the image copies' pages may hold code.
  auto mapDram = [&](uint64_t from, uint64_t to, uint32_t prot) {
    if (to > from) Check(uc_mem_map_ptr(uc, from, to - from, prot, memory.Host(from)), "map DRAM at " + HexText(from));
  };
  mapDram(kDramBase, kEmuImageBase, UC_PROT_READ | UC_PROT_WRITE);
  for (unsigned slot = 0; slot < kEmuImageSlots; ++slot) {
    const uint64_t base = kEmuImageBase + slot * kEmuImageSlotSize;
    const uint64_t copies = capacity > slot ? (capacity - slot + kEmuImageSlots - 1) / kEmuImageSlots : 0;
    mapDram(base, base + copies * copyStride, UC_PROT_ALL);
    mapDram(base + copies * copyStride, base + kEmuImageSlotSize, UC_PROT_READ | UC_PROT_WRITE);
  }

  MapThunks();
  MapMmio();
  HookInstructions();

  uc_hook h;
  Check(uc_hook_add(uc, &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(OnBlock), this, 1, 0), "hook blocks");
  Check(uc_hook_add(uc, &h, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(OnMemInvalid), this, 1, 0), "hook faults");
  Check(uc_hook_add(uc, &h, UC_HOOK_INTR, reinterpret_cast<void*>(OnInterrupt), this, 1, 0), "hook exceptions");

  // The lowest page of the driver's stack is a guard: below it lie the firmware's tables.
  Check(uc_hook_add(uc, &h, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(OnStackGuard), this, kStackBase,
                    kStackBase + kPage - 1),
        "hook the stack guard");

  // Writes to the headers and to sections that are not writable are faults, in every copy.
  uint64_t firstSection = image.SizeOfImage();
  for (const PeSection& s : image.Sections()) firstSection = std::min<uint64_t>(firstSection, s.rva);
  if (firstSection != 0) readOnly.push_back({0, firstSection, "headers"});
  for (const PeSection& s : image.Sections())
    if (!s.Writable() && s.size != 0) readOnly.push_back({s.rva, s.size, "section " + s.name});
  Check(uc_hook_add(uc, &h, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(OnImageWrite), this, kEmuImageBase,
                    kEmuImageBase + kEmuImageRegionSize - 1),
        "hook the image region");

  // SSE stays usable (OSFXSR, OSXMMEXCPT); the driver's own CR4 moves go to the model.
  SetReg(UC_X86_REG_CR4, 0x660);
}

namespace {

// Called while a service runs: the interrupted call's registers are kept in
// saved, and its frame lies above the stack pointer at the thunk, so the new
// frame starts below it.
uint64_t NestedFrameTop(Engine& e, uc_context*& saved) {
  const uint64_t top = (e.Reg(UC_X86_REG_RSP) - kNestedGap) & ~15ull;
  if (top < kStackBase || top > kEmuGuestStackTop)
    throw EmulationError("a nested call from the firmware found the driver's stack pointer outside its stack: " +
                         HexText(top + kNestedGap));
  e.Check(uc_context_alloc(e.uc, &saved), "save the interrupted call");
  if (uc_err err = uc_context_save(e.uc, saved); err != UC_ERR_OK) {
    uc_context_free(saved);
    e.Check(err, "save the interrupted call");
  }
  return top;
}

// A call from the firmware itself: the frame starts at the top of the driver's
// stack, with the registers cleared. here: the host's own stack frame, which
// must lie clear of the driver's stack.
uint64_t TopLevelFrameTop(Engine& e, uint64_t here) {
  if (here >= kStackBase && here < kEmuGuestStackTop + kHostStackReserve)
    throw EmulationError("the host runs at " + HexText(here) + ", too deep in the platform stack region for the driver's stack below " +
                         HexText(kEmuGuestStackTop));
  e.blocks = 0;
  for (int r : kGpr) e.SetReg(r, 0);
  e.SetReg(UC_X86_REG_RFLAGS, 0x2);
  return kEmuGuestStackTop;
}

// Ends a call: one level less deep, and a nested call's interrupted caller's
// registers back.
struct CallScope {
  Engine& e;
  uc_context* saved;
  ~CallScope() {
    --e.depth;
    if (saved != nullptr) {
      uc_context_restore(e.uc, saved);
      uc_context_free(saved);
    }
  }
};

// MS x64 frame below top: return address (kStop), 32 bytes of shadow space,
// then the fifth and later arguments; RSP % 16 == 8 at the first instruction.
void PushFrame(Engine& e, uint64_t top, std::initializer_list<uint64_t> args) {
  const size_t slots = std::max<size_t>(4, args.size());
  const uint64_t rsp = top - ((8 * slots + 15) & ~15ull) - 8;
  if (rsp < kStackBase + kPage) throw EmulationError("the driver's stack is exhausted: nested calls reached " + HexText(rsp));
  e.memory.Write<uint64_t>(rsp, kStop);
  size_t i = 0;
  for (uint64_t a : args) {
    if (i < 4) e.SetReg(kArgumentRegisters[i], a);
    else e.memory.Write<uint64_t>(rsp + 8 + 8 * i, a);
    ++i;
  }
  e.SetReg(UC_X86_REG_RSP, rsp);
  e.memory.NoteStack(rsp, kEmuGuestStackTop);
}

// A failure of the run just ended: one a hook met, an invalid instruction, or
// the emulator's own.
void ThrowIfFailed(Engine& e, uc_err err) {
  if (e.hookError) {
    std::exception_ptr error = e.hookError;
    e.hookError = nullptr;
    std::rethrow_exception(error);
  }
  if (err == UC_ERR_INSN_INVALID)
    throw EmulationError("the driver executed an invalid instruction at " + e.Where(e.Reg(UC_X86_REG_RIP)) + ": " +
                         e.BytesAt(e.Reg(UC_X86_REG_RIP)));
  if (err != UC_ERR_OK)
    throw EmulationError(std::string("emulation failed: ") + uc_strerror(err) + "; RIP " + e.Where(e.Reg(UC_X86_REG_RIP)));
}

// Serves the service the run stopped at and takes its `ret`: where the run
// goes on.
uint64_t ServePending(Engine& e) {
  const Engine::PendingService call = *e.pending;
  e.pending.reset();
  e.memory.NoteStack(call.rsp, kEmuGuestStackTop);
  const uint64_t ret = e.GuestRead64(call.rsp, std::string("the stack pointer at the call of ") + ServiceName(call.service));
  e.Serve(call.service, call.rsp);
  e.SetReg(UC_X86_REG_RSP, call.rsp + 8);
  return ret;
}

// Runs from rip, serving every firmware service the driver calls on the way,
// until the call returns to kStop; what it returned.
uint64_t RunToReturn(Engine& e, uint64_t rip) {
  for (;;) {
    e.failed = false;
    e.pending.reset();
    e.access.active = false;
    const uc_err err = uc_emu_start(e.uc, rip, kStop, 0, 0);
    ThrowIfFailed(e, err);
    if (e.pending) {
      rip = ServePending(e);
      continue;
    }
    const uint64_t at = e.Reg(UC_X86_REG_RIP);
    if (at == kStop) break;
    const bool hlt = at > kEmuImageBase && e.memory.Contains(at - 1, 1) && e.memory.Read<uint8_t>(at - 1) == 0xF4;
    throw EmulationError("the driver stopped at " + e.Where(at) + " without returning" + (hlt ? " (hlt)" : ""));
  }
  return e.Reg(UC_X86_REG_RAX);
}

}  // namespace

uint64_t EmulatorDispatch::Engine::Call(uint64_t function, std::initializer_list<uint64_t> args) {
  uc_context* saved = nullptr;
  const uint64_t top = depth > 0 ? NestedFrameTop(*this, saved)
                                 : TopLevelFrameTop(*this, reinterpret_cast<uint64_t>(__builtin_frame_address(0)));
  CallScope scope{*this, saved};
  ++depth;
  PushFrame(*this, top, args);
  return RunToReturn(*this, function);
}

EmulatorDispatch::EmulatorDispatch(const std::string& imagePath, EmulatorLimits limits)
    : EmulatorDispatch(PeImage::Read(imagePath, kEmuImageSlotSize), limits) {}

EmulatorDispatch::EmulatorDispatch(PeImage image, EmulatorLimits limits)
    : engine_(std::make_unique<Engine>(std::move(image), limits)) {}

EmulatorDispatch::~EmulatorDispatch() = default;

uint64_t EmulatorDispatch::ServiceAddress(Service service) {
  const size_t index = static_cast<size_t>(service) < kServiceCount ? static_cast<size_t>(service) : 0;
  return kEmuThunkBase + index * kThunkStride;
}

uint64_t EmulatorDispatch::EntryPoint() {
  Engine& e = *engine_;
  e.memory.Touch(kEmuImageBase, e.image.SizeOfImage());
  e.image.Place(e.memory.Host(kEmuImageBase), kEmuImageBase);
  // Every placement writes the same bytes, and the driver cannot write its
  // headers or read-only sections, so code translated from them stays valid
  // from one boot to the next: dropping it would make every boot translate the
  // whole driver again. Only the writable sections, which a boot changes and
  // this placement puts back behind the emulator's back, are dropped each time.
  if (!e.imagePlaced) {
    uc_ctl_remove_cache(e.uc, kEmuImageBase, kEmuImageBase + e.image.SizeOfImage());
    e.imagePlaced = true;
  } else {
    for (const PeSection& s : e.image.Sections())
      if (s.Writable() && s.size != 0) uc_ctl_remove_cache(e.uc, kEmuImageBase + s.rva, kEmuImageBase + s.rva + s.size);
  }
  return kEmuImageBase + e.image.EntryRva();
}

uint64_t EmulatorDispatch::CallEntry(uint64_t entry, uint64_t imageHandle, uint64_t systemTable) {
  return engine_->Call(entry, {imageHandle, systemTable});
}

uint64_t EmulatorDispatch::LoadAnotherImage(unsigned image) {
  Engine& e = *engine_;
  if (image == 0) return 0;
  if (image >= e.capacity)
    throw EmulationError("the boot starts more drivers than the emulator holds copies of the image (" +
                         std::to_string(e.capacity) + ")");
  const uint64_t base = e.CopyAddress(image);
  e.memory.Touch(base, e.image.SizeOfImage());
  e.image.Place(e.memory.Host(base), base);
  e.HookCopy(image);
  uc_ctl_remove_cache(e.uc, base, base + e.image.SizeOfImage());
  return base + e.image.EntryRva();
}

bool EmulatorDispatch::RunApplication(const std::string& path, uint64_t imageHandle, uint64_t systemTable,
                                      uint64_t* status) {
  Engine& e = *engine_;
  const PeImage app = PeImage::Read(path, kEmuImageSlotSize);
  const uint64_t size = (app.SizeOfImage() + kPage - 1) & ~(kPage - 1);
  const uint64_t block = ActivePlatform().firmware().PlacePool(EfiLoaderCode, size + kPage);
  if (block == 0) throw EmulationError("no pool memory for the application " + path);
  const uint64_t base = (block + kPage - 1) & ~(kPage - 1);
  e.memory.Touch(base, size);
  app.Place(e.memory.Host(base), base);
  e.Check(uc_mem_protect(e.uc, base, size, UC_PROT_ALL), "let the application run");
  uc_ctl_remove_cache(e.uc, base, base + size);
  struct Restore {
    Engine& e;
    uint64_t base, size;
    ~Restore() {
      uc_mem_protect(e.uc, base, size, UC_PROT_READ | UC_PROT_WRITE);
      uc_ctl_remove_cache(e.uc, base, base + size);
    }
  } restore{e, base, size};
  *status = e.Call(base + app.EntryRva(), {imageHandle, systemTable});
  return true;
}

unsigned EmulatorDispatch::ImageCapacity() const { return engine_->capacity; }

void EmulatorDispatch::CallNotify(uint64_t function, uint64_t event, uint64_t context) {
  engine_->Call(function, {event, context});
}

const PeImage& EmulatorDispatch::Image() const { return engine_->image; }
size_t EmulatorDispatch::HookedSites() const { return engine_->siteRvas.size(); }

}  // namespace sim
