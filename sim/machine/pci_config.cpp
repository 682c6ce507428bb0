#include "sim/machine/pci_config.h"

#include "psp/psp_window.h"
#include "sim/common/spare.h"

namespace sim {

// The function tables (some 30 KiB) are the last space's memory (sim/common/spare.h).
PciConfigSpace::PciConfigSpace() {
  Spare<decltype(functions_)>::Take(functions_);
  Spare<decltype(slots_)>::Take(slots_);
  // Room for a large platform's buses and roots at once, not grown one by one.
  slots_.reserve(16);
  functions_.reserve(80);
  roots_.reserve(16);
}

PciConfigSpace::~PciConfigSpace() {
  Spare<decltype(functions_)>::Leave(functions_);
  Spare<decltype(slots_)>::Leave(slots_);
}

PciFunction& PciConfigSpace::PciAt(uint32_t bdf) {
  if (PciFunction* f = FindPci(bdf)) return *f;
  uint16_t& table = buses_[bdf >> 8];
  if (table == 0) {
    slots_.push_back({});
    table = uint16_t(slots_.size());
  }
  functions_.emplace_back();
  slots_[table - 1][bdf & 0xFF] = uint16_t(functions_.size());
  return functions_.back();
}

RootWindow& PciConfigSpace::RootAt(uint8_t bus) {
  if (rootSlots_[bus] == 0) {
    roots_.emplace_back();
    rootSlots_[bus] = uint16_t(roots_.size());
  }
  return roots_[rootSlots_[bus] - 1];
}

void PciConfigSpace::AddFunction(uint8_t bus, uint8_t device, uint8_t function, uint16_t vendor, uint16_t deviceId) {
  PciFunction& f = PciAt(Bdf(bus, device, function));
  f.Set(0, vendor & 0xFF);
  f.Set(1, vendor >> 8);
  f.Set(2, deviceId & 0xFF);
  f.Set(3, deviceId >> 8);
}

void PciConfigSpace::SetConfig8(uint8_t bus, uint8_t device, uint8_t function, uint16_t offset, uint8_t value) {
  PciAt(Bdf(bus, device, function)).Set(offset & 0xFFF, value);
}

void PciConfigSpace::SetConfig32(uint8_t bus, uint8_t device, uint8_t function, uint16_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) SetConfig8(bus, device, function, uint16_t(offset + i), uint8_t(value >> (8 * i)));
}

void PciConfigSpace::AddRoot(uint8_t bus) {
  RootAt(bus);
  if (!FindPci(Bdf(bus, 0, 0))) AddFunction(bus, 0, 0, kFabricVendorId, kRootDeviceId);
}

void PciConfigSpace::SetInternal(uint8_t bus, uint32_t index, uint32_t value) {
  RootAt(bus).registers.Set(index, value);
  RootChanged(bus);
}

void PciConfigSpace::ReserveInternal(uint8_t bus, size_t count) { RootAt(bus).registers.Reserve(count); }

void PciConfigSpace::WorkOutPspWindowBase() {
  const RootWindow* root = FindRoot(0);
  if (root == nullptr) {
    pspWindowBase_ = 0;
    return;
  }
  const uint64_t low = root->registers.Get(PspWindowBaseLow::kAt) & PspWindowBaseLow::Base::kMask;
  pspWindowBase_ = low == 0 ? 0 : (uint64_t(root->registers.Get(PspWindowBaseHigh::kAt)) << 32) | low;
}

}  // namespace sim
