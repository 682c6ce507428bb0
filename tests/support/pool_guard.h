// Every platform a test leaves with a pool fault on record (a write into freed
// pool memory, a double free) fails that test. A test that causes one on
// purpose checks it and clears it.
#pragma once
#include <gtest/gtest.h>

#include "sim/board/platform.h"

namespace test {

inline const bool kPoolGuardInstalled = [] {
  sim::SetPoolFaultHandler([](const std::vector<sim::PoolFault>& faults) {
    for (const sim::PoolFault& f : faults)
      ADD_FAILURE() << "pool fault: " << sim::PoolFaultName(f.kind) << " at " << sim::HexText(f.address, 16);
  });
  return true;
}();

}  // namespace test
