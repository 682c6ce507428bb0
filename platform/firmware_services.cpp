#include "platform/firmware_services.h"

IMAGE_STATE FirmwareServices mFirmwareServices;
IMAGE_STATE static PcdProtocol* mPcd;

void FirmwareServicesStore(EfiHandle imageHandle, EfiSystemTable* systemTable) {
  mFirmwareServices.ImageHandle = imageHandle;
  mFirmwareServices.SystemTable = systemTable;
  mFirmwareServices.BootServices = systemTable->BootServices;
  mFirmwareServices.RuntimeServices = systemTable->RuntimeServices;
}

__attribute__((noinline)) EfiStatus ProtocolLocate(const Guid* protocol, void** interface) {
  *interface = nullptr;
  return mFirmwareServices.BootServices->LocateProtocol(protocol, nullptr, interface);
}

__attribute__((noinline)) EfiStatus ReadyToBootEventCreate(EfiTpl tpl, EfiEventNotify notify, EfiEvent* event) {
  *event = nullptr;
  return mFirmwareServices.BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, tpl, notify, nullptr, &kReadyToBootGroupGuid,
                                                       event);
}

__attribute__((noinline)) static PcdProtocol* Pcd() {
  if (mPcd == nullptr) {
    void* iface;
    EfiStatus s = ProtocolLocate(&kPcdProtocolGuid, &iface);
    // Still none when the look-up fails.
    mPcd = EfiError(s) ? nullptr : static_cast<PcdProtocol*>(iface);
  }
  return mPcd;
}

uint8_t PcdGet8(uint64_t token) {
  PcdProtocol* p = Pcd();
  return p ? p->Get8(token) : 0;
}
// The two accessors the body reads most stay out of line (the link would
// otherwise copy each, with its look-up of the protocol, into every caller).
__attribute__((noinline)) uint16_t PcdGet16(uint64_t token) {
  PcdProtocol* p = Pcd();
  return p ? p->Get16(token) : 0;
}
uint64_t PcdGet64(uint64_t token) {
  PcdProtocol* p = Pcd();
  return p ? p->Get64(token) : 0;
}
__attribute__((noinline)) bool PcdGetBool(uint64_t token) {
  PcdProtocol* p = Pcd();
  return p ? p->GetBool(token) != 0 : false;
}
EfiStatus PcdSet16(uint64_t token, uint16_t value) {
  PcdProtocol* p = Pcd();
  return p ? p->Set16(token, value) : EFI_NOT_FOUND;
}
EfiStatus PcdSet64(uint64_t token, uint64_t value) {
  PcdProtocol* p = Pcd();
  return p ? p->Set64(token, value) : EFI_NOT_FOUND;
}
