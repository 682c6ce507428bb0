// The boot's picture (HTML page): scenario text cannot break out of it, it is
// the same bytes for the same boot, it fetches nothing, and its address map
// marks where it is not to scale. The browser test (html_browser_test.py)
// opens real pages.
#include "sim/report/report_html.h"

#include <gtest/gtest.h>

#include <string>

#include "sim/report/report_html_parts.h"

namespace {

std::string Boot(const sim::Scenario& scenario) {
  sim::Platform platform(scenario);
  const sim::BootResult result = platform.Boot();
  return sim::HtmlReport(platform, result);
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(HtmlReport, HostileScenarioTextIsEscapedAndThePageIsDeterministicAndSelfContained) {
  sim::Scenario s = sim::LoadScenario(std::string(MEMINFO_SOURCE_DIR) + "/scenarios/default.toml");
  s.name = "<script>alert('x')</script><img onerror=y>";
  s.description = std::string("\"quoted\" & <b>bold</b> \x01\xFF\xC0\xAF \xED\xA0\x80 caf\xC3\xA9");
  const std::string page = Boot(s);
  EXPECT_EQ(page, Boot(s)) << "two boots of one scenario drew different pages";

  EXPECT_EQ(Count(page, "<script"), 0u);
  EXPECT_EQ(Count(page, "<img"), 0u);
  EXPECT_EQ(Count(page, "<b>bold"), 0u);
  EXPECT_NE(page.find("&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"), std::string::npos);
  // Control characters, stray bytes, an overlong form and a surrogate become U+FFFD; good UTF-8 stays.
  EXPECT_NE(page.find("&quot;quoted&quot; &amp; &lt;b&gt;bold&lt;/b&gt; \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD "
                      "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD caf\xC3\xA9"),
            std::string::npos);
  for (const char* outside : {"http", "src=", "@import", "url(", "<link", "<iframe", "<object"})
    EXPECT_EQ(Count(page, outside), 0u) << outside;

  // DRAM at 1 GiB and the flash below 4 GiB: the stretch between is a marked gap.
  EXPECT_NE(page.find("<g class=\"gap\">"), std::string::npos);
  EXPECT_NE(page.find("\xE2\x89\x88 gap: "), std::string::npos);
}

TEST(HtmlReport, AddressMapIsToScaleWhereItCanBeAndSurvivesHostileRegions) {
  using sim::html::MapRegion;
  // Neighbours of like size: to scale, no band.
  const std::string plain = sim::html::AddressMap(
      {{"low", 0x1000, 0x1000, "dram"}, {"high", 0x2000, 0x2000, "dram"}, {"inner", 0x2800, 0x800, "alloc"}}, "m");
  EXPECT_EQ(Count(plain, "class=\"gap\""), 0u);
  EXPECT_EQ(Count(plain, "class=\"cut\""), 0u);
  EXPECT_NE(plain.find("inner  0x00002800\xE2\x80\x93" "0x00002FFF  (2 KiB)"), std::string::npos);

  // Far apart, one huge: a gap and a cut, each with its size.
  const std::string apart =
      sim::html::AddressMap({{"a", 0x1000, 0x100, "dram"}, {"b", 0x100000000, 0x100, "mmio"},
                             {"c", 0x200000000, 0x100000000, "mmio"}},
                            "m");
  EXPECT_NE(apart.find("\xE2\x89\x88 gap: 4.0 GiB not drawn"), std::string::npos);
  EXPECT_NE(apart.find("<g class=\"cut\">"), std::string::npos);

  // Past the top of the address space, empty, and more regions than are drawn.
  std::vector<MapRegion> hostile{{"top", ~0ull - 4, 100, "mmio"}, {"empty", 5, 0, "mmio"}, {"<x>", 0, ~0ull, "\"q"}};
  for (uint64_t i = 0; i < sim::html::kMaxMapRegions; ++i) hostile.push_back({"r", i * 0x1000, 0x800, "alloc"});
  const std::string drawn = sim::html::AddressMap(hostile, "m");
  EXPECT_NE(drawn.find("<td>0xFFFFFFFFFFFFFFFB</td><td>0xFFFFFFFFFFFFFFFE</td><td>4 B</td>"), std::string::npos);
  EXPECT_NE(drawn.find("2 more regions are not drawn"), std::string::npos);
  EXPECT_EQ(Count(drawn, "<x>"), 0u);
  EXPECT_EQ(Count(drawn, "\"q"), 0u);
}

TEST(HtmlReport, FlashPageShowsVerdictsAndTheEntriesLookUpsUse) {
  const auto page = [](const char* scenario) {
    const sim::Scenario s = sim::LoadScenario(std::string(MEMINFO_SOURCE_DIR) + "/scenarios/" + scenario);
    return s.flash ? sim::FlashInspectionHtml(sim::InspectFlash(*s.flash, "<flash>")) : std::string();
  };
  const std::string good = page("default.toml");
  EXPECT_NE(good.find("<h1>Boot flash: &lt;flash&gt;</h1>"), std::string::npos);
  EXPECT_EQ(Count(good, "class=\"dir broken\""), 0u);
  EXPECT_NE(good.find("class=\"entry used\""), std::string::npos);
  const std::string corrupt = page("corrupt-bios-directory.toml");
  EXPECT_NE(corrupt.find("class=\"dir broken\""), std::string::npos);
  EXPECT_NE(corrupt.find("differs"), std::string::npos);

  // Nothing but erased bytes: no table, nothing marked, no crash.
  sim::FlashImage erased;
  erased.bytes.assign(0x10000, 0xFF);
  erased.base = 0x100000000 - erased.bytes.size();
  const std::string blank = sim::FlashInspectionHtml(sim::InspectFlash(erased, "erased"));
  EXPECT_NE(blank.find("no entry table at any of its positions"), std::string::npos);
  EXPECT_EQ(Count(blank, "entry used"), 0u);
}

}  // namespace
