// The descriptions a scenario fills and the platform's models are set up from:
// plain values in the format's terms, depending on no model. The models include
// this header; the format includes none of theirs.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/fabric_registers.h"
#include "psp/flash.h"
#include "services/heap.h"
#include "sim/common/address_map.h"
#include "uefi/base.h"

namespace sim {

// PCI identifiers of the modelled fabric devices and their roots: the vendor is
// the fabric's, the one the driver looks for (kFabricVendorId); the device
// identifiers are invented for this platform.
constexpr uint16_t kFabricDeviceIdBase = 0xFAB0;  // + function number
constexpr uint16_t kRootDeviceId = 0x0B00;

struct CpuidValue {
  uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

struct UartDesc {
  uint64_t base = kComPort1;
  bool busy = false;          // the line status never shows the transmitter ready
  uint64_t busyReadings = 0;  // after each transmitted byte, this many readings show it busy
  // The line status while busy: 0x00, or 0x20 for a holding register already
  // empty while the transmitter still shifts out the last byte.
  uint8_t busyStatus = 0x00;
};

// The start of the debug agent's mailbox buffer as a scenario describes it.
struct MailboxDesc {
  uint32_t signature = 0xDB1099CC;
  uint16_t capacity = 64;            // collect area bytes, at offset 6
  uint16_t held = 0;                 // bytes already held, at offset 8
  uint8_t output = 1;                // output switch, at offset 10
  uint8_t collect = 0;               // collect mode, at offset 18
  uint64_t mask = 0x100401008A300408ull;  // the channel's level mask, at offset 24
  std::optional<uint32_t> size;      // bytes in the buffer; default 513 + capacity
  uint32_t Size() const { return size ? *size : 513u + capacity; }
};

// How the PSP answers the mailbox status word.
// One step of a status word that changes: `status` for `reads` reads.
struct PspStatusStep {
  uint32_t status = 0;
  uint64_t reads = 0;  // the last step's is not counted: it holds for every later read
};

// What the debug agent does when it takes a trap of `code`: it writes `value`
// (`width` bytes, 1, 2, 4 or 8) at `address` in DRAM before the trap returns.
struct AgentActionDesc {
  uint32_t code = 0;
  uint64_t address = 0;
  uint8_t width = 4;
  uint64_t value = 0;
};

struct PspDesc {
  std::optional<uint64_t> windowBase;  // a base already in the window registers
  uint32_t status = PspMailboxStatus::Booted::kMask;  // the status word once the PSP is ready
  uint64_t readyAfter = 0;             // status reads that show neither bit 29 nor 30 first
  // When not empty, the answers read after read instead of `status` and `readyAfter`.
  std::vector<PspStatusStep> sequence;
};

struct FirmwareFaults {
  static constexpr uint64_t kEveryCall = ~0ull;
  uint64_t failAllocation = 0;  // the Nth AllocatePool call fails (1-based); 0: none
  bool failInstallProtocol = false;              // every installation fails
  std::optional<Guid> failInstallOf;             // only installations of this protocol fail
  uint64_t failCreateEvent = 0;    // the Nth CreateEvent call fails, or kEveryCall; 0: none
  uint64_t failCreateEventEx = 0;  // the same for CreateEventEx
  // Not 0: the call picked above creates its event and answers this warning
  // (a status without the high bit) instead of failing.
  uint64_t createEventWarning = 0;
  uint64_t failInstallCall = 0;    // the Nth InstallProtocolInterface call of a driver fails; 0: none
  uint64_t failLocateCall = 0;     // the Nth LocateProtocol call answers EFI_NOT_FOUND; 0: none
  std::set<std::string> missingProtocols;  // "pcd", "fabric_topology", "channel_info", "smm_communication"
};

// What the channel information protocol reports for a die; a non-zero status
// makes its query fail.
struct DieMemoryCounts {
  uint64_t channels = 0, dimms = 0, ranks = 0;
  uint64_t status = 0;
};

// A GUID-extension HOB the earlier boot phase left.
struct HobDesc {
  Guid name;
  std::vector<uint8_t> data;
  // The length field, when not the HOB's own (24 + data, rounded up to 8). The
  // HOB then takes that many bytes of the list (data cut or padded with zero);
  // one shorter than its 24-byte header takes its own length, and ends every
  // search there.
  std::optional<uint16_t> length;
};
// Bytes of the HOB list the HOB takes.
uint64_t HobFootprint(const HobDesc& hob);

// A heap HOB of the earlier phase: the header's fields, the buffer's contents
// as the HOB carries them, and optionally a HOB length other than its own.
struct HeapHobDesc {
  uint32_t signature = kHeapSignature;
  uint32_t handle = 0;
  uint32_t size = 0;  // the header's size field
  uint8_t persist = 4;
  uint8_t valid = kHeapValid;
  std::vector<uint8_t> data;
  std::optional<uint16_t> length;
};
HobDesc HeapHob(const HeapHobDesc& desc);

// A buffer an earlier driver created: a node of its list.
struct HeapBufferDesc {
  uint32_t signature = kHeapSignature;
  uint32_t handle = 0;
  uint8_t persist = 4;
  std::vector<uint8_t> data;  // the buffer's contents; its size is theirs
};

// A driver of the package that started before this one: it imported the heap
// HOBs and created its own buffers (the debug agent's mailbox among them, when
// the scenario has one).
struct EarlierDriverDesc {
  std::vector<HeapBufferDesc> buffers;
};

// What [s3] describes.
struct S3Desc {
  bool table = true;                   // the other driver leaves a save table
  uint32_t signature = 0x54335341;     // at offset 0
  uint64_t endMarkerOffset = 0x100;    // the u64 at offset 32
  uint32_t endMarker = 0x01558844;     // the u32 at that offset
  uint64_t terminatorOffset = 0x104;   // the u64 at offset 40
  uint64_t size = 0;                   // bytes; 0: just enough for the fields
  bool published = false;              // the other driver's record is in PCD 349 before this driver starts
  bool commBuffer = true;              // PCD 350 names a buffer

  static constexpr uint64_t kMaxSize = 0x10000;
  static constexpr uint64_t kHeaderSize = 48;
  // The bytes the table needs for its fields at least.
  uint64_t FieldsEnd() const;
  uint64_t TableSize() const { return size != 0 ? size : (FieldsEnd() + 15) & ~15ull; }
};

struct FabricDesc {
  std::optional<uint32_t> systemConfig;         // function 1, 0x200 of socket 0, die 0
  std::optional<std::vector<uint32_t>> busRanges;  // up to eight, from 0xA0; the rest read 0
  std::array<uint32_t, 8> aboveTopSelect{};     // function 0, 0x3FC, by slot (socket x 4 + die)
};

// A request another driver of the package makes of the fabric MMIO allocator
// (an "mmio_request" boot event): the arguments FabricAddMmioMap takes.
struct MmioRequestDesc {
  // The target: a socket and die (socket 0 to 3, die 0 to 7, as the target
  // word's fields hold them), or a PCI bus the fabric's bus-range map leads to a die.
  uint8_t socket = 0, die = 0;
  std::optional<uint8_t> bus;
  uint8_t attribute = 0;  // bits 7:6 the request type
  uint64_t length = 0;
  uint64_t base = 0;      // what the caller's Base holds before the call
  uint16_t Target() const;
};

}  // namespace sim
