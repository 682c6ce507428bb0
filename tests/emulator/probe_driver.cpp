#include "tests/emulator/probe_driver.h"

#include "diag/debug_print.h"
#include "diag/trap.h"
#include "platform/firmware_services.h"
#include "platform/hw.h"
#include "psp/flash.h"
#include "uefi/pcd.h"

namespace {

using namespace probe;

constexpr Guid kProbeProtocolGuid = {0x5E1F0A11, 0x2B3C, 0x4D5E, {0x80, 0x91, 0xA2, 0xB3, 0xC4, 0xD5, 0xE6, 0xF7}};
constexpr Guid kProbeGroupGuid = {0x5E1F0A12, 0x2B3C, 0x4D5E, {0x80, 0x91, 0xA2, 0xB3, 0xC4, 0xD5, 0xE6, 0xF8}};
constexpr Guid kTopologyGuid = {0xD90DB665, 0x973F, 0x4039, {0xBE, 0x4D, 0xAF, 0xBA, 0xD8, 0x73, 0x8D, 0x15}};

struct Topology {
  EfiStatus(EFIAPI* SystemInfo)(void* self, uint64_t* sockets, uint64_t* dies, void* reserved);
  EfiStatus(EFIAPI* SocketInfo)(void* self, uint64_t socket, uint64_t* dies, void*, void*, void*);
  EfiStatus(EFIAPI* Unused)();
  EfiStatus(EFIAPI* RootBusInfo)(void* self, uint64_t socket, uint64_t die, uint64_t index, void*, uint64_t* bus,
                                 void*);
};

IMAGE_STATE EfiBootServices* gBs;
IMAGE_STATE EfiEvent gOuter;
IMAGE_STATE EfiEvent gInner;
IMAGE_STATE void* gRegistration;
IMAGE_STATE uint64_t gSum;
IMAGE_STATE uint32_t gData[4];

void Mark(uint32_t value) { hw::Out32(kMarkPort, value); }
void Mix(uint64_t value) {
  gSum = gSum * 1000003u + value;
  Mark(static_cast<uint32_t>(value) ^ static_cast<uint32_t>(value >> 32));
}

// Hides a value from the optimiser, so faults below are made, not folded away.
template <class T>
T Opaque(T v) {
  __asm__ __volatile__("" : "+r"(v));
  return v;
}

EfiStatus SeamTour() {
  Mix(hw::In8(0x61));
  Mix(hw::In16(0x62));
  Mix(hw::In32(0xCFC));
  hw::Out8(0x70, 0x8F);
  hw::Out16(0x72, 0x1234);
  hw::Out32(0xCF8, 0x80000000u);
  hw::Out32Tagged(0x005A00B2u, 0xCAFEF00Du, 0x12345678u);
  // The chipset window, configuration space (plain, the root's index/data window,
  // a function nobody decodes), wide accesses and the space below DRAM.
  Mix(hw::Read8(0xFED8036A));
  Mix(hw::Read16(0xFED8036A));
  hw::Write16(0xFED8036A, 0x00B0);
  Mix(hw::Read16(0xFED8036A));
  Mix(hw::Read32(0xF00C0000));
  Mix(hw::Read64(0xF00C0000));
  hw::Write32(0xF00000B8, 0x13B20000u);
  hw::Write32(0xF00000BC, 0x0000AA55u);
  Mix(hw::Read32(0xF00000BC));
  hw::Write64(0xF00C0040, 0x1122334455667788ull);
  Mix(hw::Read64(0xF00C0040));
  hw::Write8(0xF00C0048, 0x5A);
  Mix(hw::Read8(0xF00C0048));
  Mix(hw::Read32(0xF0F00000));
  Mix(hw::Read64(0xE0000000));
  Mix(hw::Read16(0x00100000));
  hw::Write32(0x00100000, 1);
  // Where nothing is (page 0, above 4 GiB), and reads the emulator splits
  // (unaligned in MMIO, across a page in DRAM): each reaches the model once, whole.
  Mix(hw::Read32(0x8));
  hw::Write32(0x10, 0x5A5A5A5Au);
  Mix(hw::Read64(0x200000000));
  hw::Write16(0x200000010, 0x1234);
  Mix(hw::Read32(0xFFE));
  Mix(hw::Read32(0xF00C0042));
  Mix(hw::Read64(0xF00C0044));
  hw::Write32(0xF00C0049, 0xA1B2C3D4u);
  Mix(hw::Read64(0xF00C0046));
  Mix(hw::Read16(0xFED80369));
  Mix(hw::Read32(0x43000FFE));
  Mix(hw::Read64(0x43001FFC));
  // Processor registers.
  Mix(hw::Rdmsr(0xC0010064));
  hw::Wrmsr(0xC0010067, 0x8000000000001234ull);
  Mix(hw::Rdmsr(0xC0010067));
  hw::CpuidRegs r = hw::Cpuid(0x80000001, 0);
  Mix(r.Eax);
  Mix(r.Ebx);
  Mix(r.Ecx);
  Mix(r.Edx);
  r = hw::Cpuid(7, 1);
  Mix(r.Eax ^ r.Ebx ^ r.Ecx ^ r.Edx);
  Mix(hw::Rdtsc());
  hw::Pause();
  Mix(hw::Rdtsc());
  Mix(hw::ReadDr2());
  hw::WriteDr2(0x1000);
  Mix(hw::ReadDr2());
  Mix(hw::ReadDr3());
  hw::WriteDr3(0x2000);
  Mix(hw::ReadDr3());
  Mix(hw::ReadDr7());
  hw::WriteDr7(0x00000401);
  Mix(hw::ReadDr7());
  const uint64_t cr4 = hw::ReadCr4();
  hw::WriteCr4(cr4 | 8);
  Mix(hw::ReadCr4());
  hw::WriteCr4(cr4);
  Mark(0x5EA70000u);
  return gSum & ~kEfiErrorBit;
}

// ---- services ----

void EFIAPI InnerNotify(EfiEvent, void* context) {
  Mark(0x11000000u | *static_cast<uint32_t*>(context));
  ++*static_cast<uint32_t*>(context);
}

// Runs at TPL_CALLBACK and signals the TPL_NOTIFY event, whose function therefore
// runs before SignalEvent returns here.
void EFIAPI OuterNotify(EfiEvent, void* context) {
  uint32_t* count = static_cast<uint32_t*>(context);
  Mark(0x22000000u | *count);
  Mix(gBs->SignalEvent(gInner));
  Mark(0x22010000u | *count);
  ++*count;
}

void EFIAPI ProtocolNotify(EfiEvent, void*) {
  void* iface = nullptr;
  Mix(gBs->LocateProtocol(&kProbeProtocolGuid, gRegistration, &iface));
  Mix(iface == &gData[0]);
  // Once each: the second lookup finds nothing new.
  Mix(gBs->LocateProtocol(&kProbeProtocolGuid, gRegistration, &iface));
  Mix(reinterpret_cast<uint64_t>(iface));
}

void EFIAPI GroupNotify(EfiEvent, void* context) { Mark(0x33000000u | static_cast<uint32_t>(reinterpret_cast<uint64_t>(context))); }

uint64_t Twice(uint64_t v) { return 2 * v; }
uint64_t Square(uint64_t v) { return v * v; }
uint64_t Negate(uint64_t v) { return 0 - v; }
// In read-only data, filled in by DIR64 relocations at load.
using Operation = uint64_t (*)(uint64_t);
const Operation kOperations[] = {Twice, Square, Negate};

EfiStatus ServiceTour(EfiSystemTable* st) {
  EfiBootServices* bs = gBs;
  // Pool.
  void* block = nullptr;
  Mix(bs->AllocatePool(EfiBootServicesData, 64, &block));
  Mix(block != nullptr);
  Mix(bs->FreePool(block));
  Mix(bs->FreePool(block));
  Mix(bs->AllocatePool(EfiConventionalMemory, 64, &block));
  Mix(bs->AllocatePool(EfiBootServicesData, 16, nullptr));

  // Nested notify functions, straight from SignalEvent and deferred to RestoreTpl.
  uint32_t outerCount = 0, innerCount = 0x100;
  Mix(bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OuterNotify, &outerCount, &gOuter));
  Mix(bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, InnerNotify, &innerCount, &gInner));
  Mix(bs->CreateEvent(EVT_NOTIFY_SIGNAL, 5, InnerNotify, &innerCount, nullptr));
  const uint64_t keep1 = Opaque(0x0123456789ABCDEFull), keep2 = Opaque(0xFEDCBA9876543210ull);
  Mix(bs->SignalEvent(gOuter));
  Mix(keep1 ^ keep2);
  const EfiTpl old = bs->RaiseTpl(TPL_NOTIFY);
  Mix(old);
  Mix(bs->SignalEvent(gOuter));
  Mark(0x44000000u | outerCount);
  bs->RestoreTpl(old);
  Mark(0x44010000u | outerCount);
  Mix(keep1 + keep2);
  Mix(outerCount);
  Mix(innerCount);

  // Protocols: a registration, an installation that signals it, lookups.
  EfiEvent protocolEvent = nullptr;
  Mix(bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, ProtocolNotify, nullptr, &protocolEvent));
  Mix(bs->RegisterProtocolNotify(&kProbeProtocolGuid, protocolEvent, &gRegistration));
  Mix(bs->RegisterProtocolNotify(nullptr, protocolEvent, &gRegistration));
  EfiHandle handle = nullptr;
  Mix(bs->InstallProtocolInterface(&handle, &kProbeProtocolGuid, EFI_NATIVE_INTERFACE, &gData[0]));
  Mix(handle != nullptr);
  Mix(bs->InstallProtocolInterface(&handle, &kProbeProtocolGuid, EFI_NATIVE_INTERFACE, &gData[1]));
  Mix(bs->InstallProtocolInterface(nullptr, &kProbeProtocolGuid, EFI_NATIVE_INTERFACE, &gData[1]));
  void* iface = nullptr;
  Mix(bs->LocateProtocol(&kProbeProtocolGuid, nullptr, &iface));
  Mix(iface == &gData[0]);
  Mix(bs->LocateProtocol(&kProbeGroupGuid, nullptr, &iface));
  Mix(reinterpret_cast<uint64_t>(iface));
  Mix(bs->LocateProtocol(nullptr, nullptr, &iface));

  // An event group.
  EfiEvent member = nullptr;
  Mix(bs->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, GroupNotify, reinterpret_cast<void*>(0x77), &kProbeGroupGuid,
                        &member));
  Mix(bs->SignalEvent(member));
  Mix(bs->CloseEvent(member));
  Mix(bs->CloseEvent(member));
  Mix(bs->SignalEvent(member));

  // PCD, every width, values wider than the parameter.
  PcdProtocol* pcd = nullptr;
  Mix(bs->LocateProtocol(&kPcdProtocolGuid, nullptr, reinterpret_cast<void**>(&pcd)));
  if (pcd != nullptr) {
    Mix(pcd->Get8(500));
    Mix(pcd->Get16(500));
    Mix(pcd->Get32(500));
    Mix(pcd->Get64(500));
    Mix(pcd->GetBool(501));
    Mix(pcd->Set8(510, static_cast<uint8_t>(Opaque(0x1FFu))));
    Mix(pcd->Set16(511, 0xBEEF));
    Mix(pcd->Set32(512, 0xDEADBEEFu));
    Mix(pcd->Set64(513, 0x8000000000000001ull));
    Mix(pcd->SetBool(514, 2));
    Mix(pcd->Get64(513));
    // A slot the platform leaves unmodelled; called with the type the host's
    // stand-in has, so the host run stays defined behaviour.
    Mix(reinterpret_cast<EfiStatus(EFIAPI*)()>(pcd->GetSize)());
  }

  // The fabric topology protocol, arguments on the stack included.
  Topology* topo = nullptr;
  Mix(bs->LocateProtocol(&kTopologyGuid, nullptr, reinterpret_cast<void**>(&topo)));
  if (topo != nullptr) {
    uint64_t sockets = 0, dies = 0, bus = 0xAA;
    Mix(topo->SystemInfo(topo, &sockets, &dies, nullptr));
    Mix(sockets);
    Mix(dies);
    Mix(topo->SocketInfo(topo, 0, &dies, nullptr, nullptr, nullptr));
    Mix(dies);
    Mix(topo->SocketInfo(topo, 9, &dies, nullptr, nullptr, nullptr));
    Mix(topo->Unused());
    Mix(topo->RootBusInfo(topo, 0, 1, 0, nullptr, &bus, nullptr));
    Mix(bus);
    Mix(topo->RootBusInfo(topo, 0, 1, 1, nullptr, &bus, nullptr));
  }

  // A slot the platform does not model, and a call through a pointer table.
  Mix(reinterpret_cast<EfiStatus(EFIAPI*)()>(bs->CheckEvent)());
  uint64_t v = Opaque(uint64_t{3});
  for (Operation op : kOperations) Mix(v = op(v));
  Mix(st->Hdr.Signature);
  Mark(0x5E570000u);
  return gSum & ~kEfiErrorBit;
}

