// The flash inspector: reads a boot flash image as the driver does and says
// what it finds: the entry table and its six positions, every directory the
// table reaches (PSP, combo, BIOS, level-2 BIOS) with its entries, whether each
// checksum holds, and which directories a processor of a given signature would
// use and where each of its lookups would be answered from.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/images/flash_image.h"

namespace sim {

struct InspectedEntry {
  uint64_t address = 0;
  uint32_t typeWord = 0, size = 0;  // PSP and BIOS entries
  uint64_t source = 0;              // BIOS: source; PSP: location (as this project's builder writes it)
  uint64_t destination = 0;         // BIOS entries
  uint32_t processorId = 0;         // combo entries
  uint32_t pspDirectory = 0;        // combo entries
};

struct InspectedDirectory {
  uint64_t address = 0;
  FlashDirectoryKind kind = FlashDirectoryKind::Bios;
  std::vector<std::string> reachedFrom;
  bool readable = false;   // the header lies in the flash
  uint32_t magic = 0, count = 0, stored = 0, computed = 0;
  bool entriesInFlash = false;  // the entries the count names lie in the flash
  // The entries are read from the image when asked for: the directories of a
  // broken flash may overlap, and each would otherwise hold the same bytes again.
  std::shared_ptr<const FlashImage> image;
  size_t EntryCount() const { return entriesInFlash ? count : 0; }
  InspectedEntry Entry(size_t i) const;  // i < EntryCount()
  bool MagicGood() const { return readable && magic == FlashDirectoryMagic(kind); }
  bool ChecksumChecked() const { return kind != FlashDirectoryKind::Combo; }
  // As the driver judges it: magic, entries in the flash and (but for a combo directory) the checksum.
  bool Valid() const { return MagicGood() && entriesInFlash && (!ChecksumChecked() || stored == computed); }
  // "good", or what is wrong.
  std::string Verdict() const;
};

// Where one lookup is answered from.
struct LookupSource {
  int level = 0;  // 1 or 2; 0: not found
  size_t index = 0;
  uint64_t source = 0;
};

struct ProcessorVerdict {
  uint32_t signature = 0;     // as given (CPUID 0x80000001 EAX)
  int row = -1;               // index into kProcessorFlashRows; -1: no row matches
  bool tableFound = false;
  uint32_t pspDirectory = 0;  // after the combo directory, if any, is resolved
  int comboEntry = -1;        // the combo entry that named it
  bool pspValid = false;
  uint32_t biosDirectory = 0;
  bool biosValid = false;
  std::optional<uint64_t> level2;  // the first entry 0x70's source
  bool level2Valid = false;
  std::vector<uint32_t> traps;  // what the driver's locate step would trap with
  struct Lookup {
    uint8_t type;
    LookupSource normal, recovery;  // PSP booted normally / in recovery
  };
  std::vector<Lookup> lookups;
  // Its lookups work (a bad level-2 directory only hands them to level 1).
  bool Good() const { return row >= 0 && tableFound && pspValid && biosValid; }
};

struct FlashInspection {
  std::string name;
  uint64_t base = 0, size = 0;
  struct Position {
    uint64_t address;
    bool inFlash;
    uint32_t value;
  };
  std::vector<Position> positions;
  std::optional<uint64_t> table;
  uint32_t pspPointer = 0;
  uint32_t biosPointer[2] = {};
  std::vector<InspectedDirectory> directories;
  std::vector<ProcessorVerdict> processors;
  std::vector<std::string> problems;
  bool Good() const { return problems.empty(); }
};

// signatures: CPUID 0x80000001 EAX values to judge; empty: the signature of every row.
FlashInspection InspectFlash(FlashImage image, const std::string& name, std::vector<uint32_t> signatures = {});
std::string FlashInspectionText(const FlashInspection& inspection);
nlohmann::json FlashInspectionJson(const FlashInspection& inspection);
// The same document as FlashInspectionJson(inspection).dump(2) and a newline,
// written as it is produced: a directory's entries never stand in memory as JSON.
void WriteFlashInspectionJson(const FlashInspection& inspection, std::ostream& out);

}  // namespace sim
