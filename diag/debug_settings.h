// The debug print's build settings. They are constants of the image: a channel
// or feature that is switched off here is compiled out, not skipped at run time.
//
// The dispatcher and the channels read them through a DebugSettings reference,
// so the same code runs with other values in tests; the driver itself only ever
// passes kDebugSettings.
#pragma once
#include <stdint.h>

#include "build_variant.h"  // generated per build variant (release, debug)

struct DebugSettings {
  uint8_t DebugPrintEnabled;       // DebugPrint formats and writes at all
  uint8_t PostCodeChannelEnabled;  // post-code port channel
  uint8_t MailboxAssumeAgent;      // exactly 1: the mailbox channel works without the agent's DR2 mark
  uint8_t MailboxChannelEnabled;   // debugger mailbox channel
  uint8_t SerialChannelEnabled;    // serial channel
  uint16_t PostCodeChannelPort;    // I/O port of the post-code channel
  uint64_t DebugLevelMask;         // levels that pass, before a channel adjusts it
  uint64_t SerialBase;             // below 0x10000 an I/O port base, else a memory-mapped base
};

// Message levels, one bit each.
constexpr uint64_t kDebugLevelCore = 0x4000000000000ull;  // driver core, capsule status, S3 closing
constexpr uint64_t kDebugLevelPsp = 0x80000000ull;        // DRUX access, PSP window set-up
constexpr uint64_t kDebugLevelMmio = 0x400ull;            // fabric MMIO allocation

// Bits 3, 10, 20, 21, 25, 27, 31, 40, 50 and 60.
constexpr uint64_t kDefaultDebugLevelMask = 0x100401008A300408ull;

constexpr DebugSettings kDebugSettings = {
    kVariantDebugPrintEnabled,  // DebugPrintEnabled: off in release, on in debug
    0,                          // PostCodeChannelEnabled
    0,                          // MailboxAssumeAgent
    1,                          // MailboxChannelEnabled
    1,                          // SerialChannelEnabled
    0x80,                       // PostCodeChannelPort
    kDefaultDebugLevelMask,     // DebugLevelMask
    0x3F8,                      // SerialBase
};

// The serial registers (base + 5, or base + 0x14 when memory-mapped) must not
// wrap around the port or address space.
static_assert(kDebugSettings.SerialBase < 0x10000 - 5 ||
                  (kDebugSettings.SerialBase >= 0x10000 && kDebugSettings.SerialBase <= ~0ull - 0x14),
              "SerialBase leaves no room for the line status register");
