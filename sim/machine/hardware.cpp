#include "sim/machine/hardware.h"

#include "psp/psp_window.h"

namespace sim {

namespace {
constexpr uint64_t kPciConfigBase = 0xF0000000;
constexpr uint64_t kPciConfigSize = 256ull << 20;
constexpr uint16_t kPostCodePort = 0x80;
// The chipset's register page that holds the SMI command port register decodes
// ahead of the configuration space it overlaps.
constexpr uint64_t kChipsetRegistersBase = 0xFED80000;
constexpr uint64_t kChipsetRegistersSize = 0x1000;
bool InConfigSpace(uint64_t a) {
  return a >= kPciConfigBase && a - kPciConfigBase < kPciConfigSize &&
         !(a >= kChipsetRegistersBase && a - kChipsetRegistersBase < kChipsetRegistersSize);
}
constexpr size_t kLogLimit = 2000000;
uint64_t WidthMask(uint8_t width) { return width >= 8 ? ~0ull : (1ull << (8 * width)) - 1; }

// The access log of the platform that went last, kept for the next one: a
// process that boots again and again records into memory it already has (and
// that is warm in the cache) instead of growing a fresh log every boot. One
// platform is active at a time; never destroyed, so a platform that goes while
// the process ends still finds it.
std::vector<Access>& SpareLog() {
  static auto* spare = new std::vector<Access>();
  return *spare;
}

// DRAM through the seam, a load or store of the access's own width: a copy of
// a run-time length into a local costs a stalled load after it.
uint64_t LoadLe(const uint8_t* p, uint8_t width) {
  switch (width) {
    case 1: return *p;
    case 2: { uint16_t v; std::memcpy(&v, p, 2); return v; }
    case 4: { uint32_t v; std::memcpy(&v, p, 4); return v; }
    case 8: { uint64_t v; std::memcpy(&v, p, 8); return v; }
  }
  uint64_t v = 0;
  std::memcpy(&v, p, width > 8 ? 8 : width);
  return v;
}
void StoreLe(uint8_t* p, uint8_t width, uint64_t value) {
  switch (width) {
    case 1: *p = uint8_t(value); return;
    case 2: { const uint16_t v = uint16_t(value); std::memcpy(p, &v, 2); return; }
    case 4: { const uint32_t v = uint32_t(value); std::memcpy(p, &v, 4); return; }
    case 8: std::memcpy(p, &value, 8); return;
  }
  std::memcpy(p, &value, width > 8 ? 8 : width);
}
}  // namespace

Hardware::Hardware(PhysicalMemory& memory) : memory_(memory) {
  log_.swap(SpareLog());
  log_.clear();
  // Room for a large platform's buses and roots at once, not grown one by one.
  pciSlots_.reserve(16);
  pciFunctions_.reserve(80);
  roots_.reserve(16);
}

Hardware::~Hardware() {
  if (log_.capacity() > SpareLog().capacity()) log_.swap(SpareLog());
}

const char* AccessKindName(AccessKind kind) {
  switch (kind) {
    case AccessKind::Port: return "port";
    case AccessKind::Memory: return "memory";
    case AccessKind::Mmio: return "mmio";
    case AccessKind::Msr: return "msr";
    case AccessKind::Cpuid: return "cpuid";
    case AccessKind::Tsc: return "tsc";
    case AccessKind::Pause: return "pause";
    case AccessKind::DebugRegister: return "debug_register";
    case AccessKind::ControlRegister: return "control_register";
    case AccessKind::TaggedPort: return "tagged_port";
    case AccessKind::TrapQuery: return "trap_query";
  }
  return "?";
}

SIM_BOOKKEEPING void Hardware::Record(AccessKind kind, bool write, uint8_t width, uint64_t address, uint64_t value) {
  ++counts_[static_cast<int>(kind)];
  ++stepCounts_[static_cast<size_t>(steps_ ? steps_->Current() : BootStep::Other)][static_cast<size_t>(kind)];
  ++total_;
  memory_.NoteStack(reinterpret_cast<uint64_t>(__builtin_frame_address(0)), kStackBase + kStackSize);
  if (log_.size() < kLogLimit) {
    // Field by field into the log's own slot: a record built on the stack and
    // copied in costs a stalled load on every access.
    Access& a = log_.emplace_back();
    a.kind = kind;
    a.write = write;
    a.width = width;
    a.address = address;
    a.value = value;
  }
  if (total_ > accessLimit_) throw PlatformStop{PlatformStop::Runaway};
}

Hardware::PciFunction& Hardware::PciAt(uint32_t bdf) {
  if (PciFunction* f = FindPci(bdf)) return *f;
  uint16_t& table = pciBuses_[bdf >> 8];
  if (table == 0) {
    pciSlots_.push_back({});
    table = uint16_t(pciSlots_.size());
  }
  pciFunctions_.emplace_back();
  pciSlots_[table - 1][bdf & 0xFF] = uint16_t(pciFunctions_.size());
  return pciFunctions_.back();
}

void Hardware::AddPciFunction(uint8_t bus, uint8_t device, uint8_t function, uint16_t vendor, uint16_t deviceId) {
  auto& f = PciAt(Bdf(bus, device, function));
  f.Set(0, vendor & 0xFF);
  f.Set(1, vendor >> 8);
  f.Set(2, deviceId & 0xFF);
  f.Set(3, deviceId >> 8);
}

void Hardware::SetPciConfig8(uint8_t bus, uint8_t device, uint8_t function, uint16_t offset, uint8_t value) {
  PciAt(Bdf(bus, device, function)).Set(offset & 0xFFF, value);
}

void Hardware::SetPciConfig32(uint8_t bus, uint8_t device, uint8_t function, uint16_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) SetPciConfig8(bus, device, function, uint16_t(offset + i), uint8_t(value >> (8 * i)));
}

