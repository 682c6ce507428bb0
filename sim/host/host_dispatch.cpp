// The host backend of the dispatch point: the driver is linked into this process,
// the firmware's services are ms_abi functions here that marshal the driver's
// arguments into the firmware model's terms, and calls into the driver are plain
// calls through its function pointers.
#include <algorithm>
#include <vector>

#include "core/meminfo.h"
#include "platform/firmware_services.h"
#include "platform/probes.h"
#include "psp/fabric_mmio.h"
#include "services/heap.h"
#include "services/s3_save.h"
#include "sim/firmware/dispatch.h"
#include "sim/board/platform.h"
#include "uefi/system_table.h"

namespace sim {
namespace {

Firmware& Fw() { return ActivePlatform().firmware(); }
uint64_t Addr(const void* p) { return reinterpret_cast<uint64_t>(p); }
void* Ptr(uint64_t a) { return reinterpret_cast<void*>(a); }

uint64_t EFIAPI Unimplemented() { return Fw().Unimplemented("boot service slot"); }

EfiTpl EFIAPI RaiseTplThunk(EfiTpl tpl) { return Fw().RaiseTpl(tpl); }
void EFIAPI RestoreTplThunk(EfiTpl tpl) { Fw().RestoreTpl(tpl); }

EfiStatus EFIAPI AllocatePoolThunk(EfiMemoryType type, uint64_t size, void** buffer) {
  uint64_t at = 0;
  EfiStatus s = Fw().AllocatePool(type, size, buffer ? &at : nullptr);
  if (s == 0) *buffer = Ptr(at);
  return s;
}
EfiStatus EFIAPI FreePoolThunk(void* buffer) { return Fw().FreePool(Addr(buffer)); }

EfiStatus EFIAPI CreateEventThunk(uint32_t type, EfiTpl tpl, EfiEventNotify notify, void* context, EfiEvent* event) {
  uint64_t handle = 0;
  EfiStatus s = Fw().CreateEvent(type, tpl, Addr(reinterpret_cast<void*>(notify)), Addr(context), nullptr,
                                 event ? &handle : nullptr);
  if (handle != 0) *event = Ptr(handle);  // created, also under a warning
  return s;
}
EfiStatus EFIAPI CreateEventExThunk(uint32_t type, EfiTpl tpl, EfiEventNotify notify, const void* context,
                                    const Guid* group, EfiEvent* event) {
  uint64_t handle = 0;
  EfiStatus s = Fw().CreateEvent(type, tpl, Addr(reinterpret_cast<void*>(notify)), Addr(context), group,
                                 event ? &handle : nullptr);
  if (handle != 0) *event = Ptr(handle);  // created, also under a warning
  return s;
}
EfiStatus EFIAPI SignalEventThunk(EfiEvent event) { return Fw().SignalEvent(Addr(event)); }
EfiStatus EFIAPI CloseEventThunk(EfiEvent event) { return Fw().CloseEvent(Addr(event)); }

EfiStatus EFIAPI InstallProtocolInterfaceThunk(EfiHandle* handle, const Guid* protocol, EfiInterfaceType type,
                                               void* iface) {
  if (handle == nullptr || protocol == nullptr) return Fw().InstallProtocolInterface(nullptr, Guid{}, type, 0);
  uint64_t h = Addr(*handle);
  EfiStatus s = Fw().InstallProtocolInterface(&h, *protocol, type, Addr(iface));
  if (s == 0) *handle = Ptr(h);
  return s;
}
EfiStatus EFIAPI UninstallProtocolInterfaceThunk(EfiHandle handle, const Guid* protocol, void* iface) {
  if (protocol == nullptr) return EFI_INVALID_PARAMETER;
  return Fw().UninstallProtocolInterface(Addr(handle), *protocol, Addr(iface));
}
EfiStatus EFIAPI RegisterProtocolNotifyThunk(const Guid* protocol, EfiEvent event, void** registration) {
  uint64_t r = 0;
  EfiStatus s = protocol ? Fw().RegisterProtocolNotify(*protocol, Addr(event), registration ? &r : nullptr)
                         : EFI_INVALID_PARAMETER;
  if (s == 0) *registration = Ptr(r);
  return s;
}
EfiStatus EFIAPI LocateProtocolThunk(const Guid* protocol, void* registration, void** iface) {
  if (protocol == nullptr) return EFI_INVALID_PARAMETER;
  uint64_t i = 0;
  EfiStatus s = Fw().LocateProtocol(*protocol, Addr(registration), iface ? &i : nullptr);
  if (iface) *iface = Ptr(i);
  return s;
}

uint8_t EFIAPI PcdGet8Thunk(uint64_t t) { return uint8_t(Fw().PcdGet(t, 1)); }
uint16_t EFIAPI PcdGet16Thunk(uint64_t t) { return uint16_t(Fw().PcdGet(t, 2)); }
uint32_t EFIAPI PcdGet32Thunk(uint64_t t) { return uint32_t(Fw().PcdGet(t, 4)); }
uint64_t EFIAPI PcdGet64Thunk(uint64_t t) { return Fw().PcdGet(t, 8); }
Boolean EFIAPI PcdGetBoolThunk(uint64_t t) { return Boolean(Fw().PcdGet(t, 0)); }
EfiStatus EFIAPI PcdSet8Thunk(uint64_t t, uint8_t v) { return Fw().PcdSet(t, 1, v); }
EfiStatus EFIAPI PcdSet16Thunk(uint64_t t, uint16_t v) { return Fw().PcdSet(t, 2, v); }
EfiStatus EFIAPI PcdSet32Thunk(uint64_t t, uint32_t v) { return Fw().PcdSet(t, 4, v); }
EfiStatus EFIAPI PcdSet64Thunk(uint64_t t, uint64_t v) { return Fw().PcdSet(t, 8, v); }
EfiStatus EFIAPI PcdSetBoolThunk(uint64_t t, Boolean v) { return Fw().PcdSet(t, 0, v); }

EfiStatus EFIAPI TopologySystemInfoThunk(FabricTopologyProtocol*, uint64_t* sockets, uint64_t* dies, void*) {
  uint64_t s = 0, d = 0;
  EfiStatus st = Fw().TopologySystemInfo(&s, &d);
  if (sockets) *sockets = s;
  if (dies) *dies = d;
  return st;
}
EfiStatus EFIAPI TopologySocketInfoThunk(FabricTopologyProtocol*, uint64_t socket, uint64_t* dies, void*, void*, void*) {
  uint64_t d = 0;
  EfiStatus st = Fw().TopologySocketInfo(socket, &d);
  if (st == 0 && dies) *dies = d;
  return st;
}
EfiStatus EFIAPI TopologyUnusedThunk() { return Fw().Unimplemented("FabricTopologyProtocol slot 3"); }
EfiStatus EFIAPI TopologyRootBusInfoThunk(FabricTopologyProtocol*, uint64_t socket, uint64_t die, uint64_t index, void*,
                                          uint64_t* bus, void*) {
  uint64_t b = 0;
  EfiStatus st = Fw().TopologyRootBusInfo(socket, die, index, &b);
  if (st == 0 && bus) *bus = b;
  return st;
}

EfiStatus EFIAPI SmmCommunicateThunk(SmmCommunicationProtocol* self, void* buffer, uint64_t* size) {
  return Fw().SmmCommunicate(Addr(self), Addr(buffer), size);
}

EfiStatus EFIAPI DieMemoryInfoThunk(ChannelInfoProtocol*, uint64_t socket, uint64_t die, uint64_t* channels,
                                   uint64_t* dimms, uint64_t* ranks) {
  DieMemoryCounts c;
  EfiStatus st = Fw().DieMemoryInfo(socket, die, &c);
  if (st == 0 && channels) *channels = c.channels;
  if (st == 0 && dimms) *dimms = c.dimms;
  if (st == 0 && ranks) *ranks = c.ranks;
  return st;
}

template <class F>
uint64_t FnAddr(F f) {
  return reinterpret_cast<uint64_t>(reinterpret_cast<void*>(f));
}

class Host final : public Dispatch {
 public:
  uint64_t ServiceAddress(Service s) override {
    switch (s) {
      case Service::Unimplemented: return FnAddr(Unimplemented);
      case Service::RaiseTpl: return FnAddr(RaiseTplThunk);
      case Service::RestoreTpl: return FnAddr(RestoreTplThunk);
      case Service::AllocatePool: return FnAddr(AllocatePoolThunk);
      case Service::FreePool: return FnAddr(FreePoolThunk);
      case Service::CreateEvent: return FnAddr(CreateEventThunk);
      case Service::SignalEvent: return FnAddr(SignalEventThunk);
      case Service::CloseEvent: return FnAddr(CloseEventThunk);
      case Service::InstallProtocolInterface: return FnAddr(InstallProtocolInterfaceThunk);
      case Service::RegisterProtocolNotify: return FnAddr(RegisterProtocolNotifyThunk);
      case Service::LocateProtocol: return FnAddr(LocateProtocolThunk);
      case Service::CreateEventEx: return FnAddr(CreateEventExThunk);
      case Service::PcdGet8: return FnAddr(PcdGet8Thunk);
      case Service::PcdGet16: return FnAddr(PcdGet16Thunk);
      case Service::PcdGet32: return FnAddr(PcdGet32Thunk);
      case Service::PcdGet64: return FnAddr(PcdGet64Thunk);
      case Service::PcdGetBool: return FnAddr(PcdGetBoolThunk);
      case Service::PcdSet8: return FnAddr(PcdSet8Thunk);
      case Service::PcdSet16: return FnAddr(PcdSet16Thunk);
      case Service::PcdSet32: return FnAddr(PcdSet32Thunk);
      case Service::PcdSet64: return FnAddr(PcdSet64Thunk);
      case Service::PcdSetBool: return FnAddr(PcdSetBoolThunk);
      case Service::TopologySystemInfo: return FnAddr(TopologySystemInfoThunk);
      case Service::TopologySocketInfo: return FnAddr(TopologySocketInfoThunk);
      case Service::TopologyUnused: return FnAddr(TopologyUnusedThunk);
      case Service::TopologyRootBusInfo: return FnAddr(TopologyRootBusInfoThunk);
      case Service::SmmCommunicate: return FnAddr(SmmCommunicateThunk);
      case Service::DieMemoryInfo: return FnAddr(DieMemoryInfoThunk);
      case Service::UninstallProtocolInterface: return FnAddr(UninstallProtocolInterfaceThunk);
      // Only an application calls these, and only the emulator runs one.
      case Service::HandleProtocol:
      case Service::LocateHandle:
      case Service::ConOutOutputString: return FnAddr(Unimplemented);
      case Service::Count: break;
    }
    return FnAddr(Unimplemented);
  }

