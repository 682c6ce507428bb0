// What the driver image is linked from: no object brings static constructors or
// mutable state outside the image-state section. The image's own headers and
// sections are checked by image_test.py, which reads them with pefile.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#ifdef MEMINFO_IMAGE_PATH

namespace {

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
