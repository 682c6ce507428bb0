// `meminfo-sim flash`: writes the boot flash image a scenario describes, or
// inspects a flash image file.
#pragma once
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace sim {

struct FlashCommandOptions {
  std::string scenario;  // write: the scenario whose [flash] table describes the image
  std::string output;    // write: the image file
  std::string inspect;   // inspect: the image file
  bool asJson = false;
  std::string html;  // inspect: also write the flash layout as an HTML page to this file
  std::vector<std::string> signatures;  // CPUID 0x80000001 EAX values, "0x00800F12"
};

// Exit status: 0 written, or inspected and good; 1 inspected and the image has
// problems; 2 bad usage, a bad scenario, or a file that cannot be read or written.
int RunFlashCommand(const FlashCommandOptions& options, std::ostream& out, std::ostream& err);

}  // namespace sim
