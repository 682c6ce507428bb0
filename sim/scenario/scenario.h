// A platform described in a scenario file (TOML): its sockets and dies, register
// values, MSRs, CPUID, PCD values, which protocols exist, the debug agent, faults
// to inject, and what the boot does after the image entry.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/images/flash_image.h"
#include "sim/scenario/desc.h"

namespace sim {

struct DieDesc {
  uint8_t rootBus = 0;
  uint16_t vendor = kFabricVendorId;        // of the fabric device; 0xFFFF: nothing answers
  std::map<uint32_t, uint32_t> internal;    // the root's internal registers through the window
  // The memory controller's channels 0 and 1: register values by offset from
  // the channel's block (internal address kChannelRegisterBase + channel x
  // kChannelRegisterStride; core/channel_registers.h).
  std::vector<std::map<uint32_t, uint32_t>> channels;
  // What the channel information protocol reports for the die (memory_info);
  // by default derived from the channels' base-address registers.
  std::optional<DieMemoryCounts> memoryInfo;
};

// Bytes placed in physical memory before the driver starts: the DRUX block
// ([drux]) and raw data ([[memory]]). Later placements win where they overlap.
struct MemoryPlacement {
  std::string what;  // key path, for the report
  uint64_t address = 0;
  std::vector<uint8_t> bytes;
};

struct SocketDesc {
  std::vector<DieDesc> dies;
};

struct PciDesc {
  uint8_t bus = 0, device = 0, function = 0;
  uint16_t vendor = kFabricVendorId, deviceId = 0;
  std::map<uint16_t, uint32_t> config;  // 32-bit registers by offset
};

struct Scenario {
  std::string name;
  std::string description;
  std::string path;  // the file it came from, if any

  std::vector<SocketDesc> sockets;
  std::vector<PciDesc> pci;
  uint16_t smiCommandPort = 0x00B2;

  std::map<uint64_t, uint64_t> pcd;
  std::map<uint32_t, uint64_t> msrs;
  std::map<uint32_t, CpuidValue> cpuid;
  std::map<uint16_t, uint32_t> ports;
  uint64_t dr2 = 0, dr3 = 0, dr7 = 0x400, cr4 = 0x660;
  uint64_t tscStart = 0, tscPerRead = 100, tscPerPause = 50000000;
  uint64_t accessLimit = 5000000;

  bool agentPresent = false;
  uint32_t agentAnswer = 1;
  std::vector<AgentActionDesc> agentActions;  // [[agent.on_trap]]
  // The UARTs: the one at [serial] base (0x3F8 by default) and, when that is
  // elsewhere, the first serial port at 0x3F8 ([raw_uart]).
  std::vector<UartDesc> uarts = {UartDesc{}};
  // The debug agent's mailbox buffer ([mailbox]); none unless the scenario asks.
  // An earlier driver of the package created it, so it comes with one.
  std::optional<MailboxDesc> mailbox;
  // A driver of the package that started earlier ([earlier_driver]; the platform
  // adds one for a [mailbox] too).
  std::optional<EarlierDriverDesc> earlierDriver;
  bool hobList = true;
  std::vector<HobDesc> hobs;      // GUID-extension HOBs, in list order; heap HOBs last
  uint16_t pm1ControlBase = 0x0400;  // I/O base of the ACPI PM1 control register; 0: not programmed
  uint8_t sleepType = 0;           // what the PM1 control register's SLP_TYP field holds
  FirmwareFaults faults;
  bool smmReadyToLock = false;     // DxeSmmReadyToLock installed before the driver starts
  // The S3 save table, the other driver's record and the PCD 350 buffer ([s3]);
  // none unless the scenario asks.
  std::optional<S3Desc> s3;
  // The boot flash ([flash]), built when the file is read; none unless the
  // scenario describes one. How the PSP answers ([psp]).
  std::shared_ptr<const FlashImage> flash;
  PspDesc psp;
  // The fabric registers the MMIO allocator reads ([fabric]); by default from [[socket]].
  FabricDesc fabric;
  // The DRUX block [drux] describes (flash entries with `drux = true` carry it), and placed bytes.
  std::optional<std::vector<uint8_t>> druxBlock;
  std::optional<uint64_t> druxAddress;  // where [drux] puts it in memory
  std::vector<MemoryPlacement> placements;

  // After the entry returns: "ready_to_boot" signals the ReadyToBoot group,
  // "smm_ready_to_lock" installs the DxeSmmReadyToLock protocol.
  std::vector<std::string> events;
  // What each "mmio_request" event asks, in event order ([[boot.mmio_request]]).
  std::vector<MmioRequestDesc> mmioRequests;
};

struct ScenarioError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The channel information protocol's counts for a die without memory_info:
// channels up to the last one with an enabled chip select, DIMMs per channel up
// to the last DIMM (chip selects 2d, 2d + 1) enabled on any channel, and two
// ranks when any DIMM's second chip select is enabled, else one (none: 0).
DieMemoryCounts DerivedMemoryCounts(const DieDesc& die);

// Whether the fabric device of (socket, die) exists on the platform.
bool FabricDevicePresent(const Scenario& s, size_t socket, size_t die);

// Reads a scenario file; a bad file throws ScenarioError naming the file, the line and the key.
Scenario LoadScenario(const std::string& path);
Scenario ParseScenario(const std::string& text, const std::string& sourceName);

// The boot events a scenario may name.
constexpr const char* kEventReadyToBoot = "ready_to_boot";
constexpr const char* kEventSmmReadyToLock = "smm_ready_to_lock";
// Another driver of the package starts: a fresh copy of the driver, its own image handle.
constexpr const char* kEventStartDriver = "start_driver";
// Another driver of the package asks the fabric MMIO allocator for a range.
constexpr const char* kEventMmioRequest = "mmio_request";

}  // namespace sim