  uint64_t EntryPoint() override { return FnAddr(ImageEntry); }

  // One driver is linked into this process: each copy's state is swapped into
  // the state section while that copy runs.
  uint64_t LoadAnotherImage(unsigned image) override {
    if (saved_.size() <= image) saved_.resize(image + 1);
    saved_[image] = PristineImageState();
    return FnAddr(ImageEntry);
  }
  // What a copy published from its own state (the heap list's record) stays
  // that copy's bytes while another copy runs and reaches it through the
  // protocol, as it would at the publishing copy's own address.
  unsigned SwitchImage(unsigned image) override {
    const unsigned before = current_;
    if (image == current_ || image >= saved_.size()) return before;
    const auto shared = SharedRanges();
    const uint64_t start = ImageStateStart();
    saved_[current_] = ImageStateBytes();
    for (const auto& [owner, at, size] : shared)
      if (owner != current_ && owner < saved_.size())
        std::copy_n(saved_[current_].begin() + long(at - start), size, saved_[owner].begin() + long(at - start));
    std::vector<uint8_t> next = saved_[image];
    for (const auto& [owner, at, size] : shared)
      if (owner != image && owner < saved_.size())
        std::copy_n(saved_[owner].begin() + long(at - start), size, next.begin() + long(at - start));
    SetImageStateBytes(next);
    current_ = image;
    return before;
  }
  void ForgetImages() override {
    saved_.assign(1, {});
    current_ = 0;
  }

