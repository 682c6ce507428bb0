#include "core/channel_map.h"

#include "core/fabric_topology.h"
#include "core/meminfo.h"
#include "diag/debug_print.h"
#include "platform/access.h"
#include "platform/firmware_services.h"
#include "platform/hw.h"
#include "platform/mem.h"
#include "services/reserved_buffer.h"

using namespace channel;

namespace {

constexpr uint64_t kRootBusLimit = 0xFF;

// The channel's 34 registers, in the order the dump groups read them. Each is
// read once; values that several fields take bits from are kept, not read again.
constexpr uint32_t kChannelRegisterCount = kRegisterCount;
constexpr uint16_t kReadOrderOffsets[kChannelRegisterCount] = {
    BaseAddr::Offset(0), BaseAddr::Offset(1), BaseAddr::Offset(2), BaseAddr::Offset(3),
    AddrMask::Offset(0), AddrMask::Offset(1),
    BaseAddrSec::Offset(0), BaseAddrSec::Offset(1), BaseAddrSec::Offset(2), BaseAddrSec::Offset(3),
    AddrMaskSec::Offset(0), AddrMaskSec::Offset(1),
    DimmCfg::Offset(0), DimmCfg::Offset(1), BankGroup::Offset(0),
    AddrCfg::Offset(0),
    AddrCfg::Offset(1),
    AddrSel::Offset(0), AddrSel::Offset(1),
    ColSelLo::Offset(0), ColSelLo::Offset(1),
    ColSelHi::Offset(0), ColSelHi::Offset(1),
    RmSel::Offset(0), RmSel::Offset(1),
    RmSelSec::Offset(0), RmSelSec::Offset(1),
    AddrHashBank::Offset(0), AddrHashBank::Offset(1), AddrHashBank::Offset(2), AddrHashBank::Offset(3),
    AddrHashBank::Offset(4),
    AddrHashCS::Offset(0), AddrHashCS::Offset(1),
};
// The image keeps the order as word numbers, a byte each: the registers are
// 32-bit and lie in the channel's first 1 KiB.
struct RegisterWords {
  uint8_t Word[kChannelRegisterCount];
};
constexpr RegisterWords ReadOrderWords() {
  RegisterWords words = {};
  for (uint32_t i = 0; i < kChannelRegisterCount; ++i) words.Word[i] = uint8_t(kReadOrderOffsets[i] / 4);
  return words;
}
constexpr RegisterWords kReadOrder = ReadOrderWords();
constexpr bool ReadOrderFitsWords() {
  for (uint32_t i = 0; i < kChannelRegisterCount; ++i)
    if (4u * kReadOrder.Word[i] != kReadOrderOffsets[i]) return false;
  return true;
}
static_assert(ReadOrderFitsWords());
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
  uint64_t Index;  // the data register lies just past it
  uint32_t Base;
  uint32_t Next;
  uint32_t Value[kChannelRegisterCount];

  // Out of line: one copy serves every group.
  __attribute__((noinline)) void ReadUpTo(uint32_t end) {
    for (; Next < end; ++Next) {
      hw::Write32(Index, Base + 4u * kReadOrder.Word[Next]);
      Value[Next] = hw::Read32(Index + (RootWindowData::kAt - RootWindowIndex::kAt));
    }
  }
};

// The AddrCfg word of a DIMM from its register and the base-address registers
// of its two chip selects, primary (base) and secondary (sec), as read.
constexpr uint32_t AddrCfgWord(uint32_t cfg, uint32_t base0, uint32_t base1, uint32_t sec0, uint32_t sec1) {
  using W = SnapshotAddrCfg;
  return W::Cs0Enable::Of(BaseAddr::CsEnable::Get(base0)) | W::Cs1Enable::Of(BaseAddr::CsEnable::Get(base1)) |
         W::HighPair::Of(AddrCfg::HighPair::Get(cfg)) | W::NextPair::Of(AddrCfg::NextPair::Get(cfg)) |
         W::Middle::Of(AddrCfg::Middle::Get(cfg)) | W::LowPair::Of(AddrCfg::LowPair::Get(cfg)) |
         W::SecCs0Enable::Of(BaseAddrSec::CsEnable::Get(sec0)) | W::SecCs1Enable::Of(BaseAddrSec::CsEnable::Get(sec1));
}
static_assert(AddrCfgWord(0x0030000C, 1, 0, 1, 0) == 0x01300031);

