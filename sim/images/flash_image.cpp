#include "sim/images/flash_image.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "sim/common/text.h"

namespace sim {

namespace {
// The bytes of the last image that went, if they were worth keeping: never
// destroyed, so an image that goes while the process ends still finds them.
std::mutex gSpareLock;
std::vector<uint8_t>& SpareBytes() {
  static auto* spare = new std::vector<uint8_t>();
  return *spare;
}

// Filling a large image page by page is most of what loading a scenario with a
// 16 MiB flash costs; where the host offers large pages, the fill takes few.
void FillLarge(std::vector<uint8_t>& bytes, size_t size, uint8_t value) {
  constexpr uintptr_t kLargePage = 2u << 20;
  if (bytes.capacity() < size) {
    std::lock_guard<std::mutex> hold(gSpareLock);
    if (SpareBytes().capacity() >= size) bytes = std::exchange(SpareBytes(), std::vector<uint8_t>());
  }
  if (bytes.capacity() >= size) {
    bytes.assign(size, value);
    return;
  }
  bytes.clear();
  bytes.reserve(size);
  const uintptr_t from = (reinterpret_cast<uintptr_t>(bytes.data()) + kLargePage - 1) & ~(kLargePage - 1);
  const uintptr_t to = (reinterpret_cast<uintptr_t>(bytes.data()) + size) & ~(kLargePage - 1);
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);  // a hint: failure changes nothing
  bytes.assign(size, value);
}
}  // namespace

FlashImage::~FlashImage() {
  if (bytes.capacity() == 0) return;
  std::lock_guard<std::mutex> hold(gSpareLock);
  if (bytes.capacity() > SpareBytes().capacity()) bytes.swap(SpareBytes());
}

bool FlashImage::Read(uint64_t address, uint64_t length, uint64_t* value) const {
  if (length > 8 || !Contains(address, length)) return false;
  uint64_t v = 0;
  std::memcpy(&v, bytes.data() + (address - base), length);
  *value = v;
  return true;
}

FlashImage FlashImageFromBytes(std::vector<uint8_t> bytes) {
  if (bytes.empty() || bytes.size() > kFlashMaxSize)
    throw FlashBuildError("", "a flash image holds 1 byte to 16 MiB, this one " + std::to_string(bytes.size()));
  FlashImage image;
  image.base = kFlashEnd - bytes.size();
  image.bytes = std::move(bytes);
  return image;
}

const char* FlashDirectoryKindKey(FlashDirectoryKind kind) {
  switch (kind) {
    case FlashDirectoryKind::Psp: return "psp";
    case FlashDirectoryKind::Combo: return "combo";
    case FlashDirectoryKind::Bios: return "bios";
    case FlashDirectoryKind::BiosLevel2: return "bios_l2";
  }
  return "?";
}

uint32_t FlashDirectoryMagic(FlashDirectoryKind kind) {
  switch (kind) {
    case FlashDirectoryKind::Psp: return kPspDirectoryMagic;
    case FlashDirectoryKind::Combo: return kComboDirectoryMagic;
    case FlashDirectoryKind::Bios: return kBiosDirectoryMagic;
    case FlashDirectoryKind::BiosLevel2: return kBiosLevel2Magic;
  }
  return 0;
}

uint64_t FlashDirectoryHeaderSize(FlashDirectoryKind kind) {
  return kind == FlashDirectoryKind::Combo ? sizeof(ComboDirectoryHeader) : sizeof(FlashDirectoryHeader);
}

uint64_t FlashDirectoryEntrySize(FlashDirectoryKind kind) {
  switch (kind) {
    case FlashDirectoryKind::Psp: return kPspDirectoryEntrySize;
    case FlashDirectoryKind::Combo: return sizeof(ComboDirectoryEntry);
    default: return sizeof(BiosDirectoryEntry);
  }
}

namespace {

uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) & ~(a - 1); }

// One range the image writes, for the overlap check.
struct Placed {
  uint64_t address, length;
  std::string what, where;
};

class Builder {
 public:
  Builder(const FlashLayout& layout, FlashImage& image) : layout_(layout), image_(image) {}

