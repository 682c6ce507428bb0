// Requests another driver of the package makes of the fabric MMIO allocator
// during the boot (the scenario's "mmio_request" events, one [[boot.mmio_request]]
// table each): the arguments FabricAddMmioMap takes, and what it gave back.
//
// The requester is one more driver of the package that links the allocator. It
// is loaded at the first request with its own image handle and state, runs its
// start-up as far as the heap list (the firmware's services, the HOB list, then
// it joins the published heap list or publishes its own), and makes every
// request of the boot. So it continues the split the allocator's state in the
// shared heap buffer holds, as the package's drivers do.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/scenario/desc.h"

namespace sim {

class Dispatch;
struct Scenario;

// One request as the boot made it.
struct MmioRequestRun {
  MmioRequestDesc request;
  size_t signal = 0;        // its place in the boot's events (BootResult::signals)
  bool returned = false;    // false: the platform stopped during it
  uint64_t status = 0;
  uint64_t base = 0, length = 0;  // Base and Length after the call
  uint8_t attribute = 0;
  // Whether the call handed out a range: it returned success for a type 0 or 1
  // request of a length other than 0.
  bool Allocated() const;
};

// The message a backend that cannot call the allocator gives for a scenario
// that asks it to; empty when the scenario can run on the backend.
std::string RequestsUnsupported(const Scenario& scenario, const Dispatch& dispatch);

}  // namespace sim