  uint64_t CallEntry(uint64_t entry, uint64_t imageHandle, uint64_t systemTable) override {
    auto fn = reinterpret_cast<EfiImageEntryPoint>(entry);
    return fn(Ptr(imageHandle), static_cast<EfiSystemTable*>(Ptr(systemTable)));
  }

  void CallNotify(uint64_t function, uint64_t event, uint64_t context) override {
    auto fn = reinterpret_cast<EfiEventNotify>(function);
    fn(Ptr(event), Ptr(context));
  }

  bool CallsAllocator() const override { return true; }
  void CallAllocator(uint64_t imageHandle, uint64_t systemTable, bool start, AllocatorCall* call) override {
    if (start) {
      // The image entry's own steps, as far as the heap list (no S3 set-up: the
      // requester publishes nothing of its own).
      FirmwareServicesStore(Ptr(imageHandle), static_cast<EfiSystemTable*>(Ptr(systemTable)));
      kStartupSteps.HobListLocate();
      kStartupSteps.HeapListInit();
    }
    call->status = FabricAddMmioMap(&call->base, &call->length, call->target, &call->attribute);
  }

 private:
  struct Range {
    unsigned owner;
    uint64_t at;
    size_t size;
  };
  static std::vector<Range> SharedRanges() {
    std::vector<Range> ranges;
    for (const auto& i : Fw().Interfaces())
      if (i.image && GuidEqual(i.protocol, HeapListProtocolGuid) && ImageStateHolds(i.interface, sizeof(HeapListInterface)))
        ranges.push_back({*i.image, i.interface, sizeof(HeapListInterface)});
    return ranges;
  }
  std::vector<std::vector<uint8_t>> saved_ = std::vector<std::vector<uint8_t>>(1);
  unsigned current_ = 0;
};

}  // namespace

Dispatch& HostDispatch() {
  static Host host;
  return host;
}

}  // namespace sim