void Hardware::AddRootSlot(uint8_t bus) {
  if (rootSlots_[bus] != 0) return;
  roots_.emplace_back();
  rootSlots_[bus] = uint16_t(roots_.size());
}

void Hardware::AddRoot(uint8_t bus) {
  AddRootSlot(bus);
  if (!FindPci(Bdf(bus, 0, 0))) AddPciFunction(bus, 0, 0, kFabricVendorId, kRootDeviceId);
}

void Hardware::SetInternal(uint8_t bus, uint32_t index, uint32_t value) {
  AddRootSlot(bus);
  FindRoot(bus)->registers.Set(index, value);
  InternalChanged(bus);
}

void Hardware::ReserveInternal(uint8_t bus, size_t count) {
  AddRootSlot(bus);
  FindRoot(bus)->registers.Reserve(count);
}

void Hardware::SetMmio16(uint64_t address, uint16_t value) {
  mmioBytes_[address] = value & 0xFF;
  mmioBytes_[address + 1] = value >> 8;
}

uint64_t Hardware::MsrValue(uint32_t index) const {
  auto it = msrs_.find(index);
  return it == msrs_.end() ? 0 : it->second;
}

void Hardware::InternalChanged(uint8_t bus) {
  if (bus != 0) return;
  const Root* root = FindRoot(0);
  if (root == nullptr) {
    pspWindowBase_ = 0;
    return;
  }
  auto reg = [&](uint32_t index) -> uint64_t { return root->registers.Get(index); };
  const uint64_t low = reg(kPspWindowBaseLow) & kPspWindowBaseMask;
  pspWindowBase_ = low == 0 ? 0 : (reg(kPspWindowBaseHigh) << 32) | low;
}

uint32_t Hardware::PortIn(uint16_t port, uint8_t width) {
  uint32_t v = 0;
  if (!devices_.PortRead(port, width, &v)) {
    auto it = portValues_.find(port);
    v = uint32_t((it == portValues_.end() ? 0xFFFFFFFFu : it->second) & WidthMask(width));
  }
  Record(AccessKind::Port, false, width, port, v);
  return v;
}

