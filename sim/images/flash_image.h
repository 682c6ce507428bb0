// The boot flash of the virtual platform: an image that ends at 4 GiB, and the
// builder that lays one out from a description (a scenario's [flash] table):
// the firmware entry table, PSP, combo and BIOS directories with their entries
// and data, every checksum Fletcher-32, and switches that break a magic, a
// checksum or a count on purpose.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "psp/flash.h"

namespace sim {

constexpr uint64_t kFlashEnd = 1ull << 32;
constexpr uint64_t kFlashMaxSize = 16ull << 20;
constexpr uint64_t kFlashPlacementAlign = 0x1000;

struct FlashImage {
  uint64_t base = kFlashEnd;
  std::vector<uint8_t> bytes;
  // What the builder wrote over the erased bytes (address, length), and the
  // erased byte: a build into an image built before erases only these again.
  // Not built (read from a file, or a build that failed): the next fills it all.
  std::vector<std::pair<uint64_t, uint64_t>> written;
  uint8_t erased = 0xFF;
  bool built = false;
  // An image that goes leaves its bytes for the next one built: a process that
  // builds image after image (a fuzzer, a benchmark) fills memory it already
  // has instead of having the host map and clear fresh pages every time.
  FlashImage() = default;
  FlashImage(const FlashImage&) = default;
  FlashImage(FlashImage&&) = default;
  FlashImage& operator=(const FlashImage&) = default;
  FlashImage& operator=(FlashImage&&) = default;
  ~FlashImage();
  uint64_t Size() const { return bytes.size(); }
  bool Contains(uint64_t address, uint64_t length) const {
    return PhysRegion(base, bytes.size()).HoldsAddress(address, length);
  }
  // Little-endian reads; false when the bytes are not all in the image.
  bool Read(uint64_t address, uint64_t length, uint64_t* value) const;
};

// A flash image read from a file: 1 byte to 16 MiB, ending at 4 GiB.
FlashImage FlashImageFromBytes(std::vector<uint8_t> bytes);

// Names a directory of the layout, or gives an address.
struct FlashRef {
  std::string directory;  // empty: `address`
  uint64_t address = 0;
};

enum class FlashDirectoryKind { Psp, Combo, Bios, BiosLevel2 };
const char* FlashDirectoryKindKey(FlashDirectoryKind kind);  // "psp", "combo", "bios", "bios_l2"
uint32_t FlashDirectoryMagic(FlashDirectoryKind kind);
// Bytes of the directory's header, and of each of its entries.
uint64_t FlashDirectoryHeaderSize(FlashDirectoryKind kind);
uint64_t FlashDirectoryEntrySize(FlashDirectoryKind kind);

// PSP directory entries as this builder writes them (the driver reads none of
// their fields): the type word, the size, and where the data lies.
struct PspDirectoryEntryLayout {
  uint32_t TypeWord;
  uint32_t Size;
  uint64_t Location;
};
static_assert(sizeof(PspDirectoryEntryLayout) == kPspDirectoryEntrySize &&
              offsetof(PspDirectoryEntryLayout, Size) == offsetof(BiosDirectoryEntry, Size) &&
              offsetof(PspDirectoryEntryLayout, Location) == offsetof(BiosDirectoryEntry, Source));

struct FlashEntryDesc {
  std::string where;               // key path, for messages
  uint8_t type = 0;                // PSP and BIOS entries: BiosEntryTypeWord::Type
  uint32_t flags = 0;              // BiosEntryTypeWord::Flags
  std::optional<uint32_t> size;    // default: the data's length, or the named directory's size
  std::optional<FlashRef> source;  // BIOS: source; PSP: location; combo: the processor's PSP directory
  uint64_t destination = 0;        // BIOS entries
  uint32_t processorId = 0;        // combo entries
  std::optional<std::vector<uint8_t>> data;  // written into the flash; the source points at it
};

struct FlashDirectoryDesc {
  std::string where;
  std::string name;
  FlashDirectoryKind kind = FlashDirectoryKind::Bios;
  std::optional<uint64_t> address;  // default: placed by the builder
  bool badMagic = false;
  bool badChecksum = false;
  std::optional<uint32_t> count;  // stored instead of the number of entries
  std::vector<FlashEntryDesc> entries;
};

struct FlashLayout {
  uint64_t size = kFlashMaxSize;
  uint8_t erased = 0xFF;
  std::optional<uint64_t> tableAddress;  // default: 0x20000 into the flash
  uint32_t tableSignature = kFirmwareEntryTableSignature;
  std::optional<FlashRef> psp;      // default: the first combo directory, else the first PSP directory
  std::optional<FlashRef> bios[2];  // default: the first BIOS directory
  std::vector<FlashDirectoryDesc> directories;
};

// A layout that cannot be built; `where` is the key path of the item at fault.
struct FlashBuildError : std::runtime_error {
  FlashBuildError(std::string at, const std::string& what) : std::runtime_error(what), where(std::move(at)) {}
  std::string where;
};

FlashImage BuildFlashImage(const FlashLayout& layout);
// The same into `image`, which may hold an image built before: of the same size
// and erased byte, only what that build wrote is erased again, so that a process
// building image after image (a fuzzer) never fills the whole flash again. On an
// error the image is left unusable until a build succeeds.
void BuildFlashImageInto(const FlashLayout& layout, FlashImage& image);

}  // namespace sim
