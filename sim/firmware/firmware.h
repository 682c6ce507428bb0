// The firmware around the driver: system table, boot services with UEFI event
// and protocol semantics, pool memory by type, the PCD store, and the other
// modules' protocols the driver uses. Speaks physical addresses and values only;
// the dispatch backend turns the driver's calls into these.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/chip_select.h"
#include "core/fabric_topology.h"
#include "sim/common/text.h"
#include "sim/machine/boot_steps.h"
#include "sim/firmware/dispatch.h"
#include "sim/machine/memory.h"
#include "sim/scenario/desc.h"
#include "uefi/base.h"

namespace sim {

constexpr size_t kNoCall = ~size_t{0};

struct PoolBlock {
  uint64_t address;
  uint64_t size;
  uint32_t type;
  bool freed;
  size_t call;  // the AllocatePool call's place in Calls(); kNoCall for what the platform placed
  bool reused = false;      // freed, then handed out again (a later block has its address)
  bool byPlatform = false;  // placed by the platform (another module's memory), not allocated by the driver
};

// A misuse of pool memory the platform caught.
struct PoolFault {
  enum Kind { UseAfterFree, DoubleFree, NotAllocated, Overrun } kind;
  uint64_t address;  // the block, or the address FreePool was given
  uint64_t size;     // the block's size (0 for NotAllocated)
  uint64_t offset;   // UseAfterFree: the first byte written after the free; Overrun: the first
                     // guard byte written, from the block's start (two's complement when before it)
  uint64_t bytes;    // UseAfterFree: how many bytes of the block changed
};
const char* PoolFaultName(PoolFault::Kind kind);

// One call of the SMM Communication protocol, as the SMM side received it.
struct SmmMessage {
  uint64_t buffer;
  std::optional<uint64_t> size;  // what the size argument held; none when it was null
  uint64_t status;
  std::vector<uint8_t> bytes;    // header and data, as far as the message length and DRAM reach (at most 4096)
  bool s3Handler = false;        // the header named the S3 save handler, with a message long enough for it
  // For the S3 handler: the record the message named and the table it pointed
  // to, copied when the message arrived (the table as far as its pool block goes).
  std::vector<uint8_t> record;
  uint64_t table = 0;
  std::vector<uint8_t> tableCopy;
};

struct ServiceCall {
  std::string service;
  std::string detail;
  uint64_t status;
};

struct PcdWrite {
  uint64_t token;
  int width;  // bytes; 1 for booleans
  uint64_t value;
  uint64_t status;
};

struct InstalledInterface {
  uint64_t handle;
  Guid protocol;
  uint64_t interface;
  std::optional<unsigned> image;  // the copy of the driver that installed it; none: another module
};

struct TopologyDie {
  uint8_t rootBus;
  DieMemoryCounts memory;
};
struct TopologySocket {
  std::vector<TopologyDie> dies;
};

struct FirmwareConfig {
  std::map<uint64_t, uint64_t> pcd;  // token -> value
  std::vector<TopologySocket> sockets;
  bool hobList = true;  // a HOB-list entry in the configuration table
  std::vector<HobDesc> hobs;
  bool smmReadyToLock = false;  // the DxeSmmReadyToLock protocol is installed before the driver starts
  FirmwareFaults faults;
};

class Firmware {
 public:
  Firmware(PhysicalMemory& memory, Dispatch& dispatch);
  ~Firmware();
  Firmware(const Firmware&) = delete;
  Firmware& operator=(const Firmware&) = delete;
  void Build(const FirmwareConfig& config);

  uint64_t SystemTable() const { return systemTable_; }
  uint64_t ImageHandle() const { return imageHandle_; }

  // Drivers of the package in this boot: copy 0 is the first; each further one
  // gets its own image handle. The events a copy creates are its own; a copy
  // whose entry failed is unloaded, and its notify functions never run again.
  unsigned LoadImage();
  uint64_t ImageHandleOf(unsigned image) const { return images_.at(image).handle; }
  void EnterImage(unsigned image) { currentImage_ = image; }
  void UnloadImage(unsigned image) { images_.at(image).unloaded = true; }
  bool Unloaded(unsigned image) const { return images_.at(image).unloaded; }
  size_t ImageCount() const { return images_.size(); }
  uint64_t HobList() const { return hobList_; }

