// Fuzzes scenario files end to end: any text is either rejected with a
// ScenarioError or boots the driver on the platform it describes, and the boot
// ends (the platform's limits stop a runaway) without any other failure.
#include <cstdint>
#include <memory>
#include <string>

#include "sim/board/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  sim::Scenario scenario;
  try {
    scenario = sim::ParseScenario(text, "fuzz.toml");
  } catch (const sim::ScenarioError&) {
    return 0;
  }
  // Keep each input quick: a runaway stops early.
  if (scenario.accessLimit > 200000) scenario.accessLimit = 200000;
  sim::Platform platform(std::make_shared<const sim::Scenario>(std::move(scenario)));
  platform.Boot();
  return 0;
}
