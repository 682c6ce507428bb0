// The physical address space as the driver's loads and stores reach it,
// decoded in this order: DRAM; the memory-mapped UARTs; the PSP's register
// window and the boot flash, which decode ahead of the configuration space
// they may overlap; PCI configuration space, but for the chipset's register
// page inside it, which decodes ahead of it; bytes placed outside DRAM (the
// chipset's SMI command port register among them); and where nothing answers:
// a read gives all ones and a write is dropped, as a PC's bus does, and each
// such access is noted.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "sim/machine/devices.h"
#include "sim/machine/flash_device.h"
#include "sim/machine/load_store.h"
#include "sim/machine/memory.h"
#include "sim/machine/pci_config.h"

namespace sim {

// Accesses to one place where nothing answers.
struct NothingAccess {
  uint64_t address;
  uint8_t width;
  bool write;
  uint64_t count;
};

class Bus {
 public:
  Bus(PhysicalMemory& memory, Devices& devices) : memory_(memory), devices_(devices) {}

  // The configuration space's functions and roots.
  PciConfigSpace& pci() { return pci_; }
  const PciConfigSpace& pci() const { return pci_; }

  // --- set-up ---
  // The boot flash, ending at 4 GiB; none until mapped.
  void MapFlash(std::shared_ptr<const FlashImage> image) { flash_ = std::move(image); }
  void SetPsp(const PspDesc& desc) { psp_.Setup(desc); }
  // Plain bytes outside DRAM (data a scenario places there); they read back as stored.
  void SetBytes(uint64_t address, const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) placed_[address + i] = bytes[i];
  }

  // --- accesses ---
  // Inlined into the seam's accesses, as everything a DRAM access runs through.
  bool InDram(uint64_t address, uint8_t width) const { return memory_.Contains(address, width); }
  __attribute__((always_inline)) uint64_t Read(uint64_t address, uint8_t width) {
    if (InDram(address, width)) return LoadLe(memory_.Host(address), width);
    return ReadOutsideDram(address, width);
  }
  // `value` holds no bits above the access's width.
  __attribute__((always_inline)) void Write(uint64_t address, uint8_t width, uint64_t value) {
    if (!InDram(address, width)) return WriteOutsideDram(address, width, value);
    memory_.Touch(address, width);
    StoreLe(memory_.Host(address), width, value);
  }

  // --- what happened ---
  // Where nothing answered, each place (address, width, read or write) once in
  // the order first reached, at most kNothingPlaces of them; and every such access.
  const std::vector<NothingAccess>& Nothing() const { return nothing_; }
  uint64_t NothingTotal() const { return nothingTotal_; }
  static constexpr size_t kNothingPlaces = 64;
  const FlashImage* Flash() const { return flash_.get(); }
  const PspDevice& psp() const { return psp_; }

 private:
  // Outside DRAM: the devices in decode order, inlined into the seam's access
  // (most accesses a boot makes are register reads: a call more each shows);
  // then placed bytes and nothing, out of line.
  __attribute__((always_inline)) uint64_t ReadOutsideDram(uint64_t address, uint8_t width) {
    uint64_t v;
    if (devices_.MmioRead(address, width, &v)) return v;
    if (psp_.Read(pci_.PspWindowBase(), address, width, &v)) return v;
    if (flash_ && flash_->Read(address, width, &v)) return v;
    if (InConfigSpace(address)) return pci_.Read(address - kPciConfigBase, width);
    return ReadPlaced(address, width);
  }
  __attribute__((always_inline)) void WriteOutsideDram(uint64_t address, uint8_t width, uint64_t value) {
    if (devices_.MmioWrite(address, width, value)) return;
    // The PSP's registers take no writes here, and the flash only reads.
    if (psp_.Write(pci_.PspWindowBase(), address, width) || (flash_ && flash_->Contains(address, width))) return;
    if (InConfigSpace(address)) return pci_.Write(address - kPciConfigBase, width, value);
    WritePlaced(address, width, value);
  }
  // The chipset's register page that holds the SMI command port register
  // decodes ahead of the configuration space it overlaps.
  static constexpr uint64_t kChipsetRegistersBase = 0xFED80000;
  static constexpr uint64_t kChipsetRegistersSize = 0x1000;
  static bool InConfigSpace(uint64_t a) {
    return a >= kPciConfigBase && a - kPciConfigBase < kPciConfigSize &&
           !(a >= kChipsetRegistersBase && a - kChipsetRegistersBase < kChipsetRegistersSize);
  }
  uint64_t ReadPlaced(uint64_t address, uint8_t width);
  void WritePlaced(uint64_t address, uint8_t width, uint64_t value);
  void NoteNothing(uint64_t address, uint8_t width, bool write);

  // In the order an access outside DRAM asks them.
  PhysicalMemory& memory_;
  Devices& devices_;
  PspDevice psp_;
  std::shared_ptr<const FlashImage> flash_;
  PciConfigSpace pci_;
  std::map<uint64_t, uint8_t> placed_;
  std::vector<NothingAccess> nothing_;
  uint64_t nothingTotal_ = 0;
};

}  // namespace sim
