#include <cstdio>

#include "sim/platform.h"

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  sim::Scenario s = sim::LoadScenario(argv[2]);
  sim::Platform p(s);
  sim::BootResult r = p.Boot();
  std::printf("entry %s\n", sim::StatusName(r.entryStatus).c_str());
  return 0;
}
