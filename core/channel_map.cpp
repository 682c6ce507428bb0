#include "core/channel_map.h"

#include "core/fabric_topology.h"
#include "core/meminfo.h"
#include "diag/debug_print.h"
#include "platform/access.h"
#include "platform/firmware_services.h"
#include "platform/hw.h"
#include "platform/mem.h"

namespace {

constexpr uint64_t kRootBusLimit = 0xFF;

// The channel's 34 registers, in the order the dump groups read them. Each is
// read once; values that several fields take bits from are kept, not read again.
constexpr uint16_t kReadOrder[kChannelRegisterCount] = {
    kRegBaseAddr, kRegBaseAddr + 4, kRegBaseAddr + 8, kRegBaseAddr + 12,
    kRegAddrMask, kRegAddrMask + 4,
    kRegBaseAddrSec, kRegBaseAddrSec + 4, kRegBaseAddrSec + 8, kRegBaseAddrSec + 12,
    kRegAddrMaskSec, kRegAddrMaskSec + 4,
    kRegDimmCfg, kRegDimmCfg + 4, kRegBankGroup,
    kRegAddrCfg,
    kRegAddrCfg + 4,
    kRegAddrSel, kRegAddrSel + 4,
    kRegColSelLo, kRegColSelLo + kRegColSelStride,
    kRegColSelHi, kRegColSelHi + kRegColSelStride,
    kRegRmSel, kRegRmSel + 4,
    kRegRmSelSec, kRegRmSelSec + 4,
    kRegAddrHashBank, kRegAddrHashBank + 4, kRegAddrHashBank + 8, kRegAddrHashBank + 12, kRegAddrHashBank + 16,
    kRegAddrHashCS, kRegAddrHashCS + 4,
};
// Where each group's registers start in that order.
enum ReadIndex : uint32_t {
  kBase = 0, kMask = 4, kSec = 6, kMaskSec = 10, kDimm = 12, kBankGroups = 14, kCfg0 = 15, kCfg1 = 16, kSel = 17,
  kColLo = 19, kColHi = 21, kRm = 23, kRmSec = 25, kHashBank = 27, kHashCs = 32, kReadCount = 34,
};
static_assert(kReadCount == kChannelRegisterCount);

// Reads a channel's registers through its root's index/data window, in
// kReadOrder, as far as a group needs them. Each read writes the index, then
// reads the data, with nothing in between.
struct ChannelReader {
  uint64_t Index;
  uint64_t Data;
  uint32_t Base;
  uint32_t Next;
  uint32_t Value[kChannelRegisterCount];

  void ReadUpTo(uint32_t end) {
    for (; Next < end; ++Next) {
      hw::Write32(Index, Base + kReadOrder[Next]);
      Value[Next] = hw::Read32(Data);
    }
  }
};

constexpr uint32_t Bit(uint32_t value, uint32_t bit) { return (value >> bit) & 1; }

// The AddrCfg word of a DIMM from its register R and the enable bits of its two
// chip selects' primary (base) and secondary (sec) base-address registers, as read.
constexpr uint32_t AddrCfgWord(uint32_t r, uint32_t base0, uint32_t base1, uint32_t sec0, uint32_t sec1) {
  return Bit(base0, 0) | Bit(base1, 0) << 1 | ((r >> 20) & 3) << 4 | ((r >> 4) & 3) << 6 | (r & 0xFFF00) |
         ((r >> 2) & 3) << 20 | Bit(sec0, 0) << 24 | Bit(sec1, 0) << 25;
}
static_assert(AddrCfgWord(0x0030000C, 1, 0, 1, 0) == 0x01300031);

}  // namespace

