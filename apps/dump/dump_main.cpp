// MemInfoDump.efi: a UEFI shell application that prints the record the driver
// published under MemInfoProtocol, its channel map snapshot and its chip-select
// table, in the text of meminfo-sim's report (apps/dump/record_text.h), so a
// board's dump compares with a scenario's prediction (meminfo-sim compare).
// Not part of the driver: it links only the renderer and the C runtime routines.
#include "apps/dump/record_text.h"
#include "uefi/console.h"

namespace {

// The console's text, a line at a time, as UCS-2 with CR LF line ends.
struct Console {
  static constexpr size_t kCapacity = 128;
  EfiSimpleTextOutput* out;
  size_t used;
  Char16 line[kCapacity];
};

void Flush(Console& c) {
  c.line[c.used] = 0;
  if (c.out != nullptr && c.used != 0) c.out->OutputString(c.out, c.line);
  c.used = 0;
}

void ConsoleWrite(void* context, const char* text, size_t length) {
  Console& c = *static_cast<Console*>(context);
  for (size_t i = 0; i < length; ++i) {
    if (c.used + 3 > Console::kCapacity) Flush(c);
    if (text[i] == '\n') {
      c.line[c.used++] = '\r';
      c.line[c.used++] = '\n';
      Flush(c);
    } else {
      c.line[c.used++] = Char16(uint8_t(text[i]));
    }
  }
}

// The record and the blocks it points to lie in memory as the driver left
// them. A null pointer, or a range that wraps around the address space or
// starts in the first page, is not read.
const uint8_t* MemoryBytes(void*, uint64_t address, uint64_t size) {
  if (address < 0x1000 || address + size < address) return nullptr;
  return reinterpret_cast<const uint8_t*>(address);
}

// The handle the record is installed on, and whether it is an image's (the
// driver installs it on its own image handle); 0 when the firmware does not say.
uint64_t RecordHandle(EfiBootServices* bs, bool* onImage) {
  EfiHandle handles[8];
  uint64_t size = sizeof handles;
  *onImage = false;
  const auto locate = BootService<EfiLocateHandle>(bs->LocateHandle);
  if (EfiError(locate(kLocateByProtocol, &MemInfoProtocolGuid, nullptr, &size, handles)) || size < sizeof(EfiHandle))
    return 0;
  void* loaded = nullptr;
  *onImage = !EfiError(BootService<EfiHandleProtocol>(bs->HandleProtocol)(handles[0], &kLoadedImageProtocolGuid, &loaded));
  return reinterpret_cast<uint64_t>(handles[0]);
}

}  // namespace

extern "C" EfiStatus EFIAPI DumpEntry(EfiHandle, EfiSystemTable* systemTable) {
  Console console;
  console.out = static_cast<EfiSimpleTextOutput*>(systemTable->ConOut);
  console.used = 0;
  const dump::Sink sink{ConsoleWrite, &console};
  EfiBootServices* bs = systemTable->BootServices;

  void* record = nullptr;
  if (EfiError(bs->LocateProtocol(&MemInfoProtocolGuid, nullptr, &record)) || record == nullptr) {
    dump::RecordAbsentText(sink);
    Flush(console);
    return EFI_NOT_FOUND;
  }
  dump::RecordPlace place{reinterpret_cast<uint64_t>(record), 0, false};
  place.Handle = RecordHandle(bs, &place.OnImageHandle);
  dump::DumpText(sink, place, dump::Reader{MemoryBytes, nullptr});
  Flush(console);
  return EFI_SUCCESS;
}
