// Helpers shared by the tests that boot the driver on a virtual platform.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/meminfo.h"
#include "tests/support/pool_guard.h"
#include "sim/board/platform.h"

namespace test {

inline sim::Scenario Scenario(const std::string& toml) { return sim::ParseScenario(toml, "test.toml"); }

// One socket whose dies answer on the given root buses.
inline std::string Dies(std::initializer_list<int> buses) {
  std::string t = "[[socket]]\n";
  for (int b : buses) t += "[[socket.die]]\nroot_bus = " + std::to_string(b) + "\n";
  return t;
}

inline std::vector<sim::Access> Accesses(const sim::Hardware& hw, sim::AccessKind kind) {
  std::vector<sim::Access> out;
  for (const auto& a : hw.Log())
    if (a.kind == kind) out.push_back(a);
  return out;
}

inline std::vector<sim::Access> Writes(const sim::Hardware& hw, sim::AccessKind kind) {
  std::vector<sim::Access> out;
  for (const auto& a : Accesses(hw, kind))
    if (a.write) out.push_back(a);
  return out;
}

// The published record, read back from physical memory.
inline bool PublishedRecord(sim::Platform& p, MemInfoRecord* record, uint64_t* address = nullptr) {
  auto at = p.Installed(MemInfoProtocolGuid);
  if (!at) return false;
  if (address) *address = *at;
  auto bytes = p.memory().ReadBytes(*at, sizeof(MemInfoRecord));
  std::memcpy(record, bytes.data(), sizeof(MemInfoRecord));
  return true;
}

// The event the body creates for ReadyToBoot: the only one at the notify level.
inline const sim::Firmware::EventInfo* BodyEvent(const sim::Firmware& fw) {
  for (const auto& e : fw.Events())
    if (e.tpl == TPL_NOTIFY) return &e;
  return nullptr;
}

// The PCD tokens of the S3 library, which runs before the body in every boot.
inline bool S3Token(uint64_t token) { return token == 349 || token == 350; }


// The address of the first byte of DRAM that is not zero, or 0 when all are.
inline uint64_t FirstNonZeroDramByte() {
  const sim::PhysicalMemory& m = sim::PhysicalMemory::Instance();
  for (uint64_t a = sim::kDramBase; a < sim::kDramBase + sim::kDramSize; a += 8) {
    uint64_t v;
    std::memcpy(&v, m.Host(a), 8);
    if (v != 0)
      for (uint64_t b = a;; ++b)
        if (*m.Host(b) != 0) return b;
  }
  return 0;
}

inline std::vector<std::string> ServiceNames(const sim::Firmware& fw) {
  std::vector<std::string> out;
  for (const auto& c : fw.Calls()) out.push_back(c.service);
  return out;
}

}  // namespace test
