// Fuzzes the boot-flash directory lookup over arbitrary flash bytes. The input
// is the content of a 512 KiB flash from its first entry-table position
// (0xFFFA0000) on; the rest of the flash is erased. Every look-up must end,
// read nothing but the flash window and the PSP's registers, leave its outputs
// alone when it finds nothing, and answer only with what the flash holds.
//
// Input: a platform byte (bits 1:0 the processor, 3:2 the PSP's answer, 4 no
// PSP window base), the entry type to look up, then the flash bytes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/access.h"
#include "platform/firmware_services.h"
#include "fuzz_support.h"
#include "psp/flash.h"
#include "sim/board/platform.h"

namespace {

constexpr uint64_t kFlashSize = 0x80000;
constexpr uint64_t kInputAt = 0x20000;  // 0xFFFA0000
constexpr uint64_t kPspWindow = 0xFEA00000;
// Processor signatures (CPUID 0x80000001 EAX) of the two rows the flash serves,
// and one it does not serve (0x0FF00F00: invented, as in scenarios/qemu-ovmf.toml).
constexpr uint32_t kProcessors[4] = {0x00800F12, 0x00810F00, 0x0FF00F00, 0x00800F00};
// Status words: booted, recovery, both bits, booted after a few reads of neither.
constexpr uint32_t kAnswers[4] = {1u << 29, 1u << 30, 3u << 29, 1u << 29};

sim::Scenario Base() {
  sim::Scenario s = sim::ParseScenario(
      "[[socket]]\n[[socket.die]]\nroot_bus = 0\n[agent]\npresent = true\n", "flash-fuzz.toml");
  // A look-up that needs more accesses than this has run away.
  s.accessLimit = 2000000;
  return s;
}

uint32_t FlashWord(const sim::FlashImage& flash, uint64_t address) {
  uint64_t v = 0;
  return flash.Read(address, 4, &v) ? uint32_t(v) : 0;
}

// Reads of the look-up: the flash window; the PSP's plumbing (bus 0's
// configuration space, the status word in the PSP window).
// The checker's own branches teach the fuzzer nothing: not traced.
SIM_BOOKKEEPING void CheckReads(const sim::Hardware& hw) {
  const uint64_t status = hw.PspWindowBase() + PspMailboxStatus::kAt;
  for (const sim::Access& a : hw.Log()) {
    if (a.write || (a.kind != sim::AccessKind::Memory && a.kind != sim::AccessKind::Mmio)) continue;
    if (kFlashWindow.HoldsAddress(a.address, a.width)) continue;
    if (a.address >= PciConfigBase && a.address + a.width <= PciConfigBase + (1u << 20)) continue;
    if (hw.PspWindowBase() != 0 && a.address == status) continue;
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const sim::Scenario base = Base();
  fuzz::Input in{data, size};
  const uint8_t platformByte = in.Byte();
  const uint8_t type = in.Byte();
  std::vector<uint8_t> content = in.Rest();
  if (content.size() > kFlashSize - kInputAt) return 0;

  // One description for the process, the parts an input sets put back to the
  // base's each time: copying the whole of it per input cost more than these.
  static const std::shared_ptr<sim::Scenario> shared = std::make_shared<sim::Scenario>(base);
  sim::Scenario& s = *shared;
  s.cpuid = base.cpuid;
  s.psp = base.psp;
  s.cpuid[0x80000001] = {kProcessors[platformByte & 3], 0, 0, 0};
  s.psp.status = kAnswers[(platformByte >> 2) & 3];
  s.psp.readyAfter = (platformByte >> 2 & 3) == 3 ? 3 : 0;
  if (!(platformByte & 0x10)) s.psp.windowBase = kPspWindow;
  // One flash for the process: each input erases what the last one wrote and
  // writes its own bytes, instead of having a fresh 512 KiB mapped and filled.
  static const std::shared_ptr<sim::FlashImage> flash =
      std::make_shared<sim::FlashImage>(sim::FlashImageFromBytes(std::vector<uint8_t>(kFlashSize, 0xFF)));
  static size_t written = 0;
  std::fill_n(flash->bytes.begin() + kInputAt, written, 0xFF);
  std::copy(content.begin(), content.end(), flash->bytes.begin() + kInputAt);
  written = content.size();
  s.flash = flash;
  sim::Platform platform(shared);

  bool located = false, found = false;
  uint32_t psp = 0xEEEEEEEE, bios = 0xEEEEEEEE, typeWord = 0xEEEEEEEE, entrySize = 0xEEEEEEEE;
  uint64_t source = 0xEEEEEEEE, destination = 0xEEEEEEEE;
  const bool ended = platform.Run([&] {
    // What the image entry stores first: a look-up may set up the PSP's
    // window, and the map it adds for it takes pool.
    FirmwareServicesStore(reinterpret_cast<EfiHandle>(platform.firmware().ImageHandle()),
                          reinterpret_cast<EfiSystemTable*>(platform.firmware().SystemTable()));
    located = FlashDirectoryLocate(&psp, &bios);
    found = BiosDirectoryEntryFind(type, &typeWord, &source, &entrySize, &destination);
  });
  if (!ended) std::abort();  // ran away (or halted in a trap that should return)
  CheckReads(platform.hardware());

  if (located && (FlashWord(*flash, psp) != kPspDirectoryMagic || FlashWord(*flash, bios) != kBiosDirectoryMagic))
    std::abort();
  if (!found && (typeWord != 0xEEEEEEEE || source != 0xEEEEEEEE || entrySize != 0xEEEEEEEE ||
                 destination != 0xEEEEEEEE))
    std::abort();
  if (found && (!located || uint8_t(typeWord) != type)) std::abort();
  return 0;
}
