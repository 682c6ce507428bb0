// The loader for the driver image when it runs in the CPU emulator: reads a PE32+
// x86-64 file, checks every header field it relies on, lays the image out as it
// is in memory and places copies of it at a load address with its DIR64 base
// relocations applied. A malformed file is a PeError naming the file and the
// problem, never an access outside the file or the image.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

struct PeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct PeSection {
  std::string name;
  uint32_t rva = 0;
  uint32_t size = 0;  // in memory
  uint32_t characteristics = 0;
  bool Executable() const { return (characteristics & 0x20000000u) != 0; }  // IMAGE_SCN_MEM_EXECUTE
  bool Writable() const { return (characteristics & 0x80000000u) != 0; }    // IMAGE_SCN_MEM_WRITE
};

class PeImage {
 public:
  // `source` names the file in messages; an image larger than maxSize is refused.
  static PeImage Parse(const std::vector<uint8_t>& file, const std::string& source, uint64_t maxSize);
  static PeImage Read(const std::string& path, uint64_t maxSize);

  uint64_t SizeOfImage() const { return layout_.size(); }
  uint32_t EntryRva() const { return entryRva_; }
  uint64_t PreferredBase() const { return preferredBase_; }
  uint16_t Subsystem() const { return subsystem_; }
  const std::vector<PeSection>& Sections() const { return sections_; }
  // RVAs of the 64-bit fields a load at another base adjusts.
  const std::vector<uint32_t>& Relocations() const { return relocations_; }
  // The image as laid out at its preferred base: headers, then each section at its RVA.
  const std::vector<uint8_t>& Layout() const { return layout_; }

  // Writes the image as loaded at `base` into destination[0, SizeOfImage()).
  void Place(uint8_t* destination, uint64_t base) const;

 private:
  std::string source_;
  std::vector<uint8_t> layout_;
  std::vector<PeSection> sections_;
  std::vector<uint32_t> relocations_;
  uint64_t preferredBase_ = 0;
  uint32_t entryRva_ = 0;
  uint16_t subsystem_ = 0;
  bool relocationsStripped_ = false;
};

}  // namespace sim
