// The built driver image: a PE32+ x86-64 EFI boot-service driver with no imports.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifdef MEMINFO_IMAGE_PATH

namespace {

struct Image {
  std::vector<uint8_t> bytes;
  template <class T>
  T At(size_t offset) const {
    T v{};
    if (offset + sizeof(T) <= bytes.size()) std::memcpy(&v, bytes.data() + offset, sizeof(T));
    return v;
  }
};

Image Load() {
  std::ifstream in(MEMINFO_IMAGE_PATH, std::ios::binary);
  Image image;
  image.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return image;
}

struct Section {
  std::string name;
  uint32_t virtualSize, virtualAddress, rawSize, rawOffset, characteristics;
};

TEST(DriverImage, IsAnEfiBootServiceDriver) {
  const Image img = Load();
  ASSERT_GT(img.bytes.size(), 512u) << MEMINFO_IMAGE_PATH;
  ASSERT_EQ(img.At<uint16_t>(0), 0x5A4D) << "MZ";
  const uint32_t pe = img.At<uint32_t>(0x3C);
  ASSERT_EQ(img.At<uint32_t>(pe), 0x00004550u) << "PE signature";
  const size_t coff = pe + 4;
  EXPECT_EQ(img.At<uint16_t>(coff), 0x8664) << "machine x86-64";
  const uint16_t sectionCount = img.At<uint16_t>(coff + 2);
  const uint16_t optionalSize = img.At<uint16_t>(coff + 16);
  const size_t opt = coff + 20;
  EXPECT_EQ(img.At<uint16_t>(opt), 0x20B) << "PE32+";
  EXPECT_EQ(img.At<uint16_t>(opt + 68), 11) << "EFI boot-service driver";
  const uint32_t entry = img.At<uint32_t>(opt + 16);
  const uint32_t directories = img.At<uint32_t>(opt + 108);
  ASSERT_GE(directories, 6u);
  const size_t dir = opt + 112;
  EXPECT_EQ(img.At<uint32_t>(dir + 8 * 1), 0u) << "import directory address";
  EXPECT_EQ(img.At<uint32_t>(dir + 8 * 1 + 4), 0u) << "import directory size";
  EXPECT_GT(img.At<uint32_t>(dir + 8 * 5 + 4), 0u) << "base relocations present";

  std::vector<Section> sections;
  const size_t table = opt + optionalSize;
  for (uint16_t i = 0; i < sectionCount; ++i) {
    const size_t s = table + 40u * i;
    Section sec;
    sec.name.assign(reinterpret_cast<const char*>(img.bytes.data() + s), strnlen(reinterpret_cast<const char*>(img.bytes.data() + s), 8));
    sec.virtualSize = img.At<uint32_t>(s + 8);
    sec.virtualAddress = img.At<uint32_t>(s + 12);
    sec.rawSize = img.At<uint32_t>(s + 16);
    sec.rawOffset = img.At<uint32_t>(s + 20);
    sec.characteristics = img.At<uint32_t>(s + 36);
    sections.push_back(sec);
  }
  bool entryExecutable = false;
  for (const Section& s : sections)
    if (entry >= s.virtualAddress && entry < s.virtualAddress + s.virtualSize)
      entryExecutable = (s.characteristics & 0x20000000) != 0;  // IMAGE_SCN_MEM_EXECUTE
  EXPECT_TRUE(entryExecutable) << "entry point 0x" << std::hex << entry;
  for (const Section& s : sections) {
    // No writable section may also be executable.
    EXPECT_FALSE((s.characteristics & 0x20000000) && (s.characteristics & 0x80000000)) << s.name;
    // Mutable state lives in the image-state section only, which the host build
    // resets before each boot; anything in .data or .bss would survive there.
    EXPECT_TRUE(s.name != ".data" && s.name != ".bss") << "mutable state outside IMAGE_STATE: " << s.name;
  }
  std::printf("[ image    ] %s: %zu bytes\n", MEMINFO_IMAGE_PATH, img.bytes.size());
}

// Static constructors would go to .CRT$XCU sections, which the linker folds
// into read-only data and nothing in a driver ever runs: no object may have one.
// The objects are bitcode, where they are listed in llvm.global_ctors.
TEST(DriverImage, ObjectsHaveNoStaticConstructors) {
  const std::filesystem::path objects = std::filesystem::path(MEMINFO_IMAGE_PATH).parent_path() / "image-obj";
  size_t checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator(objects)) {
    if (entry.path().extension() != ".obj") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes.find(".CRT$XC"), std::string::npos) << entry.path();
    EXPECT_EQ(bytes.find("llvm.global_ctors"), std::string::npos) << entry.path();
    ++checked;
  }
  EXPECT_GT(checked, 10u);
}

// The link merges .data and .bss into the image-state section, so the image's
// section names cannot show stray state: the link map's input sections can.
// Its lines read "address size align [output] input-or-symbol".
TEST(DriverImage, LinkMapHasNoStateOutsideImageStateAndNoConstructors) {
  std::ifstream in(std::filesystem::path(MEMINFO_IMAGE_PATH).replace_extension(".map"));
  ASSERT_TRUE(in) << "link map beside " << MEMINFO_IMAGE_PATH;
  size_t inputs = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.find(".CRT$XC") != std::string::npos) ADD_FAILURE() << "static constructor: " << line;
    const bool data = line.find(":(.data") != std::string::npos, bss = line.find(":(.bss") != std::string::npos;
    if (line.find(":(") != std::string::npos) ++inputs;
    if ((data || bss) && std::stoul(line.substr(9, 8), nullptr, 16) != 0)
      ADD_FAILURE() << "mutable state outside IMAGE_STATE: " << line;
  }
  EXPECT_GT(inputs, 10u);
}

}  // namespace

#endif