  void Build() {
    const FlashLayout& l = layout_;
    if (l.size == 0 || l.size > kFlashMaxSize || l.size % kFlashPlacementAlign != 0)
      throw FlashBuildError("flash.size", "a multiple of 4 KiB from 4 KiB to 16 MiB, not " + HexText(l.size));
    const bool reuse = image_.built && image_.bytes.size() == l.size && image_.erased == l.erased;
    image_.built = false;
    image_.base = kFlashEnd - l.size;
    if (reuse) {
      for (const auto& [address, length] : image_.written)
        std::memset(image_.bytes.data() + (address - image_.base), l.erased, length);
    } else {
      FillLarge(image_.bytes, l.size, l.erased);
    }
    image_.written.clear();
    image_.erased = l.erased;

    const uint64_t table = l.tableAddress.value_or(image_.base + 0x20000);
    Claim(table, sizeof(FirmwareEntryTable), "the firmware entry table", "flash.entry_table.address");
    next_ = AlignUp(table + sizeof(FirmwareEntryTable), kFlashPlacementAlign);

    for (size_t i = 0; i < l.directories.size(); ++i) {
      const FlashDirectoryDesc& d = l.directories[i];
      if (!d.name.empty() && !names_.emplace(d.name, i).second)
        throw FlashBuildError(d.where + ".name", "another directory is named '" + d.name + "' already");
    }
    // Directories first, then their entries' data, each at the next 4 KiB
    // boundary after the table or the item placed before it, unless it gives
    // its own address.
    directoryAt_.resize(l.directories.size());
    for (size_t i = 0; i < l.directories.size(); ++i) {
      const FlashDirectoryDesc& d = l.directories[i];
      const std::string what = d.name.empty() ? "directory " + d.where : "directory '" + d.name + "'";
      directoryAt_[i] = Place(d.address, DirectorySize(d), what, d.where);
    }
    for (size_t i = 0; i < l.directories.size(); ++i)
      for (const FlashEntryDesc& e : l.directories[i].entries) {
        if (!e.data) continue;
        if (e.source && !e.source->directory.empty())
          throw FlashBuildError(e.where, "an entry with data cannot take a directory as its source");
        dataAt_[&e] = Place(e.source ? std::optional<uint64_t>(e.source->address) : std::nullopt, e.data->size(),
                            "the data of " + e.where, e.where);
      }
    CheckOverlaps();

    WriteTable(table);
    for (size_t i = 0; i < l.directories.size(); ++i) WriteDirectory(l.directories[i], directoryAt_[i]);
    for (auto& [entry, at] : dataAt_) Write(at, entry->data->data(), entry->data->size());
    for (const Placed& p : placed_) image_.written.emplace_back(p.address, p.length);
    image_.built = true;
  }

 private:
  static uint64_t DirectorySize(const FlashDirectoryDesc& d) {
    return FlashDirectoryHeaderSize(d.kind) + FlashDirectoryEntrySize(d.kind) * d.entries.size();
  }

  void Claim(uint64_t address, uint64_t length, const std::string& what, const std::string& where) {
    if (!image_.Contains(address, std::max<uint64_t>(length, 1)))
      throw FlashBuildError(where, what + " at " + HexText(address) + " (" + std::to_string(length) +
                                       " bytes) does not lie in the flash, " + HexText(image_.base) + " to 0xFFFFFFFF");
    placed_.push_back({address, length, what, where});
  }

  uint64_t Place(std::optional<uint64_t> address, uint64_t length, const std::string& what, const std::string& where) {
    if (!address && !image_.Contains(next_, std::max<uint64_t>(length, 1)))
      throw FlashBuildError(where, "no room is left above " + HexText(next_) + " for " + what + "; give it an address");
    const uint64_t at = address.value_or(next_);
    Claim(at, length, what, where);
    if (!address) next_ = AlignUp(at + length, kFlashPlacementAlign);
    return at;
  }

  void CheckOverlaps() const {
    std::vector<Placed> sorted = placed_;
    std::sort(sorted.begin(), sorted.end(), [](const Placed& a, const Placed& b) { return a.address < b.address; });
    for (size_t i = 1; i < sorted.size(); ++i) {
      const Placed &a = sorted[i - 1], &b = sorted[i];
      if (a.length != 0 && b.length != 0 && b.address < a.address + a.length)
        throw FlashBuildError(b.where, b.what + " at " + HexText(b.address) + " overlaps " + a.what + " at " +
                                           HexText(a.address));
    }
  }

  uint64_t Resolve(const FlashRef& ref, const std::string& where) const {
    if (ref.directory.empty()) return ref.address;
    auto it = names_.find(ref.directory);
    if (it == names_.end()) throw FlashBuildError(where, "no directory is named '" + ref.directory + "'");
    return directoryAt_[it->second];
  }

  uint32_t Pointer(const FlashRef& ref, const std::string& where) const {
    const uint64_t at = Resolve(ref, where);
    if (at > 0xFFFFFFFF) throw FlashBuildError(where, "a 32-bit address, not " + HexText(at));
    return uint32_t(at);
  }

