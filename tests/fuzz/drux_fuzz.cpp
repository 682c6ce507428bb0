// Fuzzes the DRUX walk over an arbitrary block and information HOB. The block
// lies in platform memory where the HOB names it (or the HOB names any address)
// and, as the flash copy, in the boot flash. After a boot, the entry list, the
// instance look-up and the start-up check run on it. Every read must stay in
// the block as its header gives its size, the flash window or the PSP's
// registers; the list (an exactly sized array) holds only matching entries
// lying whole in the block, in block order; the instance answer agrees with it.
//
// Input: a mode byte (bits 1:0 where the block is read: 0, 1 memory, 2 an S3
// resume, 3 a pending capsule; bit 2 the HOB says unusable; bit 3 the HOB names
// an address given next; bit 4 a HOB length given next; bit 5 no HOB), group,
// type and instance (u32 each), then the block.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "platform/access.h"
#include "platform/hw.h"
#include "platform/probes.h"
#include "psp/drux.h"
#include "psp/flash.h"
#include "sim/images/drux_block.h"
#include "sim/board/platform.h"

namespace {

constexpr uint64_t kBlock = sim::kPlacedDataBase;  // the block in memory
constexpr uint64_t kFlashBlock = 0xFFF80000;       // its copy in a 1 MiB flash

sim::Scenario Base() {
  sim::Scenario s = sim::ParseScenario(
      "[[socket]]\n[[socket.die]]\nroot_bus = 0\n[agent]\npresent = true\n"
      "[cpuid]\n0x80000001 = [0x00800F00, 0, 0, 0]\n[psp]\nwindow_base = 0xFEA00000\nboot = \"normal\"\n",
      "drux-fuzz.toml");
  s.accessLimit = 2000000;
  return s;
}

// One flash for the process, built again for each input: only what the last
// build wrote is erased, not the whole 1 MiB filled.
std::shared_ptr<const sim::FlashImage> Flash(const std::vector<uint8_t>& block) {
  sim::FlashLayout layout;
  layout.size = 0x100000;
  sim::FlashDirectoryDesc psp, bios;
  psp.name = "psp";
  psp.kind = sim::FlashDirectoryKind::Psp;
  bios.name = "bios";
  sim::FlashEntryDesc drux, copy;
  drux.type = kBiosEntryDrux;
  drux.destination = kBlock;
  copy.type = kBiosEntryDruxCopy;
  copy.source = sim::FlashRef{"", kFlashBlock};
  if (!block.empty()) copy.data = block;
  bios.entries = {drux, copy};
  layout.directories = {psp, bios};
  static const std::shared_ptr<sim::FlashImage> flash = std::make_shared<sim::FlashImage>();
  sim::BuildFlashImageInto(layout, *flash);
  return flash;
}

struct Range {
  uint64_t start, length;
  bool Holds(uint64_t address, uint64_t width) const {
    return address >= start && width <= length && address - start <= length - width;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const sim::Scenario base = Base();
  // One description for the process, the parts an input sets put back to the
  // base's each time: copying the whole of it per input cost more than these.
  static const std::shared_ptr<sim::Scenario> shared = std::make_shared<sim::Scenario>(base);
  fuzz::Input in{data, size};
  const uint8_t mode = in.Byte();
  const uint32_t group = uint32_t(in.Le(4)), type = uint32_t(in.Le(4)), instance = uint32_t(in.Le(4));
  const uint64_t named = mode & 8 ? in.Le(8) : kBlock;
  const std::optional<uint16_t> hobLength = mode & 16 ? std::optional<uint16_t>(in.Byte()) : std::nullopt;
  const std::vector<uint8_t> block = in.Rest();

  sim::Scenario& s = *shared;
  s.hobs = base.hobs;
  s.placements = base.placements;
  s.sleepType = (mode & 3) == 2 ? 3 : 0;
  if ((mode & 3) == 3) s.hobs.push_back({kCapsuleStatusHobGuid, {}, {}});
  if (!(mode & 32)) s.hobs.push_back({kDruxInfoHobGuid, sim::DruxInfoData(mode & 4 ? 0 : 1, uint32_t(block.size()), named), hobLength});
  if (!block.empty()) s.placements.push_back({"fuzz", kBlock, block});
  s.flash = Flash(block);
  sim::Platform platform(shared);
  platform.Boot();

  // The block as the walk sees it: where it is read from, and its size field.
  const uint64_t at = (mode & 3) >= 2 ? kFlashBlock : named;
  sim::Hardware& hardware = platform.hardware();
  const Range walked{at, std::max<uint64_t>(sizeof(DruxBlockHeader), uint32_t(hardware.MemRead(at + 8, 4)))};
  const Range started{kBlock, sizeof(DruxBlockHeader)};  // the start-up check reads the header

  const size_t logFrom = hardware.Log().size();
  std::unique_ptr<DruxEntry*[]> list(new DruxEntry*[kDruxEntryListLength]);
  uint32_t count = 0;
  EfiStatus listed = 0, found = 0;
  DruxEntry* entry = nullptr;
  const bool ended = platform.Run([&] {
    listed = VyrPspGetDruxEntry(group, type, &count, list.get());
    found = VyrPspGetDruxEntryInstance(group, type, instance, 0, &entry);
    DruxHobInfoInit();
  });
  if (!ended) std::abort();  // ran away, or halted in a trap that should return

  const uint64_t status = hardware.PspWindowBase() + PspMailboxStatus::kAt;
  for (size_t i = logFrom; i < hardware.Log().size(); ++i) {
    const sim::Access& a = hardware.Log()[i];
    if (a.write || (a.kind != sim::AccessKind::Memory && a.kind != sim::AccessKind::Mmio)) continue;
    if (walked.Holds(a.address, a.width) || started.Holds(a.address, a.width) ||
        kFlashWindow.HoldsAddress(a.address, a.width) || a.address == status ||
        Range{PciConfigBase, 1u << 20}.Holds(a.address, a.width))
      continue;
    std::abort();  // read outside the block
  }

  // The list: matching entries, whole inside the block, in block order.
  if (count > kDruxEntryListLength || (count != 0) != (listed == 0 || listed == EFI_BUFFER_TOO_SMALL)) std::abort();
  auto field = [&](uint64_t e, uint64_t offset) { return uint32_t(hardware.MemRead(e + offset, 4)); };
  int withInstance = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t e = hw::PtrToPhys(list[i]);
    if (!walked.Holds(e, sizeof(DruxEntry)) || (i != 0 && e <= hw::PtrToPhys(list[i - 1]))) std::abort();
    if (field(e, offsetof(DruxEntry, GroupID)) != group || field(e, offsetof(DruxEntry, TypeId)) != type) std::abort();
    withInstance += field(e, offsetof(DruxEntry, Instance)) == instance;
  }
  // The instance: the one listed entry that has it.
  if (listed == EFI_BUFFER_TOO_SMALL) {
    if (found != EFI_BUFFER_TOO_SMALL || entry != nullptr) std::abort();
  } else if (found == 0) {
    if (withInstance != 1 || entry == nullptr || field(hw::PtrToPhys(entry), offsetof(DruxEntry, Instance)) != instance ||
        std::find(list.get(), list.get() + count, entry) == list.get() + count)
      std::abort();
  } else if (entry != nullptr || (found == EFI_UNSUPPORTED && withInstance < 2) ||
             (found == EFI_NOT_FOUND && withInstance != 0)) {
    std::abort();
  }
  return 0;
}
