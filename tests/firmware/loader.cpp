// The firmware-test loader: a UEFI application that the firmware boots from
// EFI/BOOT/BOOTX64.EFI on the test's disk. It
//   1. reads PCD.BIN (pairs of little-endian u64: token, value) and either
//      DRIVER.EFI or VOLUME.FV from the root of that disk;
//   2. puts a stand-in PCD protocol in place of the firmware's (the firmware
//      numbers its tokens differently), serving PCD.BIN's values and logging
//      every call as it happens;
//   3. loads and starts DRIVER.EFI and logs its status; or hands VOLUME.FV to
//      the firmware's DXE dispatcher, which evaluates the dependency
//      expressions of the driver files in it and starts those it allows, and
//      logs the dispatcher's status;
//   4. logs the 40 bytes published under MemInfoProtocolGuid, if any, puts the
//      firmware's PCD protocol back and shuts the machine down.
// With RECORD.BIN on the disk it does something else: it publishes a record
// itself and runs the record dump application (DUMP.EFI, MemInfoDump.efi) on
// it (RunDump below).
// Every line goes straight to the first serial port's data register, polled
// and unbuffered: it needs no firmware service, works at any task priority
// (the driver may call the PCD from a notify function) and lands in the same
// ordered stream of port writes as the driver's own.
#include "core/channel_map.h"
#include "core/chip_select.h"
#include "core/meminfo.h"
#include "platform/hw.h"
#include "uefi/image_services.h"
#include "uefi/pcd.h"

namespace {

constexpr uint16_t kUartData = 0x3F8;
constexpr uint16_t kUartLineStatus = 0x3FD;
constexpr uint8_t kTransmitterEmpty = 0x20;
constexpr uint64_t kMaxDriverBytes = 4u << 20;
constexpr uint64_t kMaxPcdEntries = 64;

void PutChar(char c) {
  for (int i = 0; i < 100000 && (hw::In8(kUartLineStatus) & kTransmitterEmpty) == 0; ++i) {
  }
  hw::Out8(kUartData, static_cast<uint8_t>(c));
}
void Put(const char* s) {
  while (*s) PutChar(*s++);
}
void PutHex(uint64_t v) {
  Put("0x");
  int shift = 60;
  while (shift > 0 && ((v >> shift) & 0xF) == 0) shift -= 4;
  for (; shift >= 0; shift -= 4) PutChar("0123456789ABCDEF"[(v >> shift) & 0xF]);
}
void PutDec(uint64_t v) {
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n > 0) PutChar(digits[--n]);
}
void Line(const char* text) {
  Put("meminfo-loader: ");
  Put(text);
}
void End() { Put("\r\n"); }

// ---- the stand-in PCD ----

struct PcdEntry {
  uint64_t Token;
  uint64_t Value;
};
IMAGE_STATE PcdEntry gPcd[kMaxPcdEntries];
IMAGE_STATE uint64_t gPcdCount;

PcdEntry* Find(uint64_t token) {
  for (uint64_t i = 0; i < gPcdCount; ++i)
    if (gPcd[i].Token == token) return &gPcd[i];
  return nullptr;
}

// A get returns the value cut to its width (a boolean is one byte); a token
// not in the table reads 0.
uint64_t Get(const char* name, uint64_t token, int bytes) {
  PcdEntry* e = Find(token);
  uint64_t v = e ? e->Value : 0;
  if (bytes < 8) v &= (uint64_t{1} << (8 * bytes)) - 1;
  Line("pcd ");
  Put(name);
  Put(" ");
  PutDec(token);
  Put(" = ");
  PutHex(v);
  End();
  return v;
}

EfiStatus Set(const char* name, uint64_t token, uint64_t value) {
  PcdEntry* e = Find(token);
  if (e == nullptr && gPcdCount < kMaxPcdEntries) {
    e = &gPcd[gPcdCount++];
    e->Token = token;
  }
  if (e != nullptr) e->Value = value;
  Line("pcd ");
  Put(name);
  Put(" ");
  PutDec(token);
  Put(" = ");
  PutHex(value);
  End();
  return e ? EFI_SUCCESS : EFI_OUT_OF_RESOURCES;
}

