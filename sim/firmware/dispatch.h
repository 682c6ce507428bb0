// The one point through which the firmware calls into the driver (image entry,
// notify functions, protocol callbacks) and through which the firmware's own
// services get the addresses the driver calls them at. The host backend calls the
// linked driver directly; a CPU-emulator backend can run the real image instead
// against the same models.
#pragma once
#include <cstdint>
#include <string>

namespace sim {

enum class Service : uint16_t {
  Unimplemented,
  RaiseTpl,
  RestoreTpl,
  AllocatePool,
  FreePool,
  CreateEvent,
  SignalEvent,
  CloseEvent,
  InstallProtocolInterface,
  RegisterProtocolNotify,
  LocateProtocol,
  CreateEventEx,
  PcdGet8,
  PcdGet16,
  PcdGet32,
  PcdGet64,
  PcdGetBool,
  PcdSet8,
  PcdSet16,
  PcdSet32,
  PcdSet64,
  PcdSetBool,
  TopologySystemInfo,
  TopologySocketInfo,
  TopologyUnused,
  TopologyRootBusInfo,
  SmmCommunicate,
  DieMemoryInfo,
  UninstallProtocolInterface,
  // What an application started after the boot calls (Firmware::PrepareApplication).
  HandleProtocol,
  LocateHandle,
  ConOutOutputString,
  Count,
};

class Dispatch {
 public:
  virtual ~Dispatch() = default;
  // The address a table slot holds for a service.
  virtual uint64_t ServiceAddress(Service service) = 0;
  // The image's entry point as the firmware calls it.
  virtual uint64_t EntryPoint() = 0;
  virtual uint64_t CallEntry(uint64_t entry, uint64_t imageHandle, uint64_t systemTable) = 0;
  virtual void CallNotify(uint64_t function, uint64_t event, uint64_t context) = 0;

  // Further drivers of the package in the same boot: copy `image` (1, 2, ...)
  // of the driver, freshly loaded with its own state; returns its entry point,
  // or 0 when the backend cannot load another copy.
  virtual uint64_t LoadAnotherImage(unsigned image) {
    (void)image;
    return 0;
  }
  // Makes copy `image` the one the next call into the driver runs with (its
  // own state); returns the copy that ran before.
  virtual unsigned SwitchImage(unsigned image) {
    (void)image;
    return 0;
  }
  // A UEFI application (the record dump, apps/dump/) run after the boot: loads
  // the PE image at `path`, calls its entry with this image handle and system
  // table and sets `status` to what it returned; false when the backend cannot
  // run an image file.
  virtual bool RunApplication(const std::string& path, uint64_t imageHandle, uint64_t systemTable, uint64_t* status) {
    (void)path, (void)imageHandle, (void)systemTable, (void)status;
    return false;
  }
  // A new platform: only copy 0 exists, freshly loaded.
  virtual void ForgetImages() {}

  // Another driver of the package calls the fabric MMIO allocator, in the copy
  // that runs (a further one, loaded with LoadAnotherImage): first, when `start`
  // is set, its start-up as far as the heap list with its own image handle,
  // then FabricAddMmioMap with the call's arguments, which it updates. Only a
  // backend that CallsAllocator() takes such a call.
  struct AllocatorCall {
    uint64_t base = 0, length = 0;
    uint16_t target = 0;
    uint8_t attribute = 0;
    uint64_t status = 0;
  };
  virtual bool CallsAllocator() const { return false; }
  virtual void CallAllocator(uint64_t imageHandle, uint64_t systemTable, bool start, AllocatorCall* call) {
    (void)imageHandle, (void)systemTable, (void)start, (void)call;
  }
};

// The backend that runs the driver linked into this process.
Dispatch& HostDispatch();

}  // namespace sim
