// What one boot left behind that the host build and the image in the emulator
// must agree on, taken off the platform after the boot: the emulator tests and
// the differential fuzz target compare two of these.
#pragma once
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/channel_map.h"
#include "core/meminfo.h"
#include "sim/board/platform.h"
#include "sim/emu/emulator_dispatch.h"
#include "sim/firmware/heap_list.h"
#include "sim/scenario/scenario.h"

namespace test {

inline std::string Text(const sim::Access& a) {
  return std::string(sim::AccessKindName(a.kind)) + (a.write ? " write " : " read ") + std::to_string(a.width) + " @" +
         sim::HexText(a.address) + " = " + sim::HexText(a.value);
}

// Everything a boot left behind that both backends must agree on.
struct Outcome {
  bool entryReturned = false, halted = false, runaway = false;
  uint64_t entryStatus = 0;
  std::optional<std::vector<uint8_t>> record;
  std::vector<uint8_t> channelMap;  // the snapshot the record points to
  std::vector<std::vector<std::string>> signalWrites;
  std::vector<std::string> pcdWrites;
  std::vector<std::string> calls;         // service and status
  std::vector<std::string> callDetails;   // service, detail and status
  std::vector<std::string> accesses;
  std::vector<sim::Access> rawAccesses;  // Accesses::Raw: the log itself, instead of accesses
  std::vector<std::array<uint64_t, sim::kAccessKindCount>> stepCounts;  // accesses per kind, per step of the boot
  std::vector<std::string> handOvers, uartOutput;
  std::vector<uint32_t> trapCodes, haltDisplay;
  std::vector<std::string> heap;  // each buffer of the published list: node, header and data
  uint32_t haltCode = 0;
  std::vector<std::string> pool;                  // address, size, type, freed
  std::vector<std::vector<uint8_t>> smmMessages;  // what the SMM side received
  std::vector<uint8_t> s3Record;                  // the record PCD 349 names, at the end
  std::vector<std::string> poolFaults;            // taken off the platform, so each test judges them
  std::vector<std::string> nothing;               // where nothing answered, and how often
  uint64_t lowestHostStackByte = 0;  // emulator runs: the deepest the host went in the platform stack region
};

// An interface in the driver's own static data (the heap list's) lies in this
// process on the host and in the image region in the emulator: named, not numbered.
inline std::string InImage(const std::string& detail) {
  const size_t at = detail.find("interface 0x");
  if (at == std::string::npos) return detail;
  const uint64_t address = std::stoull(detail.substr(at + 10), nullptr, 16);
  const bool image = address >= sim::kEmuImageBase || address < sim::kDramBase;
  return image ? detail.substr(0, at) + "interface <in the image>" : detail;
}

// Stack::Skip leaves lowestHostStackByte 0 (the scan reads the stack region byte by byte).
enum class Stack { Scan, Skip };
// Accesses::Raw keeps the access log as it is in rawAccesses (a stack address a
// hand-over passes made kStackBase, as every such address reads the same as
// text) instead of a line of text per access: a caller comparing boot after
// boot compares these, and makes text only of boots that differ.
enum class Accesses { Text, Raw };

inline bool SameAccess(const sim::Access& a, const sim::Access& b) {
  return a.kind == b.kind && a.write == b.write && a.width == b.width && a.address == b.address && a.value == b.value;
}

inline Outcome Boot(const sim::Scenario& scenario, sim::Dispatch& dispatch, Stack stack = Stack::Scan,
                    Accesses accesses = Accesses::Text) {
  sim::Platform p(scenario, dispatch);
  const sim::BootResult r = p.Boot();
  Outcome o;
  o.entryReturned = r.entryReturned;
  o.entryStatus = r.entryStatus;
  o.halted = r.halted;
  o.runaway = r.runaway;
  if (auto at = p.Installed(MemInfoProtocolGuid)) {
    o.record = p.memory().ReadBytes(*at, sizeof(MemInfoRecord));
    if (const uint64_t map = p.memory().Read<uint64_t>(*at + offsetof(MemInfoRecord, ChannelMap)))
      o.channelMap = p.memory().ReadBytes(map, sizeof(ChannelMapSnapshot));
  }
  for (const auto& s : r.signals) {
    std::vector<std::string> writes;
    for (const auto& w : s.writes) writes.push_back(sim::HexText(w.bus) + ":" + sim::HexText(w.index) + "=" + sim::HexText(w.value));
    o.signalWrites.push_back(writes);
  }
  for (const auto& w : p.firmware().PcdWrites())
    o.pcdWrites.push_back(std::to_string(w.token) + "/" + std::to_string(w.width) + "=" + sim::HexText(w.value) + " " +
                          sim::StatusName(w.status));
  for (const auto& c : p.firmware().Calls()) {
    o.calls.push_back(c.service + " -> " + sim::StatusName(c.status));
    o.callDetails.push_back(c.service + "(" + InImage(c.detail) + ") -> " + sim::StatusName(c.status));
  }
  if (accesses == Accesses::Raw) o.rawAccesses.reserve(p.hardware().Log().size());
  for (const auto& a : p.hardware().Log()) {
    // The mailbox hand-over passes the address of the message, which lies in the
    // caller's frame: the driver's stack is elsewhere in the region on the host.
    const bool stackAddress =
        a.kind == sim::AccessKind::TaggedPort && a.value >= sim::kStackBase && a.value < sim::kStackBase + sim::kStackSize;
    if (accesses == Accesses::Raw) {
      o.rawAccesses.push_back(a);
      if (stackAddress) o.rawAccesses.back().value = sim::kStackBase;
    } else if (stackAddress)
      o.accesses.push_back(Text(a).substr(0, Text(a).rfind('=')) + "= <a stack address>");
    else
      o.accesses.push_back(Text(a));
  }
  for (const auto& h : p.hardware().devices().HandOvers())
    o.handOvers.push_back(std::string(h.text.begin(), h.text.end()) + (h.caught ? " (caught)" : " (missed: " + h.missed + ")"));
  for (const auto& u : p.hardware().devices().Uarts()) o.uartOutput.push_back(std::string(u.Transmitted().begin(), u.Transmitted().end()));
  for (int s = 0; s < sim::kBootStepCount; ++s) o.stepCounts.push_back(p.hardware().StepCounts(sim::BootStep(s)));
  for (const auto& n : sim::ReadHeapList(p.memory(), p.firmware()).nodes) {
    const auto data = p.memory().ReadBytes(n.node + sizeof(HeapBufferNode), std::min<uint32_t>(n.header.Size, 4096));
    o.heap.push_back(sim::HexText(n.node) + " " + sim::HexText(n.header.Handle) + " " + std::to_string(n.header.Size) +
                     " " + std::to_string(n.header.PersistCode) + " " + std::string(data.begin(), data.end()));
  }
  for (const auto& n : p.hardware().Nothing())
    o.nothing.push_back(sim::HexText(n.address) + (n.write ? " write " : " read ") + std::to_string(n.width) + " x" +
                        std::to_string(n.count));
  o.nothing.push_back("in all " + std::to_string(p.hardware().NothingTotal()));
  o.trapCodes = p.hardware().TrapCodes();
  o.haltDisplay = p.hardware().HaltDisplay();
  o.haltCode = p.hardware().HaltCode();
  for (const auto& b : p.firmware().Pool())
    o.pool.push_back(sim::HexText(b.address) + "/" + std::to_string(b.size) + "/" + std::to_string(b.type) +
                     (b.freed ? " freed" : ""));
  for (const auto& m : p.firmware().SmmMessages()) o.smmMessages.push_back(m.bytes);
  if (const uint64_t record = p.firmware().PcdValue(349).value_or(0); p.memory().Contains(record, 16))
    o.s3Record = p.memory().ReadBytes(record, 16);
  p.firmware().CheckPool();
  for (const auto& f : p.firmware().PoolFaults()) o.poolFaults.push_back(std::string(sim::PoolFaultName(f.kind)) + " " + sim::HexText(f.address));
  p.firmware().ClearPoolFaults();
  for (uint64_t a = sim::kEmuGuestStackTop; stack == Stack::Scan && a < sim::kStackBase + sim::kStackSize; ++a)
    if (*p.memory().Host(a) != 0) {
      o.lowestHostStackByte = a;
      break;
    }
  return o;
}

}  // namespace test
