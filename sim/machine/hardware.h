// The platform's hardware as the driver's seam reaches it: I/O ports, physical
// memory and memory-mapped registers (PCI configuration space with the fabric
// devices and each root's index/data window, the SMI command port register),
// MSRs, CPUID, the time-stamp counter, debug and control registers, and the
// debug agent that may take a fatal trap over. Every access is recorded.
#pragma once
#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/machine/boot_steps.h"
#include "sim/machine/devices.h"
#include "sim/machine/flash_device.h"
#include "sim/machine/memory.h"
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

// A write through a root's index/data window: what the root's internal register
// at `index` received.
struct InternalWrite {
  uint8_t bus;
  uint32_t index;
  uint32_t value;
};

// Accesses to one place where nothing answers (no DRAM, device, flash, PSP
// window, configuration space or placed bytes): reads there gave all ones and
// writes were dropped, as a PC's bus does.
struct NothingAccess {
  uint64_t address;
  uint8_t width;
  bool write;
  uint64_t count;
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
  void AddPciFunction(uint8_t bus, uint8_t device, uint8_t function, uint16_t vendor, uint16_t deviceId);
  void SetPciConfig8(uint8_t bus, uint8_t device, uint8_t function, uint16_t offset, uint8_t value);
  void SetPciConfig32(uint8_t bus, uint8_t device, uint8_t function, uint16_t offset, uint32_t value);
  // A fabric root: its host bridge at bus:0.0 and the index/data window onto its internal registers.
  void AddRoot(uint8_t bus);
  void SetInternal(uint8_t bus, uint32_t index, uint32_t value);
  // Room for `count` more of a root's registers before they are set.
  void ReserveInternal(uint8_t bus, size_t count);
  void SetMmio16(uint64_t address, uint16_t value);
  // Plain bytes outside DRAM (data a scenario places there); they read back as stored.
  void SetBytes(uint64_t address, const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) mmioBytes_[address + i] = bytes[i];
  }
  void SetPortValue(uint16_t port, uint32_t value) { portValues_[port] = value; }
  void SetMsr(uint32_t index, uint64_t value) { msrs_[index] = value; }
  void SetCpuid(uint32_t leaf, CpuidValue value) { cpuid_[leaf] = value; }
  void SetDebugRegisters(uint64_t dr2, uint64_t dr3, uint64_t dr7, uint64_t cr4) {
    dr2_ = dr2; dr3_ = dr3; dr7_ = dr7; cr4_ = cr4;
  }
  void SetTsc(uint64_t start, uint64_t perRead, uint64_t perPause) {
    tsc_ = start; tscPerRead_ = perRead; tscPerPause_ = perPause;
  }
  void SetAgent(bool present, uint32_t answer) { agentPresent_ = present; agentAnswer_ = answer; }
  void SetAccessLimit(uint64_t limit) { accessLimit_ = limit; }
  // Where the step each access belongs to comes from (the firmware model's marker).
  void SetStepMarker(const BootStepMarker* marker) { steps_ = marker; }
  // The boot flash, ending at 4 GiB; none until mapped.
  void MapFlash(std::shared_ptr<const FlashImage> image) { flash_ = std::move(image); }
  void SetPsp(const PspDesc& desc) { psp_.Setup(desc); }

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
  const std::vector<InternalWrite>& InternalWrites() const { return internalWrites_; }
  // Where nothing answered, each place (address, width, read or write) once in
  // the order first reached, at most kNothingPlaces of them; and every such access.
  const std::vector<NothingAccess>& Nothing() const { return nothing_; }
  uint64_t NothingTotal() const { return nothingTotal_; }
  static constexpr size_t kNothingPlaces = 64;
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

  const FlashImage* Flash() const { return flash_.get(); }
  const PspDevice& psp() const { return psp_; }
  // The PSP window's base as root bus 0's window registers show it; 0 for none.
  uint64_t PspWindowBase() const { return pspWindowBase_; }

  // The UARTs, the observed ports and the debug agent's mailbox.
  Devices& devices() { return devices_; }
  const Devices& devices() const { return devices_; }

  // Number of display writes the halted platform is watched for before the run stops.
  static constexpr int kHaltDisplayWrites = 12;

 private:
  // A function's 4 KiB of configuration space: the standard header in place
  // (no allocation for the many functions set there alone), the rest stored
  // only as far as written; bytes past it read as zero.
  struct PciFunction {
    static constexpr uint16_t kHeader = 256;
    std::array<uint8_t, kHeader> header{};
    std::vector<uint8_t> rest;
    uint8_t Get(uint16_t offset) const {
      if (offset < kHeader) return header[offset];
      return size_t(offset - kHeader) < rest.size() ? rest[offset - kHeader] : 0;
    }
    void Set(uint16_t offset, uint8_t value) {
      if (offset < kHeader) {
        header[offset] = value;
        return;
      }
      const size_t at = offset - kHeader;
      if (at >= rest.size()) rest.resize((at + 64) & ~size_t(63), 0);
      rest[at] = value;
    }
  };
  // A root's internal registers, sorted by index: a platform sets them in
  // ascending order, and a boot reads many and writes few, mostly walking the
  // indices upwards, so a look-up tries where the last one ended first.
  class RegisterFile {
   public:
    uint32_t Get(uint32_t index) const {
      const size_t at = Find(index);
      return at != entries_.size() && entries_[at].first == index ? entries_[at].second : 0;
    }
    // Room for the registers a boot writes that were not set before it.
    static constexpr size_t kWriteRoom = 16;
    void Reserve(size_t count) { entries_.reserve(entries_.size() + count + kWriteRoom); }
    void Set(uint32_t index, uint32_t value) {
      const size_t at = entries_.empty() || entries_.back().first < index ? entries_.size() : Find(index);
      if (at != entries_.size() && entries_[at].first == index) entries_[at].second = value;
      else entries_.insert(entries_.begin() + long(at), {index, value});
    }

   private:
    // The first entry whose index is not below `index`.
    size_t Find(uint32_t index) const {
      const size_t n = entries_.size();
      for (size_t at = hint_; at <= n && at <= hint_ + 1; ++at) {
        if ((at == n || entries_[at].first >= index) && (at == 0 || entries_[at - 1].first < index)) {
          hint_ = at;
          return at;
        }
      }
      hint_ = size_t(std::lower_bound(entries_.begin(), entries_.end(), index,
                                      [](const std::pair<uint32_t, uint32_t>& e, uint32_t i) { return e.first < i; }) -
                     entries_.begin());
      return hint_;
    }
    std::vector<std::pair<uint32_t, uint32_t>> entries_;
    mutable size_t hint_ = 0;
  };
  struct Root {
    uint32_t index = 0;
    RegisterFile registers;  // unset registers read 0
  };
  // Every memory access asks for the PSP window's base, so it is worked out
  // again only when root bus 0's registers change.
  void InternalChanged(uint8_t bus);
  uint64_t pspWindowBase_ = 0;
  static uint32_t Bdf(uint8_t bus, uint8_t device, uint8_t function) {
    return (uint32_t{bus} << 8) | (uint32_t{device} << 3) | function;
  }
  void Record(AccessKind kind, bool write, uint8_t width, uint64_t address, uint64_t value);
  void NoteNothing(uint64_t address, uint8_t width, bool write);
  uint64_t ConfigRead(uint64_t address, uint8_t width);
  void ConfigWrite(uint64_t address, uint8_t width, uint64_t value);

  PhysicalMemory& memory_;
  Devices devices_{memory_};
  std::shared_ptr<const FlashImage> flash_;
  PspDevice psp_;
  // The functions that exist, found through their bus's table of 256
  // device/function slots (each the function's place in pciFunctions_ plus
  // one; 0 for none), and the roots, through their bus's slot likewise.
  PciFunction* FindPci(uint32_t bdf) {
    const uint16_t table = pciBuses_[bdf >> 8];
    const uint16_t slot = table == 0 ? 0 : pciSlots_[table - 1][bdf & 0xFF];
    return slot == 0 ? nullptr : &pciFunctions_[slot - 1];
  }
  PciFunction& PciAt(uint32_t bdf);
  void AddRootSlot(uint8_t bus);
  Root* FindRoot(uint8_t bus) { return rootSlots_[bus] == 0 ? nullptr : &roots_[rootSlots_[bus] - 1]; }
  std::vector<PciFunction> pciFunctions_;
  std::vector<std::array<uint16_t, 256>> pciSlots_;
  std::array<uint16_t, 256> pciBuses_{};
  std::vector<Root> roots_;
  std::array<uint16_t, 256> rootSlots_{};
  std::map<uint64_t, uint8_t> mmioBytes_;
  std::map<uint16_t, uint32_t> portValues_;
  std::map<uint32_t, uint64_t> msrs_;
  std::map<uint32_t, CpuidValue> cpuid_;
  uint64_t dr2_ = 0, dr3_ = 0, dr7_ = 0x400, cr4_ = 0x660;
  uint64_t tsc_ = 0, tscPerRead_ = 100, tscPerPause_ = 50000000;
  bool agentPresent_ = false;
  uint32_t agentAnswer_ = 1;
  uint64_t accessLimit_ = 5000000;

  std::vector<Access> log_;
  // Plain arrays: the recorder counts into them on every access.
  uint64_t counts_[kAccessKindCount] = {};
  const BootStepMarker* steps_ = nullptr;
  uint64_t stepCounts_[kBootStepCount][kAccessKindCount] = {};
  uint64_t total_ = 0;
  std::vector<InternalWrite> internalWrites_;
  std::vector<NothingAccess> nothing_;
  uint64_t nothingTotal_ = 0;
  std::vector<uint32_t> trapCodes_;
  bool halting_ = false;
  bool halted_ = false;
  uint32_t haltCode_ = 0;
  std::vector<uint32_t> haltDisplay_;
};

}  // namespace sim
