#include "sim/emu/pe_loader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sim/common/bounded_file.h"
#include "sim/firmware/firmware.h"

namespace sim {

namespace {

constexpr uint16_t kMachineX64 = 0x8664;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kRelocsStripped = 0x0001;  // IMAGE_FILE_RELOCS_STRIPPED
constexpr uint32_t kScnCode = 0x00000020;     // IMAGE_SCN_CNT_CODE
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kOptionalFixedSize = 112;  // PE32+ optional header up to its data directories
constexpr uint32_t kMaxSections = 96;
constexpr uint32_t kImportDirectory = 1;
constexpr uint32_t kRelocationDirectory = 5;
constexpr uint16_t kRelAbsolute = 0;
constexpr uint16_t kRelDir64 = 10;

const char* RelocationTypeName(uint16_t type) {
  switch (type) {
    case 1: return "HIGH";
    case 2: return "LOW";
    case 3: return "HIGHLOW";
    case 4: return "HIGHADJ";
    default: return "unknown";
  }
}

// Bounds-checked little-endian reads from a byte buffer.
class Bytes {
 public:
  Bytes(const std::vector<uint8_t>& data, const std::string& source) : data_(data), source_(source) {}
  bool Has(uint64_t offset, uint64_t length) const { return offset <= data_.size() && length <= data_.size() - offset; }
  template <class T>
  T At(uint64_t offset, const char* what) const {
    if (!Has(offset, sizeof(T))) Fail(std::string(what) + " at file offset " + HexText(offset) + " lies beyond the end of the file");
    T v;
    std::memcpy(&v, data_.data() + offset, sizeof(T));
    return v;
  }
  [[noreturn]] void Fail(const std::string& message) const { throw PeError(source_ + ": " + message); }

 private:
  const std::vector<uint8_t>& data_;
  const std::string& source_;
};

// What the COFF and optional headers say, checked as far as they can be alone.
struct Headers {
  bool relocationsStripped = false;
  uint32_t entryRva = 0;
  uint64_t preferredBase = 0;
  uint16_t subsystem = 0;
  uint64_t optional = 0;  // file offset of the optional header
  uint64_t sizeOfImage = 0, sizeOfHeaders = 0;
  uint32_t directoryCount = 0;
  uint64_t sectionTable = 0;  // file offset
  uint32_t sectionCount = 0;

