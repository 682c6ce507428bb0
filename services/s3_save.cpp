#include "services/s3_save.h"

#include "diag/debug_print.h"
#include "diag/trap.h"
#include "platform/access.h"
#include "platform/firmware_services.h"
#include "platform/hw.h"
#include "platform/mem.h"
#include "platform/processor_registers.h"
#include "services/heap.h"
#include "uefi/system_table.h"

IMAGE_STATE VyrS3LibPrivateData* mVyrS3LibPrivateData;
IMAGE_STATE S3ConfigSpace mS3ConfigSpace;
IMAGE_STATE EfiEvent mS3BootScriptLockEvent;
IMAGE_STATE EfiEvent mS3CloseTableEvent;

namespace {
// Bus range n: 2^n MiB. A range of 4 GiB or more does not fit the 32-bit count
// and is kept as 0.
uint32_t ConfigSpaceSize(uint64_t msr) {
  const uint64_t megabytes = 1ull << MsrConfigSpaceBase::BusRange::Get(msr);
  return static_cast<uint32_t>(megabytes << 20);
}

// Every path that closes one of the two events forgets its handle, so that a
// later tear-down never closes it a second time. A notification without an
// event closes nothing. Out of line: both notify functions share one copy.
__attribute__((noinline)) void CloseOwnEvent(EfiEvent event) {
  if (event == nullptr) return;
  mFirmwareServices.BootServices->CloseEvent(event);
  if (event == mS3BootScriptLockEvent) mS3BootScriptLockEvent = nullptr;
  if (event == mS3CloseTableEvent) mS3CloseTableEvent = nullptr;
}

// The table's fields, by address: the offsets come from the table itself, so
// they are added as numbers, and the fields they lead to may lie at any
// alignment.
typedef uint16_t __attribute__((aligned(1), may_alias)) Unaligned16;
typedef uint32_t __attribute__((aligned(1), may_alias)) Unaligned32;
typedef uint64_t __attribute__((aligned(1), may_alias)) Unaligned64;

uint32_t Read32At(uint64_t address) { return *static_cast<const Unaligned32*>(hw::PhysToPtr(address)); }
uint64_t Read64At(uint64_t address) { return *static_cast<const Unaligned64*>(hw::PhysToPtr(address)); }
void Write16At(uint64_t address, uint16_t value) { *static_cast<Unaligned16*>(hw::PhysToPtr(address)) = value; }

// Tear-down closes an event this driver still holds and forgets it; a close
// that fails traps. Out of line: one copy serves both events.
__attribute__((noinline)) void TeardownClose(EfiEvent* event, uint32_t trapCode) {
  if (*event == nullptr) return;
  if (EfiError(mFirmwareServices.BootServices->CloseEvent(*event))) FatalTrap(trapCode);
  *event = nullptr;
}

bool SignatureSound(uint64_t table) {
  return Read32At(table + offsetof(S3SaveTable, Signature)) == kS3SaveTableSignature;
}
bool EndMarkerSound(uint64_t table) {
  return Read32At(table + Read64At(table + offsetof(S3SaveTable, EndMarkerOffset))) == kS3SaveTableEndMarker;
}
}  // namespace

EfiStatus S3SaveLibInit() {
  EfiBootServices* bs = mFirmwareServices.BootServices;
  const uint64_t published = PcdGet64(PcdS3PrivateData);

  const uint64_t msr = MsrRead(MsrConfigSpaceBase::kAt);
  if (MsrConfigSpaceBase::Enable::IsSet(msr)) {
    mS3ConfigSpace.Base = msr & MsrConfigSpaceBase::Base::kMask;
    mS3ConfigSpace.Size = ConfigSpaceSize(msr);
  } else {
    FatalTrap(kTrapS3ConfigSpaceDisabled);
  }

  if (published != 0) {
    mVyrS3LibPrivateData = static_cast<VyrS3LibPrivateData*>(hw::PhysToPtr(published));
    return EFI_SUCCESS;
  }

  DebugPrint(kDebugLevelCore, "VyrS3LibPrivateData allocation\n");
  auto* record = static_cast<VyrS3LibPrivateData*>(PoolAllocRuntimeZeroed());
  if (record == nullptr) {
    FatalTrap(kTrapS3RecordAllocation);
    DebugPrint(kDebugLevelCore, "VyrS3LibPrivateData allocate fail\n");
    return EFI_OUT_OF_RESOURCES;
  }
  // The record comes cleared: no table, not locked, not closed.
  // Published before any event exists: a notification during the signal below
  // already finds the record.
  PcdSet64(PcdS3PrivateData, hw::PtrToPhys(record));
  mVyrS3LibPrivateData = record;

  // The signal runs the notify function at once, for a protocol installed before
  // this driver started, and the registration at every later installation. A
  // handle the firmware did not give is not passed on to it.
  EfiEvent lock = nullptr;
  bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, BootScriptLockNotify, nullptr, &lock);
  if (lock != nullptr) {
    mS3BootScriptLockEvent = lock;
    void* registration = nullptr;
    bs->RegisterProtocolNotify(&kDxeSmmReadyToLockProtocolGuid, lock, &registration);
    bs->SignalEvent(lock);
  } else {
    FatalTrap(kTrapS3LockEvent);
    DebugPrint(kDebugLevelCore, "VyrS3SaveLib create BootScriptLock Event fail\n");
    return EFI_UNSUPPORTED;
  }

  EfiEvent close;
  EfiStatus status = ReadyToBootEventCreate(TPL_CALLBACK, VyrS3SaveCloseTableCallBack, &close);
  if (status != EFI_SUCCESS) {
    FatalTrap(kTrapS3CloseTableEvent);
    if (EfiError(status)) {
      DebugPrint(kDebugLevelCore, "VyrS3SaveLib create CloseTable Event fail\n");
      return EFI_UNSUPPORTED;
    }
  }
  mS3CloseTableEvent = close;
  return EFI_SUCCESS;
}