void Hardware::PortOut(uint16_t port, uint8_t width, uint32_t value) {
  Record(AccessKind::Port, true, width, port, value);
  devices_.PortWrite(port, width, value);
  if (port == kPostCodePort) {
    if (halting_) {
      haltDisplay_.push_back(value);
      if (haltDisplay_.size() >= kHaltDisplayWrites) {
        halted_ = true;
        throw PlatformStop{PlatformStop::Halted};
      }
    }
  }
}

void Hardware::PortOutTagged(uint32_t selector, uint32_t value, uint32_t extra) {
  Record(AccessKind::TaggedPort, true, 4, selector & 0xFFFF, value);
  devices_.TaggedOut(selector, value, extra, IoBreakpointHit(uint16_t(selector & 0xFFFF), 4), agentPresent_);
}

bool Hardware::IoBreakpointHit(uint16_t port, uint8_t width) const {
  constexpr uint64_t kCr4De = 8, kDr7Enable2 = 3ull << 4;
  if (!(cr4_ & kCr4De) || !(dr7_ & kDr7Enable2)) return false;
  if (((dr7_ >> 24) & 3) != 2) return false;  // RW2: I/O reads and writes
  static constexpr uint64_t kLength[4] = {1, 2, 8, 4};
  const uint64_t length = kLength[(dr7_ >> 26) & 3];
  const uint64_t start = (dr2_ & 0xFFFF) & ~(length - 1);
  return port < start + length && start < uint64_t(port) + width;
}

uint64_t Hardware::ConfigRead(uint64_t address, uint8_t width) {
  uint64_t offset = address - kPciConfigBase;
  uint8_t bus = uint8_t(offset >> 20), device = uint8_t((offset >> 15) & 0x1F), function = uint8_t((offset >> 12) & 7);
  uint16_t reg = uint16_t(offset & 0xFFF);
  Root* root = FindRoot(bus);
  if (root != nullptr && device == 0 && function == 0 && width == 4) {
    if (reg == 0xB8) return root->index;
    if (reg == 0xBC) {
      return root->registers.Get(root->index);
    }
  }
  const PciFunction* f = FindPci(Bdf(bus, device, function));
  if (f == nullptr || reg + width > 4096) return WidthMask(width);
  if (reg + width <= PciFunction::kHeader) return LoadLe(f->header.data() + reg, width);
  uint64_t v = 0;
  for (int i = 0; i < width; ++i) v |= uint64_t(f->Get(uint16_t(reg + i))) << (8 * i);
  return v;
}

void Hardware::ConfigWrite(uint64_t address, uint8_t width, uint64_t value) {
  uint64_t offset = address - kPciConfigBase;
  uint8_t bus = uint8_t(offset >> 20), device = uint8_t((offset >> 15) & 0x1F), function = uint8_t((offset >> 12) & 7);
  uint16_t reg = uint16_t(offset & 0xFFF);
  Root* root = FindRoot(bus);
  if (root != nullptr && device == 0 && function == 0 && width == 4) {
    if (reg == 0xB8) {
      root->index = uint32_t(value);
      return;
    }
    if (reg == 0xBC) {
      root->registers.Set(root->index, uint32_t(value));
      InternalChanged(bus);
      internalWrites_.push_back({bus, root->index, uint32_t(value)});
      return;
    }
  }
  PciFunction* f = FindPci(Bdf(bus, device, function));
  if (f == nullptr || reg + width > 4096) return;
  for (int i = 0; i < width; ++i) f->Set(uint16_t(reg + i), uint8_t(value >> (8 * i)));
}

uint64_t Hardware::MemRead(uint64_t address, uint8_t width) {
  uint64_t v;
  AccessKind kind = AccessKind::Mmio;
  if (memory_.Contains(address, width)) {
    kind = AccessKind::Memory;
    v = LoadLe(memory_.Host(address), width);
  } else if (devices_.MmioRead(address, width, &v)) {
    // a device's register decodes ahead of the configuration space
  } else if (psp_.Read(PspWindowBase(), address, width, &v) || (flash_ && flash_->Read(address, width, &v))) {
    // so do the PSP's window and the boot flash
  } else if (InConfigSpace(address)) {
    v = ConfigRead(address, width);
  } else {
    v = 0;
    bool placed = false;
    for (int i = 0; i < width; ++i) {
      auto it = mmioBytes_.find(address + i);
      placed |= it != mmioBytes_.end();
      v |= uint64_t(it == mmioBytes_.end() ? 0xFF : it->second) << (8 * i);
    }
    if (!placed) NoteNothing(address, width, false);
  }
  Record(kind, false, width, address, v);
  return v;
}

