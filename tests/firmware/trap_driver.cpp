// A driver that does on the emulated machine what the shipped image's start-up
// does there once its S3 step is built: read PCD 349, find the enable bit of
// MSR 0xC0010058 clear, and stop in the fatal trap with code 0x00090869. The
// firmware test runs it to prove its trap path (display cycles, the split of
// 32-bit port writes) against the emulator's prediction for the same image.
//
// Its two steps are called through a table of absolute addresses, which only
// the loader's base relocations make right: a copy of this driver without its
// relocations, loaded anywhere but its preferred base, must fail.
#include "diag/trap.h"
#include "platform/firmware_services.h"
#include "platform/hw.h"

namespace {
void ReadPcd() { PcdGet64(349); }
void CheckMsr() {
  if ((hw::Rdmsr(0xC0010058) & 1) == 0) FatalTrap(0x00090869);
}
// volatile: the compiler must call through the table, not the functions directly.
void (*const volatile kSteps[])() = {ReadPcd, CheckMsr};
}  // namespace

extern "C" EfiStatus EFIAPI TrapEntry(EfiHandle imageHandle, EfiSystemTable* systemTable) {
  FirmwareServicesStore(imageHandle, systemTable);
  for (auto step : kSteps) step();
  return EFI_SUCCESS;
}
