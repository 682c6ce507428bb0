// The firmware's tables as the driver finds them at its entry (system table,
// boot and runtime services, the HOB list, other modules' protocols), the call
// log, and the answer of every service the platform does not model.
#include "sim/firmware/firmware.h"

#include <algorithm>

#include "core/chip_select.h"
#include "services/s3_save.h"
#include "sim/common/spare.h"
#include "uefi/pcd.h"
#include "uefi/system_table.h"

namespace sim {

// The call log is the last firmware's memory (sim/common/spare.h).
Firmware::Firmware(PhysicalMemory& memory, Dispatch& dispatch) : memory_(memory), dispatch_(dispatch) {
  Spare<std::vector<ServiceCall>>::Take(calls_);
}

Firmware::~Firmware() { Spare<std::vector<ServiceCall>>::Leave(calls_); }

void Firmware::Log(std::string service, std::string detail, uint64_t status) {
  memory_.NoteStack(reinterpret_cast<uint64_t>(__builtin_frame_address(0)), kStackBase + kStackSize);
  calls_.push_back({std::move(service), std::move(detail), status});
}

uint64_t Firmware::NewHandle() { return memory_.FirmwareAlloc(16); }

void Firmware::Build(const FirmwareConfig& config) {
  config_ = config;
  BuildServiceTables();
  uint64_t entries = 0;
  uint64_t configTable = memory_.FirmwareAlloc(sizeof(EfiConfigurationTable) * 4);
  if (config.hobList) {
    BuildHobList(config.hobs, configTable);
    ++entries;
  }
  BuildSystemTable(configTable, entries);

  imageHandle_ = NewHandle();
  images_.push_back({imageHandle_, false});
  InstallModuleProtocols(config);
}

void Firmware::WriteSlot(uint64_t table, size_t offset, Service s) {
  memory_.Write<uint64_t>(table + offset, dispatch_.ServiceAddress(s));
}

void Firmware::WriteTableHeader(uint64_t table, uint64_t signature, uint32_t size) {
  memory_.Write<uint64_t>(table + offsetof(EfiTableHeader, Signature), signature);
  memory_.Write<uint32_t>(table + offsetof(EfiTableHeader, Revision), (2u << 16) | 70);
  memory_.Write<uint32_t>(table + offsetof(EfiTableHeader, HeaderSize), size);
}

// Boot services: every slot answers; the ones the platform does not model say so.
void Firmware::BuildServiceTables() {
  bootServices_ = memory_.FirmwareAlloc(sizeof(EfiBootServices));
  WriteTableHeader(bootServices_, kBootServicesSignature, sizeof(EfiBootServices));
  for (size_t off = sizeof(EfiTableHeader); off < sizeof(EfiBootServices); off += 8)
    WriteSlot(bootServices_, off, Service::Unimplemented);
  WriteSlot(bootServices_, offsetof(EfiBootServices, RaiseTpl), Service::RaiseTpl);
  WriteSlot(bootServices_, offsetof(EfiBootServices, RestoreTpl), Service::RestoreTpl);
  WriteSlot(bootServices_, offsetof(EfiBootServices, AllocatePool), Service::AllocatePool);
  WriteSlot(bootServices_, offsetof(EfiBootServices, FreePool), Service::FreePool);
  WriteSlot(bootServices_, offsetof(EfiBootServices, CreateEvent), Service::CreateEvent);
  WriteSlot(bootServices_, offsetof(EfiBootServices, SignalEvent), Service::SignalEvent);
  WriteSlot(bootServices_, offsetof(EfiBootServices, CloseEvent), Service::CloseEvent);
  WriteSlot(bootServices_, offsetof(EfiBootServices, InstallProtocolInterface), Service::InstallProtocolInterface);
  WriteSlot(bootServices_, offsetof(EfiBootServices, UninstallProtocolInterface), Service::UninstallProtocolInterface);
  WriteSlot(bootServices_, offsetof(EfiBootServices, RegisterProtocolNotify), Service::RegisterProtocolNotify);
  WriteSlot(bootServices_, offsetof(EfiBootServices, LocateProtocol), Service::LocateProtocol);
  WriteSlot(bootServices_, offsetof(EfiBootServices, CreateEventEx), Service::CreateEventEx);

  runtimeServices_ = memory_.FirmwareAlloc(0x88);
  WriteTableHeader(runtimeServices_, kRuntimeServicesSignature, 0x88);
}

// The hand-off information HOB first, as the earlier phase lays it out, then
// the scenario's GUID-extension HOBs, then the end of the list; the list goes
// into the configuration table's entry at `configEntry`.
void Firmware::BuildHobList(const std::vector<HobDesc>& hobs, uint64_t configEntry) {
  constexpr uint16_t kHandoffInfo = 1, kGuidExtension = 4, kEndOfList = 0xFFFF;
  constexpr uint16_t kHandoffLength = 56;
  uint64_t size = kHandoffLength + 8;
  for (const HobDesc& h : hobs) size += HobFootprint(h);
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
  for (const HobDesc& h : hobs) {
    const uint64_t footprint = HobFootprint(h);
    header(kGuidExtension, h.length ? *h.length : uint16_t(footprint));
    memory_.WriteBytes(at + 8, &h.name, sizeof(Guid));
    memory_.WriteBytes(at + 24, h.data.data(), std::min<uint64_t>(h.data.size(), footprint - 24));
    at += footprint;
  }
  header(kEndOfList, 8);
  memory_.WriteBytes(configEntry, &kHobListGuid, sizeof(Guid));
  memory_.Write<uint64_t>(configEntry + offsetof(EfiConfigurationTable, VendorTable), hobList_);
}

void Firmware::BuildSystemTable(uint64_t configTable, uint64_t entries) {
  systemTable_ = memory_.FirmwareAlloc(sizeof(EfiSystemTable));
  WriteTableHeader(systemTable_, kSystemTableSignature, sizeof(EfiSystemTable));
  memory_.Write<uint32_t>(systemTable_ + offsetof(EfiSystemTable, FirmwareRevision), 0x00010000);
  memory_.Write<uint64_t>(systemTable_ + offsetof(EfiSystemTable, RuntimeServices), runtimeServices_);
  memory_.Write<uint64_t>(systemTable_ + offsetof(EfiSystemTable, BootServices), bootServices_);
  memory_.Write<uint64_t>(systemTable_ + offsetof(EfiSystemTable, NumberOfTableEntries), entries);
  memory_.Write<uint64_t>(systemTable_ + offsetof(EfiSystemTable, ConfigurationTable), configTable);
}

// Other modules' protocols, present unless the scenario leaves them out.
void Firmware::InstallModuleProtocols(const FirmwareConfig& config) {
  auto install = [&](const Guid& guid, uint64_t iface) {
    interfaces_.push_back({NewHandle(), guid, iface, std::nullopt});
  };
  if (!config.faults.missingProtocols.count("pcd")) {
    uint64_t pcd = memory_.FirmwareAlloc(sizeof(PcdProtocol));
    for (size_t off = 0; off < sizeof(PcdProtocol); off += 8) WriteSlot(pcd, off, Service::Unimplemented);
    WriteSlot(pcd, offsetof(PcdProtocol, Get8), Service::PcdGet8);
    WriteSlot(pcd, offsetof(PcdProtocol, Get16), Service::PcdGet16);
    WriteSlot(pcd, offsetof(PcdProtocol, Get32), Service::PcdGet32);
    WriteSlot(pcd, offsetof(PcdProtocol, Get64), Service::PcdGet64);
    WriteSlot(pcd, offsetof(PcdProtocol, GetBool), Service::PcdGetBool);
    WriteSlot(pcd, offsetof(PcdProtocol, Set8), Service::PcdSet8);
    WriteSlot(pcd, offsetof(PcdProtocol, Set16), Service::PcdSet16);
    WriteSlot(pcd, offsetof(PcdProtocol, Set32), Service::PcdSet32);
    WriteSlot(pcd, offsetof(PcdProtocol, Set64), Service::PcdSet64);
    WriteSlot(pcd, offsetof(PcdProtocol, SetBool), Service::PcdSetBool);
    install(kPcdProtocolGuid, pcd);
  }
  if (!config.faults.missingProtocols.count("fabric_topology")) {
    uint64_t topo = memory_.FirmwareAlloc(4 * 8);
    WriteSlot(topo, offsetof(FabricTopologyProtocol, TopologySystemInfo), Service::TopologySystemInfo);
    WriteSlot(topo, offsetof(FabricTopologyProtocol, TopologySocketInfo), Service::TopologySocketInfo);
    WriteSlot(topo, offsetof(FabricTopologyProtocol, Unused), Service::TopologyUnused);
    WriteSlot(topo, offsetof(FabricTopologyProtocol, TopologyRootBusInfo), Service::TopologyRootBusInfo);
    install(FabricTopologyProtocolGuid, topo);
  }
  if (!config.faults.missingProtocols.count("smm_communication")) {
    uint64_t smm = memory_.FirmwareAlloc(sizeof(SmmCommunicationProtocol));
    WriteSlot(smm, offsetof(SmmCommunicationProtocol, Communicate), Service::SmmCommunicate);
    install(kSmmCommunicationProtocolGuid, smm);
  }
  // The protocol has no interface: its installation is the announcement.
  if (config.smmReadyToLock) install(kDxeSmmReadyToLockProtocolGuid, 0);
  if (!config.faults.missingProtocols.count("channel_info")) {
    uint64_t info = memory_.FirmwareAlloc(8);
    WriteSlot(info, offsetof(ChannelInfoProtocol, DieMemoryInfo), Service::DieMemoryInfo);
    install(ChannelInfoProtocolGuid, info);
  }
}

uint64_t Firmware::Unimplemented(const char* what) {
  Log("Unimplemented", what, EFI_UNSUPPORTED);
  return EFI_UNSUPPORTED;
}

}  // namespace sim
