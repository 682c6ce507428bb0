// The flash inspection itself: finds the entry table, reads every directory it
// reaches and judges, for each processor signature, where its lookups land.
#include "sim/images/flash_listing.h"

#include <algorithm>
#include <array>
#include <map>
#include <memory>

#include "sim/images/flash_listing_format.h"

namespace sim {

using namespace flash_listing;

namespace {

constexpr uint32_t kSignatureMask = 0x0FFF0F00;  // what CpuSignatureMatches compares

uint32_t Read32(const FlashImage& image, uint64_t address) {
  uint64_t v = 0;
  image.Read(address, 4, &v);
  return uint32_t(v);
}
uint64_t Read64(const FlashImage& image, uint64_t address) {
  uint64_t v = 0;
  image.Read(address, 8, &v);
  return v;
}

class Inspector {
 public:
  explicit Inspector(FlashImage image) : shared_(std::make_shared<const FlashImage>(std::move(image))), image_(*shared_) {}

  uint32_t Read32(uint64_t address) const { return sim::Read32(image_, address); }

  InspectedDirectory Inspect(uint64_t address, FlashDirectoryKind kind) const {
    InspectedDirectory d;
    d.address = address;
    d.kind = kind;
    d.image = shared_;
    const uint64_t header = FlashDirectoryHeaderSize(kind), each = FlashDirectoryEntrySize(kind);
    d.readable = image_.Contains(address, header);
    if (!d.readable) return d;
    d.magic = Read32(address);
    d.stored = Read32(address + offsetof(FlashDirectoryHeader, Checksum));
    d.count = Read32(address + offsetof(FlashDirectoryHeader, Count));
    const uint64_t length = header + each * d.count;
    d.entriesInFlash = image_.Contains(address, length);
    if (!d.entriesInFlash) return d;
    const uint8_t* p = image_.bytes.data() + (address + kChecksumStart - image_.base);
    d.computed = Fletcher32Words((length - kChecksumStart) / 2,
                                 [p](uint64_t i) -> uint32_t { return uint32_t(p[2 * i] | (p[2 * i + 1] << 8)); });
    return d;
  }

  // Adds the directory to the list once, noting where it was reached from.
  size_t Reach(uint64_t address, FlashDirectoryKind kind, const std::string& from) {
    const auto [at, added] = reached_.try_emplace({address, kind}, directories_.size());
    if (added) directories_.push_back(Inspect(address, kind));
    directories_[at->second].reachedFrom.push_back(from);
    return at->second;
  }

  FlashInspection Run(const std::string& name, std::vector<uint32_t> signatures) {
    FlashInspection r;
    r.name = name;
    r.base = image_.base;
    r.size = image_.Size();
    for (uint64_t at : kFirmwareEntryTableAddresses) {
      const FlashInspection::Position p{at, image_.Contains(at, 4), Read32(at)};
      if (p.inFlash && p.value == kFirmwareEntryTableSignature && !r.table) r.table = at;
      r.positions.push_back(p);
    }
    if (!r.table) r.problems.push_back("no firmware entry table at any of its six positions");
    if (r.table) {
      r.pspPointer = Read32(*r.table + offsetof(FirmwareEntryTable, PspDirectory));
      for (int i = 0; i < 2; ++i) r.biosPointer[i] = Read32(*r.table + offsetof(FirmwareEntryTable, BiosDirectory) + 4 * i);
      Discover(r);
    }
    r.directories = std::move(directories_);
    for (const InspectedDirectory& d : r.directories)
      if (!d.Valid()) r.problems.push_back(std::string(KindName(d.kind)) + " at " + Hex32(d.address) + ": " + d.Verdict());

    const bool asked = !signatures.empty();
    if (!asked)
      for (const ProcessorFlashRow& row : kProcessorFlashRows) signatures.push_back(row.Signature);
    bool anyGood = false;
    for (uint32_t s : signatures) {
      r.processors.push_back(Judge(r, s));
      const ProcessorVerdict& v = r.processors.back();
      anyGood |= v.Good();
      if (asked && !v.Good()) r.problems.push_back("processor " + Hex32(s) + ": its lookups fail");
    }
    // A flash may serve one processor kind only, but one that serves neither
    // (pointers of 0 or all ones, say) traps on every lookup of any processor.
    if (!asked && r.table && !anyGood) r.problems.push_back("no processor finds its directories: every lookup fails");
    return r;
  }

