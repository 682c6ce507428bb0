// The driver runs on a stack in the platform's DRAM, as firmware does: addresses
// of its locals are physical addresses below 4 GiB that device models and the
// debug agent can read.
#pragma once
#include <cstdint>
#include <functional>

namespace sim {

// Runs fn on the stack [base, base + size); an exception fn throws comes out of
// this call on the caller's stack. Nested calls run on the stack already in use.
void RunOnPlatformStack(uint64_t base, uint64_t size, const std::function<void()>& fn);
bool OnPlatformStack();

}  // namespace sim
