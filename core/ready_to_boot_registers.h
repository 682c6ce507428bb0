// The root register ReadyToBoot programs on every die: an internal register of
// the die's root, reached through its index/data window. Each half of its value
// is 1 unless the record overrides it.
#pragma once
#include "platform/register.h"

struct RootReadyToBootRegister : reg::Register<uint32_t, 0x13B20000> {
  using Low = Bits<15, 0>;
  using High = Bits<31, 16>;
  static constexpr uint32_t kDefault = High::Of(1) | Low::Of(1);
};
