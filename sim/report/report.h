// What one boot on the virtual platform did, as a person reads it (TextReport)
// and as a program reads it (JsonReport). Both are built from the platform after
// Boot() and the boot's result; docs/report.md describes them and the JSON keys.
#pragma once
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "sim/board/platform.h"

namespace sim {

// Bumped whenever a JSON key is renamed, removed or changes its meaning.
constexpr int kReportSchemaVersion = 1;

// How the driver ran: linked into the program (the host build), or the real
// image in the CPU emulator.
struct DriverInfo {
  std::string backend = "host";  // "host" or "emulator"
  std::string image;             // the image file, for the emulator
};

struct ReportOptions {
  bool verbose = false;  // text report: list every firmware service call too
  bool trace = false;    // list every hardware access, in order
  DriverInfo driver;
};

std::string TextReport(Platform& platform, const BootResult& result, const ReportOptions& options = {});
nlohmann::json JsonReport(Platform& platform, const BootResult& result, const DriverInfo& driver = {},
                          bool trace = false);

// A pool type as the firmware names it ("EfiReservedMemoryType"), or a range name.
std::string MemoryTypeName(uint32_t type);

}  // namespace sim
