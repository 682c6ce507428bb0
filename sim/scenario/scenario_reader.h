// Reading a scenario file's tables: the TOML parser, built so that its internal
// checks reject a bad file instead of assuming, and the typed accessors every
// table's reader uses. Private to the scenario readers (sim/scenario*.cpp).
#pragma once
#include <cstdint>
#include <initializer_list>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "sim/scenario/scenario.h"

// The TOML parser's internal assumptions are checked in every build and fail by
// throwing: one of them (a table header whose key starts with a character no key
// may start with, "[`a]]") is reachable from a bad file, and left to the
// optimiser as an assumption, as release builds otherwise do, it would be
// undefined behaviour. A failed check rejects the file like a parse error.
// Every file that reads scenarios includes the parser through this header, so
// all of them build it the same way.
namespace sim {
struct TomlCheckFailed {};
}  // namespace sim
#pragma push_macro("NDEBUG")
#undef NDEBUG
#define TOML_ASSERT(expr) ((expr) ? static_cast<void>(0) : throw ::sim::TomlCheckFailed{})
#include <toml++/toml.h>
#pragma pop_macro("NDEBUG")

namespace sim {

// Typed access to a scenario file's values; a wrong one throws ScenarioError
// "file:line: key 'x': message". Each value remembers the file it stands in
// (a scenario that extends another holds values of both): the error names that
// file, and a file a value names is found relative to that file's folder.
class ScenarioReader {
 public:
  explicit ScenarioReader(std::string source) : source_(std::move(source)) {}

  [[noreturn]] void Fail(const toml::source_region& where, const std::string& key, const std::string& what) const;

  // Every key of a table must be one this format knows.
  void Keys(const toml::table& t, const std::string& path, std::initializer_list<const char*> known) const {
    Keys(t, path, std::set<std::string>(known.begin(), known.end()));
  }
  void Keys(const toml::table& t, const std::string& path, const std::set<std::string>& known) const;

  static std::string Join(const std::string& path, std::string_view key) {
    return path.empty() ? std::string(key) : path + "." + std::string(key);
  }

  uint64_t Unsigned(const toml::node& n, const std::string& key, uint64_t max) const;
  // A 64-bit value: an integer (TOML integers are signed, so the top bit comes
  // from a negative number or a hexadecimal string) or a string "0x...".
  uint64_t Value64(const toml::node& n, const std::string& key) const;
  // "3A8E17F2-7895-4FB6-A86C-DE82D365631E"
  Guid GuidValue(const toml::node& n, const std::string& key) const;
  bool Bool(const toml::node& n, const std::string& key) const;
  // A byte switch: true and false stand for 1 and 0; any other byte value may be
  // given as an integer.
  uint8_t Switch(const toml::node& n, const std::string& key) const;
  std::string String(const toml::node& n, const std::string& key) const;
  const toml::table& Table(const toml::node& n, const std::string& key) const;
  const toml::array& Array(const toml::node& n, const std::string& key) const;
  // A number written as a key ("0x50000", "243").
  uint64_t KeyNumber(const std::string& text, const toml::source_region& where, const std::string& key,
                     uint64_t max) const;
  // The bytes of the file a string names (relative to the folder of the file the string stands in):
  // a regular file of at most `limit` bytes (sim/bounded_file.h).
  std::vector<uint8_t> File(const toml::node& n, const std::string& key, uint64_t limit) const;

 private:
  // The file `where` lies in; the scenario's own name for a place without one.
  const std::string& SourceOf(const toml::source_region& where) const;

  std::string source_;
};

// A reader of one top-level table (or of a few that describe one thing): takes
// its keys from the file's root into the scenario. ParseScenario runs the
// readers in a fixed order, each after those whose results it checks against.
using TableReader = void (*)(const ScenarioReader& r, const toml::table& root, Scenario& s);

// Readers kept in files of their own (sim/scenario_<topic>.cpp), one line each.
void ReadSockets(const ScenarioReader& r, const toml::table& root, Scenario& s);  // [[socket]]: scenario_buses.cpp
void ReadPci(const ScenarioReader& r, const toml::table& root, Scenario& s);      // [[pci]]: scenario_buses.cpp
void ReadMsrs(const ScenarioReader& r, const toml::table& root, Scenario& s);     // [msr]: scenario_cpu.cpp
void ReadCpuid(const ScenarioReader& r, const toml::table& root, Scenario& s);    // [cpuid]: scenario_cpu.cpp
void ReadCpu(const ScenarioReader& r, const toml::table& root, Scenario& s);      // [cpu]: scenario_cpu.cpp
void ReadUarts(const ScenarioReader& r, const toml::table& root, Scenario& s);  // [serial], [raw_uart]: scenario_uarts.cpp
void ReadPorts(const ScenarioReader& r, const toml::table& root, Scenario& s);  // [ports], after the UARTs: scenario_uarts.cpp
void ReadPcd(const ScenarioReader& r, const toml::table& root, Scenario& s);       // [pcd]: scenario_firmware.cpp
void ReadFirmware(const ScenarioReader& r, const toml::table& root, Scenario& s);  // [firmware]: scenario_firmware.cpp
void ReadHobs(const ScenarioReader& r, const toml::table& root, Scenario& s);  // [[hob]], after [firmware]: scenario_firmware.cpp
void ReadProtocols(const ScenarioReader& r, const toml::table& root, Scenario& s);  // [protocols]: scenario_firmware.cpp
void ReadFaults(const ScenarioReader& r, const toml::table& root, Scenario& s);     // [faults]: scenario_firmware.cpp
void ReadS3(const ScenarioReader& r, const toml::table& root, Scenario& s);  // after [pcd]
void ReadHeapTables(const ScenarioReader& r, const toml::table& root, Scenario& s);  // [[heap_hob]], [earlier_driver]
void ReadFlash(const ScenarioReader& r, const toml::table& root, Scenario& s);  // [flash]: scenario_flash.cpp
void ReadPsp(const ScenarioReader& r, const toml::table& root, Scenario& s);    // [psp]: scenario_flash.cpp
void ReadFabric(const ScenarioReader& r, const toml::table& root, Scenario& s);  // [fabric]: scenario_fabric.cpp
void ReadDrux(const ScenarioReader& r, const toml::table& root, Scenario& s);   // [drux], [[memory]]: scenario_drux.cpp
// [[boot.mmio_request]], one per "mmio_request" event of boot.events (read first): scenario_mmio_request.cpp.
void ReadMmioRequests(const ScenarioReader& r, const toml::table& boot, Scenario& s);
// A die's memory_info (the channel information protocol's counts): scenario_drux.cpp.
void ReadDieMemoryInfo(const ScenarioReader& r, const toml::node& n, const std::string& path, DieDesc& die);

// A HOB's length field: 0 to 0xFFF8, a multiple of 8.
uint16_t HobLength(const ScenarioReader& r, const toml::node& n, const std::string& key);
// A protocol by the name the report gives it (MemInfoProtocol, HeapListProtocol) or by GUID.
Guid ProtocolNamed(const ScenarioReader& r, const toml::node& n, const std::string& key);

}  // namespace sim
