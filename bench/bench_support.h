// Helpers the benchmarks share.
#pragma once
#include <string>

#include "sim/scenario.h"

namespace bench {

inline std::string SourcePath(const std::string& relative) { return std::string(MEMINFO_SOURCE_DIR) + "/" + relative; }

// The default platform cut or grown to `dies` dies, four to a socket, each
// with its own root bus; ReadyToBoot signalled once.
inline sim::Scenario GrownPlatform(int dies) {
  std::string text = "name = \"grown\"\n";
  for (int d = 0; d < dies; ++d) {
    if (d % 4 == 0) text += "[[socket]]\n";
    text += "[[socket.die]]\nroot_bus = " + std::to_string(d * 0x20) + "\n";
  }
  text += "[pcd]\n16 = true\n243 = 0xFFFF\n[boot]\nevents = [\"ready_to_boot\"]\n";
  return sim::ParseScenario(text, "grown.toml");
}

}  // namespace bench
