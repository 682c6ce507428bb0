// meminfo-sim: boots the driver on a virtual platform described by a scenario
// file and reports what it published and what it did to the hardware.
//
// Exit status: kRunExitText, kSweepExitText and kFlashExitText below say it,
// as `meminfo-sim --help` and docs/report.md do.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "sim/emu/emulator_dispatch.h"
#include "tools/meminfo_sim/compare_command.h"
#include "tools/meminfo_sim/flash_command.h"
#include "sim/board/platform.h"
#include "sim/report/report.h"
#include "sim/report/report_html.h"
#include "sim/board/sweep.h"

namespace {

constexpr int kExitCompleted = 0;
constexpr int kExitStopped = 1;
constexpr int kExitUsage = 2;
constexpr int kExitEmulation = 3;

constexpr const char* kDescription =
    "Boots MemInfoDxe, linked into this program, on a virtual platform and reports\n"
    "what it did: the entry's status, the record published under MemInfoProtocol\n"
    "(every field and its 40 raw bytes), the root-register writes of each\n"
    "ReadyToBoot signal, the S3 save-table closing and its SMM message, PCD\n"
    "writes, fatal traps and the post-code display of a halted platform, the\n"
    "shared heap buffers, pool allocations and checks, the events left open, and\n"
    "hardware access counts.";

constexpr const char* kRunExitText =
    "Exit status of run:\n"
    "  0  the boot ran to its end (the driver's own status is in the report)\n"
    "  1  the platform stopped during the boot: a fatal trap halted it, or it ran\n"
    "     past [limits] max_accesses\n"
    "  2  bad usage, or the scenario file is missing or invalid (the message\n"
    "     names the file, the line and the key), or the --html file cannot be\n"
    "     written\n"
    "  3  --emulate: the image could not be loaded; the scenario starts more\n"
    "     drivers than the emulator holds copies of the image; or the driver\n"
    "     faulted in the emulator: it executed code or used its stack where\n"
    "     nothing is, executed an invalid instruction, raised a CPU exception,\n"
    "     wrote to its read-only data or ran away (standard error says what and\n"
    "     where); or the scenario has mmio_request events, which the image\n"
    "     cannot take (refused before the boot)\n"
    "A data read where nothing is answers all ones and a data write there is\n"
    "dropped, in both backends: the boot goes on, and the report lists them under\n"
    "\"Where nothing answers\".\n";
constexpr const char* kSweepExitText =
    "Exit status of sweep: 0 every check passed, 1 a check failed (a run the\n"
    "emulator stopped included), 2 bad usage or scenario, 3 --emulate: the image\n"
    "could not be loaded, or the scenario starts more drivers than the emulator\n"
    "holds copies of the image, or has mmio_request events.\n";
constexpr const char* kFlashExitText =
    "Exit status of flash: 0 written, or inspected and good; 1 the inspected image\n"
    "has problems (a missing entry table, a bad magic, count or checksum, or a\n"
    "--signature processor whose lookups fail); 2 bad usage, or a file that cannot\n"
    "be read or written. See docs/flash.md.\n";
constexpr const char* kCompareExitText =
    "Exit status of compare: 0 the dump shows what the scenario predicts (the\n"
    "record's, its handle's and its blocks' addresses aside: \"placed elsewhere\");\n"
    "1 a field differs (each difference is one line: section, slot or entry,\n"
    "field, expected, found); 2 bad usage, a bad scenario, a dump file that cannot\n"
    "be read, or a dump that cannot be parsed (the message names the file and line).\n";
constexpr const char* kSeeDocs =
    "\n"
    "Scenario files: docs/scenario-format.md. Reading the report and its JSON\n"
    "keys, and every exit status: docs/report.md.";

struct Options {
  std::string path;
  bool asJson = false;
  bool verbose = false;
  bool trace = false;
  bool emulate = false;
  std::string image;
  std::string html;  // run: also write the boot's picture to this file
};

// Reads the scenario and, with --emulate, loads the image; 0, or the exit
// status that says why not.
int Prepare(const Options& o, sim::Scenario* scenario, std::unique_ptr<sim::EmulatorDispatch>* emulator) {
  try {
    *scenario = sim::LoadScenario(o.path);
  } catch (const sim::ScenarioError& e) {
    std::fprintf(stderr, "meminfo-sim: %s\n", e.what());
    return kExitUsage;
  }
  if (!o.emulate) return 0;
  try {
    *emulator = std::make_unique<sim::EmulatorDispatch>(o.image);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "meminfo-sim: %s\n", e.what());
    return kExitEmulation;
  }
  if (const std::string refused = sim::RequestsUnsupported(*scenario, **emulator); !refused.empty()) {
    std::fprintf(stderr, "meminfo-sim: %s: %s\n", o.path.c_str(), refused.c_str());
    return kExitEmulation;
  }
  // Refused before anything runs: a boot the emulator cannot finish.
  size_t drivers = 1;
  for (const std::string& event : scenario->events) drivers += event == sim::kEventStartDriver;
  if (drivers > (*emulator)->ImageCapacity()) {
    std::fprintf(stderr, "meminfo-sim: %s starts %zu drivers; the emulator holds at most %u copies of the image\n",
                 o.path.c_str(), drivers, (*emulator)->ImageCapacity());
    return kExitEmulation;
  }
  return 0;
}

