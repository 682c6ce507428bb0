// PCI configuration space as its memory-mapped window reaches it (256 buses
// from PciConfigBase, 4 KiB per function): the functions that exist, and the
// fabric's roots, each a host bridge at bus:0.0 whose index/data window (32-bit
// registers RootWindowIndex and RootWindowData) reaches the root's internal registers. An address is
// decoded once, for reads and writes alike; a function nobody decodes reads all
// ones and takes no writes.
#pragma once
#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/access.h"
#include "sim/common/address_map.h"
#include "sim/machine/load_store.h"
#include "sim/scenario/desc.h"

namespace sim {

// A write through a root's index/data window: what the root's internal register
// at `index` received.
struct InternalWrite {
  uint8_t bus;
  uint32_t index;
  uint32_t value;
};

// A function's 4 KiB of configuration space: the standard header in place (no
// allocation for the many functions set there alone), the rest stored only as
// far as written; bytes past it read as zero.
struct PciFunction {
  static constexpr uint16_t kHeader = 256;
  static constexpr uint16_t kSize = 4096;
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
// indices upwards, so a look-up tries where the last one ended first. Unset
// registers read 0.
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

// A root's index/data window onto its internal registers.
struct RootWindow {
  static constexpr uint16_t kIndexRegister = RootWindowIndex::kAt;
  static constexpr uint16_t kDataRegister = RootWindowData::kAt;
  uint32_t index = 0;
  RegisterFile registers;
};

class PciConfigSpace {
 public:
  PciConfigSpace();
  ~PciConfigSpace();
  PciConfigSpace(const PciConfigSpace&) = delete;
  PciConfigSpace& operator=(const PciConfigSpace&) = delete;

  // --- set-up ---
  void AddFunction(uint8_t bus, uint8_t device, uint8_t function, uint16_t vendor, uint16_t deviceId);
  void SetConfig8(uint8_t bus, uint8_t device, uint8_t function, uint16_t offset, uint8_t value);
  void SetConfig32(uint8_t bus, uint8_t device, uint8_t function, uint16_t offset, uint32_t value);
  // A fabric root: its host bridge at bus:0.0 and its window.
  void AddRoot(uint8_t bus);
  void SetInternal(uint8_t bus, uint32_t index, uint32_t value);
  // Room for `count` more of a root's registers before they are set.
  void ReserveInternal(uint8_t bus, size_t count);

  // --- accesses, at an offset into the window ---
  uint64_t Read(uint64_t offset, uint8_t width);
  void Write(uint64_t offset, uint8_t width, uint64_t value);

  // --- what happened ---
  const std::vector<InternalWrite>& InternalWrites() const { return internalWrites_; }
  // The PSP's register window base as root bus 0's window registers give it; 0
  // for none. Every memory access asks for it, so it is worked out again only
  // when those registers change.
  uint64_t PspWindowBase() const { return pspWindowBase_; }

 private:
  // Where an access lands: a root's window register, a function's register, or
  // no function at all.
  struct Target {
    RootWindow* window;
    PciFunction* function;
    uint16_t reg;
    uint8_t bus;
  };
  Target Decode(uint64_t offset, uint8_t width) {
    using At = PciConfigOffset;
    const uint8_t bus = uint8_t(At::Bus::Get(offset));
    const uint32_t deviceFunction = uint32_t(At::Device::Get(offset) << 3 | At::Function::Get(offset));
    const uint16_t reg = uint16_t(At::Register::Get(offset));
    RootWindow* root = FindRoot(bus);
    if (root != nullptr && deviceFunction == 0 && width == 4 &&
        (reg == RootWindow::kIndexRegister || reg == RootWindow::kDataRegister))
      return {root, nullptr, reg, bus};
    return {nullptr, FindPci((uint32_t{bus} << 8) | deviceFunction), reg, bus};
  }
  static uint32_t Bdf(uint8_t bus, uint8_t device, uint8_t function) {
    return (uint32_t{bus} << 8) | (uint32_t{device} << 3) | function;
  }
  // The functions that exist, found through their bus's table of 256
  // device/function slots (each the function's place in functions_ plus one; 0
  // for none), and the roots, through their bus's slot likewise.
  PciFunction* FindPci(uint32_t bdf) {
    const uint16_t table = buses_[bdf >> 8];
    const uint16_t slot = table == 0 ? 0 : slots_[table - 1][bdf & 0xFF];
    return slot == 0 ? nullptr : &functions_[slot - 1];
  }
  PciFunction& PciAt(uint32_t bdf);
  RootWindow* FindRoot(uint8_t bus) { return rootSlots_[bus] == 0 ? nullptr : &roots_[rootSlots_[bus] - 1]; }
  RootWindow& RootAt(uint8_t bus);
  void RootChanged(uint8_t bus) {
    if (bus == 0) WorkOutPspWindowBase();
  }
  void WorkOutPspWindowBase();

  uint64_t pspWindowBase_ = 0;
  std::vector<PciFunction> functions_;
  std::vector<std::array<uint16_t, 256>> slots_;
  std::vector<RootWindow> roots_;
  std::array<uint16_t, 256> rootSlots_{};
  std::array<uint16_t, 256> buses_{};
  std::vector<InternalWrite> internalWrites_;
};

inline uint64_t PciConfigSpace::Read(uint64_t offset, uint8_t width) {
  const Target t = Decode(offset, width);
  if (t.window != nullptr)
    return t.reg == RootWindow::kIndexRegister ? t.window->index : t.window->registers.Get(t.window->index);
  const PciFunction* f = t.function;
  if (f == nullptr || t.reg + width > PciFunction::kSize) return AllOnes(width);
  if (t.reg + width <= PciFunction::kHeader) return LoadLe(f->header.data() + t.reg, width);
  uint64_t v = 0;
  for (int i = 0; i < width; ++i) v |= uint64_t(f->Get(uint16_t(t.reg + i))) << (8 * i);
  return v;
}

inline void PciConfigSpace::Write(uint64_t offset, uint8_t width, uint64_t value) {
  const Target t = Decode(offset, width);
  if (t.window != nullptr) {
    if (t.reg == RootWindow::kIndexRegister) {
      t.window->index = uint32_t(value);
      return;
    }
    t.window->registers.Set(t.window->index, uint32_t(value));
    RootChanged(t.bus);
    internalWrites_.push_back({t.bus, t.window->index, uint32_t(value)});
    return;
  }
  if (t.function == nullptr || t.reg + width > PciFunction::kSize) return;
  for (int i = 0; i < width; ++i) t.function->Set(uint16_t(t.reg + i), uint8_t(value >> (8 * i)));
}

}  // namespace sim