void EFIAPI BootScriptLockNotify(EfiEvent event, void*) {
  void* readyToLock;
  // The protocol carries no interface: its installation is the message.
  if (EfiError(ProtocolLocate(&kDxeSmmReadyToLockProtocolGuid, &readyToLock)))
    return;
  CloseOwnEvent(event);
  if (mVyrS3LibPrivateData != nullptr) mVyrS3LibPrivateData->BootScriptLocked = 1;
}

// An agent that takes a trap over may mend the table: each field is read again
// after its trap returns.
uint32_t S3SaveTableCheck() {
  const uint64_t table = mVyrS3LibPrivateData->Table;
  if (!SignatureSound(table)) {
    FatalTrap(kTrapS3TableSignature);
    if (!SignatureSound(table)) {
      DebugPrint(kDebugLevelCore, "VyrS3Lib table Signature check fail\n");
      return kS3TableBroken;
    }
  }
  if (!EndMarkerSound(table)) {
    FatalTrap(kTrapS3TableBoundary);
    if (!EndMarkerSound(table)) {
      DebugPrint(kDebugLevelCore, "VyrS3Lib table boundary check fail\n");
      return kS3TableBroken;
    }
  }
  return kS3TableSound;
}

void EFIAPI VyrS3SaveCloseTableCallBack(EfiEvent event, void*) {
  EfiBootServices* bs = mFirmwareServices.BootServices;
  CloseOwnEvent(event);
  DebugPrint(kDebugLevelCore, "VyrS3SaveCloseTableCallBack\n");

  VyrS3LibPrivateData* record = mVyrS3LibPrivateData;
  if (record == nullptr || record->Table == 0) {
    DebugPrint(kDebugLevelCore, "mVyrS3LibPrivateData is NULL\n");
    return;
  }
  if (S3SaveTableCheck() != kS3TableSound) return;

  const uint64_t table = record->Table;
  Write16At(table + Read64At(table + offsetof(S3SaveTable, TerminatorOffset)), kS3SaveTableTerminator);

  const uint64_t bufferAddress = PcdGet64(PcdS3CommBuffer);
  if (bufferAddress == 0) {
    FatalTrap(kTrapS3NoCommBuffer);
    return;
  }
  auto* message = static_cast<S3CommunicateBuffer*>(hw::PhysToPtr(bufferAddress));
  // Every field is written, the reserved word as 0.
  message->HeaderGuid = kS3SaveSmmHandlerGuid;
  message->MessageLength = kS3MessageLength;
  message->Command = kS3CommandCloseTable;
  message->Reserved = 0;
  message->PrivateData = hw::PtrToPhys(record);

  void* iface;
  const EfiStatus status = ProtocolLocate(&kSmmCommunicationProtocolGuid, &iface);
  if (status != EFI_SUCCESS) FatalTrap(kTrapS3NoSmmCommunication);
  if (EfiError(status) || iface == nullptr) {
    DebugPrint(kDebugLevelCore, "VyrS3SaveLib locate SmmCommunicationProtocol fail \n");
    return;
  }
  auto* smm = static_cast<SmmCommunicationProtocol*>(iface);
  uint64_t size = sizeof *message;
  smm->Communicate(smm, message, &size);

  record->TableClosed = 1;
  bs->FreePool(hw::PhysToPtr(table));
}

void S3SaveLibTeardown() {
  TeardownClose(&mS3BootScriptLockEvent, kTrapS3CloseLockEvent);
  TeardownClose(&mS3CloseTableEvent, kTrapS3CloseCloseTableEvent);
}