 private:
  // The combo directory's magic is there (its header lies in the flash).
  bool IsCombo(uint64_t address) const {
    return image_.Contains(address, FlashDirectoryHeaderSize(FlashDirectoryKind::Combo)) &&
           Read32(address) == FlashDirectoryMagic(FlashDirectoryKind::Combo);
  }

  // Reach() adds to directories_, so the entries are read by index, one at a time.
  void Discover(const FlashInspection& r) {
    if (!NoPointer(r.pspPointer)) {
      const bool combo = IsCombo(r.pspPointer);
      const size_t i = Reach(r.pspPointer, combo ? FlashDirectoryKind::Combo : FlashDirectoryKind::Psp, "entry table 0x14");
      for (size_t k = 0; combo && k < directories_[i].EntryCount(); ++k) {
        const InspectedEntry e = directories_[i].Entry(k);
        Reach(e.pspDirectory, FlashDirectoryKind::Psp, "combo entry " + std::to_string(k) + " (ID " + Hex32(e.processorId) + ")");
      }
    }
    for (int i = 0; i < 2; ++i)
      if (!NoPointer(r.biosPointer[i]))
        Reach(r.biosPointer[i], FlashDirectoryKind::Bios, i == 0 ? "entry table 0x18" : "entry table 0x1C");
    for (size_t i = 0; i < directories_.size(); ++i) {
      if (directories_[i].kind != FlashDirectoryKind::Bios) continue;
      const uint64_t at = directories_[i].address;
      for (size_t k = 0; k < directories_[i].EntryCount(); ++k) {
        const InspectedEntry e = directories_[i].Entry(k);
        if (uint8_t(BiosEntryTypeWord::Type::Get(e.typeWord)) == kBiosEntryLevel2)
          Reach(e.source, FlashDirectoryKind::BiosLevel2, "entry " + std::to_string(k) + " of the BIOS directory at " + Hex32(at));
      }
    }
  }

  // The directory as the table's discovery inspected it, or else inspected into `scratch`.
  const InspectedDirectory& Reached(const FlashInspection& r, uint64_t address, FlashDirectoryKind kind,
                                    InspectedDirectory& scratch) const {
    const auto at = reached_.find({address, kind});
    return at != reached_.end() ? r.directories[at->second] : (scratch = Inspect(address, kind));
  }

  static LookupSource First(const InspectedDirectory& d, int level, uint8_t type) {
    for (size_t i = 0; i < d.EntryCount(); ++i) {
      const InspectedEntry e = d.Entry(i);
      if (uint8_t(BiosEntryTypeWord::Type::Get(e.typeWord)) == type) return {level, i, e.source};
    }
    return {};
  }

  // Where a lookup of each type is answered from in the directory, in one pass;
  // `types` gains those not seen before, in the order met.
  static std::array<LookupSource, 256> FirstOfEach(const InspectedDirectory& d, int level, std::vector<uint8_t>& types) {
    std::array<LookupSource, 256> first{};
    for (size_t i = 0; i < d.EntryCount(); ++i) {
      const InspectedEntry e = d.Entry(i);
      LookupSource& f = first[uint8_t(BiosEntryTypeWord::Type::Get(e.typeWord))];
      if (f.level != 0) continue;
      f = {level, i, e.source};
      if (std::find(types.begin(), types.end(), uint8_t(BiosEntryTypeWord::Type::Get(e.typeWord))) == types.end()) types.push_back(uint8_t(BiosEntryTypeWord::Type::Get(e.typeWord)));
    }
    return first;
  }

