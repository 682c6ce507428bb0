// The emulator backend's internals, shared by its parts and private to them:
//   emulator_dispatch.cpp  the engine: memory map, fault hooks, the run loop and
//                          nested calls, the Dispatch interface
//   emulator_hooks.cpp     instructions and memory the hardware model answers
//                          (ports, CPUID, MSRs, TSC, PAUSE, CR4, debug registers,
//                          the tagged port write, MMIO and where nothing is)
//   emulator_services.cpp  the firmware-service thunks and the services behind them
#pragma once
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim/emu/emulator_dispatch.h"
#include "sim/board/platform.h"

namespace sim::emu {

constexpr uint64_t kPage = 0x1000;
constexpr uint64_t kDramEnd = kDramBase + kDramSize;
constexpr uint64_t kFourGiB = 1ull << 32;
constexpr uint64_t kThunkStride = 16;
constexpr size_t kServiceCount = static_cast<size_t>(Service::Count);
// Where every call from the firmware returns to; emulation ends when it gets there.
constexpr uint64_t kStop = kEmuThunkBase + 0x800;
static_assert(kServiceCount * kThunkStride <= 0x800);

constexpr int kGpr[16] = {UC_X86_REG_RAX, UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_RBX,
                          UC_X86_REG_RSP, UC_X86_REG_RBP, UC_X86_REG_RSI, UC_X86_REG_RDI,
                          UC_X86_REG_R8,  UC_X86_REG_R9,  UC_X86_REG_R10, UC_X86_REG_R11,
                          UC_X86_REG_R12, UC_X86_REG_R13, UC_X86_REG_R14, UC_X86_REG_R15};
constexpr int kArgumentRegisters[4] = {UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_R8, UC_X86_REG_R9};

inline uint64_t WidthMask(unsigned width) { return width >= 8 ? ~0ull : (1ull << (8 * width)) - 1; }

const char* ServiceName(Service s);

}  // namespace sim::emu

namespace sim {

struct EmulatorDispatch::Engine {
  Engine(PeImage peImage, EmulatorLimits lim) : image(std::move(peImage)), limits(lim) {
    if (image.SizeOfImage() > kEmuImageSlotSize)
      throw EmulationError("the image does not fit the " + HexText(kEmuImageSlotSize) + "-byte slot it is placed in");
    copyStride = (image.SizeOfImage() + emu::kPage - 1) & ~(emu::kPage - 1);
    copiesPerSlot = unsigned(kEmuImageSlotSize / std::max<uint64_t>(copyStride, emu::kPage));
    capacity = std::min(kEmuMaxImages, kEmuImageSlots * copiesPerSlot);
    copyHooked.assign(capacity, false);
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
  // The parts Setup calls on. Hooks go in before the first run: translated code
  // never sees later ones.
  void MapThunks();         // the thunk page and its hook (emulator_services.cpp)
  void MapMmio();           // registers outside DRAM below 4 GiB (emulator_hooks.cpp)
  void HookInstructions();  // IN/OUT, CPUID and the instruction sites in the image (emulator_hooks.cpp)
  void HookCopy(unsigned k);  // the instruction sites of copy k (emulator_hooks.cpp)

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
  std::string Where(uint64_t address) const;
  // Where copy k lies (see kEmuImageSlots).
  uint64_t CopyAddress(unsigned k) const {
    return kEmuImageBase + (k % kEmuImageSlots) * kEmuImageSlotSize + (k / kEmuImageSlots) * copyStride;
  }
  // The base of the image copy that holds an address, or 0; and that copy's number.
  uint64_t CopyBase(uint64_t address) const {
    if (address < kEmuImageBase || address - kEmuImageBase >= kEmuImageRegionSize) return 0;
    const uint64_t base = address - (address - kEmuImageBase) % kEmuImageSlotSize % copyStride;
    return CopyNumber(base) < capacity && address - base < image.SizeOfImage() ? base : 0;
  }
  unsigned CopyNumber(uint64_t base) const {
    const uint64_t offset = base - kEmuImageBase;
    return unsigned(offset % kEmuImageSlotSize / copyStride * kEmuImageSlots + offset / kEmuImageSlotSize);
  }
  // The stack pointer lies outside DRAM while the driver reached where nothing
  // is: its stack is gone, a fault.
  void CheckStack(uint64_t address, unsigned size, bool write) const;
  std::string BytesAt(uint64_t address) const;
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

  uint64_t GuestRead64(uint64_t address, const std::string& what) const;
  void GuestWrite64(uint64_t address, uint64_t value, const std::string& what);
  Guid GuestGuid(uint64_t address, const std::string& what) const;

  PeImage image;
  EmulatorLimits limits;
  PhysicalMemory& memory = PhysicalMemory::Instance();
  uc_engine* uc = nullptr;
  alignas(4096) uint8_t thunks[emu::kPage];
  std::vector<uint64_t> siteRvas;  // every instruction site, in each copy
  std::set<uint64_t> taggedRvas;   // the tagged port writes among them
  uint64_t copyStride = 0;
  unsigned copiesPerSlot = 0, capacity = 0;
  std::vector<bool> copyHooked;  // whether copy k's sites have their hooks
  bool imagePlaced = false;  // the image has been placed once: its code may be translated

  // Everything outside DRAM but the thunk page answers through the hardware
  // model: below DRAM, from DRAM's end to 4 GiB, and above the thunk page.
  struct MmioWindow {
    Engine* engine;
    uint64_t base;
  };
  MmioWindow low{this, 0}, high{this, emu::kDramEnd}, top{this, emu::kFourGiB + emu::kPage};
  // The image's headers and the sections that are not writable, in every copy.
  struct ReadOnlyRange {
    uint64_t rva, size;
    std::string name;
  };
  std::vector<ReadOnlyRange> readOnly;

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
  // emulator then hands it to the MMIO callbacks in pieces: of at most 4 bytes,
  // bytes of an unaligned write, and for an unaligned read the aligned reads
  // around it. Until the next access, every callback is such a piece.
  struct PendingAccess {
    bool active = false;
    bool write = false;
    uint64_t address = 0;
    unsigned size = 0;
    uint64_t value = 0;
    // Whether a piece lies within the aligned reads around the access.
    bool Holds(uint64_t a, unsigned n, bool w) const {
      const uint64_t from = address & ~uint64_t(size - 1);
      return active && write == w && a >= from && a - from + n <= 2 * size;
    }
    // A piece of the value read: the bytes outside the access read as ones (the
    // emulator drops them).
    uint64_t Piece(uint64_t a, unsigned n) const {
      uint64_t v = 0;
      for (unsigned i = 0; i < n; ++i) {
        const uint64_t at = a + i - address;
        v |= (at < size ? (value >> (8 * at)) & 0xFF : 0xFF) << (8 * i);
      }
      return v;
    }
  } access;
  // A read the emulator splits (unaligned in MMIO, across a page in DRAM)
  // reaches the memory hooks again as two aligned reads of its size, right
  // after the read itself: they are no accesses of the driver's.
  struct SplitRead {
    uint64_t next = 0;
    unsigned size = 0;
    int left = 0;
    void Expect(uint64_t address, unsigned n) {
      next = address & ~uint64_t(n - 1);
      size = n;
      left = 2;
    }
    bool Takes(uint64_t address, unsigned n) {
      if (left == 0 || address != next || n != size) {
        left = 0;
        return false;
      }
      next += n;
      --left;
      return true;
    }
  } split;
};

}  // namespace sim
