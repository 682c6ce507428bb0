// The processor's model-specific registers the driver reads: the local APIC
// base (is this the boot processor), the two tops of memory the fabric MMIO
// split starts from, the configuration-space base the S3 library records, and
// the P-state registers the fatal trap times its display with.
#pragma once
#include "platform/register.h"

struct MsrApicBase : reg::Register<uint64_t, 0x1B> {
  using BootProcessor = Bit<8>;
};

// Where memory below 4 GiB ends, and above it.
struct MsrTopMem : reg::Register<uint64_t, 0xC001001A> {};
struct MsrTopMem2 : reg::Register<uint64_t, 0xC001001D> {};

// The configuration space's memory-mapped window: 2^BusRange MiB from Base.
struct MsrConfigSpaceBase : reg::Register<uint64_t, 0xC0010058> {
  using Enable = Bit<0>;
  using BusRange = Bits<5, 2>;
  using Base = Bits<63, 20>;
};

struct MsrPStateStatus : reg::Register<uint64_t, 0xC0010063> {
  using CurrentPState = Bits<2, 0>;
};
// P-state n's definition lies at kAt + n; the trap's display wait grows with
// Multiplier / Divisor.
struct MsrPStateDefinition : reg::Register<uint64_t, 0xC0010064> {
  using Multiplier = Bits<7, 0>;
  using Divisor = Bits<13, 8>;
};
