// A boot-service driver that raises an invalid-opcode exception at once: the
// firmware test must report it as a failure.
#include "uefi/system_table.h"

extern "C" EfiStatus EFIAPI FaultEntry(EfiHandle, EfiSystemTable*) {
  __asm__ __volatile__("ud2");
  return EFI_SUCCESS;
}
