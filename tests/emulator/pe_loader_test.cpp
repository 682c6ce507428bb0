// The PE32+ loader: a small image built here, every way of breaking it, and the
// driver image itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "sim/emu/pe_loader.h"

namespace {

// A three-section image (.text, .rdata with two pointers, .reloc) whose preferred
// base is 0x10000, laid out like the driver's: file offsets equal RVAs.
constexpr size_t kPe = 0x40, kCoff = kPe + 4, kOpt = kCoff + 20, kOptSize = 112 + 16 * 8, kTable = kOpt + kOptSize;
constexpr size_t kText = 0, kRdata = 1, kReloc = 2;
constexpr uint64_t kPreferred = 0x10000;
constexpr uint64_t kMax = 1 << 20;
// Where the emulator backend places images: the top 4 MiB of the platform's DRAM.
constexpr uint64_t kLoadBase = 0x43C00000;

struct TestImage {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(0x2C0, 0);
  template <class T>
  void Put(size_t offset, T v) {
    std::memcpy(bytes.data() + offset, &v, sizeof v);
  }
  template <class T>
  T Get(size_t offset) const {
    T v;
    std::memcpy(&v, bytes.data() + offset, sizeof v);
    return v;
  }
  static size_t Section(size_t i) { return kTable + 40 * i; }
  void SetSection(size_t i, const char* name, uint32_t rva, uint32_t virtualSize, uint32_t rawSize, uint32_t flags) {
    std::memcpy(bytes.data() + Section(i), name, std::strlen(name));
    Put<uint32_t>(Section(i) + 8, virtualSize);
    Put<uint32_t>(Section(i) + 12, rva);
    Put<uint32_t>(Section(i) + 16, rawSize);
    Put<uint32_t>(Section(i) + 20, rva);
    Put<uint32_t>(Section(i) + 36, flags);
  }
  TestImage() {
    Put<uint16_t>(0, 0x5A4D);
    Put<uint32_t>(0x3C, kPe);
    Put<uint32_t>(kPe, 0x00004550);
    Put<uint16_t>(kCoff, 0x8664);
    Put<uint16_t>(kCoff + 2, 3);
    Put<uint16_t>(kCoff + 16, kOptSize);
    Put<uint16_t>(kCoff + 18, 0x2022);
    Put<uint16_t>(kOpt, 0x20B);
    Put<uint32_t>(kOpt + 16, 0x200);  // entry
    Put<uint64_t>(kOpt + 24, kPreferred);
    Put<uint32_t>(kOpt + 56, 0x2C0);  // image size
    Put<uint32_t>(kOpt + 60, 0x200);  // header size
    Put<uint16_t>(kOpt + 68, 11);
    Put<uint32_t>(kOpt + 108, 16);
    Put<uint32_t>(kOpt + 112 + 8 * 5, 0x280);  // relocation directory
    Put<uint32_t>(kOpt + 112 + 8 * 5 + 4, 16);
    // .text: 0x40 bytes in memory, 0x20 of them in the file (the rest is zero).
    SetSection(kText, ".text", 0x200, 0x40, 0x20, 0x60000020);
    SetSection(kRdata, ".rdata", 0x240, 0x40, 0x40, 0x40000040);
    SetSection(kReloc, ".reloc", 0x280, 0x10, 0x40, 0x42000040);
    std::memset(bytes.data() + 0x200, 0x90, 0x20);
    std::memset(bytes.data() + 0x220, 0xEE, 0x20);  // file bytes beyond .text's raw size
    Put<uint64_t>(0x240, kPreferred + 0x200);
    Put<uint64_t>(0x248, kPreferred + 0x210);
    Put<uint32_t>(0x280, 0x0);
    Put<uint32_t>(0x284, 16);
    Put<uint16_t>(0x288, 0xA240);
    Put<uint16_t>(0x28A, 0xA248);
    // two absolute entries pad the block
  }
  sim::PeImage Parse() const { return sim::PeImage::Parse(bytes, "test.efi", kMax); }
};

TEST(PeLoader, PlacesSectionsAndAppliesDir64Relocations) {
  const TestImage t;
  const sim::PeImage image = t.Parse();
  EXPECT_EQ(image.SizeOfImage(), 0x2C0u);
  EXPECT_EQ(image.EntryRva(), 0x200u);
  EXPECT_EQ(image.PreferredBase(), kPreferred);
  ASSERT_EQ(image.Sections().size(), 3u);
  EXPECT_EQ(image.Sections()[kText].name, ".text");
  EXPECT_TRUE(image.Sections()[kText].Executable());
  EXPECT_FALSE(image.Sections()[kRdata].Writable());
  EXPECT_EQ(image.Relocations(), (std::vector<uint32_t>{0x240, 0x248}));

  std::vector<uint8_t> placed(image.SizeOfImage(), 0x55);
  const uint64_t base = kLoadBase;
  image.Place(placed.data(), base);
  uint64_t p0, p1;
  std::memcpy(&p0, placed.data() + 0x240, 8);
  std::memcpy(&p1, placed.data() + 0x248, 8);
  EXPECT_EQ(p0, base + 0x200);
  EXPECT_EQ(p1, base + 0x210);
  EXPECT_EQ(placed[0x21F], 0x90);
  EXPECT_EQ(placed[0x220], 0x00) << "memory beyond a section's file data is zero";
  EXPECT_EQ(placed[0x23F], 0x00);
  // At its preferred base nothing moves.
  image.Place(placed.data(), kPreferred);
  std::memcpy(&p0, placed.data() + 0x240, 8);
  EXPECT_EQ(p0, kPreferred + 0x200);
}

TEST(PeLoader, RejectsBadImagesNamingTheProblem) {
  struct Case {
    const char* expected;
    std::function<void(TestImage&)> breakIt;
  } cases[] = {
      {"no MZ signature", [](TestImage& t) { t.bytes.resize(0x30); }},
      {"no MZ signature", [](TestImage& t) { t.Put<uint16_t>(0, 0x4D5A); }},
      {"beyond the end of the file", [](TestImage& t) { t.Put<uint32_t>(0x3C, 0xFFFFFFF0u); }},
      {"no PE signature", [](TestImage& t) { t.Put<uint32_t>(kPe, 0x00004551); }},
      {"machine 0x14C is not x86-64", [](TestImage& t) { t.Put<uint16_t>(kCoff, 0x14C); }},
      {"PE32 (32-bit)", [](TestImage& t) { t.Put<uint16_t>(kOpt, 0x10B); }},
      {"is not PE32+", [](TestImage& t) { t.Put<uint16_t>(kOpt, 0x999); }},
      {"too short for PE32+", [](TestImage& t) { t.Put<uint16_t>(kCoff + 16, 64); }},
      {"data directory count 17", [](TestImage& t) { t.Put<uint32_t>(kOpt + 108, 17); }},
      {"image size is 0", [](TestImage& t) { t.Put<uint32_t>(kOpt + 56, 0); }},
      {"exceeds the 0x100000 bytes", [](TestImage& t) { t.Put<uint32_t>(kOpt + 56, 0x200000); }},
      {"header size", [](TestImage& t) { t.Put<uint32_t>(kOpt + 60, 0x1000); }},
      {"0 sections", [](TestImage& t) { t.Put<uint16_t>(kCoff + 2, 0); }},
      {"section table runs past", [](TestImage& t) { t.Put<uint16_t>(kCoff + 2, 90); }},
      {"raw data [0xFFFFFF00", [](TestImage& t) { t.Put<uint32_t>(TestImage::Section(kRdata) + 20, 0xFFFFFF00u); }},
      {"lies beyond the end of the file", [](TestImage& t) { t.Put<uint32_t>(TestImage::Section(kReloc) + 16, 0x1000); }},
      {"lies outside the image size", [](TestImage& t) { t.Put<uint32_t>(TestImage::Section(kRdata) + 8, 0xFFFFFFF0u); }},
      {"overlaps the headers", [](TestImage& t) { t.Put<uint32_t>(TestImage::Section(kText) + 12, 0x100); }},
      {"sections .text and .rdata overlap", [](TestImage& t) { t.Put<uint32_t>(TestImage::Section(kRdata) + 12, 0x220); }},
      {"entry point 0x240 is not in an executable section", [](TestImage& t) { t.Put<uint32_t>(kOpt + 16, 0x240); }},
      {"entry point 0x0", [](TestImage& t) { t.Put<uint32_t>(kOpt + 16, 0); }},
      {"imports from other modules", [](TestImage& t) { t.Put<uint32_t>(kOpt + 112 + 8 + 4, 20); }},
      {"relocation type 3 (HIGHLOW) at RVA 0x240 is not supported", [](TestImage& t) { t.Put<uint16_t>(0x288, 0x3240); }},
      {"relocation block at RVA 0x280 has a bad size 0x4", [](TestImage& t) { t.Put<uint32_t>(0x284, 4); }},
      {"bad size 0x100", [](TestImage& t) { t.Put<uint32_t>(0x284, 0x100); }},
      {"DIR64 relocation at RVA 0x2FC lies outside the image", [](TestImage& t) {
         t.Put<uint32_t>(0x280, 0x200);
         t.Put<uint16_t>(0x288, 0xA0FC);
       }},
      {"ends inside a block header", [](TestImage& t) { t.Put<uint32_t>(kOpt + 112 + 8 * 5 + 4, 20); }},
      {"relocation directory lies outside the image", [](TestImage& t) { t.Put<uint32_t>(kOpt + 112 + 8 * 5, 0x2B8); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    TestImage t;
    c.breakIt(t);
    try {
      t.Parse();
      ADD_FAILURE() << "accepted";
    } catch (const sim::PeError& e) {
      EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).rfind("test.efi: ", 0), 0u) << "names the file: " << e.what();
    }
  }
}

TEST(PeLoader, StrippedRelocationsLoadOnlyAtThePreferredBase) {
  TestImage t;
  t.Put<uint16_t>(kCoff + 18, 0x2023);
  t.Put<uint32_t>(kOpt + 112 + 8 * 5 + 4, 0);
  const sim::PeImage image = t.Parse();
  std::vector<uint8_t> placed(image.SizeOfImage());
  EXPECT_NO_THROW(image.Place(placed.data(), kPreferred));
  EXPECT_THROW(image.Place(placed.data(), kLoadBase), sim::PeError);
}

#ifdef MEMINFO_IMAGE_PATH
// A file's bytes; none when it cannot be read.
std::vector<uint8_t> FileBytes(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
#endif

// Every prefix of the file and many corrupted headers: a clean error or an image
// whose placement stays inside it, nothing else (the sanitizer build checks the
// reads and writes).
void ExpectNoCrashOnCorruption(const std::vector<uint8_t>& good) {
  for (size_t n = 0; n < good.size(); n += (n < 0x400 ? 1 : 61)) {
    std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(n));
    try {
      const sim::PeImage image = sim::PeImage::Parse(cut, "cut.efi", kMax);
      std::vector<uint8_t> placed(image.SizeOfImage());
      image.Place(placed.data(), kLoadBase);
    } catch (const sim::PeError&) {
    }
  }
  uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u; };
  const size_t span = std::min<size_t>(good.size(), 0x400);
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> bad = good;
    for (int k = 0; k < 1 + int(next() % 4); ++k) bad[next() % span] = uint8_t(next() >> 16);
    try {
      const sim::PeImage image = sim::PeImage::Parse(bad, "bad.efi", kMax);
      ASSERT_LE(image.SizeOfImage(), kMax);
      std::vector<uint8_t> placed(image.SizeOfImage());
      image.Place(placed.data(), kLoadBase);
    } catch (const sim::PeError&) {
    }
  }
}