// What a plain field keeps of its register. The base-address registers of both
// kinds share their enable bit, the masks of both kinds their lowest bit.
enum class Keep : uint8_t { All, WithoutCsEnable, WithLowestBit, BankBit, RowHiLo };
static_assert(BaseAddr::CsEnable::kMask == BaseAddrSec::CsEnable::kMask &&
              AddrMask::LowestBit::kMask == AddrMaskSec::LowestBit::kMask);

constexpr uint32_t Kept(Keep keep, uint32_t r) {
  switch (keep) {
    case Keep::WithoutCsEnable: return r & ~BaseAddr::CsEnable::kMask;
    case Keep::WithLowestBit: return r | AddrMask::LowestBit::kMask;
    case Keep::BankBit: return AddrSel::BankBit::Get(r);
    case Keep::RowHiLo: return AddrSel::RowHiLo::Get(r);
    default: return r;
  }
}

// A field whose item i is kept from the register at First + i of the read
// order. PerSlot fields are laid out [slot][item] (a row of Count items per
// slot), the one PerItem field [item][slot].
struct PlainField {
  uint16_t Offset;
  uint16_t First : 6;
  uint16_t Count : 3;
  uint16_t What : 3;  // a Keep
  uint16_t PerItem : 1;
};
// Two words: every register number fits the 6 bits.
static_assert(sizeof(PlainField) == 4 && alignof(PlainField) == 2 && kChannelRegisterCount <= 1u << 6);
constexpr PlainField PerSlot(size_t offset, uint32_t first, uint32_t count, Keep what) {
  return {uint16_t(offset), uint16_t(first), uint16_t(count), uint16_t(what), 0};
}
constexpr PlainField PerItem(size_t offset, uint32_t first, uint32_t count, Keep what) {
  return {uint16_t(offset), uint16_t(first), uint16_t(count), uint16_t(what), 1};
}

using S = ChannelMapSnapshot;
static_assert(sizeof(S::BaseAddr[0]) == 4 * 4 && sizeof(S::BaseAddrSec[0]) == 4 * 4 &&
              sizeof(S::AddrMask[0]) == 2 * 4 && sizeof(S::AddrMaskSec[0]) == 2 * 4 &&
              sizeof(S::BankBit[0]) == 2 * 4 && sizeof(S::RowHiLo[0]) == 2 * 4 &&
              sizeof(S::ColSelLo[0]) == 2 * 4 && sizeof(S::ColSelHi[0]) == 2 * 4 && sizeof(S::RmSel[0]) == 2 * 4 &&
              sizeof(S::RmSelSec[0]) == 2 * 4 && sizeof(S::AddrHashCS[0]) == 2 * 4 &&
              sizeof(S::AddrHashBank) == 5 * kChannelSlotCount * 4);

// The plain fields in the order they are filled (and printed); the composite
// DimmCfg and AddrCfg words come between the first four and the rest.
constexpr uint32_t kPlainBeforeComposites = 4;
alignas(2) constexpr PlainField kPlainFields[] = {
    PerSlot(offsetof(S, BaseAddr), kBase, 4, Keep::WithoutCsEnable),
    PerSlot(offsetof(S, AddrMask), kMask, 2, Keep::WithLowestBit),
    PerSlot(offsetof(S, BaseAddrSec), kSec, 4, Keep::WithoutCsEnable),
    PerSlot(offsetof(S, AddrMaskSec), kMaskSec, 2, Keep::WithLowestBit),
    // Both from the same two AddrSel registers.
    PerSlot(offsetof(S, BankBit), kSel, 2, Keep::BankBit),
    PerSlot(offsetof(S, RowHiLo), kSel, 2, Keep::RowHiLo),
    PerSlot(offsetof(S, ColSelLo), kColLo, 2, Keep::All),
    PerSlot(offsetof(S, ColSelHi), kColHi, 2, Keep::All),
    PerSlot(offsetof(S, RmSel), kRm, 2, Keep::All),
    PerSlot(offsetof(S, RmSelSec), kRmSec, 2, Keep::All),
    PerItem(offsetof(S, AddrHashBank), kHashBank, 5, Keep::All),
    PerSlot(offsetof(S, AddrHashCS), kHashCs, 2, Keep::All),
};
constexpr uint32_t kPlainFieldCount = sizeof(kPlainFields) / sizeof(kPlainFields[0]);

