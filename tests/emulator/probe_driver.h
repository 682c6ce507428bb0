// A small driver that exercises the firmware services, the hardware seam and the
// emulator's fault handling. It is built twice: into a probe image (with the
// driver's own objects, by the image compiler) and into the emulator tests (with
// the host seam), so both backends run the same code. The case comes from port
// 0x99, which a scenario sets with `[ports] 0x99 = N`.
#pragma once
#include "uefi/system_table.h"

namespace probe {
constexpr uint16_t kCasePort = 0x99;
constexpr uint16_t kMarkPort = 0x84;  // progress marks and results, for the access log

enum Case : uint8_t {
  kSeamTour = 1,     // every seam function once; returns a checksum of what it read
  kTrap = 2,         // the fatal trap: halts, or returns when an agent answers
  kServiceTour = 3,  // every modelled service, nested notify functions, pointer tables
  kDebugPrint = 4,   // debug print on every channel; port 0x98 = 1 puts the serial UART at kMmioUartBase
  kFlashLookup = 5,  // boot-flash directory lookups and the PSP recovery check
  // A plain load through a null pointer: the emulator answers all ones, as the
  // bus does where nothing is (the host build would crash on it).
  kNullRead = 10,
  // Faults the emulator must report (the host build would crash or hang on them).
  kRunaway = 11,
  kInvalidInstruction = 12,
  kReadOnlyWrite = 13,
  kHalt = 14,
  kBreakpoint = 15,
  kExecuteData = 16,
  kBadOutPointer = 17,
  kStackOverflow = 18,
  kPoolIntoImage = 19,
  kExecuteNothing = 20,  // a call to an address where nothing is
  kStackNothing = 21,    // a push with the stack pointer where nothing is
};
constexpr uint32_t kTrapCode = 0xC0DE0002;
constexpr uint16_t kOptionPort = 0x98;
constexpr uint64_t kMmioUartBase = 0xFEB00000;  // invented
}  // namespace probe

extern "C" EfiStatus EFIAPI ProbeEntry(EfiHandle imageHandle, EfiSystemTable* systemTable);