TEST(PeLoader, CorruptedFilesNeverReadOrWriteOutside) {
  ExpectNoCrashOnCorruption(TestImage().bytes);
#ifdef MEMINFO_IMAGE_PATH
  const std::vector<uint8_t> bytes = FileBytes(MEMINFO_IMAGE_PATH);
  ASSERT_FALSE(bytes.empty());
  ExpectNoCrashOnCorruption(bytes);
#endif
}

TEST(PeLoader, MissingFileIsAClearError) {
  // A device is refused unread: /dev/zero never ends.
  for (const auto& [path, words] : {std::pair{"/nonexistent/MemInfoDxe.efi", "/nonexistent/MemInfoDxe.efi: cannot open"},
                                    std::pair{"/dev/zero", "/dev/zero: not a file that can be read"}}) {
    try {
      sim::PeImage::Read(path, kMax);
      ADD_FAILURE() << "accepted " << path;
    } catch (const sim::PeError& e) {
      EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
    }
  }
}

#ifdef MEMINFO_IMAGE_PATH
TEST(PeLoader, TheDriverImageLoadsWithItsPointerTablesRelocated) {
  const sim::PeImage image = sim::PeImage::Read(MEMINFO_IMAGE_PATH, 4 << 20);
  EXPECT_EQ(image.Subsystem(), 11);
  EXPECT_EQ(image.PreferredBase(), 0u);
  ASSERT_FALSE(image.Relocations().empty()) << "the start-up step table is a pointer table";
  std::vector<uint8_t> placed(image.SizeOfImage());
  image.Place(placed.data(), kLoadBase);
  bool state = false;
  for (const sim::PeSection& s : image.Sections()) state |= s.name == "mistate" && s.Writable() && !s.Executable();
  EXPECT_TRUE(state) << "the driver's state section";
  for (uint32_t rva : image.Relocations()) {
    uint64_t before, after;
    std::memcpy(&before, image.Layout().data() + rva, 8);
    std::memcpy(&after, placed.data() + rva, 8);
    EXPECT_EQ(after, before + kLoadBase) << std::hex << rva;
    // Each relocated pointer points into the image.
    EXPECT_LT(before, image.SizeOfImage()) << std::hex << rva;
  }
}