uint8_t EFIAPI StandInGet8(uint64_t t) { return static_cast<uint8_t>(Get("PcdGet8", t, 1)); }
uint16_t EFIAPI StandInGet16(uint64_t t) { return static_cast<uint16_t>(Get("PcdGet16", t, 2)); }
uint32_t EFIAPI StandInGet32(uint64_t t) { return static_cast<uint32_t>(Get("PcdGet32", t, 4)); }
uint64_t EFIAPI StandInGet64(uint64_t t) { return Get("PcdGet64", t, 8); }
Boolean EFIAPI StandInGetBool(uint64_t t) { return static_cast<Boolean>(Get("PcdGetBool", t, 1)); }
EfiStatus EFIAPI StandInSet8(uint64_t t, uint8_t v) { return Set("PcdSet8", t, v); }
EfiStatus EFIAPI StandInSet16(uint64_t t, uint16_t v) { return Set("PcdSet16", t, v); }
EfiStatus EFIAPI StandInSet32(uint64_t t, uint32_t v) { return Set("PcdSet32", t, v); }
EfiStatus EFIAPI StandInSet64(uint64_t t, uint64_t v) { return Set("PcdSet64", t, v); }
EfiStatus EFIAPI StandInSetBool(uint64_t t, Boolean v) { return Set("PcdSetBool", t, v ? 1 : 0); }
// Every other operation: logged, so the test sees a call it did not predict.
uint64_t EFIAPI StandInOther() {
  Line("pcd PcdUnsupported");
  End();
  return EFI_UNSUPPORTED;
}

IMAGE_STATE PcdProtocol gStandIn;

void BuildStandIn() {
  void** slots = reinterpret_cast<void**>(&gStandIn);
  for (uint64_t i = 0; i < sizeof(gStandIn) / sizeof(void*); ++i) slots[i] = reinterpret_cast<void*>(StandInOther);
  gStandIn.Get8 = StandInGet8;
  gStandIn.Get16 = StandInGet16;
  gStandIn.Get32 = StandInGet32;
  gStandIn.Get64 = StandInGet64;
  gStandIn.GetBool = StandInGetBool;
  gStandIn.Set8 = StandInSet8;
  gStandIn.Set16 = StandInSet16;
  gStandIn.Set32 = StandInSet32;
  gStandIn.Set64 = StandInSet64;
  gStandIn.SetBool = StandInSetBool;
}

// ---- files on the boot disk ----

// Reads a whole file into a new pool block; false when it is absent, larger
// than `limit` or unreadable.
bool ReadFile(EfiBootServices* bs, EfiFile* root, const char16_t* name, uint64_t limit, uint8_t** data,
              uint64_t* size) {
  EfiFile* file = nullptr;
  if (EfiError(root->Open(root, &file, reinterpret_cast<const Char16*>(name), kFileModeRead, 0))) return false;
  void* block = nullptr;
  bool ok = !EfiError(bs->AllocatePool(EfiLoaderData, limit + 1, &block));
  uint64_t total = 0;
  while (ok) {
    uint64_t chunk = limit + 1 - total;
    if (chunk == 0 || EfiError(file->Read(file, &chunk, static_cast<uint8_t*>(block) + total))) {
      ok = false;
    } else if (chunk == 0) {
      break;
    } else {
      total += chunk;
    }
  }
  file->Close(file);
  if (!ok || total > limit) return false;
  *data = static_cast<uint8_t*>(block);
  *size = total;
  return true;
}

[[noreturn]] void Shutdown(EfiSystemTable* st) {
  Line("shutdown");
  End();
  auto* rt = reinterpret_cast<EfiRuntimeServicesTable*>(st->RuntimeServices);
  rt->ResetSystem(EfiResetShutdown, EFI_SUCCESS, 0, nullptr);
  for (;;) hw::Pause();
}

[[noreturn]] void Fail(EfiSystemTable* st, const char* what, EfiStatus status) {
  Line("error: ");
  Put(what);
  Put(" ");
  PutHex(status);
  End();
  Shutdown(st);
}