int Run(const Options& o) {
  sim::Scenario scenario;
  std::unique_ptr<sim::EmulatorDispatch> emulator;
  if (const int failed = Prepare(o, &scenario, &emulator)) return failed;
  sim::DriverInfo driver;
  if (o.emulate) driver = {"emulator", o.image};

  try {
    sim::Platform platform(scenario, emulator ? static_cast<sim::Dispatch&>(*emulator) : sim::HostDispatch());
    const sim::BootResult result = platform.Boot();
    if (o.asJson) {
      std::cout << sim::JsonReport(platform, result, driver, o.trace).dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
                << "\n";
    } else {
      sim::ReportOptions options;
      options.verbose = o.verbose;
      options.trace = o.trace;
      options.driver = driver;
      std::cout << sim::TextReport(platform, result, options);
    }
    std::cout.flush();
    if (!o.html.empty()) {
      std::ofstream page(o.html, std::ios::binary | std::ios::trunc);
      page << sim::HtmlReport(platform, result, driver);
      page.close();
      if (!page) {
        std::fprintf(stderr, "meminfo-sim: cannot write %s\n", o.html.c_str());
        return kExitUsage;
      }
    }
    return result.halted || result.runaway ? kExitStopped : kExitCompleted;
  } catch (const sim::EmulationError& e) {
    std::cout.flush();
    std::fprintf(stderr, "meminfo-sim: the image faulted: %s\n", e.what());
    return kExitEmulation;
  }
}

