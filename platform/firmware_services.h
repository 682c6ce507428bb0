// The firmware's services as the driver sees them: the pointers handed to the
// image entry, and typed access to the platform configuration database.
#pragma once
#include "uefi/pcd.h"
#include "uefi/system_table.h"

struct FirmwareServices {
  EfiHandle ImageHandle;
  EfiSystemTable* SystemTable;
  EfiBootServices* BootServices;
  EfiRuntimeServices* RuntimeServices;
};

extern FirmwareServices mFirmwareServices;

// Stores the four pointers; the first start-up step of the image entry.
void FirmwareServicesStore(EfiHandle imageHandle, EfiSystemTable* systemTable);

// LocateProtocol for the protocol, without a registration, into *interface,
// which is null until the firmware writes it. Out of line: every look-up of the
// driver shares one copy of the call.
EfiStatus ProtocolLocate(const Guid* protocol, void** interface);

// CreateEventEx of a signal event in the ready-to-boot group, without a
// context, into *event, which is null until the firmware writes it. Out of
// line: both of the driver's ready-to-boot events share one copy of the call.
EfiStatus ReadyToBootEventCreate(EfiTpl tpl, EfiEventNotify notify, EfiEvent* event);

// PCD access through the protocol, located on first use and cached. Without the
// protocol every read yields 0 (FALSE) and every write EFI_NOT_FOUND, and the next
// call tries to locate it again.
uint8_t PcdGet8(uint64_t token);
uint16_t PcdGet16(uint64_t token);
uint64_t PcdGet64(uint64_t token);
bool PcdGetBool(uint64_t token);
EfiStatus PcdSet16(uint64_t token, uint16_t value);
EfiStatus PcdSet64(uint64_t token, uint64_t value);