// RECORD.BIN: a published record's 40 bytes as a scenario's boot left them,
// then the channel map snapshot's bytes when its ChannelMap is not 0, then the
// chip-select table's when its ChipSelectEntries is not 0. The blocks are placed
// in pool memory, the record's two pointers set to where they lie, and the
// record installed under MemInfoProtocolGuid on the loader's image handle (as
// the driver installs it on its own); then DUMP.EFI runs and prints it on the
// console.
[[noreturn]] void RunDump(EfiBootServices* bs, EfiFile* root, EfiHandle imageHandle, EfiSystemTable* st,
                          const uint8_t* data, uint64_t size) {
  constexpr uint64_t kMaxDumpBytes = 1u << 20;
  MemInfoRecord* record = nullptr;
  if (size < sizeof(MemInfoRecord) ||
      EfiError(bs->AllocatePool(EfiBootServicesData, sizeof(MemInfoRecord), reinterpret_cast<void**>(&record))))
    Fail(st, "RECORD.BIN holds no record", size);
  uint8_t* bytes = reinterpret_cast<uint8_t*>(record);
  for (uint64_t i = 0; i < sizeof(MemInfoRecord); ++i) bytes[i] = data[i];
  uint64_t at = sizeof(MemInfoRecord);
  auto place = [&](uint64_t* pointer, uint64_t blockSize) {
    if (*pointer == 0) return;
    void* block = nullptr;
    if (size - at < blockSize || EfiError(bs->AllocatePool(EfiBootServicesData, blockSize, &block)))
      Fail(st, "RECORD.BIN is too short for a block", at);
    for (uint64_t i = 0; i < blockSize; ++i) static_cast<uint8_t*>(block)[i] = data[at + i];
    at += blockSize;
    *pointer = reinterpret_cast<uint64_t>(block);
  };
  place(&record->ChannelMap, sizeof(ChannelMapSnapshot));
  place(&record->ChipSelectEntries, sizeof(ChipSelectTable));
  if (at != size) Fail(st, "RECORD.BIN holds more than the record and its blocks", size);
  EfiHandle handle = imageHandle;
  EfiStatus s = bs->InstallProtocolInterface(&handle, &MemInfoProtocolGuid, EFI_NATIVE_INTERFACE, record);
  if (EfiError(s)) Fail(st, "install the record", s);

  uint8_t* app = nullptr;
  uint64_t appSize = 0;
  if (!ReadFile(bs, root, u"\\DUMP.EFI", kMaxDumpBytes, &app, &appSize)) Fail(st, "read DUMP.EFI", 0);
  EfiHandle child = nullptr;
  s = BootService<EfiLoadImage>(bs->LoadImage)(0, imageHandle, nullptr, app, appSize, &child);
  Line("load dump ");
  PutHex(s);
  End();
  if (!EfiError(s)) {
    s = BootService<EfiStartImage>(bs->StartImage)(child, nullptr, nullptr);
    Line("dump returned ");
    PutHex(s);
    End();
  }
  Shutdown(st);
}

}  // namespace