// 1 KiB a level, written at its lowest byte, and not a tail call.
uint32_t Recurse(uint32_t n) {
  volatile uint8_t frame[1024];
  frame[0] = static_cast<uint8_t>(n);
  __asm__ __volatile__("" : : "r"(frame) : "memory");  // the whole frame escapes
  return n == 0 ? frame[0] : Opaque(Recurse(n - 1)) + frame[0];
}

// Every channel on, whatever the build variant says.
EfiStatus DebugPrintTour() {
  DebugSettings s = {1, 1, 0, 1, 1, 0x80, kDefaultDebugLevelMask, 0x3F8};
  if (hw::In8(kOptionPort) == 1) s.SerialBase = kMmioUartBase;
  DebugPrintInitWith(s, DebugChannelList);
  DebugPrintWith(s, kDebugLevelCore, "probe %a %x %-6d|%g %r %,d\n", "text", 0x1234u, -42, &kProbeProtocolGuid,
                 EFI_NOT_FOUND, 1234567);
  DebugPrintWith(s, uint64_t{1} << 1, "a level no mask lets through\n");
  Mark(0xDB000000u);
  return EFI_SUCCESS;
}

// Every lookup's result and outputs go to the mark port. The recovery check
// places the PSP window when it has none, with a heap buffer from the pool.
EfiStatus FlashTour(EfiHandle image, EfiSystemTable* systemTable) {
  FirmwareServicesStore(image, systemTable);
  uint32_t psp = 0, bios = 0;
  Mix(FlashDirectoryLocate(&psp, &bios));
  Mix(psp);
  Mix(bios);
  const uint8_t types[] = {kBiosEntryDrux, kBiosEntryDruxCopy, kBiosEntryLevel2, 0x5A};
  for (uint8_t type : types) {
    uint32_t typeWord = 0, size = 0;
    uint64_t source = 0, destination = 0;
    Mix(BiosDirectoryEntryFind(type, &typeWord, &source, &size, &destination));
    Mix(typeWord);
    Mix(source);
    Mix(size);
    Mix(destination);
  }
  Mix(PspRecoveryCheck());
  return gSum & ~kEfiErrorBit;
}

}  // namespace

