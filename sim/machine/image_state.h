// The linked driver's mutable state section (host build): a boot-service driver
// starts from its image's initial data every time it is loaded, and lists it
// publishes may lie in that section, outside the platform's DRAM.
#pragma once
#include <cstdint>
#include <vector>

namespace sim {

// Gives the driver a freshly loaded image's state before each platform's boot.
void ResetImageState();
// Whether the bytes lie in the linked driver's state section (host build).
bool ImageStateHolds(uint64_t address, uint64_t length);
// The state section's bytes now, and as the process started (host build).
std::vector<uint8_t> ImageStateBytes();
uint64_t ImageStateStart();
std::vector<uint8_t> PristineImageState();
void SetImageStateBytes(const std::vector<uint8_t>& bytes);

}  // namespace sim