  // Boot services.
  uint64_t RaiseTpl(uint64_t tpl);
  void RestoreTpl(uint64_t tpl);
  uint64_t AllocatePool(uint32_t type, uint64_t size, uint64_t* address);
  uint64_t FreePool(uint64_t address);
  uint64_t CreateEvent(uint32_t type, uint64_t tpl, uint64_t notify, uint64_t context, const Guid* group,
                       uint64_t* event);
  uint64_t SignalEvent(uint64_t event);
  uint64_t CloseEvent(uint64_t event);
  uint64_t InstallProtocolInterface(uint64_t* handle, const Guid& protocol, uint32_t type, uint64_t interface);
  // Removes the interface from the handle; EFI_NOT_FOUND when that handle does
  // not carry that protocol with that interface.
  uint64_t UninstallProtocolInterface(uint64_t handle, const Guid& protocol, uint64_t interface);
  uint64_t RegisterProtocolNotify(const Guid& protocol, uint64_t event, uint64_t* registration);
  uint64_t LocateProtocol(const Guid& protocol, uint64_t registration, uint64_t* interface);
  // A protocol another module installed before the driver started.
  void Preinstall(const Guid& protocol, uint64_t interface);

  // An application after the boot (sim/firmware/firmware_application.cpp): the
  // console's text output under the system table's ConOut, and HandleProtocol and
  // LocateHandle in the boot services, which the driver never calls. Returns the
  // application's image handle; the console collects what it prints.
  uint64_t PrepareApplication();
  uint64_t HandleProtocol(uint64_t handle, const Guid& protocol, uint64_t* iface);
  // By protocol (search type 2) only; *size in bytes, as the service takes it.
  uint64_t LocateHandle(uint32_t searchType, const Guid* protocol, uint64_t* size, std::vector<uint64_t>* handles);
  uint64_t ConsoleOutput(const std::u16string& text);
  // What reached the console, UCS-2 narrowed to bytes ('?' beyond ASCII).
  const std::string& ConsoleText() const { return console_; }

  // PCD.
  uint64_t PcdGet(uint64_t token, int width);
  uint64_t PcdSet(uint64_t token, int width, uint64_t value);

  // SMM Communication protocol.
  uint64_t SmmCommunicate(uint64_t self, uint64_t buffer, const uint64_t* size);

  // Fabric topology protocol.
  uint64_t TopologySystemInfo(uint64_t* sockets, uint64_t* dies);
  uint64_t TopologySocketInfo(uint64_t socket, uint64_t* dies);
  uint64_t TopologyRootBusInfo(uint64_t socket, uint64_t die, uint64_t index, uint64_t* bus);
  uint64_t Unimplemented(const char* what);
  // Channel information protocol.
  uint64_t DieMemoryInfo(uint64_t socket, uint64_t die, DieMemoryCounts* counts);

  // What the platform does after the entry: signal an event group, install a protocol.
  void SignalGroup(const Guid& group);
  uint64_t InstallByPlatform(const Guid& protocol, uint64_t interface);

  // What other modules leave: pool memory that is not the driver's (no fault
  // applies, no AllocatePool call is counted; 0 when memory is full), PCD values.
  uint64_t PlacePool(uint32_t type, uint64_t size);
  void SetPcd(uint64_t token, uint64_t value) { config_.pcd[token] = value; }

  // Checks the guard bytes around every block, and every freed block that was
  // not handed out again for writes after its free; each block's fault is reported once. Runs at the end of a boot, when
  // a platform is destroyed and before a freed block is reused.
  void CheckPool();

