// The second dispatch backend: the real driver image runs in a CPU emulator
// (Unicorn) against the same firmware and hardware models as the host build.
//
// Memory: the platform's DRAM is shared with the emulator at its own physical
// address, so tables, pool blocks and the stack are the same bytes on both sides.
// The image is placed in the top 4 MiB of DRAM (kEmuImageBase), fresh for every
// entry. The driver's stack is the bottom of the platform stack region; the host
// code that drives the emulator runs in the region's upper part.
//
// Firmware: every service slot points at a one-byte `ret` in a thunk page above
// 4 GiB. Reaching a thunk stops the emulation; the service runs with no emulator
// frame on the host stack, then the emulator resumes at the caller. A service
// that runs a notify function (SignalEvent, RestoreTpl, InstallProtocolInterface)
// therefore starts a fresh emulation for it on the same engine, with the
// interrupted call's registers saved and its frame below the caller's stack.
//
// Hardware: IN/OUT and CPUID through instruction hooks, all memory outside DRAM
// (but the thunk page) as MMIO, and RDMSR/WRMSR/RDTSC/PAUSE, moves to and from debug registers
// and CR4, and the tagged port write through hooks on their sites in the image's
// code, each reaching the same sim::Hardware method the host seam calls.
#pragma once
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "sim/firmware/dispatch.h"
#include "sim/emu/pe_loader.h"
#include "sim/machine/memory.h"

namespace sim {

constexpr uint64_t kEmuImageRegionSize = 4ull << 20;
constexpr uint64_t kEmuImageBase = kDramBase + kDramSize - kEmuImageRegionSize;
// Copies of the image for several drivers of the package in one boot: the
// region has four slots, and copy k lies in slot k % 4, the (k / 4)-th of the
// copies packed there one after another (each the image's size in whole
// pages), so copies 0 to 3 start at kEmuImageBase + k * kEmuImageSlotSize.
// At most kEmuMaxImages copies: each has its own hooks on its instruction
// sites, and every hook costs the translation of all code a little.
constexpr unsigned kEmuImageSlots = 4;
constexpr uint64_t kEmuImageSlotSize = kEmuImageRegionSize / kEmuImageSlots;
constexpr unsigned kEmuMaxImages = 64;
constexpr uint64_t kEmuGuestStackSize = 256ull << 10;
constexpr uint64_t kEmuGuestStackTop = kStackBase + kEmuGuestStackSize;
constexpr uint64_t kEmuThunkBase = 1ull << 32;

// The driver faulted (code run or the stack used where there is no DRAM, a
// protected access, invalid instruction, CPU exception), ran away, stopped
// without returning, started more copies than the emulator holds, or the
// emulator could not run. Data read where nothing is is no fault: the hardware
// model answers all ones, as the host build's seam does.
struct EmulationError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct EmulatorLimits {
  // Translation blocks one top-level call (with everything nested in it) may run.
  uint64_t blocksPerCall = 50'000'000;
};

class EmulatorDispatch final : public Dispatch {
 public:
  explicit EmulatorDispatch(const std::string& imagePath, EmulatorLimits limits = {});
  explicit EmulatorDispatch(PeImage image, EmulatorLimits limits = {});
  ~EmulatorDispatch() override;
  EmulatorDispatch(const EmulatorDispatch&) = delete;
  EmulatorDispatch& operator=(const EmulatorDispatch&) = delete;

  uint64_t ServiceAddress(Service service) override;
  // Places a fresh copy of the image (the platform has just reset DRAM) and
  // returns its entry point.
  uint64_t EntryPoint() override;
  uint64_t CallEntry(uint64_t entry, uint64_t imageHandle, uint64_t systemTable) override;
  void CallNotify(uint64_t function, uint64_t event, uint64_t context) override;
  // Places copy `image` in its own place; each copy's state is its own sections.
  // Throws EmulationError for a copy beyond ImageCapacity().
  uint64_t LoadAnotherImage(unsigned image) override;
  // Places the application in pool memory the firmware hands out (EfiLoaderCode),
  // lets it run there and calls its entry. Throws EmulationError for an image
  // that cannot be loaded or an application that faults.
  bool RunApplication(const std::string& path, uint64_t imageHandle, uint64_t systemTable, uint64_t* status) override;
  // How many copies of the image one boot may run (the first included).
  unsigned ImageCapacity() const;

  const PeImage& Image() const;
  // Instruction sites in the image's code that are emulated through the hardware model.
  size_t HookedSites() const;

  struct Engine;  // the emulator and its hooks; defined in emulator_engine.h

 private:
  std::unique_ptr<Engine> engine_;
};

}  // namespace sim