// Each group reads its registers, stores its values, then prints them.
uint8_t ChannelCapture(ChannelMapSnapshot* map, uint64_t socket, uint64_t die, uint64_t channel, uint64_t rootBus) {
  const uint32_t s = ChannelSlot(socket, die, channel);
  ChannelReader c;
  c.Index = IndexRegisterAddress(rootBus);
  c.Data = DataRegisterAddress(rootBus);
  c.Base = uint32_t(kChannelRegisterBase + channel * kChannelRegisterStride);
  c.Next = 0;
  const uint32_t* r = c.Value;

  c.ReadUpTo(kMask);
  for (uint32_t cs = 0; cs < 4; ++cs) map->BaseAddr[s][cs] = r[kBase + cs] & ~1u;
  DebugPrint(kDebugLevelCore, "\t\tBaseAddr-x00\t\tChannel %x cs0 = %08x cs1 = %08x cs2 = %08x cs3 = %08x\n", s,
             map->BaseAddr[s][0], map->BaseAddr[s][1], map->BaseAddr[s][2], map->BaseAddr[s][3]);

  c.ReadUpTo(kSec);
  for (uint32_t d = 0; d < 2; ++d) map->AddrMask[s][d] = r[kMask + d] | 1;
  DebugPrint(kDebugLevelCore, "\t\tAddrMask-x20\t\tChannel %x Dimm0 = %08x Dimm1 = %08x\n", s, map->AddrMask[s][0],
             map->AddrMask[s][1]);

  c.ReadUpTo(kMaskSec);
  for (uint32_t cs = 0; cs < 4; ++cs) map->BaseAddrSec[s][cs] = r[kSec + cs] & ~1u;
  DebugPrint(kDebugLevelCore, "\t\tBaseAddrSec-x10\t\tChannel %x cs0 = %08x cs1 = %08x cs2 = %08x cs3 = %08x\n", s,
             map->BaseAddrSec[s][0], map->BaseAddrSec[s][1], map->BaseAddrSec[s][2], map->BaseAddrSec[s][3]);

  c.ReadUpTo(kDimm);
  for (uint32_t d = 0; d < 2; ++d) map->AddrMaskSec[s][d] = r[kMaskSec + d] | 1;
  DebugPrint(kDebugLevelCore, "\t\tAddrMaskSec-x28\t\tChannel %x Dimm0 = %08x Dimm1 = %08x\n", s,
             map->AddrMaskSec[s][0], map->AddrMaskSec[s][1]);

  // DDR4eEn from each DIMM's own register, BankGroupEn from one register for both.
  c.ReadUpTo(kCfg0);
  for (uint32_t d = 0; d < 2; ++d)
    map->DimmCfg[s][d] = Bit(r[kDimm + d], 11) * kDimmCfgDdr4eEn | Bit(r[kBankGroups], 8) * kDimmCfgBankGroupEn;
  DebugPrint(kDebugLevelCore,
             "\t\tDimmCfg-x28[11]-x200[8]\tChannel %x Dimm0 DDR4eEn = %x BankGroupEn = %x, Dimm1 DDR4eEn = %x "
             "BankGroupEn = %x\n",
             s, Bit(map->DimmCfg[s][0], 13), Bit(map->DimmCfg[s][0], 5), Bit(map->DimmCfg[s][1], 13),
             Bit(map->DimmCfg[s][1], 5));

  // One group per DIMM. The enable bits come from the base-address registers as
  // read, before bit 0 was cleared.
  for (uint32_t d = 0; d < 2; ++d) {
    c.ReadUpTo(kCfg0 + d + 1);
    map->AddrCfg[s][d] =
        AddrCfgWord(r[kCfg0 + d], r[kBase + 2 * d], r[kBase + 2 * d + 1], r[kSec + 2 * d], r[kSec + 2 * d + 1]);
    DebugPrint(kDebugLevelCore,
               d == 0 ? "\t\tAddrCfg-x30\t\tChannel %x Dimm0 = %08x ([25:24]BaseAddrSec CSEnable, [1:0]BaseAddr CSEnable)\n"
                      : "\t\tAddrCfg-x30\t\tChannel %x Dimm1 = %08x ([25:24]BaseAddrSec CSEnable, [1:0]BaseAddr CSEnable)\n",
               s, map->AddrCfg[s][d]);
  }

  // Both fields come from the same two AddrSel registers; bits 23:20 go into neither.
  c.ReadUpTo(kColLo);
  for (uint32_t d = 0; d < 2; ++d) map->BankBit[s][d] = r[kSel + d] & 0xFFFFF;
  DebugPrint(kDebugLevelCore, "\t\tAddrSel-x40\t\tChannel %x BankBit Dimm0 = %08x Dimm1 = %08x\n", s,
             map->BankBit[s][0], map->BankBit[s][1]);
  for (uint32_t d = 0; d < 2; ++d) map->RowHiLo[s][d] = r[kSel + d] >> 24;
  DebugPrint(kDebugLevelCore, "\t\tAddrSel-x40\t\tChannel %x RowHiLo Dimm0 = %08x Dimm1 = %08x\n", s,
             map->RowHiLo[s][0], map->RowHiLo[s][1]);

  c.ReadUpTo(kColHi);
  for (uint32_t d = 0; d < 2; ++d) map->ColSelLo[s][d] = r[kColLo + d];
  DebugPrint(kDebugLevelCore, "\t\tColSelLo-x50\t\tChannel %x Dimm0 = %08x Dimm1 = %08x\n", s, map->ColSelLo[s][0],
             map->ColSelLo[s][1]);

  c.ReadUpTo(kRm);
  for (uint32_t d = 0; d < 2; ++d) map->ColSelHi[s][d] = r[kColHi + d];
  DebugPrint(kDebugLevelCore, "\t\tColSelHi-x54\t\tChannel %x Dimm0 = %08x Dimm1 = %08x\n", s, map->ColSelHi[s][0],
             map->ColSelHi[s][1]);

  c.ReadUpTo(kRmSec);
  for (uint32_t d = 0; d < 2; ++d) map->RmSel[s][d] = r[kRm + d];
  DebugPrint(kDebugLevelCore, "\t\tRmSel-x70\t\tChannel %x Dimm0 = %08x Dimm1 = %08x\n", s, map->RmSel[s][0],
             map->RmSel[s][1]);

  c.ReadUpTo(kHashBank);
  for (uint32_t d = 0; d < 2; ++d) map->RmSelSec[s][d] = r[kRmSec + d];
  DebugPrint(kDebugLevelCore, "\t\tRmSelSec-x78\t\tChannel %x Dimm0 = %08x Dimm1 = %08x\n", s, map->RmSelSec[s][0],
             map->RmSelSec[s][1]);

  c.ReadUpTo(kHashCs);
  for (uint32_t n = 0; n < 5; ++n) map->AddrHashBank[n][s] = r[kHashBank + n];
  DebugPrint(kDebugLevelCore,
             "\t\tAddrHashBank-xC8\tChannel %x n0 = %08x n1 = %08x n2 = %08x n3 = %08x n4 = %08x\n", s,
             map->AddrHashBank[0][s], map->AddrHashBank[1][s], map->AddrHashBank[2][s], map->AddrHashBank[3][s],
             map->AddrHashBank[4][s]);

  c.ReadUpTo(kReadCount);
  for (uint32_t n = 0; n < 2; ++n) map->AddrHashCS[s][n] = r[kHashCs + n];
  DebugPrint(kDebugLevelCore, "\t\tAddrHashCS-xE8\t\tChannel %x n0 = %08x n1 = %08x\n", s, map->AddrHashCS[s][0],
             map->AddrHashCS[s][1]);

  uint8_t enabled = 0;
  for (uint32_t cs = 0; cs < 4; ++cs) enabled |= uint8_t(Bit(r[kBase + cs], 0) << cs);
  return enabled;
}

