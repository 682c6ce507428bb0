// The platform's hardware as the driver's seam reaches it: I/O ports (the
// devices model), physical memory through the bus (DRAM, the memory-mapped
// devices, PCI configuration space with the fabric's roots and their index/data
// windows, the flash, the PSP's window, and where nothing answers), MSRs, CPUID,
// the time-stamp counter, debug and control registers, and the debug agent that
// may take a fatal trap over. Every access is recorded.
#pragma once
#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/machine/boot_steps.h"
#include "sim/machine/bus.h"
#include "sim/machine/devices.h"
#include "sim/machine/flash_device.h"
#include "sim/machine/memory.h"
#include "sim/machine/pci_config.h"
#include "sim/scenario/desc.h"

namespace sim {

enum class AccessKind : uint8_t {
  Port,
  Memory,       // DRAM through the seam
  Mmio,         // memory-mapped registers, PCI configuration space included
  Msr,
  Cpuid,
  Tsc,
  Pause,
  DebugRegister,
  ControlRegister,
  TaggedPort,
  TrapQuery,
};
constexpr int kAccessKindCount = 11;

const char* AccessKindName(AccessKind kind);

struct Access {
  AccessKind kind;
  bool write;
  uint8_t width;     // bytes; 0 where it has no width
  uint64_t address;  // port, physical address, MSR index, CPUID leaf, register number
  uint64_t value;
};

// Why a run stopped before the driver returned.
struct PlatformStop {
  enum Reason { Halted, Runaway } reason;
};

class Hardware {
 public:
  explicit Hardware(PhysicalMemory& memory);
  ~Hardware();
  Hardware(const Hardware&) = delete;
  Hardware& operator=(const Hardware&) = delete;

  // --- set-up (from the scenario) ---
  void AddPciFunction(uint8_t bus, uint8_t device, uint8_t function, uint16_t vendor, uint16_t deviceId) {
    bus_.pci().AddFunction(bus, device, function, vendor, deviceId);
  }
  void SetPciConfig8(uint8_t bus, uint8_t device, uint8_t function, uint16_t offset, uint8_t value) {
    bus_.pci().SetConfig8(bus, device, function, offset, value);
  }
  void SetPciConfig32(uint8_t bus, uint8_t device, uint8_t function, uint16_t offset, uint32_t value) {
    bus_.pci().SetConfig32(bus, device, function, offset, value);
  }
  // A fabric root: its host bridge at bus:0.0 and the index/data window onto its internal registers.
  void AddRoot(uint8_t bus) { bus_.pci().AddRoot(bus); }
  void SetInternal(uint8_t bus, uint32_t index, uint32_t value) { bus_.pci().SetInternal(bus, index, value); }
  // Room for `count` more of a root's registers before they are set.
  void ReserveInternal(uint8_t bus, size_t count) { bus_.pci().ReserveInternal(bus, count); }
  void SetMmio16(uint64_t address, uint16_t value) { bus_.SetBytes(address, {uint8_t(value), uint8_t(value >> 8)}); }
  // Plain bytes outside DRAM (data a scenario places there); they read back as stored.
  void SetBytes(uint64_t address, const std::vector<uint8_t>& bytes) { bus_.SetBytes(address, bytes); }
  void SetPortValue(uint16_t port, uint32_t value) { devices_.SetPortValue(port, value); }
  void SetMsr(uint32_t index, uint64_t value) { msrs_[index] = value; }
  void SetCpuid(uint32_t leaf, CpuidValue value) { cpuid_[leaf] = value; }
  void SetDebugRegisters(uint64_t dr2, uint64_t dr3, uint64_t dr7, uint64_t cr4) {
    dr2_ = dr2; dr3_ = dr3; dr7_ = dr7; cr4_ = cr4;
  }
  void SetTsc(uint64_t start, uint64_t perRead, uint64_t perPause) {
    tsc_ = start; tscPerRead_ = perRead; tscPerPause_ = perPause;
  }
  void SetAgent(bool present, uint32_t answer) { agentPresent_ = present; agentAnswer_ = answer; }
  // Something the agent does each time it takes a trap of the action's code.
  void AddAgentAction(const AgentActionDesc& action) { agentActions_.push_back(action); }
  void SetAccessLimit(uint64_t limit) { accessLimit_ = limit; }
  // Where the step each access belongs to comes from (the firmware model's marker).
  void SetStepMarker(const BootStepMarker* marker) { steps_ = marker; }
  // The boot flash, ending at 4 GiB; none until mapped.
  void MapFlash(std::shared_ptr<const FlashImage> image) { bus_.MapFlash(std::move(image)); }
  void SetPsp(const PspDesc& desc) { bus_.SetPsp(desc); }