void Hardware::MemWrite(uint64_t address, uint8_t width, uint64_t value) {
  value &= WidthMask(width);
  if (memory_.Contains(address, width)) {
    Record(AccessKind::Memory, true, width, address, value);
    memory_.Touch(address, width);
    StoreLe(memory_.Host(address), width, value);
    return;
  }
  Record(AccessKind::Mmio, true, width, address, value);
  if (devices_.MmioWrite(address, width, value)) {
    // a device's register decodes ahead of the configuration space
  } else if (psp_.Write(PspWindowBase(), address, width) || (flash_ && flash_->Contains(address, width))) {
    // the PSP's registers take no writes here, and the flash only reads
  } else if (InConfigSpace(address)) {
    ConfigWrite(address, width, value);
  } else {
    bool placed = false;
    for (int i = 0; i < width; ++i) {
      auto it = mmioBytes_.find(address + i);
      if (it == mmioBytes_.end()) continue;
      placed = true;
      it->second = uint8_t(value >> (8 * i));
    }
    if (!placed) NoteNothing(address, width, true);
  }
}

void Hardware::NoteNothing(uint64_t address, uint8_t width, bool write) {
  ++nothingTotal_;
  for (NothingAccess& n : nothing_) {
    if (n.address == address && n.width == width && n.write == write) {
      ++n.count;
      return;
    }
  }
  if (nothing_.size() < kNothingPlaces) nothing_.push_back({address, width, write, 1});
}

uint64_t Hardware::Rdmsr(uint32_t index) {
  uint64_t v = MsrValue(index);
  Record(AccessKind::Msr, false, 8, index, v);
  return v;
}

void Hardware::Wrmsr(uint32_t index, uint64_t value) {
  Record(AccessKind::Msr, true, 8, index, value);
  msrs_[index] = value;
}

CpuidValue Hardware::Cpuid(uint32_t leaf, uint32_t subleaf) {
  auto it = cpuid_.find(leaf);
  CpuidValue v = it == cpuid_.end() ? CpuidValue{} : it->second;
  Record(AccessKind::Cpuid, false, 4, leaf, subleaf);
  return v;
}

uint16_t Hardware::TrapAgentQuery(uint32_t code) {
  trapCodes_.push_back(code);
  uint16_t answer = agentPresent_ ? uint16_t(agentAnswer_) : 0;
  Record(AccessKind::TrapQuery, false, 4, code, answer);
  if (answer == 0 && !halting_) {
    halting_ = true;
    haltCode_ = code;
  }
  return answer;
}

uint64_t Hardware::Rdtsc() {
  tsc_ += tscPerRead_;
  Record(AccessKind::Tsc, false, 8, 0, tsc_);
  return tsc_;
}

void Hardware::Pause() {
  tsc_ += tscPerPause_;
  Record(AccessKind::Pause, false, 0, 0, 0);
}

uint64_t Hardware::ReadDebug(uint8_t n) {
  uint64_t v = n == 2 ? dr2_ : n == 3 ? dr3_ : n == 7 ? dr7_ : 0;
  Record(AccessKind::DebugRegister, false, 8, n, v);
  return v;
}

void Hardware::WriteDebug(uint8_t n, uint64_t value) {
  Record(AccessKind::DebugRegister, true, 8, n, value);
  if (n == 2) dr2_ = value;
  if (n == 3) dr3_ = value;
  if (n == 7) dr7_ = value | 0x400;  // bit 10 always reads as one
}

uint64_t Hardware::ReadCr4() {
  Record(AccessKind::ControlRegister, false, 8, 4, cr4_);
  return cr4_;
}

void Hardware::WriteCr4(uint64_t value) {
  Record(AccessKind::ControlRegister, true, 8, 4, value);
  cr4_ = value;
}

}  // namespace sim
