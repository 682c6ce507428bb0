// The console's text output as a UEFI application writes to it (the system
// table's ConOut): UCS-2 strings, lines ending in CR LF. Used by the record
// dump application (apps/dump/); the driver prints nothing to the console.
// Our own definitions, with the offsets checked.
#pragma once
#include "uefi/image_services.h"

struct EfiSimpleTextOutput {
  void* Reset;
  EfiStatus(EFIAPI* OutputString)(EfiSimpleTextOutput* Self, const Char16* String);
  void* TestString;
  void* QueryMode;
  void* SetMode;
  void* SetAttribute;
  void* ClearScreen;
  void* SetCursorPosition;
  void* EnableCursor;
  void* Mode;
};
static_assert(offsetof(EfiSimpleTextOutput, OutputString) == 0x08 && offsetof(EfiSimpleTextOutput, TestString) == 0x10 &&
              offsetof(EfiSimpleTextOutput, ClearScreen) == 0x30 && offsetof(EfiSimpleTextOutput, Mode) == 0x48 &&
              sizeof(EfiSimpleTextOutput) == 0x50);
static_assert(offsetof(EfiSystemTable, ConOut) == 0x40 && offsetof(EfiSystemTable, ConsoleOutHandle) == 0x38);