  std::optional<uint64_t> FirstAddressOf(FlashDirectoryKind kind) const {
    for (size_t i = 0; i < layout_.directories.size(); ++i)
      if (layout_.directories[i].kind == kind) return directoryAt_[i];
    return std::nullopt;
  }

  void Write(uint64_t address, const void* data, uint64_t length) {
    std::memcpy(image_.bytes.data() + (address - image_.base), data, length);
  }
  template <class T>
  void Put(uint64_t address, T value) {
    Write(address, &value, sizeof value);
  }
  uint32_t Checksum(uint64_t address, uint64_t words) const {
    const uint8_t* p = image_.bytes.data() + (address - image_.base);
    return Fletcher32Words(words, [p](uint64_t i) -> uint32_t { return uint32_t(p[2 * i] | (p[2 * i + 1] << 8)); });
  }

  void WriteTable(uint64_t table) {
    const FlashLayout& l = layout_;
    FirmwareEntryTable t{};
    std::memset(&t, l.erased, sizeof t);
    t.Signature = l.tableSignature;
    auto pointer = [&](const std::optional<FlashRef>& given, std::optional<uint64_t> fallback, const std::string& where) {
      if (given) return Pointer(*given, where);
      return uint32_t(fallback.value_or(0));
    };
    auto psp = FirstAddressOf(FlashDirectoryKind::Combo);
    if (!psp) psp = FirstAddressOf(FlashDirectoryKind::Psp);
    t.PspDirectory = pointer(l.psp, psp, "flash.entry_table.psp");
    for (int i = 0; i < 2; ++i)
      t.BiosDirectory[i] = pointer(l.bios[i], FirstAddressOf(FlashDirectoryKind::Bios), "flash.entry_table.bios");
    Put(table, t);
  }

  void WriteDirectory(const FlashDirectoryDesc& d, uint64_t at) {
    const uint64_t entries = at + FlashDirectoryHeaderSize(d.kind);
    const uint64_t entrySize = FlashDirectoryEntrySize(d.kind);
    std::vector<uint8_t> header(FlashDirectoryHeaderSize(d.kind), 0);
    Write(at, header.data(), header.size());
    for (size_t i = 0; i < d.entries.size(); ++i) {
      const FlashEntryDesc& e = d.entries[i];
      const uint64_t to = entries + i * entrySize;
      const uint32_t typeWord = BiosEntryTypeWord::Type::Of(e.type) | BiosEntryTypeWord::Flags::Of(e.flags);
      uint64_t source = 0;
      uint32_t size = 0;
      if (e.data) {
        source = dataAt_.at(&e);
        size = uint32_t(e.data->size());
      } else if (e.source) {
        source = Resolve(*e.source, e.where);
        if (!e.source->directory.empty()) size = uint32_t(DirectorySize(layout_.directories[names_.at(e.source->directory)]));
      }
      size = e.size.value_or(size);
      switch (d.kind) {
        case FlashDirectoryKind::Psp:
          Put(to, PspDirectoryEntryLayout{typeWord, size, source});
          break;
        case FlashDirectoryKind::Combo:
          Put(to, ComboDirectoryEntry{0, e.processorId, e.source ? Pointer(*e.source, e.where) : 0, 0});
          break;
        default:
          Put(to, BiosDirectoryEntry{typeWord, size, source, e.destination});
          break;
      }
    }
    uint32_t magic = FlashDirectoryMagic(d.kind);
    if (d.badMagic) magic = (magic & 0xFFFFFF00u) | 'X';
    Put(at + offsetof(FlashDirectoryHeader, Magic), magic);
    Put(at + offsetof(FlashDirectoryHeader, Count), d.count.value_or(uint32_t(d.entries.size())));
    // The checksum covers the count and the entries as written.
    const uint64_t words = (FlashDirectoryHeaderSize(d.kind) - kChecksumStart + entrySize * d.entries.size()) / 2;
    const uint32_t sum = Checksum(at + kChecksumStart, words);
    Put(at + offsetof(FlashDirectoryHeader, Checksum), d.badChecksum ? sum + 1 : sum);
  }

  const FlashLayout& layout_;
  FlashImage& image_;
  std::map<std::string, size_t> names_;
  std::vector<uint64_t> directoryAt_;
  std::map<const FlashEntryDesc*, uint64_t> dataAt_;
  std::vector<Placed> placed_;
  uint64_t next_ = 0;
};

}  // namespace

FlashImage BuildFlashImage(const FlashLayout& layout) {
  FlashImage image;
  Builder(layout, image).Build();
  return image;
}

void BuildFlashImageInto(const FlashLayout& layout, FlashImage& image) { Builder(layout, image).Build(); }

}  // namespace sim
