#include "apps/dump/record_text.h"

namespace dump {

namespace {

size_t Length(const char* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

// A number as text: "0x" and at least `digits` upper-case hex digits, or decimal.
struct Number {
  char text[24];
  size_t length;
};
Number Hex(uint64_t value, int digits) {
  Number n{};
  char b[20];
  size_t k = 0;
  for (uint64_t v = value; v != 0 || k < size_t(digits < 1 ? 1 : digits); v >>= 4) b[k++] = "0123456789ABCDEF"[v & 15];
  n.text[0] = '0';
  n.text[1] = 'x';
  n.length = 2;
  while (k > 0) n.text[n.length++] = b[--k];
  return n;
}
Number Dec(uint64_t value) {
  Number n{};
  char b[24];
  size_t k = 0;
  do {
    b[k++] = char('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (k > 0) n.text[n.length++] = b[--k];
  return n;
}

class Out {
 public:
  explicit Out(const Sink& sink) : sink_(sink) {}
  Out& operator<<(const char* s) { return Put(s, Length(s)); }
  Out& operator<<(const Number& n) { return Put(n.text, n.length); }
  Out& Put(const char* s, size_t n) {
    sink_.Write(sink_.Context, s, n);
    return *this;
  }
  Out& Spaces(size_t n) {
    for (size_t i = 0; i < n; ++i) Put(" ", 1);
    return *this;
  }
  // Left-aligned in a column of `width`, or right-aligned.
  Out& Padded(const char* s, size_t n, size_t width, bool right = false) {
    if (right && n < width) Spaces(width - n);
    Put(s, n);
    if (!right && n < width) Spaces(width - n);
    return *this;
  }
  Out& Padded(const Number& n, size_t width, bool right = false) { return Padded(n.text, n.length, width, right); }

 private:
  const Sink& sink_;
};



const char* WidthName(int bytes) { return bytes == 1 ? "u8" : bytes == 2 ? "u16" : bytes == 4 ? "u32" : "u64"; }

void ByteRow(Out& out, const uint8_t* bytes, size_t from, size_t count) {
  for (size_t i = from; i < from + count; ++i) {
    const Number b = Hex(bytes[i], 2);
    if (i != from) out << " ";
    out.Put(b.text + 2, 2);
  }
}

constexpr size_t kSnapshotSize = sizeof(ChannelMapSnapshot);

struct ReservedRange {
  size_t offset, size;
};
constexpr ReservedRange kReserved[] = {
    {offsetof(ChannelMapSnapshot, Reserved160), sizeof(ChannelMapSnapshot{}.Reserved160)},
    {offsetof(ChannelMapSnapshot, Reserved960), sizeof(ChannelMapSnapshot{}.Reserved960)},
    {offsetof(ChannelMapSnapshot, ReservedD20), sizeof(ChannelMapSnapshot{}.ReservedD20)},
};

// The fields of all 16 slots and the reserved ranges cover every byte once.
constexpr bool FieldsCoverTheSnapshot() {
  int covered[kSnapshotSize] = {};
  for (const SnapshotField& f : kSnapshotFields) {
    for (uint32_t s = 0; s < kChannelSlotCount; ++s)
      for (int e = 0; e < f.Elements; ++e)
        for (int i = 0; i < f.Width; ++i) {
          const size_t at = f.Offset + s * f.SlotStride + size_t(e) * f.ElementStride + size_t(i);
          if (at >= kSnapshotSize) return false;
          ++covered[at];
        }
  }
  for (const ReservedRange& r : kReserved)
    for (size_t i = r.offset; i < r.offset + r.size; ++i) ++covered[i];
  for (int c : covered)
    if (c != 1) return false;
  return true;
}
static_assert(FieldsCoverTheSnapshot(), "every byte of ChannelMapSnapshot is one field's or reserved");

bool SameName(const char* a, const char* b) {
  while (*a != 0 && *a == *b) ++a, ++b;
  return *a == *b;
}

// "2, 4 to 15" for the slots flagged in `slots`.
void SlotList(Out& out, const bool (&slots)[kChannelSlotCount]) {
  bool first = true;
  for (uint32_t i = 0; i < kChannelSlotCount;) {
    if (!slots[i]) {
      ++i;
      continue;
    }
    uint32_t j = i;
    while (j + 1 < kChannelSlotCount && slots[j + 1]) ++j;
    out << (first ? "" : ", ") << Dec(i);
    if (j > i) out << (j == i + 1 ? ", " : " to ") << Dec(j);
    first = false;
    i = j + 1;
  }
}

void SnapshotSlot(Out& out, const uint8_t* bytes, uint32_t s) {
  out << "  Slot " << Dec(s) << ": socket " << Dec(s / 8) << ", die " << Dec(s / 2 % 4) << ", channel " << Dec(s % 2)
      << "\n";
  for (const SnapshotField& f : kSnapshotFields) {
    out << "    ";
    out.Padded(f.Name, Length(f.Name), 16);
    const bool count = SameName(f.Name, "CsEnabledCount");
    for (int e = 0; e < f.Elements; ++e) {
      const uint64_t v = SnapshotElement(bytes, f, s, e);
      out << (e ? "  " : "") << (count ? Dec(v) : Hex(v, 2 * f.Width));
    }
    if (SameName(f.Name, "DimmCfg")) {
      const uint32_t d0 = uint32_t(SnapshotElement(bytes, f, s, 0)), d1 = uint32_t(SnapshotElement(bytes, f, s, 1));
      using W = SnapshotDimmCfg;
      out << "  DDR4eEn " << Dec(W::Ddr4eEn::Get(d0)) << " " << Dec(W::Ddr4eEn::Get(d1)) << ", BankGroupEn "
          << Dec(W::BankGroupEn::Get(d0)) << " " << Dec(W::BankGroupEn::Get(d1));
    }
    out << "\n";
  }
}

}  // namespace

uint64_t LittleEndian(const uint8_t* bytes, size_t at, int width) {
  uint64_t v = 0;
  for (int i = 0; i < width; ++i) v |= uint64_t(bytes[at + size_t(i)]) << (8 * i);
  return v;
}

uint64_t SnapshotElement(const uint8_t* snapshot, const SnapshotField& f, uint32_t slot, int element) {
  return LittleEndian(snapshot, f.Offset + slot * f.SlotStride + size_t(element) * f.ElementStride, f.Width);
}

bool SnapshotSlotPopulated(const uint8_t* snapshot, uint32_t slot) {
  for (const SnapshotField& f : kSnapshotFields)
    for (int e = 0; e < f.Elements; ++e)
      if (SnapshotElement(snapshot, f, slot, e) != 0) return true;
  return false;
}

size_t SnapshotReservedNonZero(const uint8_t* snapshot, size_t* first) {
  size_t n = 0;
  for (const ReservedRange& r : kReserved)
    for (size_t i = r.offset; i < r.offset + r.size; ++i)
      if (snapshot[i] != 0 && n++ == 0 && first) *first = i;
  return n;
}

void RecordAbsentText(const Sink& sink) {
  Out out(sink);
  const Guid& g = MemInfoProtocolGuid;
  out << "Published record (MemInfoProtocol)\n  absent: nothing was installed under " << Hex(g.Data1, 8).text + 2;
  out << "-" << Hex(g.Data2, 4).text + 2 << "-" << Hex(g.Data3, 4).text + 2 << "-";
  for (int i = 0; i < 8; ++i) out << (i == 2 ? "-" : "") << Hex(g.Data4[i], 2).text + 2;
  out << "\n";
}

void RecordText(const Sink& sink, const RecordPlace& place, const Reader& memory) {
  Out out(sink);
  out << "Published record (MemInfoProtocol)\n";
  out << "  Interface  " << Hex(place.Interface, 16) << "\n";
  out << "  Handle     " << Hex(place.Handle, 16)
      << (place.OnImageHandle ? " (the image handle)" : " (not the image handle)") << "\n";
  const uint8_t* r = memory.Bytes(memory.Context, place.Interface, sizeof(MemInfoRecord));
  if (r == nullptr) {
    out << "  unreadable: the interface address does not lie in DRAM\n";
    return;
  }
  // The table's columns: as wide as their widest cell, two spaces apart.
  size_t nameWidth = 5;
  for (const RecordField& f : kRecordFields) nameWidth = Length(f.name) > nameWidth ? Length(f.name) : nameWidth;
  out << "  Offset  ";
  out.Padded("Field", 5, nameWidth) << "  Type  Value\n";
  for (const RecordField& f : kRecordFields) {
    out << "  ";
    out.Padded(Hex(f.offset, 2), 6) << "  ";
    out.Padded(f.name, Length(f.name), nameWidth) << "  ";
    out.Padded(WidthName(f.width), Length(WidthName(f.width)), 4) << "  " << Hex(LittleEndian(r, f.offset, f.width), 2 * f.width)
                                                                   << "\n";
  }
  out << "  Bytes\n";
  for (size_t at = 0; at < sizeof(MemInfoRecord); at += 16) {
    out << "    +" << Hex(at, 2) << "  ";
    ByteRow(out, r, at, at + 16 <= sizeof(MemInfoRecord) ? 16 : sizeof(MemInfoRecord) - at);
    out << "\n";
  }
  const uint64_t channelMap = LittleEndian(r, offsetof(MemInfoRecord, ChannelMap), 8);
  const uint64_t entries = LittleEndian(r, offsetof(MemInfoRecord, ChipSelectEntries), 8);
  out << "  Channel map snapshot  ";
  if (channelMap == 0) out << "absent (ChannelMap is 0)";
  else out << "at " << Hex(channelMap, 16);
  out << "\n  Chip-select table     ";
  if (entries == 0) out << "absent (ChipSelectEntries is 0)";
  else out << "at " << Hex(entries, 16);
  out << ", ChipSelectCount " << Dec(LittleEndian(r, offsetof(MemInfoRecord, ChipSelectCount), 8)) << "\n";
}

void RecordBuffersText(const Sink& sink, uint64_t recordAddress, const Reader& memory) {
  const uint8_t* r = memory.Bytes(memory.Context, recordAddress, sizeof(MemInfoRecord));
  if (r == nullptr) return;
  const uint64_t channelMap = LittleEndian(r, offsetof(MemInfoRecord, ChannelMap), 8);
  const uint64_t entries = LittleEndian(r, offsetof(MemInfoRecord, ChipSelectEntries), 8);
  const uint64_t count = LittleEndian(r, offsetof(MemInfoRecord, ChipSelectCount), 8);
  if (channelMap != 0) {
    SnapshotText(sink, channelMap, memory);
    sink.Write(sink.Context, "\n", 1);
  }
  if (entries != 0) {
    ChipSelectText(sink, entries, count, memory);
    sink.Write(sink.Context, "\n", 1);
  }
}

void DumpText(const Sink& sink, const RecordPlace& place, const Reader& memory) {
  RecordText(sink, place, memory);
  sink.Write(sink.Context, "\n", 1);
  RecordBuffersText(sink, place.Interface, memory);
}

void SnapshotText(const Sink& sink, uint64_t address, const Reader& memory) {
  Out out(sink);
  out << "Channel map snapshot (ChannelMapSnapshot)\n";
  const uint8_t* bytes = memory.Bytes(memory.Context, address, kSnapshotSize);
  if (bytes == nullptr) {
    out << "  unreadable: its " << Dec(kSnapshotSize) << " bytes at " << Hex(address, 16) << " do not lie in DRAM\n";
    return;
  }
  size_t first = 0;
  const size_t reserved = SnapshotReservedNonZero(bytes, &first);
  out << "  At " << Hex(address, 16) << ", " << Dec(kSnapshotSize) << " bytes; reserved bytes ";
  if (reserved == 0) out << "all zero";
  else out << Dec(reserved) << " not zero, the first at offset " << Hex(first, 3);
  out << "\n";
  out << "  Elements: AddrHashBank n 0-4, AddrHashCS n 0-1; BaseAddr, BaseAddrSec by chip select 0-3;\n"
         "  AddrCfg, DimmCfg by DIMM 0-3 (2 and 3 unused); the others by DIMM 0-1. All-zero slots are not shown.\n";
  bool empty[kChannelSlotCount] = {};
  size_t emptyCount = 0;
  for (uint32_t s = 0; s < kChannelSlotCount; ++s) {
    if (!SnapshotSlotPopulated(bytes, s)) {
      empty[s] = true;
      ++emptyCount;
      continue;
    }
    SnapshotSlot(out, bytes, s);
  }
  if (emptyCount == kChannelSlotCount) {
    out << "  Every slot is all zero.\n";
  } else if (emptyCount != 0) {
    out << "  All zero: slot" << (emptyCount == 1 ? " " : "s ");
    SlotList(out, empty);
    out << "\n";
  }
}

void ChipSelectText(const Sink& sink, uint64_t address, uint64_t count, const Reader& memory) {
  Out out(sink);
  out << "Chip-select table (ChipSelectTable)\n";
  const uint8_t* bytes = memory.Bytes(memory.Context, address, sizeof(ChipSelectTable));
  if (bytes == nullptr) {
    out << "  unreadable: its 2048 bytes do not lie in DRAM\n";
    return;
  }
  const uint64_t shown = count < kChipSelectTableEntries ? count : kChipSelectTableEntries;
  bool restZero = true;
  for (size_t i = 0; i < sizeof(ChipSelectTable); ++i)
    if ((i >= 16 * shown || i % 16 >= offsetof(ChipSelectEntry, Reserved)) && bytes[i] != 0) restZero = false;
  out << "  At " << Hex(address, 16) << ", " << Dec(count) << " entries; reserved bytes and unused entries "
      << (restZero ? "all zero" : "NOT all zero") << "\n";
  out << "     #  Socket  Die  Channel  DIMM  Rank  Sequence\n";
  for (uint64_t i = 0; i < shown; ++i) {
    const uint8_t* e = bytes + 16 * i;
    out << "  ";
    out.Padded(Dec(i), 4, true) << "  ";
    out.Padded(Dec(e[offsetof(ChipSelectEntry, Socket)]), 6) << "  ";
    out.Padded(Dec(e[offsetof(ChipSelectEntry, Die)]), 3) << "  ";
    out.Padded(Dec(e[offsetof(ChipSelectEntry, Channel)]), 7) << "  ";
    out.Padded(Dec(e[offsetof(ChipSelectEntry, Dimm)]), 4) << "  ";
    out.Padded(Dec(e[offsetof(ChipSelectEntry, Rank)]), 4) << "  " << Dec(LittleEndian(e, offsetof(ChipSelectEntry, Sequence), 8))
                                                           << "\n";
  }
}

}  // namespace dump
