#include "sim/firmware/firmware.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/chip_select.h"
#include "core/meminfo.h"
#include "services/heap.h"
#include "services/s3_save.h"
#include "uefi/pcd.h"
#include "uefi/system_table.h"

namespace sim {

namespace {

// Pool memory comes in the UEFI types below EfiConventionalMemory, the ACPI and
// MMIO types after it (but not persistent memory), and the OEM and OS ranges.
bool ValidPoolType(uint32_t type) {
  return (type < 14 && type != EfiConventionalMemory) || type >= 0x70000000u;
}
}  // namespace

void Firmware::Log(std::string service, std::string detail, uint64_t status) {
  memory_.NoteStack(reinterpret_cast<uint64_t>(__builtin_frame_address(0)), kStackBase + kStackSize);
  calls_.push_back({std::move(service), std::move(detail), status});
}

uint64_t Firmware::NewHandle() { return memory_.FirmwareAlloc(16); }

void Firmware::Build(const FirmwareConfig& config) {
  config_ = config;
  auto slot = [&](uint64_t table, size_t offset, Service s) {
    memory_.Write<uint64_t>(table + offset, dispatch_.ServiceAddress(s));
  };
  auto header = [&](uint64_t table, uint64_t signature, uint32_t size) {
    memory_.Write<uint64_t>(table + offsetof(EfiTableHeader, Signature), signature);
    memory_.Write<uint32_t>(table + offsetof(EfiTableHeader, Revision), (2u << 16) | 70);
    memory_.Write<uint32_t>(table + offsetof(EfiTableHeader, HeaderSize), size);
  };

  // Boot services: every slot answers; the ones the platform does not model say so.
  bootServices_ = memory_.FirmwareAlloc(sizeof(EfiBootServices));
  header(bootServices_, kBootServicesSignature, sizeof(EfiBootServices));
  for (size_t off = sizeof(EfiTableHeader); off < sizeof(EfiBootServices); off += 8)
    slot(bootServices_, off, Service::Unimplemented);
  slot(bootServices_, offsetof(EfiBootServices, RaiseTpl), Service::RaiseTpl);
  slot(bootServices_, offsetof(EfiBootServices, RestoreTpl), Service::RestoreTpl);
  slot(bootServices_, offsetof(EfiBootServices, AllocatePool), Service::AllocatePool);
  slot(bootServices_, offsetof(EfiBootServices, FreePool), Service::FreePool);
  slot(bootServices_, offsetof(EfiBootServices, CreateEvent), Service::CreateEvent);
  slot(bootServices_, offsetof(EfiBootServices, SignalEvent), Service::SignalEvent);
  slot(bootServices_, offsetof(EfiBootServices, CloseEvent), Service::CloseEvent);
  slot(bootServices_, offsetof(EfiBootServices, InstallProtocolInterface), Service::InstallProtocolInterface);
  slot(bootServices_, offsetof(EfiBootServices, UninstallProtocolInterface), Service::UninstallProtocolInterface);
  slot(bootServices_, offsetof(EfiBootServices, RegisterProtocolNotify), Service::RegisterProtocolNotify);
  slot(bootServices_, offsetof(EfiBootServices, LocateProtocol), Service::LocateProtocol);
  slot(bootServices_, offsetof(EfiBootServices, CreateEventEx), Service::CreateEventEx);

  runtimeServices_ = memory_.FirmwareAlloc(0x88);
  header(runtimeServices_, kRuntimeServicesSignature, 0x88);

  uint64_t entries = 0;
  uint64_t configTable = memory_.FirmwareAlloc(sizeof(EfiConfigurationTable) * 4);
  if (config.hobList) {
    // The hand-off information HOB first, as the earlier phase lays it out, then
    // the scenario's GUID-extension HOBs, then the end of the list.
    constexpr uint16_t kHandoffInfo = 1, kGuidExtension = 4, kEndOfList = 0xFFFF;
    constexpr uint16_t kHandoffLength = 56;
    uint64_t size = kHandoffLength + 8;
    for (const HobDesc& h : config.hobs) size += HobFootprint(h);
    hobList_ = memory_.FirmwareAlloc(size);
    uint64_t at = hobList_;
    auto header = [&](uint16_t type, uint16_t length) {
      memory_.Write<uint16_t>(at, type);
      memory_.Write<uint16_t>(at + 2, length);
    };
    header(kHandoffInfo, kHandoffLength);
    memory_.Write<uint32_t>(at + 8, 9);  // version
    memory_.Write<uint64_t>(at + 48, hobList_ + size - 8);  // where the end-of-list HOB lies
    at += kHandoffLength;
    for (const HobDesc& h : config.hobs) {
      const uint64_t footprint = HobFootprint(h);
      header(kGuidExtension, h.length ? *h.length : uint16_t(footprint));
      memory_.WriteBytes(at + 8, &h.name, sizeof(Guid));
      memory_.WriteBytes(at + 24, h.data.data(), std::min<uint64_t>(h.data.size(), footprint - 24));
      at += footprint;
    }
    header(kEndOfList, 8);
    memory_.WriteBytes(configTable, &kHobListGuid, sizeof(Guid));
    memory_.Write<uint64_t>(configTable + offsetof(EfiConfigurationTable, VendorTable), hobList_);
    ++entries;
  }

  systemTable_ = memory_.FirmwareAlloc(sizeof(EfiSystemTable));
  header(systemTable_, kSystemTableSignature, sizeof(EfiSystemTable));
  memory_.Write<uint32_t>(systemTable_ + offsetof(EfiSystemTable, FirmwareRevision), 0x00010000);
  memory_.Write<uint64_t>(systemTable_ + offsetof(EfiSystemTable, RuntimeServices), runtimeServices_);
  memory_.Write<uint64_t>(systemTable_ + offsetof(EfiSystemTable, BootServices), bootServices_);
  memory_.Write<uint64_t>(systemTable_ + offsetof(EfiSystemTable, NumberOfTableEntries), entries);
  memory_.Write<uint64_t>(systemTable_ + offsetof(EfiSystemTable, ConfigurationTable), configTable);

  imageHandle_ = NewHandle();
  images_.push_back({imageHandle_, false});

  // Other modules' protocols, present unless the scenario leaves them out.
  auto install = [&](const Guid& guid, uint64_t iface) {
    interfaces_.push_back({NewHandle(), guid, iface, std::nullopt});
  };
  if (!config.faults.missingProtocols.count("pcd")) {
    uint64_t pcd = memory_.FirmwareAlloc(sizeof(PcdProtocol));
    for (size_t off = 0; off < sizeof(PcdProtocol); off += 8) slot(pcd, off, Service::Unimplemented);
    slot(pcd, offsetof(PcdProtocol, Get8), Service::PcdGet8);
    slot(pcd, offsetof(PcdProtocol, Get16), Service::PcdGet16);
    slot(pcd, offsetof(PcdProtocol, Get32), Service::PcdGet32);
    slot(pcd, offsetof(PcdProtocol, Get64), Service::PcdGet64);
    slot(pcd, offsetof(PcdProtocol, GetBool), Service::PcdGetBool);
    slot(pcd, offsetof(PcdProtocol, Set8), Service::PcdSet8);
    slot(pcd, offsetof(PcdProtocol, Set16), Service::PcdSet16);
    slot(pcd, offsetof(PcdProtocol, Set32), Service::PcdSet32);
    slot(pcd, offsetof(PcdProtocol, Set64), Service::PcdSet64);
    slot(pcd, offsetof(PcdProtocol, SetBool), Service::PcdSetBool);
    install(kPcdProtocolGuid, pcd);
  }
  if (!config.faults.missingProtocols.count("fabric_topology")) {
    uint64_t topo = memory_.FirmwareAlloc(4 * 8);
    slot(topo, offsetof(FabricTopologyProtocol, TopologySystemInfo), Service::TopologySystemInfo);
    slot(topo, offsetof(FabricTopologyProtocol, TopologySocketInfo), Service::TopologySocketInfo);
    slot(topo, offsetof(FabricTopologyProtocol, Unused), Service::TopologyUnused);
    slot(topo, offsetof(FabricTopologyProtocol, TopologyRootBusInfo), Service::TopologyRootBusInfo);
    install(FabricTopologyProtocolGuid, topo);
  }
  if (!config.faults.missingProtocols.count("smm_communication")) {
    uint64_t smm = memory_.FirmwareAlloc(sizeof(SmmCommunicationProtocol));
    slot(smm, offsetof(SmmCommunicationProtocol, Communicate), Service::SmmCommunicate);
    install(kSmmCommunicationProtocolGuid, smm);
  }
  // The protocol has no interface: its installation is the announcement.
  if (config.smmReadyToLock) install(kDxeSmmReadyToLockProtocolGuid, 0);
  if (!config.faults.missingProtocols.count("channel_info")) {
    uint64_t info = memory_.FirmwareAlloc(8);
    slot(info, offsetof(ChannelInfoProtocol, DieMemoryInfo), Service::DieMemoryInfo);
    install(ChannelInfoProtocolGuid, info);
  }
}

// ---- task priority levels and events ----

uint64_t Firmware::RaiseTpl(uint64_t tpl) {
  uint64_t old = tpl_;
  if (tpl >= tpl_) tpl_ = tpl;
  return old;
}

void Firmware::RestoreTpl(uint64_t tpl) {
  if (tpl > tpl_) return;
  tpl_ = tpl;
  DispatchPending();
}

Firmware::EventInfo* Firmware::FindEvent(uint64_t handle) {
  for (auto& e : events_)
    if (e.handle == handle && !e.closed) return &e;
  return nullptr;
}

void Firmware::QueueNotify(EventInfo& e) {
  if (!(e.type & EVT_NOTIFY_SIGNAL) || e.notify == 0) return;
  for (uint64_t h : pending_)
    if (h == e.handle) return;  // already due
  pending_.push_back(e.handle);
}

// Runs every due notify function whose level is above the current one, the
// highest level first and, within a level, in signal order. Each runs at its own
// level; what it signals joins the queue.
void Firmware::DispatchPending() {
  for (;;) {
    size_t best = pending_.size();
    uint64_t bestTpl = tpl_;
    for (size_t i = 0; i < pending_.size(); ++i) {
      EventInfo* e = FindEvent(pending_[i]);
      if (e != nullptr && e->tpl > bestTpl) {
        best = i;
        bestTpl = e->tpl;
      }
    }
    if (best == pending_.size()) return;
    uint64_t handle = pending_[best];
    pending_.erase(pending_.begin() + static_cast<long>(best));
    EventInfo* e = FindEvent(handle);
    if (images_.at(e->image).unloaded) {
      ++staleNotifies_;
      Log("Notify", "event " + HexText(handle) + " of an unloaded driver: not run", EFI_INVALID_PARAMETER);
      continue;
    }
    uint64_t saved = tpl_;
    tpl_ = e->tpl;
    ++e->notifications;
    notifyRuns_.push_back({handle, e->tpl});
    uint64_t notify = e->notify, context = e->context;
    const unsigned image = e->image, before = currentImage_;
    const unsigned dispatchBefore = dispatch_.SwitchImage(image);
    currentImage_ = image;
    const BootStep step = steps_.NotifyBegins(e->group, e->tpl);
    dispatch_.CallNotify(notify, handle, context);
    steps_.NotifyEnds(step);
    dispatch_.SwitchImage(dispatchBefore);
    currentImage_ = before;
    tpl_ = saved;
  }
}

uint64_t Firmware::CreateEvent(uint32_t type, uint64_t tpl, uint64_t notify, uint64_t context, const Guid* group,
                               uint64_t* event) {
  const char* name = group ? "CreateEventEx" : "CreateEvent";
  std::string detail = "type " + HexText(type) + ", tpl " + std::to_string(tpl) + (group ? ", group " + GuidName(*group) : "");
  uint64_t status = 0;
  const uint64_t call = group ? ++createEventExCalls_ : ++createEventCalls_;
  const uint64_t fail = group ? config_.faults.failCreateEventEx : config_.faults.failCreateEvent;
  if (fail == FirmwareFaults::kEveryCall || fail == call) status = EFI_OUT_OF_RESOURCES;
  else if (event == nullptr) status = EFI_INVALID_PARAMETER;
  else if ((type & (EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT)) &&
           (notify == 0 || (tpl != TPL_CALLBACK && tpl != TPL_NOTIFY && tpl != TPL_APPLICATION)))
    status = EFI_INVALID_PARAMETER;
  const uint64_t handle = status == 0 ? NewHandle() : 0;
  if (status == 0 && handle == 0) status = EFI_OUT_OF_RESOURCES;
  if (status == 0) {
    EventInfo e{handle, type, tpl, notify, context, std::nullopt, false, 0, std::nullopt, currentImage_};
    if (group) e.group = *group;
    events_.push_back(e);
    *event = e.handle;
  }
  Log(name, detail, status);
  return status;
}

uint64_t Firmware::SignalEvent(uint64_t event) {
  EventInfo* e = FindEvent(event);
  if (e == nullptr) {
    Log("SignalEvent", HexText(event), EFI_INVALID_PARAMETER);
    return EFI_INVALID_PARAMETER;
  }
  Log("SignalEvent", HexText(event), 0);
  if (e->group) {
    Guid g = *e->group;
    for (auto& other : events_)
      if (!other.closed && other.group && GuidEqual(*other.group, g)) QueueNotify(other);
  } else {
    QueueNotify(*e);
  }
  DispatchPending();
  return 0;
}

uint64_t Firmware::CloseEvent(uint64_t event) {
  EventInfo* e = FindEvent(event);
  uint64_t status = e ? 0 : EFI_INVALID_PARAMETER;
  if (e) {
    e->closed = true;
    std::erase(pending_, event);
    std::erase_if(registrations_, [&](const Registration& r) { return r.event == event; });
  }
  Log("CloseEvent", HexText(event), status);
  return status;
}

void Firmware::SignalGroup(const Guid& group) {
  Log("SignalGroup", GuidName(group), 0);
  for (auto& e : events_)
    if (!e.closed && e.group && GuidEqual(*e.group, group)) QueueNotify(e);
  DispatchPending();
}

unsigned Firmware::LoadImage() {
  images_.push_back({NewHandle(), false});
  return unsigned(images_.size() - 1);
}

std::vector<Firmware::EventInfo> Firmware::StaleEvents() const {
  std::vector<EventInfo> stale;
  for (const EventInfo& e : events_)
    if (!e.closed && e.notify != 0 && images_.at(e.image).unloaded) stale.push_back(e);
  return stale;
}

size_t Firmware::OpenEventCount() const {
  size_t n = 0;
  for (auto& e : events_) n += !e.closed;
  return n;
}

// ---- memory ----

const char* PoolFaultName(PoolFault::Kind kind) {
  switch (kind) {
    case PoolFault::UseAfterFree: return "use_after_free";
    case PoolFault::DoubleFree: return "double_free";
    case PoolFault::NotAllocated: return "not_allocated";
    case PoolFault::Overrun: return "overrun";
  }
  return "?";
}

// A freed block is reused first fit, by type; it is checked before it is
// handed out again.
uint64_t Firmware::AllocatePool(uint32_t type, uint64_t size, uint64_t* address) {
  ++allocationCalls_;
  steps_.AllocatePool(type, size);
  std::string detail = "type " + std::to_string(type) + ", " + std::to_string(size) + " bytes";
  uint64_t status = 0;
  uint64_t at = 0;
  if (address == nullptr || !ValidPoolType(type)) status = EFI_INVALID_PARAMETER;
  else if (config_.faults.failAllocation == allocationCalls_) status = EFI_OUT_OF_RESOURCES;
  if (status == 0) {
    for (size_t i = 0; i < pool_.size() && at == 0; ++i) {
      PoolBlock& b = pool_[i];
      if (!b.freed || b.reused || b.type != type || b.size < size) continue;
      CheckBlock(i);
      b.reused = true;
      at = b.address;
      std::memset(memory_.Host(at), kFreshPoolByte, size);
      std::memset(memory_.Host(at + size), kPoolGuardByte, b.size - size + kPoolGuardSize);
    }
    if (at == 0 && (at = memory_.PoolAlloc(size)) == 0) status = EFI_OUT_OF_RESOURCES;
  }
  if (status == 0) {
    pool_.push_back({at, size, type, false, calls_.size()});
    *address = at;
    detail += " at " + HexText(at);
  }
  Log("AllocatePool", detail, status);
  return status;
}

uint64_t Firmware::PlacePool(uint32_t type, uint64_t size) {
  const uint64_t at = memory_.PoolAlloc(size);
  if (at != 0) pool_.push_back({at, size, type, false, kNoCall, false, true});
  return at;
}

// The block handed out last at an address is the one a free refers to.
uint64_t Firmware::FreePool(uint64_t address) {
  uint64_t status = EFI_INVALID_PARAMETER;
  auto it = std::find_if(pool_.rbegin(), pool_.rend(), [&](const PoolBlock& b) { return b.address == address; });
  if (it == pool_.rend()) {
    poolFaults_.push_back({PoolFault::NotAllocated, address, 0, 0, 0});
  } else if (it->freed) {
    poolFaults_.push_back({PoolFault::DoubleFree, address, it->size, 0, 0});
  } else {
    it->freed = true;
    std::memset(memory_.Host(address), kFreedPoolByte, it->size);
    status = 0;
  }
  Log("FreePool", HexText(address), status);
  return status;
}

void Firmware::CheckBlock(size_t index) {
  const PoolBlock& b = pool_[index];
  if (!b.reused && !overrunBlocks_.count(index)) {
    const uint8_t* before = memory_.Host(b.address - kPoolGuardSize);
    const uint8_t* after = memory_.Host(b.address + b.size);
    uint64_t changed = 0, first = 0;
    for (uint64_t i = 0; i < 2 * kPoolGuardSize; ++i) {
      const bool low = i < kPoolGuardSize;
      if ((low ? before[i] : after[i - kPoolGuardSize]) == kPoolGuardByte) continue;
      if (changed++ == 0) first = low ? uint64_t(int64_t(i) - int64_t(kPoolGuardSize)) : b.size + i - kPoolGuardSize;
    }
    if (changed != 0) {
      overrunBlocks_.insert(index);
      poolFaults_.push_back({PoolFault::Overrun, b.address, b.size, first, changed});
    }
  }
  if (!b.freed || b.reused || checkedBlocks_.count(index)) return;
  const uint8_t* bytes = memory_.Host(b.address);
  uint64_t first = b.size, changed = 0;
  for (uint64_t i = 0; i < b.size; ++i) {
    if (bytes[i] == kFreedPoolByte) continue;
    if (changed++ == 0) first = i;
  }
  if (changed == 0) return;
  checkedBlocks_.insert(index);
  poolFaults_.push_back({PoolFault::UseAfterFree, b.address, b.size, first, changed});
}

void Firmware::CheckPool() {
  for (size_t i = 0; i < pool_.size(); ++i) CheckBlock(i);
}

// ---- protocols ----

uint64_t Firmware::InstallProtocolInterface(uint64_t* handle, const Guid& protocol, uint32_t type, uint64_t iface) {
  return Install(handle, protocol, type, iface, false);
}

uint64_t Firmware::InstallByPlatform(const Guid& protocol, uint64_t iface) {
  uint64_t handle = 0;
  return Install(&handle, protocol, EFI_NATIVE_INTERFACE, iface, true);
}

// The platform's own installations (a boot event) are not subject to the
// scenario's faults and show as such in the call log.
uint64_t Firmware::Install(uint64_t* handle, const Guid& protocol, uint32_t type, uint64_t iface, bool byPlatform) {
  std::string detail = GuidName(protocol);
  uint64_t status = 0;
  steps_.InstallProtocol(protocol);
  if (!byPlatform) ++installCalls_;
  if (handle == nullptr || type != EFI_NATIVE_INTERFACE) status = EFI_INVALID_PARAMETER;
  else if (!byPlatform && (config_.faults.failInstallProtocol || config_.faults.failInstallCall == installCalls_ ||
                           (config_.faults.failInstallOf && GuidEqual(*config_.faults.failInstallOf, protocol))))
    status = EFI_OUT_OF_RESOURCES;
  else {
    for (auto& i : interfaces_)
      if (i.handle == *handle && GuidEqual(i.protocol, protocol)) status = EFI_INVALID_PARAMETER;
  }
  if (status == 0 && *handle == 0 && (*handle = NewHandle()) == 0) status = EFI_OUT_OF_RESOURCES;
  if (status == 0) {
    interfaces_.push_back({*handle, protocol, iface, byPlatform ? std::nullopt : std::optional<unsigned>(currentImage_)});
    detail += " on " + HexText(*handle) + ", interface " + HexText(iface);
  }
  if (byPlatform) detail += " (the platform's)";
  Log("InstallProtocolInterface", detail, status);
  if (status == 0) {
    for (size_t i = 0; i < registrations_.size(); ++i)
      if (GuidEqual(registrations_[i].protocol, protocol)) SignalEvent(registrations_[i].event);
  }
  return status;
}

uint64_t Firmware::UninstallProtocolInterface(uint64_t handle, const Guid& protocol, uint64_t iface) {
  uint64_t status = handle == 0 ? EFI_INVALID_PARAMETER : EFI_NOT_FOUND;
  for (size_t k = 0; status == EFI_NOT_FOUND && k < interfaces_.size(); ++k) {
    const InstalledInterface& i = interfaces_[k];
    if (i.handle != handle || !GuidEqual(i.protocol, protocol) || i.interface != iface) continue;
    interfaces_.erase(interfaces_.begin() + std::ptrdiff_t(k));
    // Registrations keep their place among the interfaces that remain.
    for (auto& r : registrations_)
      if (r.seen > k) --r.seen;
    status = 0;
  }
  Log("UninstallProtocolInterface", GuidName(protocol) + " on " + HexText(handle) + ", interface " + HexText(iface),
      status);
  return status;
}

void Firmware::Preinstall(const Guid& protocol, uint64_t iface) { interfaces_.push_back({NewHandle(), protocol, iface, std::nullopt}); }

uint64_t Firmware::RegisterProtocolNotify(const Guid& protocol, uint64_t event, uint64_t* registration) {
  uint64_t status = 0;
  EventInfo* e = FindEvent(event);
  if (registration == nullptr || e == nullptr) status = EFI_INVALID_PARAMETER;
  const uint64_t id = status == 0 ? NewHandle() : 0;
  if (status == 0 && id == 0) status = EFI_OUT_OF_RESOURCES;
  if (status == 0) {
    Registration r{id, protocol, event, interfaces_.size()};
    registrations_.push_back(r);
    *registration = r.id;
    e->registeredFor = protocol;
  }
  Log("RegisterProtocolNotify", GuidName(protocol), status);
  return status;
}

uint64_t Firmware::LocateProtocol(const Guid& protocol, uint64_t registration, uint64_t* iface) {
  uint64_t status = EFI_NOT_FOUND;
  steps_.LocateProtocol(protocol);
  ++locateCalls_;
  if (iface == nullptr) status = EFI_INVALID_PARAMETER;
  else if (config_.faults.failLocateCall == locateCalls_) status = EFI_NOT_FOUND;
  else if (registration != 0) {
    // The next interface installed since the registration, once each.
    for (auto& r : registrations_) {
      if (r.id != registration) continue;
      for (; r.seen < interfaces_.size(); ++r.seen) {
        if (GuidEqual(interfaces_[r.seen].protocol, r.protocol)) {
          *iface = interfaces_[r.seen++].interface;
          status = 0;
          break;
        }
      }
    }
  } else {
    for (auto& i : interfaces_) {
      if (GuidEqual(i.protocol, protocol)) {
        *iface = i.interface;
        status = 0;
        break;
      }
    }
  }
  if (status != 0 && iface != nullptr) *iface = 0;
  Log("LocateProtocol", GuidName(protocol), status);
  return status;
}

// ---- PCD ----

std::optional<uint64_t> Firmware::PcdValue(uint64_t token) const {
  auto it = config_.pcd.find(token);
  if (it == config_.pcd.end()) return std::nullopt;
  return it->second;
}

uint64_t Firmware::PcdGet(uint64_t token, int width) {
  uint64_t v = config_.pcd.count(token) ? config_.pcd[token] : 0;
  const int bytes = width == 0 ? 1 : width;  // 0 is a boolean, stored in one byte
  if (bytes < 8) v &= (1ull << (8 * bytes)) - 1;
  Log(width == 0 ? "PcdGetBool" : "PcdGet" + std::to_string(8 * width), std::to_string(token) + " = " + HexText(v), 0);
  return v;
}

uint64_t Firmware::PcdSet(uint64_t token, int width, uint64_t value) {
  if (width < 8 && width > 0) value &= (1ull << (8 * width)) - 1;
  if (width == 0) value = value & 0xFF ? 1 : 0;
  config_.pcd[token] = value;
  pcdWrites_.push_back({token, width == 0 ? 1 : width, value, 0});
  Log(width == 0 ? "PcdSetBool" : "PcdSet" + std::to_string(8 * width), std::to_string(token) + " = " + HexText(value), 0);
  return 0;
}

// ---- SMM Communication ----

// The SMM side: the message is posted when its header and the length it names
// lie in DRAM and fit the size given. A message for the S3 save handler makes
// the handler take a copy of the record it names and of the table that record
// points to, as it does before the boot-time table is freed.
uint64_t Firmware::SmmCommunicate(uint64_t, uint64_t buffer, const uint64_t* size) {
  constexpr uint64_t kHeader = offsetof(S3CommunicateBuffer, Command);
  constexpr uint64_t kMaxMessage = 4096;
  SmmMessage m;
  m.buffer = buffer;
  if (size) m.size = *size;
  m.status = 0;
  std::string detail = "buffer " + HexText(buffer) + (size ? ", size " + std::to_string(*size) : ", no size");
  uint64_t length = 0;
  if (buffer == 0 || !memory_.Contains(buffer, kHeader)) {
    m.status = EFI_INVALID_PARAMETER;
  } else {
    length = memory_.Read<uint64_t>(buffer + offsetof(S3CommunicateBuffer, MessageLength));
    const uint64_t total = length <= kMaxMessage - kHeader ? kHeader + length : kMaxMessage;
    m.bytes = memory_.ReadBytes(buffer, memory_.Contains(buffer, total) ? total : kHeader);
    if (length > kMaxMessage - kHeader || !memory_.Contains(buffer, total) || (size && *size < total))
      m.status = EFI_BAD_BUFFER_SIZE;
  }
  if (m.status == 0) {
    Guid header;
    std::memcpy(&header, m.bytes.data(), sizeof header);
    detail += ", " + GuidName(header);
    m.s3Handler = GuidEqual(header, kS3SaveSmmHandlerGuid) && length >= kS3MessageLength;
  }
  if (m.s3Handler) {
    const uint64_t record = memory_.Read<uint64_t>(buffer + offsetof(S3CommunicateBuffer, PrivateData));
    if (memory_.Contains(record, sizeof(VyrS3LibPrivateData))) {
      m.record = memory_.ReadBytes(record, sizeof(VyrS3LibPrivateData));
      m.table = memory_.Read<uint64_t>(record + offsetof(VyrS3LibPrivateData, Table));
      for (const PoolBlock& b : pool_)
        if (!b.freed && m.table >= b.address && m.table - b.address < b.size)
          m.tableCopy = memory_.ReadBytes(m.table, b.address + b.size - m.table);
    }
  }
  smmMessages_.push_back(m);
  Log("SmmCommunicate", detail, m.status);
  return m.status;
}

// ---- fabric topology ----

uint64_t Firmware::TopologySystemInfo(uint64_t* sockets, uint64_t* dies) {
  uint64_t total = 0;
  for (auto& s : config_.sockets) total += s.dies.size();
  if (sockets) *sockets = config_.sockets.size();
  if (dies) *dies = total;
  Log("TopologySystemInfo", std::to_string(config_.sockets.size()) + " sockets", 0);
  return 0;
}

uint64_t Firmware::TopologySocketInfo(uint64_t socket, uint64_t* dies) {
  uint64_t status = socket < config_.sockets.size() ? 0 : EFI_INVALID_PARAMETER;
  if (status == 0 && dies) *dies = config_.sockets[socket].dies.size();
  Log("TopologySocketInfo", "socket " + std::to_string(socket), status);
  return status;
}

uint64_t Firmware::TopologyRootBusInfo(uint64_t socket, uint64_t die, uint64_t index, uint64_t* bus) {
  uint64_t status = EFI_INVALID_PARAMETER;
  if (socket < config_.sockets.size() && die < config_.sockets[socket].dies.size() && index == 0) {
    status = 0;
    if (bus) *bus = config_.sockets[socket].dies[die].rootBus;
  }
  Log("TopologyRootBusInfo", "socket " + std::to_string(socket) + " die " + std::to_string(die), status);
  return status;
}

uint64_t Firmware::DieMemoryInfo(uint64_t socket, uint64_t die, DieMemoryCounts* counts) {
  uint64_t status = EFI_INVALID_PARAMETER;
  if (socket < config_.sockets.size() && die < config_.sockets[socket].dies.size()) {
    *counts = config_.sockets[socket].dies[die].memory;
    status = counts->status;
  }
  Log("DieMemoryInfo", "socket " + std::to_string(socket) + " die " + std::to_string(die), status);
  return status;
}

uint64_t Firmware::Unimplemented(const char* what) {
  Log("Unimplemented", what, EFI_UNSUPPORTED);
  return EFI_UNSUPPORTED;
}

}  // namespace sim