// The fault sweep: 0 every check passed, 1 a check failed.
int Sweep(const Options& o) {
  sim::Scenario scenario;
  std::unique_ptr<sim::EmulatorDispatch> emulator;
  if (const int failed = Prepare(o, &scenario, &emulator)) return failed;
  const sim::SweepResult r =
      sim::RunSweep(scenario, emulator ? static_cast<sim::Dispatch&>(*emulator) : sim::HostDispatch());
  std::cout << (o.asJson ? sim::SweepJson(r) : sim::SweepText(r));
  return r.Passed() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{kDescription, "meminfo-sim"};
  app.footer(std::string(kRunExitText) + "\n" + kSweepExitText + "\n" + kFlashExitText + "\n" + kCompareExitText +
             kSeeDocs);
  app.require_subcommand(1);

  Options o;
  CLI::App* run = app.add_subcommand("run", "Boot the driver on the platform a scenario file describes and report");
  run->add_option("SCENARIO", o.path, "Scenario file (TOML), e.g. scenarios/default.toml")->required();
  run->add_flag("--json", o.asJson, "Print the report as JSON (schema_version 1; every firmware call included)");
  run->add_flag("-v,--verbose", o.verbose, "Text report: also list every firmware service call with its status");
  run->add_flag("--trace", o.trace, "Also list every hardware access in order (kind, read or write, width, address, value)");
  run->add_flag("--emulate", o.emulate,
                "Run the real driver image in the CPU emulator instead of the driver linked into this program");
  run->add_option("--html", o.html,
                  "Also write a picture of the boot to this file: one self-contained HTML page with the address map, "
                  "the flash layout, the channel map, the chip-select table, the accesses per step, a fatal trap and "
                  "the S3 closing (the report on standard output stays as it is)");
  o.image = MEMINFO_DEFAULT_IMAGE;
  run->add_option("--image", o.image, "The image --emulate runs (default: the one this build made)")
      ->capture_default_str();
  run->footer(std::string(kRunExitText) + kSeeDocs);

  Options sweep;
  CLI::App* sweepCommand = app.add_subcommand(
      "sweep", "Boot a scenario once per failure point (each pool allocation, protocol installation, event creation "
               "and protocol look-up failing in turn) and check every run");
  sweepCommand->add_option("SCENARIO", sweep.path, "Scenario file (TOML)")->required();
  sweepCommand->add_flag("--json", sweep.asJson, "Print one JSON document");
  sweepCommand->add_flag("--emulate", sweep.emulate, "Run the real driver image in the CPU emulator");
  sweep.image = MEMINFO_DEFAULT_IMAGE;
  sweepCommand->add_option("--image", sweep.image, "The image --emulate runs")->capture_default_str();
  sweepCommand->footer(
      std::string("Checks after every run: no crash, no write outside a pool block, after a free or a second free, no\n"
                  "open event whose notify function lies in an unloaded (failed) driver, and every published record\n"
                  "whole.\n") +
      kSweepExitText);

  sim::FlashCommandOptions flash;
  CLI::App* flashCommand = app.add_subcommand(
      "flash", "Write the boot flash image a scenario describes (SCENARIO -o FILE), or inspect one (--inspect FILE)");
  flashCommand->add_option("SCENARIO", flash.scenario, "Scenario file whose [flash] table describes the image");
  flashCommand->add_option("-o,--output", flash.output, "The image file to write");
  flashCommand->add_option("--inspect", flash.inspect,
                           "List a flash image's entry table, directories and entries and check every checksum");
  flashCommand->add_flag("--json", flash.asJson, "--inspect: print one JSON document");
  flashCommand->add_option("--html", flash.html,
                           "--inspect: also write the flash layout as a self-contained HTML page to this file");
  flashCommand->add_option("--signature", flash.signatures,
                           "--inspect: judge for a processor with this CPUID 0x80000001 EAX (e.g. 0x00800F12); "
                           "may be repeated; default: every processor the flash format knows");
  flashCommand->footer(kFlashExitText);

  std::string compareScenario, compareDump;
  CLI::App* compareCommand = app.add_subcommand(
      "compare", "Boot a scenario and hold a board's record dump (MemInfoDump.efi's output) against what it predicts");
  compareCommand->add_option("SCENARIO", compareScenario, "Scenario file (TOML) describing the board")->required();
  compareCommand->add_option("DUMP", compareDump, "The dump's text file (UTF-16 or 8-bit), or - for standard input")
      ->required();
  compareCommand->footer(kCompareExitText);

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
  if (flashCommand->parsed()) return sim::RunFlashCommand(flash, std::cout, std::cerr);
  if (sweepCommand->parsed()) return Sweep(sweep);
  if (compareCommand->parsed()) return sim::RunCompareCommand(compareScenario, compareDump, std::cout, std::cerr);
  return Run(o);
}