// The shipped image is the linker's written again with compact headers: the DOS
// header alone and the directories up to base relocations. Loaded, it is the
// linker's image byte for byte past the headers, with the same sections,
// entry point and relocations.
TEST(PeLoader, TheCompactImageLoadsAsTheLinkerWroteIt) {
  const std::vector<uint8_t> file = FileBytes(MEMINFO_IMAGE_PATH);
  const auto at = [&](size_t offset) { uint32_t v; std::memcpy(&v, file.data() + offset, 4); return v; };
  ASSERT_GT(file.size(), 0x200u);
  EXPECT_EQ(at(0x3C), 0x40u) << "no DOS stub program";
  const size_t opt = 0x40 + 4 + 20;
  EXPECT_EQ(at(opt + 108), 6u) << "directories up to base relocations";
  EXPECT_EQ(at(opt + 60) % at(opt + 36), 0u) << "headers end on the file alignment";

  const sim::PeImage compact = sim::PeImage::Parse(file, "compact", 4 << 20);
  const sim::PeImage linked = sim::PeImage::Read(MEMINFO_LINKED_IMAGE_PATH, 4 << 20);
  ASSERT_EQ(compact.SizeOfImage(), linked.SizeOfImage());
  EXPECT_EQ(compact.EntryRva(), linked.EntryRva());
  EXPECT_EQ(compact.Relocations(), linked.Relocations());
  ASSERT_EQ(compact.Sections().size(), linked.Sections().size());
  const uint32_t first = compact.Sections().front().rva;
  EXPECT_LT(at(opt + 60), first) << "the headers are smaller than the linker's";
  EXPECT_TRUE(std::equal(compact.Layout().begin() + first, compact.Layout().end(), linked.Layout().begin() + first));
  size_t fileEnd = 0;
  for (size_t i = 0; i < compact.Sections().size(); ++i) {
    EXPECT_EQ(compact.Sections()[i].name, linked.Sections()[i].name);
    EXPECT_EQ(compact.Sections()[i].rva, linked.Sections()[i].rva);
    EXPECT_EQ(compact.Sections()[i].size, linked.Sections()[i].size);
    EXPECT_EQ(compact.Sections()[i].characteristics, linked.Sections()[i].characteristics);
    const size_t h = opt + 112 + 8 * 6 + 40 * i;
    fileEnd = std::max<size_t>(fileEnd, size_t{at(h + 20)} + at(h + 16));
  }
  EXPECT_EQ(fileEnd, file.size()) << "nothing after the last section";
}

// What the tool cannot carry over it refuses, and writes nothing: bytes after
// the last section (they would be lost), a file cut inside its headers.
TEST(PeLoader, TheCompactingStepRefusesWhatItCannotCarryOver) {
  const std::vector<uint8_t> linked = FileBytes(MEMINFO_LINKED_IMAGE_PATH);
  ASSERT_FALSE(linked.empty());
  const std::string dir = ::testing::TempDir();
  for (const size_t size : {linked.size() + 1, size_t{0x100}}) {
    std::vector<uint8_t> bad = linked;
    bad.resize(size);
    const std::string in = dir + "compact-in.efi", out = dir + "compact-out.efi";
    std::remove(out.c_str());
    std::FILE* w = std::fopen(in.c_str(), "wb");
    ASSERT_NE(w, nullptr);
    std::fwrite(bad.data(), 1, bad.size(), w);
    std::fclose(w);
    const std::string command = MEMINFO_SOURCE_DIR "/tools/compact-pe " + in + " " + out + " 2>/dev/null";
    EXPECT_NE(std::system(command.c_str()), 0) << size << " bytes";
    EXPECT_EQ(std::fopen(out.c_str(), "rb"), nullptr) << size << " bytes";
  }
}
#endif

}  // namespace
