// meminfo-sim: boots the driver on a virtual platform described by a scenario
// file and reports what it published and what it did to the hardware.
//
// Exit status: 0 the boot ran to its end (whatever status the entry returned),
// 1 the platform stopped during the boot (a fatal trap halted it, or it ran
// past the access limit), 2 bad usage or a bad or missing scenario file.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "sim/platform.h"
#include "sim/report.h"

namespace {

constexpr int kExitCompleted = 0;
constexpr int kExitStopped = 1;
constexpr int kExitUsage = 2;

constexpr const char* kDescription =
    "Boots MemInfoDxe, linked into this program, on a virtual platform and reports\n"
    "what it did: the entry's status, the record published under MemInfoProtocol\n"
    "(every field and its 40 raw bytes), the root-register writes of each\n"
    "ReadyToBoot signal, PCD writes, fatal traps and the post-code display of a\n"
    "halted platform, pool allocations, and hardware access counts.";

constexpr const char* kExitText =
    "Exit status:\n"
    "  0  the boot ran to its end (the driver's own status is in the report)\n"
    "  1  the platform stopped during the boot: a fatal trap halted it, or it ran\n"
    "     past [limits] max_accesses\n"
    "  2  bad usage, or the scenario file is missing or invalid (the message\n"
    "     names the file, the line and the key)\n"
    "\n"
    "Scenario files: docs/scenario-format.md. Reading the report and its JSON\n"
    "keys: docs/report.md.";

int Run(const std::string& path, bool asJson, bool verbose) {
  sim::Scenario scenario;
  try {
    if (std::filesystem::is_directory(path)) throw sim::ScenarioError(path + ": is a directory, not a scenario file");
    scenario = sim::LoadScenario(path);
  } catch (const sim::ScenarioError& e) {
    std::fprintf(stderr, "meminfo-sim: %s\n", e.what());
    return kExitUsage;
  }

  sim::Platform platform(scenario);
  const sim::BootResult result = platform.Boot();
  if (asJson) {
    std::cout << sim::JsonReport(platform, result).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  } else {
    sim::ReportOptions options;
    options.verbose = verbose;
    std::cout << sim::TextReport(platform, result, options);
  }
  std::cout.flush();
  return result.halted || result.runaway ? kExitStopped : kExitCompleted;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{kDescription, "meminfo-sim"};
  app.footer(kExitText);
  app.require_subcommand(1);

  std::string path;
  bool asJson = false;
  bool verbose = false;
  CLI::App* run = app.add_subcommand("run", "Boot the driver on the platform a scenario file describes and report");
  run->add_option("SCENARIO", path, "Scenario file (TOML), e.g. scenarios/default.toml")->required();
  run->add_flag("--json", asJson, "Print the report as JSON (schema_version 1; every firmware call included)");
  run->add_flag("-v,--verbose", verbose, "Text report: also list every firmware service call with its status");
  run->footer(kExitText);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }
  return Run(path, asJson, verbose);
}
