// Entry of the print probe image: the driver's objects linked with this entry
// instead of the driver's, which prints one message. Built with the image's
// compiler and flags, so the image tests can see whether the build variant lets
// message texts and the format engine into an image.
#include "diag/debug_print.h"
#include "uefi/system_table.h"

extern "C" EfiStatus EFIAPI PrintProbeEntry(EfiHandle, EfiSystemTable*) {
  DebugPrintInit();
  DebugPrint(kDebugLevelCore, "print probe %a %x\n", "text", 0x1234u);
  return EFI_SUCCESS;
}