// Each plain field's dump line: the slot, then its items.
constexpr const char* kPlainFieldLines[kPlainFieldCount] = {
    "\t\tBaseAddr-x00\t\tChannel %x cs0 = %08x cs1 = %08x cs2 = %08x cs3 = %08x\n",
    "\t\tAddrMask-x20\t\tChannel %x Dimm0 = %08x Dimm1 = %08x\n",
    "\t\tBaseAddrSec-x10\t\tChannel %x cs0 = %08x cs1 = %08x cs2 = %08x cs3 = %08x\n",
    "\t\tAddrMaskSec-x28\t\tChannel %x Dimm0 = %08x Dimm1 = %08x\n",
    "\t\tAddrSel-x40\t\tChannel %x BankBit Dimm0 = %08x Dimm1 = %08x\n",
    "\t\tAddrSel-x40\t\tChannel %x RowHiLo Dimm0 = %08x Dimm1 = %08x\n",
    "\t\tColSelLo-x50\t\tChannel %x Dimm0 = %08x Dimm1 = %08x\n",
    "\t\tColSelHi-x54\t\tChannel %x Dimm0 = %08x Dimm1 = %08x\n",
    "\t\tRmSel-x70\t\tChannel %x Dimm0 = %08x Dimm1 = %08x\n",
    "\t\tRmSelSec-x78\t\tChannel %x Dimm0 = %08x Dimm1 = %08x\n",
    "\t\tAddrHashBank-xC8\tChannel %x n0 = %08x n1 = %08x n2 = %08x n3 = %08x n4 = %08x\n",
    "\t\tAddrHashCS-xE8\t\tChannel %x n0 = %08x n1 = %08x\n",
};

// The number of bits set in each 4-bit value v, in bits 4v + 3 to 4v.
constexpr uint64_t kBitCounts = 0x4332322132212110;
constexpr bool BitCountsHold() {
  for (uint32_t v = 0; v < 16; ++v)
    if (((kBitCounts >> 4 * v) & 0xF) != (v & 1) + (v >> 1 & 1) + (v >> 2 & 1) + (v >> 3 & 1)) return false;
  return true;
}
static_assert(BitCountsHold());

typedef uint32_t __attribute__((aligned(1), may_alias)) SnapshotWord;

// Reads, stores and prints the plain fields [first, end) of slot s, field by field.
void CapturePlainFields(ChannelMapSnapshot* map, uint32_t s, ChannelReader& c, uint32_t first, uint32_t end) {
  for (uint32_t n = first; n < end; ++n) {
    const PlainField& f = kPlainFields[n];
    c.ReadUpTo(f.First + f.Count);
    const uint32_t slotStride = f.PerItem ? 4 : 4 * f.Count;
    const uint32_t itemStride = f.PerItem ? 4 * kChannelSlotCount : 4;
    uint8_t* slot = reinterpret_cast<uint8_t*>(map) + f.Offset + s * slotStride;
    uint32_t v[5] = {};
    for (uint32_t i = 0; i < f.Count; ++i) {
      v[i] = Kept(Keep(f.What), c.Value[f.First + i]);
      *reinterpret_cast<SnapshotWord*>(slot + i * itemStride) = v[i];
    }
    DebugPrint(kDebugLevelCore, kPlainFieldLines[n], s, v[0], v[1], v[2], v[3], v[4]);
  }
}

}  // namespace