  ProcessorVerdict Judge(const FlashInspection& r, uint32_t signature) const {
    ProcessorVerdict v;
    v.signature = signature;
    for (int i = 0; i < 2; ++i)
      if ((signature & kSignatureMask) == kProcessorFlashRows[i].Signature) {
        v.row = i;
        break;
      }
    v.tableFound = r.table.has_value();
    if (v.row < 0 || !v.tableFound) return v;
    const ProcessorFlashRow& row = kProcessorFlashRows[v.row];
    v.biosDirectory = r.biosPointer[row.BiosTableIndex];
    v.pspDirectory = r.pspPointer;
    InspectedDirectory comboScratch, pspScratch, level1Scratch, level2Scratch;
    const InspectedDirectory& combo =
        IsCombo(r.pspPointer) ? Reached(r, r.pspPointer, FlashDirectoryKind::Combo, comboScratch) : comboScratch;
    if (combo.MagicGood())
      for (size_t i = 0; i < combo.EntryCount(); ++i)
        if (const InspectedEntry e = combo.Entry(i); e.processorId == row.ComboProcessorId) {
          v.pspDirectory = e.pspDirectory;
          v.comboEntry = int(i);
          break;
        }
    v.pspValid = Reached(r, v.pspDirectory, FlashDirectoryKind::Psp, pspScratch).Valid();
    const InspectedDirectory& level1 = Reached(r, v.biosDirectory, FlashDirectoryKind::Bios, level1Scratch);
    v.biosValid = level1.Valid();
    if (!v.pspValid) v.traps.push_back(kTrapPspDirectoryInvalid);
    if (!v.biosValid) v.traps.push_back(kTrapBiosDirectoryInvalid);
    if (!v.pspValid || !v.biosValid) return v;

    const InspectedDirectory* level2 = &level2Scratch;
    const LookupSource l2 = First(level1, 1, kBiosEntryLevel2);
    if (l2.level != 0) {
      v.level2 = l2.source;
      level2 = &Reached(r, l2.source, FlashDirectoryKind::BiosLevel2, level2Scratch);
      v.level2Valid = level2->Valid();
    }
    std::vector<uint8_t> types;
    const std::array<LookupSource, 256> fromLevel1 = FirstOfEach(level1, 1, types);
    const std::array<LookupSource, 256> fromLevel2 =
        v.level2Valid ? FirstOfEach(*level2, 2, types) : std::array<LookupSource, 256>{};
    for (uint8_t type : types) {
      ProcessorVerdict::Lookup l{type, {}, fromLevel1[type]};
      l.normal = l.recovery;
      if (type != kBiosEntryLevel2 && fromLevel2[type].level != 0) l.normal = fromLevel2[type];
      v.lookups.push_back(l);
    }
    return v;
  }

  std::shared_ptr<const FlashImage> shared_;
  const FlashImage& image_;
  std::vector<InspectedDirectory> directories_;
  std::map<std::pair<uint64_t, FlashDirectoryKind>, size_t> reached_;  // index into directories_
};

}  // namespace

InspectedEntry InspectedDirectory::Entry(size_t i) const {
  const uint64_t at = address + FlashDirectoryHeaderSize(kind) + i * FlashDirectoryEntrySize(kind);
  InspectedEntry e;
  e.address = at;
  if (kind == FlashDirectoryKind::Combo) {
    e.processorId = Read32(*image, at + offsetof(ComboDirectoryEntry, ProcessorId));
    e.pspDirectory = Read32(*image, at + offsetof(ComboDirectoryEntry, PspDirectory));
  } else {
    // A PSP entry's type word, size and location lie where a BIOS entry's type word, size and source do.
    e.typeWord = Read32(*image, at + offsetof(BiosDirectoryEntry, TypeWord));
    e.size = Read32(*image, at + offsetof(BiosDirectoryEntry, Size));
    e.source = Read64(*image, at + offsetof(BiosDirectoryEntry, Source));
    if (kind != FlashDirectoryKind::Psp) e.destination = Read64(*image, at + offsetof(BiosDirectoryEntry, Destination));
  }
  return e;
}

std::string InspectedDirectory::Verdict() const {
  if (!readable) return "outside the flash";
  if (!MagicGood())
    return "BAD magic " + MagicText(magic) + " (" + Hex32(magic) + "), expected " + MagicText(FlashDirectoryMagic(kind));
  if (!entriesInFlash) return "BAD count: its " + std::to_string(count) + " entries run past the end of the flash";
  if (!ChecksumChecked()) return "good";
  if (stored != computed) return "BAD checksum (stored " + Hex32(stored) + ", computed " + Hex32(computed) + ")";
  return "good";
}

FlashInspection InspectFlash(FlashImage image, const std::string& name, std::vector<uint32_t> signatures) {
  return Inspector(std::move(image)).Run(name, std::move(signatures));
}

}  // namespace sim