extern "C" EfiStatus EFIAPI LoaderEntry(EfiHandle imageHandle, EfiSystemTable* st) {
  EfiBootServices* bs = st->BootServices;
  Line("start");
  End();
  BootService<EfiSetWatchdogTimer>(bs->SetWatchdogTimer)(0, 0, 0, nullptr);

  EfiLoadedImage* self = nullptr;
  EfiStatus s = BootService<EfiHandleProtocol>(bs->HandleProtocol)(imageHandle, &kLoadedImageProtocolGuid,
                                                                   reinterpret_cast<void**>(&self));
  if (EfiError(s)) Fail(st, "loaded image", s);
  EfiSimpleFileSystem* fs = nullptr;
  s = BootService<EfiHandleProtocol>(bs->HandleProtocol)(self->DeviceHandle, &kSimpleFileSystemProtocolGuid,
                                                         reinterpret_cast<void**>(&fs));
  if (EfiError(s)) Fail(st, "file system", s);
  EfiFile* root = nullptr;
  s = fs->OpenVolume(fs, &root);
  if (EfiError(s)) Fail(st, "open volume", s);

  uint8_t* recordFile = nullptr;
  uint64_t recordSize = 0;
  if (ReadFile(bs, root, u"\\RECORD.BIN", 8192, &recordFile, &recordSize))
    RunDump(bs, root, imageHandle, st, recordFile, recordSize);

  uint8_t* pcd = nullptr;
  uint64_t pcdSize = 0;
  if (ReadFile(bs, root, u"\\PCD.BIN", kMaxPcdEntries * sizeof(PcdEntry), &pcd, &pcdSize)) {
    for (uint64_t off = 0; off + sizeof(PcdEntry) <= pcdSize; off += sizeof(PcdEntry)) {
      const uint64_t* pair = reinterpret_cast<const uint64_t*>(pcd + off);
      gPcd[gPcdCount++] = {pair[0], pair[1]};
    }
  }
  uint8_t* driver = nullptr;
  uint64_t driverSize = 0;
  const bool fromVolume = ReadFile(bs, root, u"\\VOLUME.FV", kMaxDriverBytes, &driver, &driverSize);
  if (!fromVolume && !ReadFile(bs, root, u"\\DRIVER.EFI", kMaxDriverBytes, &driver, &driverSize))
    Fail(st, "read DRIVER.EFI or VOLUME.FV", 0);
  EfiDxeServices* dxe = nullptr;
  for (uint64_t i = 0; i < st->NumberOfTableEntries; ++i)
    if (GuidEqual(st->ConfigurationTable[i].VendorGuid, kDxeServicesTableGuid))
      dxe = static_cast<EfiDxeServices*>(st->ConfigurationTable[i].VendorTable);
  if (fromVolume && dxe == nullptr) Fail(st, "no DXE services table", 0);

  // The stand-in replaces the firmware's interface on its handle, or is
  // installed on a new handle when the firmware has none.
  BuildStandIn();
  void* original = nullptr;
  EfiHandle pcdHandle = nullptr;
  if (!EfiError(bs->LocateProtocol(&kPcdProtocolGuid, nullptr, &original))) {
    EfiHandle handles[8] = {};
    uint64_t bytes = sizeof(handles);
    s = BootService<EfiLocateHandle>(bs->LocateHandle)(kLocateByProtocol, &kPcdProtocolGuid, nullptr, &bytes,
                                                       handles);
    if (EfiError(s)) Fail(st, "locate PCD handle", s);
    s = EFI_NOT_FOUND;
    for (uint64_t i = 0; i < bytes / sizeof(EfiHandle) && EfiError(s); ++i) {
      pcdHandle = handles[i];
      s = BootService<EfiReinstallProtocolInterface>(bs->ReinstallProtocolInterface)(pcdHandle, &kPcdProtocolGuid,
                                                                                     original, &gStandIn);
    }
    if (EfiError(s)) Fail(st, "replace PCD", s);
    Line("pcd stand-in replaces the firmware's");
  } else {
    original = nullptr;
    s = bs->InstallProtocolInterface(&pcdHandle, &kPcdProtocolGuid, EFI_NATIVE_INTERFACE, &gStandIn);
    if (EfiError(s)) Fail(st, "install PCD", s);
    Line("pcd stand-in installed");
  }
  Put(", ");
  PutDec(gPcdCount);
  Put(" values");
  End();

  EfiHandle child = nullptr;
  if (fromVolume) {
    s = dxe->ProcessFirmwareVolume(driver, driverSize, &child);
    Line("volume ");
  } else {
    s = BootService<EfiLoadImage>(bs->LoadImage)(0, imageHandle, nullptr, driver, driverSize, &child);
    Line("load ");
  }
  PutHex(s);
  End();
  if (!EfiError(s)) {
    Line("start image");
    End();
    if (fromVolume) {
      s = dxe->Dispatch();
      Line("dispatch returned ");
    } else {
      s = BootService<EfiStartImage>(bs->StartImage)(child, nullptr, nullptr);
      Line("entry returned ");
    }
    PutHex(s);
    End();

    void* record = nullptr;
    if (!EfiError(bs->LocateProtocol(&MemInfoProtocolGuid, nullptr, &record)) && record != nullptr) {
      Line("record");
      for (uint64_t i = 0; i < sizeof(MemInfoRecord); ++i) {
        uint8_t b = static_cast<const uint8_t*>(record)[i];
        PutChar(' ');
        PutChar("0123456789ABCDEF"[b >> 4]);
        PutChar("0123456789ABCDEF"[b & 0xF]);
      }
    } else {
      Line("no record");
    }
    End();
  }

  if (original != nullptr)
    BootService<EfiReinstallProtocolInterface>(bs->ReinstallProtocolInterface)(pcdHandle, &kPcdProtocolGuid,
                                                                               &gStandIn, original);
  Shutdown(st);
}
