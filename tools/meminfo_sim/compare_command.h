// `meminfo-sim compare SCENARIO DUMP`: boots the scenario and holds a board's
// record dump (MemInfoDump.efi's output) against the sections the boot predicts.
#pragma once
#include <ostream>
#include <string>

namespace sim {

// Exit status: 0 the dump shows what the scenario predicts (placement aside);
// 1 it differs; 2 bad usage, a bad scenario, a dump file that cannot be read,
// or a dump that cannot be parsed.
int RunCompareCommand(const std::string& scenario, const std::string& dump, std::ostream& out, std::ostream& err);

}  // namespace sim
