// A boot-service driver starts from its image's initial data every time it is
// loaded. The host build links the driver once, so before each platform's boot
// the driver's state section is put back as it was when the process started.
#include <cstdint>
#include <cstring>
#include <vector>

#include "sim/machine/image_state.h"

extern "C" {
extern uint8_t __start_mistate[] __attribute__((weak));
extern uint8_t __stop_mistate[] __attribute__((weak));
}

namespace sim {

namespace {
// Byte copies the sanitizers leave alone: the section may hold their redzones.
__attribute__((no_sanitize("address"))) void CopyRaw(uint8_t* to, const uint8_t* from, size_t n) {
  for (size_t i = 0; i < n; ++i) to[i] = from[i];
}

std::vector<uint8_t>* pristine = nullptr;

size_t StateSize() {
  return __start_mistate == nullptr || __stop_mistate == nullptr ? 0 : size_t(__stop_mistate - __start_mistate);
}
}  // namespace

void ResetImageState() {
  if (__start_mistate == nullptr || __stop_mistate == nullptr) return;
  const size_t size = size_t(__stop_mistate - __start_mistate);
  if (pristine == nullptr) {
    pristine = new std::vector<uint8_t>(size);
    CopyRaw(pristine->data(), __start_mistate, size);
    return;
  }
  CopyRaw(__start_mistate, pristine->data(), size);
}

uint64_t ImageStateStart() { return reinterpret_cast<uint64_t>(__start_mistate); }

std::vector<uint8_t> ImageStateBytes() {
  std::vector<uint8_t> bytes(StateSize());
  if (!bytes.empty()) CopyRaw(bytes.data(), __start_mistate, bytes.size());
  return bytes;
}

std::vector<uint8_t> PristineImageState() {
  if (pristine == nullptr) ResetImageState();  // its first call only takes the copy
  return pristine != nullptr ? *pristine : std::vector<uint8_t>{};
}

void SetImageStateBytes(const std::vector<uint8_t>& bytes) {
  if (bytes.size() == StateSize() && !bytes.empty()) CopyRaw(__start_mistate, bytes.data(), bytes.size());
}

bool ImageStateHolds(uint64_t address, uint64_t length) {
  if (__start_mistate == nullptr || __stop_mistate == nullptr) return false;
  const uint64_t start = reinterpret_cast<uint64_t>(__start_mistate);
  const uint64_t size = uint64_t(__stop_mistate - __start_mistate);
  return address >= start && length <= size && address - start <= size - length;
}

}  // namespace sim
