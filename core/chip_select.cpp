#include "core/chip_select.h"

#include "core/fabric_topology.h"
#include "core/meminfo.h"
#include "diag/debug_print.h"
#include "platform/firmware_services.h"
#include "platform/hw.h"
#include "psp/drux.h"
#include "psp/flash_region.h"
#include "services/reserved_buffer.h"

namespace {

// The first bytes of the entry, as far as the entry reaches; bytes the entry
// does not hold read as the invalid marker, so a marker there stops the build.
void CopyDieMemory(const DruxEntry* entry, uint8_t (&copy)[kDieMemoryCopySize]) {
  const uint64_t at = hw::PtrToPhys(entry);
  const PhysRegion data(at, PhysRegion(at, sizeof(DruxEntry)).Read32(offsetof(DruxEntry, EntrySize)));
  for (uint64_t i = 0; i < sizeof(copy); ++i) copy[i] = i < data.Size() ? data.Read8(i) : kDieMemoryMarkerInvalid;
}

// Appends the chip selects of one die; false when the build stops (a marker of
// 0xFF, or counts whose records the copy does not hold).
bool AddDie(ChipSelectTable* table, uint64_t* n, uint64_t socket, uint64_t die, uint64_t channels, uint64_t dimms,
            uint64_t ranks, const uint8_t (&copy)[kDieMemoryCopySize], EfiStatus* status) {
  if (channels > kDieMemoryChannelRecords || dimms > kDieMemoryDimmRecords) {
    DebugPrint(kDebugLevelCore, "socket %x die %x: %lx channels, %lx DIMMs: more records than the entry holds\n",
               socket, die, channels, dimms);
    return false;
  }
  for (uint64_t j = 0; j < channels; ++j) {
    if (copy[DieMemoryChannelMarker(j)] == kDieMemoryMarkerInvalid) return false;
    for (uint64_t m = 0; m < dimms; ++m) {
      if (copy[DieMemoryDimmMarker(j, m)] == kDieMemoryMarkerInvalid) return false;
      for (uint64_t rank = 0; rank < (ranks > 1 ? 2 : 1); ++rank) {
        if (*n == kChipSelectTableEntries) {
          *status = EFI_BUFFER_TOO_SMALL;
          return false;
        }
        ChipSelectEntry& e = table->Entries[*n];
        e.Sequence = *n;
        e.Socket = uint8_t(socket);
        e.Channel = uint8_t(j);
        e.Die = uint8_t(die);
        e.Dimm = uint8_t(m);
        e.Rank = uint8_t(rank);
        ++*n;
      }
    }
  }
  return true;
}

}  // namespace

// The table is published only when the walk completes; a call that answers
// anything but success (a warning too), a missing entry or an invalid marker
// leaves the record without it. Out of line: inlined into the driver body, its
// walk and the entry look-ups it calls take more room in the image.
__attribute__((noinline)) EfiStatus ChipSelectTableBuild(MemInfoRecord& record) {
  void* topologyInterface;
  void* channelInterface;
  ProtocolLocate(&FabricTopologyProtocolGuid, &topologyInterface);
  ProtocolLocate(&ChannelInfoProtocolGuid, &channelInterface);

  void* block;
  EfiStatus status = ReservedBufferAllocate(sizeof(ChipSelectTable), &block);
  if (EfiError(status)) return status;
  auto* table = static_cast<ChipSelectTable*>(block);

  // Without either protocol there is nothing to call: no table.
  auto* topology = static_cast<FabricTopologyProtocol*>(topologyInterface);
  auto* channelInfo = static_cast<ChannelInfoProtocol*>(channelInterface);
  if (topology == nullptr || channelInfo == nullptr) {
    DebugPrint(kDebugLevelCore, "chip-select table: a protocol is missing, no table\n");
    return EFI_NOT_FOUND;
  }

  uint64_t n = 0;
  uint64_t sockets = 0, dieTotal = 0;
  if (topology->TopologySystemInfo(topology, &sockets, &dieTotal, nullptr) != EFI_SUCCESS) return status;
  for (uint64_t socket = 0; socket < sockets; ++socket) {
    uint64_t dies = 0;
    if (topology->TopologySocketInfo(topology, socket, &dies, nullptr, nullptr, nullptr) != EFI_SUCCESS) return status;
    for (uint64_t die = 0; die < dies; ++die) {
      // The entry's bytes and the DRUX instance hold socket and die numbers up to 255.
      if ((socket | die) > 0xFF) return status;
      uint64_t channels = 0, dimms = 0, ranks = 0;
      if (channelInfo->DieMemoryInfo(channelInfo, socket, die, &channels, &dimms, &ranks) != EFI_SUCCESS) return status;
      DruxEntry* entry = nullptr;
      if (EfiError(VyrPspGetDruxEntryInstance(kDruxGroupMemory, kDruxTypeDieMemory, DruxDieInstance(socket, die), 0,
                                              &entry)))
        return status;
      uint8_t copy[kDieMemoryCopySize];
      CopyDieMemory(entry, copy);
      if (!AddDie(table, &n, socket, die, channels, dimms, ranks, copy, &status)) return status;
    }
  }
  record.ChipSelectCount = n;
  record.ChipSelectEntries = hw::PtrToPhys(table);
  return status;
}
