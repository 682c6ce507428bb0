#include "tools/meminfo_sim/flash_command.h"

#include <fstream>

#include "sim/common/bounded_file.h"
#include "sim/common/text.h"
#include "sim/images/flash_listing.h"
#include "sim/report/report_html.h"
#include "sim/scenario/scenario.h"

namespace sim {

namespace {

constexpr int kGood = 0, kProblems = 1, kUsage = 2;

int Write(const FlashCommandOptions& o, std::ostream& out, std::ostream& err) {
  Scenario s;
  try {
    s = LoadScenario(o.scenario);
  } catch (const ScenarioError& e) {
    err << "meminfo-sim: " << e.what() << "\n";
    return kUsage;
  }
  if (!s.flash) {
    err << "meminfo-sim: " << o.scenario << ": the scenario has no [flash] table\n";
    return kUsage;
  }
  std::ofstream file(o.output, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(s.flash->bytes.data()), std::streamsize(s.flash->bytes.size()));
  file.close();
  if (!file) {
    err << "meminfo-sim: cannot write " << o.output << "\n";
    return kUsage;
  }
  out << "wrote " << o.output << ": " << s.flash->Size() << " bytes, the boot flash from " << HexText(s.flash->base, 8)
      << " to 0xFFFFFFFF\n";
  return kGood;
}

int Inspect(const FlashCommandOptions& o, std::ostream& out, std::ostream& err) {
  std::vector<uint32_t> signatures;
  for (const std::string& text : o.signatures) {
    size_t used = 0;
    unsigned long long v = 0;
    try {
      v = std::stoull(text, &used, 0);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used != text.size() || v > 0xFFFFFFFF) {
      err << "meminfo-sim: --signature " << text << ": expected a 32-bit number such as 0x00800F12\n";
      return kUsage;
    }
    signatures.push_back(uint32_t(v));
  }
  // A regular file only, read no further than a flash can be.
  std::vector<uint8_t> bytes;
  if (std::string why = ReadBoundedFile(o.inspect, kFlashMaxSize, bytes); !why.empty()) {
    err << "meminfo-sim: flash --inspect: " << why << "\n";
    return kUsage;
  }
  FlashImage image;
  try {
    image = FlashImageFromBytes(std::move(bytes));
  } catch (const FlashBuildError& e) {
    err << "meminfo-sim: " << o.inspect << ": " << e.what() << "\n";
    return kUsage;
  }
  const FlashInspection r = InspectFlash(std::move(image), o.inspect, signatures);
  if (o.asJson) WriteFlashInspectionJson(r, out);
  else out << FlashInspectionText(r);
  if (!o.html.empty()) {
    std::ofstream page(o.html, std::ios::binary | std::ios::trunc);
    page << FlashInspectionHtml(r);
    page.close();
    if (!page) {
      err << "meminfo-sim: cannot write " << o.html << "\n";
      return kUsage;
    }
  }
  return r.Good() ? kGood : kProblems;
}

}  // namespace

int RunFlashCommand(const FlashCommandOptions& o, std::ostream& out, std::ostream& err) {
  const bool write = !o.scenario.empty() || !o.output.empty();
  if (write == !o.inspect.empty() || (write && (o.scenario.empty() || o.output.empty()))) {
    err << "meminfo-sim flash: give SCENARIO -o FILE to write an image, or --inspect FILE to inspect one\n";
    return kUsage;
  }
  if (write && (o.asJson || !o.signatures.empty() || !o.html.empty())) {
    err << "meminfo-sim flash: --json, --signature and --html go with --inspect\n";
    return kUsage;
  }
  return write ? Write(o, out, err) : Inspect(o, out, err);
}

}  // namespace sim
