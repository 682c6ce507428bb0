#include "sim/machine/hardware.h"

#include "sim/common/spare.h"

namespace sim {

namespace {
constexpr uint16_t kPostCodePort = 0x80;
constexpr size_t kLogLimit = 2000000;
}  // namespace

// The access log is the last platform's memory (sim/common/spare.h).
Hardware::Hardware(PhysicalMemory& memory) : memory_(memory) { Spare<std::vector<Access>>::Take(log_); }

Hardware::~Hardware() { Spare<std::vector<Access>>::Leave(log_); }

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

uint64_t Hardware::MsrValue(uint32_t index) const {
  auto it = msrs_.find(index);
  return it == msrs_.end() ? 0 : it->second;
}

uint32_t Hardware::PortIn(uint16_t port, uint8_t width) {
  const uint32_t v = devices_.PortIn(port, width);
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

uint64_t Hardware::MemRead(uint64_t address, uint8_t width) {
  const AccessKind kind = bus_.InDram(address, width) ? AccessKind::Memory : AccessKind::Mmio;
  const uint64_t v = bus_.Read(address, width);
  Record(kind, false, width, address, v);
  return v;
}

void Hardware::MemWrite(uint64_t address, uint8_t width, uint64_t value) {
  value &= AllOnes(width);
  Record(bus_.InDram(address, width) ? AccessKind::Memory : AccessKind::Mmio, true, width, address, value);
  bus_.Write(address, width, value);
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
  if (answer != 0)
    for (const AgentActionDesc& a : agentActions_)
      if (a.code == code) memory_.WriteBytes(a.address, &a.value, a.width);  // little-endian, as DRAM holds it
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