namespace {

// Walks the sockets, dies and channels the topology reports, as far as the
// snapshot has room. A topology operation that fails gives nothing: a socket
// without a die count has no dies, a die without a root bus (or with a bus
// number beyond 255) is not captured, so no slot ever gets another die's values.
void CaptureChannels(ChannelMapSnapshot* map, FabricTopologyProtocol* topology) {
  uint64_t sockets = 0;
  if (EfiError(topology->TopologySystemInfo(topology, &sockets, nullptr, nullptr))) sockets = 0;
  if (sockets > kSnapshotSockets)
    DebugPrint(kDebugLevelCore, "\n%lx sockets reported, the snapshot holds %x: sockets %x and up skipped\n", sockets,
               uint32_t(kSnapshotSockets), uint32_t(kSnapshotSockets));
  for (uint64_t socket = 0; socket < sockets && socket < kSnapshotSockets; ++socket) {
    uint64_t dies = 0;
    if (EfiError(topology->TopologySocketInfo(topology, socket, &dies, nullptr, nullptr, nullptr))) dies = 0;
    if (dies > kSnapshotDiesPerSocket)
      DebugPrint(kDebugLevelCore, "\nsocket %x: %lx dies reported, the snapshot holds %x: dies %x and up skipped\n",
                 socket, dies, uint32_t(kSnapshotDiesPerSocket), uint32_t(kSnapshotDiesPerSocket));
    for (uint64_t die = 0; die < dies && die < kSnapshotDiesPerSocket; ++die) {
      uint64_t bus = 0;
      if (EfiError(topology->TopologyRootBusInfo(topology, socket, die, 0, nullptr, &bus, nullptr)) ||
          bus > kRootBusLimit) {
        DebugPrint(kDebugLevelCore, "\nsocket %x die %x: no root bus, skipped\n", socket, die);
        continue;
      }
      for (uint64_t channel = 0; channel < kChannelsPerDie; ++channel) {
        DebugPrint(kDebugLevelCore, "\nsocket %x die %x channel %x pci bus = %x\n", socket, die, channel, bus);
        const uint8_t enabled = ChannelCapture(map, socket, die, channel, bus);
        const uint32_t s = ChannelSlot(socket, die, channel);
        map->CsEnabledMask[s] = enabled;
        map->CsEnabledCount[s] = uint8_t(Bit(enabled, 0) + Bit(enabled, 1) + Bit(enabled, 2) + Bit(enabled, 3));
      }
    }
  }
}

}  // namespace

// The zeroed buffer is attached to the record whether or not the topology could
// be walked; the status says whether it could.
EfiStatus ChannelMapBuild() {
  MemInfoRecord* record = mMemInfoRecord;
  if (record == nullptr) return EFI_ABORTED;
  EfiBootServices* bs = mFirmwareServices.BootServices;
  void* block = nullptr;
  EfiStatus status = bs->AllocatePool(EfiReservedMemoryType, sizeof(ChannelMapSnapshot), &block);
  if (EfiError(status) || block == nullptr) return EfiError(status) ? status : EFI_OUT_OF_RESOURCES;
  auto* map = static_cast<ChannelMapSnapshot*>(block);
  MemZero(map, sizeof(*map));

  void* topology = nullptr;
  status = bs->LocateProtocol(&FabricTopologyProtocolGuid, nullptr, &topology);
  if (!EfiError(status) && topology == nullptr) status = EFI_NOT_FOUND;
  if (!EfiError(status)) CaptureChannels(map, static_cast<FabricTopologyProtocol*>(topology));

  record->ChannelMap = hw::PtrToPhys(map);
  return status;
}