  // What happened.
  const std::vector<PoolBlock>& Pool() const { return pool_; }
  const std::vector<ServiceCall>& Calls() const { return calls_; }
  const std::vector<PcdWrite>& PcdWrites() const { return pcdWrites_; }
  const std::vector<InstalledInterface>& Interfaces() const { return interfaces_; }
  const std::vector<PoolFault>& PoolFaults() const { return poolFaults_; }
  void ClearPoolFaults() { poolFaults_.clear(); }  // for tests that cause faults on purpose
  const std::vector<SmmMessage>& SmmMessages() const { return smmMessages_; }
  std::optional<uint64_t> PcdValue(uint64_t token) const;
  size_t OpenEventCount() const;
  struct EventInfo {
    uint64_t handle;
    uint32_t type;
    uint64_t tpl;
    uint64_t notify;
    uint64_t context;
    std::optional<Guid> group;
    bool closed;
    uint64_t notifications;  // times its notify function ran
    std::optional<Guid> registeredFor;  // the protocol whose installations signal it (RegisterProtocolNotify)
    unsigned image = 0;                 // the copy of the driver that created it
  };
  // Open events whose notify function lies in an unloaded copy of the driver.
  std::vector<EventInfo> StaleEvents() const;
  // Signals of such events: the firmware would have called into freed code.
  uint64_t StaleNotifies() const { return staleNotifies_; }
  const std::vector<EventInfo>& Events() const { return events_; }
  // Every notify function run, in order: its event and the level it ran at.
  struct NotifyRun {
    uint64_t event;
    uint64_t tpl;
  };
  const std::vector<NotifyRun>& NotifyRuns() const { return notifyRuns_; }
  uint64_t CurrentTpl() const { return tpl_; }
  // The step of the boot the driver's calls show it is in.
  BootStepMarker& Steps() { return steps_; }
  const BootStepMarker& Steps() const { return steps_; }

 private:
  void Log(std::string service, std::string detail, uint64_t status);
  EventInfo* FindEvent(uint64_t handle);
  void QueueNotify(EventInfo& event);
  void DispatchPending();
  uint64_t NewHandle();
  uint64_t Install(uint64_t* handle, const Guid& protocol, uint32_t type, uint64_t interface, bool byPlatform);
  void CheckBlock(size_t index);
  // The tables Build lays out, in the order their memory is taken.
  void WriteSlot(uint64_t table, size_t offset, Service s);
  void WriteTableHeader(uint64_t table, uint64_t signature, uint32_t size);
  void BuildServiceTables();
  void BuildHobList(const std::vector<HobDesc>& hobs, uint64_t configEntry);
  void BuildSystemTable(uint64_t configTable, uint64_t entries);
  void InstallModuleProtocols(const FirmwareConfig& config);

  PhysicalMemory& memory_;
  Dispatch& dispatch_;
  FirmwareConfig config_;
  uint64_t systemTable_ = 0, bootServices_ = 0, runtimeServices_ = 0, imageHandle_ = 0, hobList_ = 0;
  uint64_t tpl_ = TPL_APPLICATION;
  uint64_t allocationCalls_ = 0, createEventCalls_ = 0, createEventExCalls_ = 0, installCalls_ = 0, locateCalls_ = 0;
  struct LoadedImage {
    uint64_t handle;
    bool unloaded;
  };
  std::vector<LoadedImage> images_;
  std::vector<uint64_t> applications_;  // image handles of applications run after the boot
  std::string console_;
  unsigned currentImage_ = 0;
  uint64_t staleNotifies_ = 0;
  std::vector<PoolBlock> pool_;
  std::vector<PoolFault> poolFaults_;
  std::set<size_t> checkedBlocks_;  // freed blocks whose use after free is already reported
  std::set<size_t> overrunBlocks_;  // blocks whose guard write is already reported
  std::vector<SmmMessage> smmMessages_;
  std::vector<ServiceCall> calls_;
  std::vector<PcdWrite> pcdWrites_;
  std::vector<InstalledInterface> interfaces_;
  std::vector<EventInfo> events_;
  std::vector<NotifyRun> notifyRuns_;
  std::vector<uint64_t> pending_;  // events whose notify function is due, in signal order
  struct Registration {
    uint64_t id;
    Guid protocol;
    uint64_t event;
    size_t seen;  // interfaces_ index up to which LocateProtocol has handed out
  };
  std::vector<Registration> registrations_;
  BootStepMarker steps_;
};

}  // namespace sim