  // Data directory `index`: {0, 0} when the header has none.
  void Directory(const Bytes& f, uint32_t index, uint32_t* rva, uint32_t* size) const {
    *rva = *size = 0;
    if (index >= directoryCount) return;
    *rva = f.At<uint32_t>(optional + kOptionalFixedSize + 8ull * index, "data directory");
    *size = f.At<uint32_t>(optional + kOptionalFixedSize + 8ull * index + 4, "data directory");
  }
};

Headers ReadHeaders(const Bytes& f, const std::vector<uint8_t>& file, uint64_t maxSize) {
  Headers h;
  if (file.size() < 0x40 || f.At<uint16_t>(0, "DOS signature") != 0x5A4D) f.Fail("not a PE image (no MZ signature)");
  const uint64_t pe = f.At<uint32_t>(0x3C, "PE header offset");
  if (f.At<uint32_t>(pe, "PE signature") != 0x00004550) f.Fail("no PE signature at " + HexText(pe));
  const uint64_t coff = pe + 4;
  const uint16_t machine = f.At<uint16_t>(coff, "machine");
  if (machine != kMachineX64) f.Fail("machine " + HexText(machine) + " is not x86-64 (0x8664)");
  h.sectionCount = f.At<uint16_t>(coff + 2, "section count");
  const uint32_t optionalSize = f.At<uint16_t>(coff + 16, "optional header size");
  const uint16_t characteristics = f.At<uint16_t>(coff + 18, "characteristics");
  h.relocationsStripped = (characteristics & kRelocsStripped) != 0;

  const uint64_t opt = h.optional = coff + kCoffHeaderSize;
  const uint16_t magic = f.At<uint16_t>(opt, "optional header magic");
  if (magic == kMagicPe32) f.Fail("a PE32 (32-bit) image; only PE32+ is loaded");
  if (magic != kMagicPe32Plus) f.Fail("optional header magic " + HexText(magic) + " is not PE32+ (0x20B)");
  if (optionalSize < kOptionalFixedSize) f.Fail("optional header of " + std::to_string(optionalSize) + " bytes is too short for PE32+");
  if (!f.Has(opt, optionalSize)) f.Fail("optional header runs past the end of the file");
  h.entryRva = f.At<uint32_t>(opt + 16, "entry point");
  h.preferredBase = f.At<uint64_t>(opt + 24, "image base");
  h.sizeOfImage = f.At<uint32_t>(opt + 56, "image size");
  h.sizeOfHeaders = f.At<uint32_t>(opt + 60, "header size");
  h.subsystem = f.At<uint16_t>(opt + 68, "subsystem");
  h.directoryCount = f.At<uint32_t>(opt + 108, "data directory count");
  if (h.directoryCount > 16 || kOptionalFixedSize + 8ull * h.directoryCount > optionalSize)
    f.Fail("data directory count " + std::to_string(h.directoryCount) + " does not fit the optional header");

  if (h.sizeOfImage == 0) f.Fail("image size is 0");
  if (h.sizeOfImage > maxSize) f.Fail("image size " + HexText(h.sizeOfImage) + " exceeds the " + HexText(maxSize) + " bytes the loader places");
  if (h.sizeOfHeaders > h.sizeOfImage || h.sizeOfHeaders > file.size())
    f.Fail("header size " + HexText(h.sizeOfHeaders) + " exceeds the image or the file");
  if (h.sectionCount == 0 || h.sectionCount > kMaxSections) f.Fail(std::to_string(h.sectionCount) + " sections");
  h.sectionTable = opt + optionalSize;
  if (!f.Has(h.sectionTable, uint64_t{kSectionHeaderSize} * h.sectionCount)) f.Fail("section table runs past the end of the file");
  return h;
}

// Reads the section table and copies each section's raw data to its RVA in `layout`.
std::vector<PeSection> ReadSections(const Bytes& f, const std::vector<uint8_t>& file, const Headers& h,
                                    std::vector<uint8_t>& layout) {
  std::vector<PeSection> sections;
  for (uint32_t i = 0; i < h.sectionCount; ++i) {
    const uint64_t s = h.sectionTable + uint64_t{kSectionHeaderSize} * i;
    PeSection sec;
    char name[9] = {};
    std::memcpy(name, file.data() + s, 8);
    sec.name = name;
    const uint32_t virtualSize = f.At<uint32_t>(s + 8, "section size");
    sec.rva = f.At<uint32_t>(s + 12, "section address");
    const uint32_t rawSize = f.At<uint32_t>(s + 16, "section raw size");
    const uint32_t rawOffset = f.At<uint32_t>(s + 20, "section raw offset");
    sec.characteristics = f.At<uint32_t>(s + 36, "section characteristics");
    sec.size = virtualSize != 0 ? virtualSize : rawSize;
    const std::string label = "section " + std::to_string(i) + " (" + sec.name + ")";
    if (sec.rva < h.sizeOfHeaders) f.Fail(label + " at RVA " + HexText(sec.rva) + " overlaps the headers");
    if (uint64_t{sec.rva} + sec.size > h.sizeOfImage)
      f.Fail(label + " [" + HexText(sec.rva) + ", +" + HexText(sec.size) + ") lies outside the image size " + HexText(h.sizeOfImage));
    if (rawSize != 0 && !f.Has(rawOffset, rawSize))
      f.Fail(label + " raw data [" + HexText(rawOffset) + ", +" + HexText(rawSize) + ") lies beyond the end of the file");
    const uint32_t copy = std::min(rawSize, sec.size);
    if (copy != 0) std::memcpy(layout.data() + sec.rva, file.data() + rawOffset, copy);
    sections.push_back(sec);
  }
  std::vector<PeSection> sorted = sections;
  std::sort(sorted.begin(), sorted.end(), [](const PeSection& a, const PeSection& b) { return a.rva < b.rva; });
  for (size_t i = 1; i < sorted.size(); ++i)
    if (uint64_t{sorted[i - 1].rva} + sorted[i - 1].size > sorted[i].rva)
      f.Fail("sections " + sorted[i - 1].name + " and " + sorted[i].name + " overlap");
  return sections;
}

void CheckEntryPoint(const Bytes& f, const std::vector<PeSection>& sections, uint32_t entryRva) {
  bool entryInCode = false;
  for (const PeSection& s : sections)
    if (entryRva >= s.rva && entryRva - s.rva < s.size)
      entryInCode = s.Executable() || (s.characteristics & kScnCode) != 0;
  if (!entryInCode) f.Fail("entry point " + HexText(entryRva) + " is not in an executable section");
}

// The RVAs of the DIR64 fixups in the relocation directory [relocRva, +relocSize) of `layout`.
std::vector<uint32_t> ReadRelocations(const Bytes& f, const std::vector<uint8_t>& layout, uint32_t relocRva,
                                      uint32_t relocSize) {
  std::vector<uint32_t> relocations;
  const uint64_t sizeOfImage = layout.size();
  if (uint64_t{relocRva} + relocSize > sizeOfImage) f.Fail("relocation directory lies outside the image");
  const uint8_t* base = layout.data() + relocRva;
  uint64_t at = 0;
  while (at < relocSize) {
    if (relocSize - at < 8) f.Fail("relocation directory ends inside a block header at " + HexText(relocRva + at));
    uint32_t page, blockSize;
    std::memcpy(&page, base + at, 4);
    std::memcpy(&blockSize, base + at + 4, 4);
    if (blockSize < 8 || blockSize % 2 != 0 || blockSize > relocSize - at)
      f.Fail("relocation block at RVA " + HexText(relocRva + at) + " has a bad size " + HexText(blockSize));
    for (uint64_t e = at + 8; e < at + blockSize; e += 2) {
      uint16_t entry;
      std::memcpy(&entry, base + e, 2);
      const uint16_t type = entry >> 12;
      const uint64_t target = uint64_t{page} + (entry & 0xFFF);
      if (type == kRelAbsolute) continue;
      if (type != kRelDir64)
        f.Fail("relocation type " + std::to_string(type) + " (" + RelocationTypeName(type) + ") at RVA " + HexText(target) +
               " is not supported; an x86-64 image uses DIR64 (10) only");
      if (target + 8 > sizeOfImage) f.Fail("DIR64 relocation at RVA " + HexText(target) + " lies outside the image");
      relocations.push_back(static_cast<uint32_t>(target));
    }
    at += blockSize;
  }
  return relocations;
}

}  // namespace

PeImage PeImage::Read(const std::string& path, uint64_t maxSize) {
  // The image is placed in maxSize bytes: a larger file is refused unread.
  std::vector<uint8_t> bytes;
  if (std::string why = ReadBoundedFile(path, maxSize, bytes); !why.empty()) throw PeError(path + ": " + why);
  return Parse(bytes, path, maxSize);
}

PeImage PeImage::Parse(const std::vector<uint8_t>& file, const std::string& source, uint64_t maxSize) {
  PeImage image;
  image.source_ = source;
  const Bytes f(file, image.source_);

  const Headers h = ReadHeaders(f, file, maxSize);
  image.relocationsStripped_ = h.relocationsStripped;
  image.entryRva_ = h.entryRva;
  image.preferredBase_ = h.preferredBase;
  image.subsystem_ = h.subsystem;

  image.layout_.assign(h.sizeOfImage, 0);
  std::memcpy(image.layout_.data(), file.data(), h.sizeOfHeaders);
  image.sections_ = ReadSections(f, file, h, image.layout_);
  CheckEntryPoint(f, image.sections_, image.entryRva_);

  uint32_t importRva, importSize;
  h.Directory(f, kImportDirectory, &importRva, &importSize);
  if (importSize != 0) f.Fail("the image imports from other modules; a driver image here must not");

  uint32_t relocRva, relocSize;
  h.Directory(f, kRelocationDirectory, &relocRva, &relocSize);
  if (relocSize != 0) image.relocations_ = ReadRelocations(f, image.layout_, relocRva, relocSize);
  return image;
}

void PeImage::Place(uint8_t* destination, uint64_t base) const {
  const uint64_t delta = base - preferredBase_;
  if (delta != 0 && relocationsStripped_)
    throw PeError(source_ + ": relocations were stripped; the image loads only at " + HexText(preferredBase_));
  std::memcpy(destination, layout_.data(), layout_.size());
  for (uint32_t rva : relocations_) {
    uint64_t v;
    std::memcpy(&v, destination + rva, 8);
    v += delta;
    std::memcpy(destination + rva, &v, 8);
  }
}

}  // namespace sim
