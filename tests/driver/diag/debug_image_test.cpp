// What the build variant puts into an image: with debug print off, neither
// message texts nor the format engine; with it on, both.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "diag/debug_settings.h"

#ifdef MEMINFO_IMAGE_PATH

namespace {

std::string Load(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A printable run holding a format conversion, such as "%x" or "%08X". The run
// must be text-long (six characters or more): code bytes can spell a
// conversion by chance ("%x" in an instruction's displacement) but not a text.
bool HasFormatString(const std::string& image) {
  const std::string conversions = "asScduxXpgtr";
  auto printable = [](char c) { return (c >= 0x20 && c < 0x7F) || c == '\n' || c == '\r' || c == '\t'; };
  for (size_t i = 0; i + 1 < image.size(); ++i) {
    if (image[i] != '%') continue;
    size_t j = i + 1;
    while (j < image.size() && std::string("-+ ,lL.*0123456789").find(image[j]) != std::string::npos) ++j;
    if (j >= image.size() || conversions.find(image[j]) == std::string::npos) continue;
    size_t begin = i, end = j + 1;
    while (begin > 0 && printable(image[begin - 1])) --begin;
    while (end < image.size() && printable(image[end])) ++end;
    if (end - begin >= 6) return true;
  }
  return false;
}

TEST(DebugPrintImage, TextsAndTheEngineComeOnlyWithPrintingOn) {
  const std::string image = Load(MEMINFO_IMAGE_PATH);
  const std::string probe = Load(MEMINFO_PRINT_PROBE_PATH);
  ASSERT_GT(image.size(), 512u);
  ASSERT_GT(probe.size(), 512u);
  const bool on = kDebugSettings.DebugPrintEnabled != 0;
  // The probe prints one message: its text and the engine's come with it.
  EXPECT_EQ(probe.find("print probe %a %x") != std::string::npos, on);
  EXPECT_EQ(probe.find("<null string>") != std::string::npos, on);
  EXPECT_EQ(probe.find("Out of Resources") != std::string::npos, on);
  if (!on) {
    EXPECT_FALSE(HasFormatString(image));
    EXPECT_EQ(image.find("<null string>"), std::string::npos);
    EXPECT_EQ(image.find("0123456789ABCDEF"), std::string::npos);
  }
  std::printf("[ image    ] debug print %s: MemInfoDxe.efi %zu bytes, print probe %zu bytes\n", on ? "on" : "off",
              image.size(), probe.size());
}

}  // namespace

#endif