extern "C" EfiStatus EFIAPI ProbeEntry(EfiHandle image, EfiSystemTable* systemTable) {
  gBs = systemTable->BootServices;
  gSum = 0;
  switch (hw::In8(kCasePort)) {
    case kSeamTour:
      return SeamTour();
    case kTrap:
      Mark(0x7AA70000u);
      FatalTrap(kTrapCode);
      Mark(0x7AA70001u);
      return EFI_ABORTED;
    case kServiceTour:
      return ServiceTour(systemTable);
    case kDebugPrint:
      return DebugPrintTour();
    case kFlashLookup:
      return FlashTour(image, systemTable);
    case kNullRead:
      return *reinterpret_cast<volatile uint32_t*>(Opaque(uint64_t{8}));
    case kRunaway:
      for (;;) __asm__ __volatile__("");
    case kInvalidInstruction:
      __builtin_trap();
    case kReadOnlyWrite:
      *reinterpret_cast<volatile uint64_t*>(Opaque(reinterpret_cast<uint64_t>(&kOperations[1]))) = 0;
      return EFI_SUCCESS;
    case kHalt:
      __asm__ __volatile__("hlt");
      return EFI_SUCCESS;
    case kBreakpoint:
      __builtin_debugtrap();
      return EFI_SUCCESS;
    case kExecuteData: {
      // Pool memory holds data only.
      void* block = nullptr;
      if (EfiError(gBs->AllocatePool(EfiBootServicesData, 16, &block))) return EFI_OUT_OF_RESOURCES;
      *static_cast<volatile uint8_t*>(block) = 0xC3;
      reinterpret_cast<void (*)()>(Opaque(reinterpret_cast<uint64_t>(block)))();
      return EFI_SUCCESS;
    }
    case kBadOutPointer:
      return gBs->AllocatePool(EfiBootServicesData, 16, reinterpret_cast<void**>(Opaque(uint64_t{0x10})));
    case kPoolIntoImage: {
      void* block = nullptr;
      return gBs->AllocatePool(EfiBootServicesData, 60ull << 20, &block);
    }
    case kStackOverflow:
      return Recurse(Opaque(1000u));
    case kExecuteNothing:
      reinterpret_cast<void (*)()>(Opaque(uint64_t{0x10}))();
      return EFI_SUCCESS;
    case kStackNothing:
      __asm__ __volatile__("mov %%rsp, %%rbx\n\tmov %0, %%rsp\n\tpush %%rax\n\tmov %%rbx, %%rsp"
                           :
                           : "r"(Opaque(uint64_t{0x100}))
                           : "rbx", "memory");
      return EFI_SUCCESS;
    default:
      return EFI_UNSUPPORTED;
  }
}