// Each group reads its registers, stores its values, then prints them. Out of
// line: the walk's two unrolled channel steps share one copy.
__attribute__((noinline)) uint8_t ChannelCapture(ChannelMapSnapshot* map, uint64_t socket, uint64_t die, uint64_t channel, uint64_t rootBus) {
  const uint32_t s = ChannelSlot(socket, die, channel);
  ChannelReader c;
  c.Index = IndexRegisterAddress(rootBus);
  c.Base = uint32_t(kChannelRegisterBase + channel * kChannelRegisterStride);
  c.Next = 0;
  const uint32_t* r = c.Value;

  CapturePlainFields(map, s, c, 0, kPlainBeforeComposites);

  // DDR4eEn from each DIMM's own register, BankGroupEn from one register for both.
  c.ReadUpTo(kCfg0);
  for (uint32_t d = 0; d < 2; ++d)
    map->DimmCfg[s][d] = SnapshotDimmCfg::Ddr4eEn::Of(DimmCfg::Ddr4eEn::Get(r[kDimm + d])) |
                         SnapshotDimmCfg::BankGroupEn::Of(BankGroup::BankGroupEn::Get(r[kBankGroups]));
  DebugPrint(kDebugLevelCore,
             "\t\tDimmCfg-x28[11]-x200[8]\tChannel %x Dimm0 DDR4eEn = %x BankGroupEn = %x, Dimm1 DDR4eEn = %x "
             "BankGroupEn = %x\n",
             s, SnapshotDimmCfg::Ddr4eEn::Get(map->DimmCfg[s][0]), SnapshotDimmCfg::BankGroupEn::Get(map->DimmCfg[s][0]),
             SnapshotDimmCfg::Ddr4eEn::Get(map->DimmCfg[s][1]), SnapshotDimmCfg::BankGroupEn::Get(map->DimmCfg[s][1]));

  // One group per DIMM. The enable bits come from the base-address registers as
  // read, before CsEnable was cleared.
  for (uint32_t d = 0; d < 2; ++d) {
    c.ReadUpTo(kCfg0 + d + 1);
    map->AddrCfg[s][d] =
        AddrCfgWord(r[kCfg0 + d], r[kBase + 2 * d], r[kBase + 2 * d + 1], r[kSec + 2 * d], r[kSec + 2 * d + 1]);
    DebugPrint(kDebugLevelCore,
               d == 0 ? "\t\tAddrCfg-x30\t\tChannel %x Dimm0 = %08x ([25:24]BaseAddrSec CSEnable, [1:0]BaseAddr CSEnable)\n"
                      : "\t\tAddrCfg-x30\t\tChannel %x Dimm1 = %08x ([25:24]BaseAddrSec CSEnable, [1:0]BaseAddr CSEnable)\n",
               s, map->AddrCfg[s][d]);
  }

  CapturePlainFields(map, s, c, kPlainBeforeComposites, kPlainFieldCount);

  uint8_t enabled = 0;
  for (uint32_t cs = 0; cs < BaseAddr::kCount; ++cs) enabled |= uint8_t(BaseAddr::CsEnable::Get(r[kBase + cs]) << cs);
  map->CsEnabledMask[s] = enabled;
  map->CsEnabledCount[s] = uint8_t((kBitCounts >> (4 * enabled)) & 0xF);
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
        ChannelCapture(map, socket, die, channel, bus);
      }
    }
  }
}

}  // namespace

// The zeroed buffer is attached to the record whether or not the topology could
// be walked; the status says whether it could.
EfiStatus ChannelMapBuild(MemInfoRecord& record) {
  void* block;
  EfiStatus status = ReservedBufferAllocate(sizeof(ChannelMapSnapshot), &block);
  if (EfiError(status)) return status;
  auto* map = static_cast<ChannelMapSnapshot*>(block);

  void* topology;
  status = ProtocolLocate(&FabricTopologyProtocolGuid, &topology);
  if (!EfiError(status) && topology == nullptr) status = EFI_NOT_FOUND;
  if (!EfiError(status)) CaptureChannels(map, static_cast<FabricTopologyProtocol*>(topology));

  record.ChannelMap = hw::PtrToPhys(map);
  return status;
}
