// The scenario's [flash] table (the boot flash, built or loaded from a file) and
// its [psp] table (the PSP window's base and how the PSP answers).
#pragma once
#include "sim/scenario_reader.h"

namespace sim {

// Reads both tables; call after the sockets, [[pci]] and [serial] are read,
// which the flash and the PSP window must stay clear of.
void ReadFlashAndPsp(const Reader& r, const toml::table& root, Scenario& s);

}  // namespace sim