  // --- the seam ---
  uint32_t PortIn(uint16_t port, uint8_t width);
  void PortOut(uint16_t port, uint8_t width, uint32_t value);
  void PortOutTagged(uint32_t selector, uint32_t value, uint32_t extra);
  uint64_t MemRead(uint64_t address, uint8_t width);
  void MemWrite(uint64_t address, uint8_t width, uint64_t value);
  uint64_t Rdmsr(uint32_t index);
  void Wrmsr(uint32_t index, uint64_t value);
  CpuidValue Cpuid(uint32_t leaf, uint32_t subleaf);
  uint16_t TrapAgentQuery(uint32_t code);
  uint64_t Rdtsc();
  void Pause();
  uint64_t ReadDebug(uint8_t n);
  void WriteDebug(uint8_t n, uint64_t value);
  uint64_t ReadCr4();
  void WriteCr4(uint64_t value);

  // --- what happened ---
  const std::vector<Access>& Log() const { return log_; }
  std::array<uint64_t, kAccessKindCount> Counts() const {
    std::array<uint64_t, kAccessKindCount> out;
    std::copy(counts_, counts_ + kAccessKindCount, out.begin());
    return out;
  }
  // The same, of the accesses made during one step of the boot.
  std::array<uint64_t, kAccessKindCount> StepCounts(BootStep step) const {
    std::array<uint64_t, kAccessKindCount> out;
    const uint64_t* row = stepCounts_[static_cast<size_t>(step)];
    std::copy(row, row + kAccessKindCount, out.begin());
    return out;
  }
  const std::vector<InternalWrite>& InternalWrites() const { return bus_.pci().InternalWrites(); }
  // Where nothing answered (see Bus).
  const std::vector<NothingAccess>& Nothing() const { return bus_.Nothing(); }
  uint64_t NothingTotal() const { return bus_.NothingTotal(); }
  static constexpr size_t kNothingPlaces = Bus::kNothingPlaces;
  const std::vector<uint32_t>& TrapCodes() const { return trapCodes_; }
  bool Halted() const { return halted_; }
  uint32_t HaltCode() const { return haltCode_; }
  const std::vector<uint32_t>& HaltDisplay() const { return haltDisplay_; }
  uint64_t Dr7() const { return dr7_; }
  uint64_t Cr4() const { return cr4_; }
  uint64_t MsrValue(uint32_t index) const;
  uint64_t TotalAccesses() const { return total_; }
  uint64_t Dr2() const { return dr2_; }
  uint64_t Dr3() const { return dr3_; }
  bool AgentPresent() const { return agentPresent_; }
  // Whether an access of `width` bytes to `port` meets the I/O breakpoint in
  // DR2: CR4.DE set, DR7 enabling breakpoint 2 as an I/O breakpoint, and the
  // port range overlapping the one DR2 and its length name.
  bool IoBreakpointHit(uint16_t port, uint8_t width) const;

  const FlashImage* Flash() const { return bus_.Flash(); }
  const PspDevice& psp() const { return bus_.psp(); }
  // The PSP window's base as root bus 0's window registers show it; 0 for none.
  uint64_t PspWindowBase() const { return bus_.pci().PspWindowBase(); }

  // The UARTs, the observed ports and the debug agent's mailbox.
  Devices& devices() { return devices_; }
  const Devices& devices() const { return devices_; }

  // Number of display writes the halted platform is watched for before the run stops.
  static constexpr int kHaltDisplayWrites = 12;

 private:
  void Record(AccessKind kind, bool write, uint8_t width, uint64_t address, uint64_t value);

  PhysicalMemory& memory_;
  // What the recorder touches on every access, first.
  uint64_t total_ = 0;
  uint64_t accessLimit_ = 5000000;
  const BootStepMarker* steps_ = nullptr;
  std::vector<Access> log_;
  // Plain arrays: the recorder counts into them on every access.
  uint64_t counts_[kAccessKindCount] = {};
  uint64_t stepCounts_[kBootStepCount][kAccessKindCount] = {};

  Devices devices_{memory_};
  Bus bus_{memory_, devices_};
  std::map<uint32_t, uint64_t> msrs_;
  std::map<uint32_t, CpuidValue> cpuid_;
  uint64_t dr2_ = 0, dr3_ = 0, dr7_ = 0x400, cr4_ = 0x660;
  uint64_t tsc_ = 0, tscPerRead_ = 100, tscPerPause_ = 50000000;
  bool agentPresent_ = false;
  uint32_t agentAnswer_ = 1;

  std::vector<uint32_t> trapCodes_;
  bool halting_ = false;
  bool halted_ = false;
  uint32_t haltCode_ = 0;
  std::vector<uint32_t> haltDisplay_;
  std::vector<AgentActionDesc> agentActions_;
};

}  // namespace sim
